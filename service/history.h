// The message history of every conversation the service relayed, kept in
// "service.db" so that a device with an empty or partial store can ask for
// the messages it lacks.
//
// One row per message, seen by both sides: a one-to-one conversation is
// the pair of users (key: smaller uid << 32 | larger uid), a group
// conversation is the group (key: its id, below 2^32). The row's status is
// its sender's view: 1 sent, 2 delivered, 3 read, 132 expired before the
// recipient took it. The recipient sees 18, or 19 once it reported the
// message read, and never sees an expired one. A group's history is shown
// to its current members. Each conversation keeps its newest
// `per_conversation` rows; a row whose sender gave it a lifetime (agesent)
// is gone when that passes.
//
// Writes wait in memory and go to SQLite in one transaction once
// HISTORY_FLUSH_OPS are waiting or the oldest has waited HISTORY_FLUSH_MS:
// a commit writes every page it touched, so small ones cost more than
// their rows, and a status report that comes while its message still
// waits changes it there. Every read flushes first, so a request sees
// everything relayed before it. A crash loses at most that much history.
//
// Pages. A device asks for older messages than the oldest it holds, or
// for newer ones than its newest (in one conversation, or in all of its
// own), naming that message's id and its time in seconds. When the id is
// found in the conversation, the page starts right beyond that row.
// Otherwise the time decides, and since the device's own times of messages
// may be up to a second off the service's, every row of the two seconds
// around it is sent as well, without counting against the page: the
// device drops the ones it holds, and the next page still moves on.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "service/statement.h"

enum : uint32_t {
  HISTORY_DEFAULT_PER_CONVERSATION = 1000,
  HISTORY_PAGE_DEFAULT = 100,  // a request for 0 messages
  HISTORY_PAGE_MAX = 1000,
  HISTORY_FLUSH_OPS = 2048,
  HISTORY_FLUSH_MS = 250,
  HISTORY_RECENT = 65536,  // messages remembered to recognise one sent again
};

enum : uint64_t {
  HISTORY_TIME_MAX_S = 1ull << 40,  // a later time in a request counts as this
};

// A message's time is when the service received it, in milliseconds, made
// later by as little as needed to be after the conversation's previous
// message: clients order by time, and break ties their own way.

// Statuses as a client keeps them.
enum : uint16_t {
  HISTORY_SENT = 1,
  HISTORY_DELIVERED = 2,
  HISTORY_READ = 3,
  HISTORY_UNREAD = 18,
  HISTORY_RECEIVED_READ = 19,
  HISTORY_EXPIRED = 132,
};

// Conversation keys.
uint64_t history_pair(uint32_t a, uint32_t b);
inline uint64_t history_group(uint32_t gid) { return gid; }
inline bool history_is_group(uint64_t conv) { return conv <= 0xFFFFFFFFull; }
// The other side of a one-to-one conversation for `owner`.
uint32_t history_peer(uint64_t conv, uint32_t owner);
// How `owner` sees a row of status `status` sent by `sender`.
uint16_t history_status_for(uint32_t owner, uint32_t sender, uint16_t status);

struct HistoryRow {
  int64_t seq = 0;
  uint64_t conv = 0;
  uint32_t sender = 0;
  uint32_t mid = 0;       // the sender's 32-bit message id
  uint16_t status = 0;    // the sender's view
  uint64_t time_ms = 0;   // when the service received it
  uint64_t flags = 0;
  uint64_t until_ms = 0;  // gone after this; 0: kept
  std::string items;      // history_items() of the record
};

// Which rows a device asks for.
struct HistoryQuery {
  uint32_t owner;          // who asks: hides what it never got
  uint64_t conv;           // 0 with `newer`: every conversation of the owner
  bool newer;              // newer than the anchor (else older)
  uint32_t anchor_sender;  // the message the device names; 0: none
  uint32_t anchor_mid;
  uint64_t anchor_s;       // its time in seconds; 0: the device holds nothing
  uint32_t count;          // rows beyond the anchor's two seconds
};

class History {
 public:
  History() = default;
  History(const History &) = delete;
  History &operator=(const History &) = delete;

  // Creates the tables on the registry's connection; `per_conversation` 0
  // keeps no history. 0 or -1.
  int open(sqlite3 *db, uint32_t per_conversation);
  // Writes what is waiting and lets the connection go.
  void close();
  bool enabled() const { return per_conversation_ != 0; }

  // Waiting until flush(): a message (not again when it is among the last
  // HISTORY_RECENT kept: a sender's outbox repeats what it was not sure
  // went out; keep() says whether it took it); a status change of the
  // newest row of (sender, mid) in the conversation, made only when its
  // status lies in [from, to]; a new text for it (the sender edited it).
  bool keep(HistoryRow row);
  void set_status(uint64_t conv, uint32_t sender, uint32_t mid, uint16_t status, uint16_t from,
                  uint16_t to);
  void edit(uint64_t conv, uint32_t sender, uint32_t mid, std::string items);

  // Writes the waiting changes in one transaction; 0 or -1 (they are lost:
  // history is a convenience, never a reason to refuse a bundle).
  int flush();
  // flush() when enough is waiting, or for long enough.
  void flush_due(uint64_t now_ms);
  // Rows whose lifetime ended; the number deleted or -1.
  int sweep(uint64_t now_ms);

  // One page, oldest first; `more` says whether rows lie beyond it.
  int page(const HistoryQuery &q, uint64_t now_ms, std::vector<HistoryRow> *out, bool *more);
  // Rows of one conversation, or of every conversation of `owner` (conv
  // 0); -1 on error.
  int64_t count(uint64_t conv, uint32_t owner);

 private:
  enum OpKind : uint8_t { OP_KEEP, OP_STATUS, OP_EDIT };
  struct Op {
    OpKind kind;
    HistoryRow row;  // the key (conv, sender, mid), and what changes
    uint16_t from, to;
  };

  StatementCache statements_;
  uint32_t per_conversation_ = 0;
  std::vector<Op> ops_;
  uint64_t first_op_ms_ = 0;  // when the oldest waiting change came
  // Waiting messages by (sender, mid), for changes that find them there.
  std::unordered_map<uint64_t, size_t> waiting_;
  // Rows per conversation, learnt at its first write since the start: the
  // cap costs a count once, then only the rows it removes. -1: not known.
  std::unordered_map<uint64_t, int64_t> rows_;
  // The time of each conversation's newest message since the start.
  std::unordered_map<uint64_t, uint64_t> last_time_;
  // One-to-one conversations already listed for both users.
  std::unordered_set<uint64_t> listed_;
  // The last messages kept, oldest first.
  struct Key {
    uint64_t conv;
    uint32_t sender, mid;
    bool operator==(const Key &o) const {
      return conv == o.conv && sender == o.sender && mid == o.mid;
    }
  };
  struct KeyHash {
    size_t operator()(const Key &k) const;
  };
  std::unordered_set<Key, KeyHash> recent_;
  std::deque<Key> recent_order_;

  void add(Op op);
  Op *waiting(uint64_t conv, uint32_t sender, uint32_t mid);
  int apply(Op &op);
  int list(uint64_t conv);
  int trim(uint64_t conv);
  int64_t find(const HistoryQuery &q, uint64_t *time_ms);
  int select(const HistoryQuery &q, const char *sql, uint64_t now_ms,
             const std::vector<int64_t> &args, std::vector<HistoryRow> *out);
};
