// Message records as the service reads them from client bundles and writes
// them into data frames ("A", code 2).
//
// A client record names its destination (group, uid or address) and
// carries the message's own items. The service swaps the destination for
// the sender's identity and keeps everything else as the sender wrote it,
// byte for byte, so items it does not know travel unchanged. The relayed
// form is kept as an "items" blob (everything after the start item except
// flags, age and stored mark), which is also what the offline store holds:
// the items that change per delivery are added when a frame is written.
//
// Record layout the service writes (readers accept any order):
//   1   start
//   9   flags: the sender's; 0x200000 added on every stored record
//   16  age in seconds since the service received it (stored records)
//   20  stored mark: the age in seconds, at least 1, on the first stored
//       record of each run of one sender within a frame
//   5   uid of the sender (of a status report: the user who reports)
//   4   address of the sender
//   6   group id (group messages and their status reports)
//   22  touid: the member a group message is delivered to; own uid on a
//       copy for the sender's other devices
//   ... the sender's items other than 1, 2, 4, 5, 6, 9, 16, 17, 20-23:
//       3 id, 7 payload, 8 expiry, 10 channel, 11 type, 12 status,
//       13 refid, 14 group parameter, 15 aux64, 18 envelope, 25-30, 40-42,
//       50 and any other
//
// Status report the service makes (delivered, or a failure about a message):
//   1, 9 flags (only for reports about system records), 12 status, 3 id,
//   5 uid of the recipient the report is about, 4 its address, 6 group id,
//   10 channel, 11 type
//
// History answer (a batch of the user's own history, history.h), one record
// per message, then one end record:
//   1, 9 flags: the sender's, without 0x200000 and the batch marks
//   5 uid and 4 address of the conversation's other side: the sender of a
//       message the user received, the recipient of one it sent (the user
//       itself for what it sent to a group)
//   6 group id, 12 status (1-3 sent, 18/19 received), 16 age in seconds,
//   29 the request's session id, 30 0, 28 the time the service received
//       the message, in milliseconds
//   ... the sender's items as the history keeps them (history_items)
// End record: 1, 9 flags 0x800000 (0x4800000 when nothing more exists),
//   5/4 as above, 6, 29 session id, 30 messages in the batch, 7 " "; no id,
//   so the client stores nothing of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/tlv.h"

enum : uint32_t {
  RELAY_FRAME_BODY_MAX = 63992,  // fits the client's first receive buffer
  RELAY_RECORD_SLACK = 96,       // server items added to a client record
};

// One record of a client bundle; pointers into the bundle body.
struct ClientRecord {
  const uint8_t *items;  // the items after the start item
  uint32_t items_len;
  uint32_t id;           // low 32 bits of item 3
  uint32_t uid;          // item 5
  uint32_t groupid;      // item 6
  const char *address;   // item 4, not terminated
  uint32_t address_len;
  uint64_t flags;
  uint32_t expiry;
  bool has_expiry;
  uint16_t channel;
  uint16_t type;
  bool is_status;        // item 12 present
  uint16_t status;
  bool has_payload;      // item 7 present
  uint64_t refid;        // item 13
  uint32_t agesent;      // item 25
  uint64_t syncref;      // item 28
  uint64_t syncid;       // item 29
  uint16_t syncext;      // item 30
};

struct ClientBundle {
  bool has_seq;
  uint16_t seq;          // item 17
  bool malformed;        // the walk stopped at a bad item; records before it are kept
  std::vector<ClientRecord> records;
};

// Reads a client bundle body. A malformed item ends the walk: the records
// completed before it are kept, the one it cut is dropped.
void bundle_read(const uint8_t *body, uint32_t len, ClientBundle *out);

// The relayed items of a client record: the sender's identity, the group
// and touid when given (0: none), then the record's own items.
std::string relay_items(const ClientRecord &r, uint32_t sender, const std::string &address,
                        uint32_t groupid, uint32_t touid);

struct ReportFields {
  uint16_t status;
  uint32_t id;
  uint32_t uid;          // the recipient the report is about; 0: none
  std::string address;   // its address; empty: none
  uint32_t groupid;
  uint16_t channel;
  uint16_t type;
};

// The items of a status report (flags are written with the frame).
std::string report_items(const ReportFields &s);

// The items of a record that a user's history keeps: the sender's own,
// without the destination, the service's items and the synchronisation
// items (an answer writes its own).
std::string history_items(const ClientRecord &r);

enum : uint64_t {
  SYNC_FLAG_LAST = 0x800000,   // the end record of a batch
  SYNC_FLAG_END = 0x4000000,   // with SYNC_FLAG_LAST: nothing more exists
};

struct SyncFields {
  uint32_t uid;          // the other side of the conversation (see above)
  std::string address;
  uint32_t groupid;
  uint16_t status;       // 0 on the end record
  uint32_t age_s;
  uint64_t syncid;
  uint16_t syncext;      // the batch's size on the end record, else 0
  uint64_t time_ms;      // when the service received it; 0 on the end record
};

// The items of one history answer record: `kept` are history_items() of
// the message; empty for the end record, which gets the payload " ".
std::string sync_items(const SyncFields &s, const std::string &kept);

// Appends one record to a data frame body: start, flags (with 0x200000 for
// a stored one), age and stored mark (0: none) for a stored one, then the
// items. Returns 0, or -1 when it does not fit (nothing written).
int relay_write(TlvBuffer *out, uint64_t flags, const std::string &items, bool stored,
                uint32_t age_s, uint32_t mark);
