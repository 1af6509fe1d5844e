// INotify: how the engine reports to whoever listens on a channel.
//
// The core calls the listener registered for a record's channel (normally
// the application layer), which stores, filters or rewrites and calls the
// application's own INotify (normally the public facade). Records, texts and
// buffers passed to a callback are borrowed for the duration of the call.
// Every operation has a default that ignores the event, so a listener only
// overrides what it consumes. Callbacks run on the engine thread, except the
// local echo of a sent message (sender's thread) and authentication refusals
// raised by start/set_credentials (caller's thread).
#pragma once

#include <cstdint>

#include "core/params.h"

struct PeerEntry;
struct GroupEntry;
struct MessageBundle;
struct ThumbImage;
struct ContactRecord;

class INotify {
 public:
  // 0: a received message, a received system record, or a local echo.
  virtual int on_message(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) {
    (void)p, (void)peer, (void)payload, (void)len;
    return 0;
  }
  // 1: a message with a decoded rich payload.
  virtual int on_message_bundle(MessageParams *p, const char *peer, MessageBundle *bundle) {
    (void)p, (void)peer, (void)bundle;
    return 0;
  }
  // 2: a status report about a sent message; `last` marks the bundle's last record.
  virtual int on_message_status(MessageParams *p, const char *peer, int last) {
    (void)p, (void)peer, (void)last;
    return 0;
  }
  // 3: one row of a message's receipt history; address null ends the list.
  virtual int on_receipt_history(uint64_t id, const char *address, uint64_t delivered, uint64_t read) {
    (void)id, (void)address, (void)delivered, (void)read;
    return 0;
  }
  // 4: the application's thumbnail for a file.
  virtual int on_thumbnail_request(int file_type, const char *path, ThumbImage *out) {
    (void)file_type, (void)path, (void)out;
    return -1;
  }
  // 5: a control record for the application layer.
  virtual int on_system_message(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) {
    (void)p, (void)peer, (void)payload, (void)len;
    return 0;
  }
  // 6: learn or ask the mapping between a uid and an address. (uid, address,
  // null) tells; (uid, null, out) and (0, address, out) ask and fill `out`;
  // (0, null, null) drops cached identity.
  virtual int on_user_info(uint32_t uid, const char *address, PeerEntry *out) {
    (void)uid, (void)address, (void)out;
    return -1;
  }
  // 7: a group entry was created.
  virtual int on_group_created(GroupEntry *group) {
    (void)group;
    return 0;
  }
  // 8: a peer announced a newer profile version.
  virtual int on_profile_version(uint32_t uid, const char *address, uint32_t gid, uint32_t version,
                                 uint32_t old_version) {
    (void)uid, (void)address, (void)gid, (void)version, (void)old_version;
    return 0;
  }
  // 9: connection status (ConnectionStatus) with its detail.
  virtual int on_status(int status, uint32_t detail, uint32_t reserved1, uint32_t reserved2) {
    (void)status, (void)detail, (void)reserved1, (void)reserved2;
    return 0;
  }
  // 10: presence and activity events.
  virtual int on_activity(MessageParams *p, const char *peer, int type, int value) {
    (void)p, (void)peer, (void)type, (void)value;
    return 0;
  }
  // 11: call events, and media operations of the built-in call proxy.
  virtual int on_call(uint32_t uid, uint32_t callid, uint32_t status, const char *text, uint32_t len,
                      uint64_t flags, uint64_t info1, uint64_t info2, uint32_t reserved) {
    (void)uid, (void)callid, (void)status, (void)text, (void)len, (void)flags, (void)info1,
        (void)info2, (void)reserved;
    return 0;
  }
  // 12: a group-call participant.
  virtual int on_participant(uint32_t uid, uint32_t stream, const char *address, const char *name,
                             uint32_t flags, uint32_t media) {
    (void)uid, (void)stream, (void)address, (void)name, (void)flags, (void)media;
    return 0;
  }
  // 13: a group-call event.
  virtual int on_conf(uint32_t subject, uint32_t detail, uint16_t event, uint32_t a, uint32_t b,
                      uint32_t c, uint32_t d, uint32_t e, const char *text_a, const char *text_b,
                      uint32_t f) {
    (void)subject, (void)detail, (void)event, (void)a, (void)b, (void)c, (void)d, (void)e,
        (void)text_a, (void)text_b, (void)f;
    return 0;
  }
  // 14: a contact record.
  virtual int on_profile(ContactRecord *contact) {
    (void)contact;
    return 0;
  }
  // 15: a group member row; address null marks the end of a list.
  virtual int on_group_member(uint32_t gid, const char *address, int type, uint32_t flags) {
    (void)gid, (void)address, (void)type, (void)flags;
    return 0;
  }
  // 16, 17: contact-list and group records from the user's other devices.
  virtual int on_contact_record(ContactRecord *record) {
    (void)record;
    return 0;
  }
  virtual int on_group_record(ContactRecord *record) {
    (void)record;
    return 0;
  }
  // 18: a settings row.
  virtual int on_key_value(const char *name, const char *value) {
    (void)name, (void)value;
    return 0;
  }
  // 19: end of a synchronisation batch.
  virtual int on_sync_done(uint64_t session, int count, uint32_t flags) {
    (void)session, (void)count, (void)flags;
    return 0;
  }
  // 20: the end-to-end state of a peer changed.
  virtual int on_e2e_status(const char *address, int state) {
    (void)address, (void)state;
    return 0;
  }
  // 21: a call server for the media layer (kind 0 STUN, 1 TURN; url null ends).
  virtual int on_call_server(int kind, const char *url, const char *username, const char *credential) {
    (void)kind, (void)url, (void)username, (void)credential;
    return 0;
  }

 protected:
  ~INotify() = default;
};
