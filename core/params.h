// The message parameters record and the codes that travel with it.
//
// `MessageParams` is the one fixed-size record that describes a message or a
// status report on its way between the wire (core), the local store (app)
// and the public objects (api). It is zeroed before use and copied by value;
// its pointers are borrowed, never owned.
#pragma once

#include <cstdint>

struct PeerEntry;
class INotify;

struct MessageParams {
  uint64_t id;        // received: sender uid << 32 | wire id
  uint64_t refid;     // referenced message, same composition
  uint64_t syncid;    // non-zero in a server synchronisation batch
  uint64_t aux64;     // carried (user id in control records of type 13)
  uint64_t tid;       // application thread id
  uint64_t userdata;  // application value
  uint32_t uid;       // peer user id
  uint32_t aux32;     // carried
  uint32_t touid;     // user id the message was addressed to
  uint32_t groupid;   // 0 for one-to-one
  uint32_t expiry;    // seconds; (uint32_t)-1 means the default when sending
  uint64_t flags;     // MSG_FLAG_* bits
  uint64_t when;      // wall clock, milliseconds
  uint64_t syncref;   // carried with syncid
  uint32_t uflags;    // application flags
  uint32_t profileversion;
  uint32_t sensitivity;
  uint32_t peerversion;
  uint32_t storedmark;
  uint16_t status;    // MessageStatus
  uint16_t channel;
  uint16_t type;
  uint16_t syncext;
  uint8_t origin;     // MessageOrigin
  uint8_t saved;      // 1 after the application layer's first save
  uint8_t status_flags;
  uint32_t agesent, agerecv, ageread;  // retention seconds
  uint8_t nonuser;    // status report other than delivered/read, or sync record
  uint8_t system;     // flag 0x400
  uint8_t usermsg;    // ordinary received message
  uint8_t realtime;   // ordinary message received live
  uint32_t thumbnail_len;
  const uint8_t *thumbnail;
  const char *filepath;
  void *listener;     // the public facade's per-message listener (never an INotify)
  uint32_t envelope_len;
  const uint8_t *envelope;
  PeerEntry *peer;
};

enum MessageStatus : uint16_t {
  MSG_STATUS_OUTBOX = 0,
  MSG_STATUS_SENT = 1,
  MSG_STATUS_DELIVERED = 2,
  MSG_STATUS_READ = 3,
  MSG_STATUS_UNREAD = 18,
  MSG_STATUS_RECEIVED_READ = 19,
  MSG_STATUS_CALL_MISSED = 21,
  MSG_STATUS_CALL_INCOMING = 22,
  MSG_STATUS_CALL_OUTGOING = 23,
  MSG_STATUS_CUSTOM1 = 32,
  MSG_STATUS_CUSTOM2 = 35,
  MSG_STATUS_EXPIRED = 132,
  MSG_STATUS_FAILED_BIT = 0x80,
};

enum MessageOrigin : uint8_t {
  ORIGIN_REALTIME = 0,
  ORIGIN_SESSION_READ = 1,
  ORIGIN_SUMMARY_READ = 2,
  ORIGIN_OUTBOX_RESEND = 3,
};

enum MessageChannel : uint16_t {
  CHANNEL_MESSAGE = 0,
  CHANNEL_APP_LAST = 63,       // 1-63: application channels
  CHANNEL_PUBLIC_LIMIT = 128,  // listeners below this are the application's
  CHANNEL_CALL = 128,
  CHANNEL_TRANSIENT = 129,
  CHANNEL_SYSTEM = 130,        // control records, end-to-end control, webhooks
  CHANNEL_GROUPCALL = 144,
};

// Flag bits the core acts on; the others are carried for the application.
enum : uint64_t {
  MSG_FLAG_DELIVERY_RECEIPT = 0x1,
  MSG_FLAG_READ_RECEIPT = 0x2,
  MSG_FLAG_BROADCAST_SYSTEM = 0x4,
  MSG_FLAG_BROADCAST_KIND = 0x8,
  MSG_FLAG_NOT_DELIVERED = 0x10,
  MSG_FLAG_E2E_APPLIES = 0x20,
  MSG_FLAG_E2E_ENCRYPTED = 0x80,
  MSG_FLAG_RICH = 0x100,  // rich payload; also "no send-time record"
  MSG_FLAG_SYSTEM = 0x400,
  MSG_FLAG_NO_E2E = 0x800,
  MSG_FLAG_NONUSER = 0x1000,
  MSG_FLAG_BROADCAST = 0x4000,
  MSG_FLAG_ID32 = 0x40000,
  MSG_FLAG_STORED = 0x200000,
  MSG_FLAG_NO_WAKE = 1ull << 40,      // do not wake the engine after queueing
  MSG_FLAG_NONBLOCKING = 1ull << 41,  // fail with 157 when the queue is busy
  MSG_FLAG_NO_ECHO = 1ull << 42,      // no local echo
  MSG_FLAG_LOCAL_ONLY = 1ull << 56,   // echoed and stored, never sent
  MSG_FLAG_ECHO_ONLY = 1ull << 60,    // echoed, not sent
};

// Control records: system messages on CHANNEL_SYSTEM with this flag and expiry.
enum : uint32_t { CONTROL_EXPIRY = 62208000 };

// Wall-clock times (ms) more than this far ahead of now are treated as bad.
enum : uint64_t { MAX_CLOCK_AHEAD_MS = 86400000 };
