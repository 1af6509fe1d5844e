// Reading stored messages back: read sessions, the page and summary
// queries, the row delivery loop, the outbox (pending) read and the counts.
//
// A read session names a conversation (a peer address, or a group), and
// optionally a thread and a search text; each read returns the next page,
// newest first unless the session reads forward. A summary session returns
// the conversation list instead: the latest message of every conversation
// with its unread count in the record's `channel`. Rows are delivered one
// by one, as message records, to the INotify the caller gives (the
// application layer's own on_message, which forwards them as it forwards
// live messages); each carries the session id in `aux32` and the session's
// listener in `listener`.
//
// The application layer owns one ReadSessionList. Sessions are looked up by
// id from any thread: a lookup holds a reference, so a session closed by
// one thread while another reads it is freed only when the read is done.
// What the reader needs from the engine (the conversation's activity
// counters, presence, read receipts owed, sending a control record) comes
// through ReadHost.
//
// Paging: the cursor is the (ts, mid) of the last row delivered, so rows
// sharing a millisecond are neither skipped nor repeated, and a row that
// was converted but not delivered (the listener stopped the page) comes
// first on the next page.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "app/zalviodb.h"
#include "core/notify.h"
#include "core/params.h"

// Session flags.
enum : uint32_t {
  READ_RECEIPTS = 0x1,
  READ_INCLUDE_UNREAD = 0x2,
  READ_FORWARD = 0x4,
  READ_SUMMARY = 0x10,
  READ_INCLUDE = 0x20,
  READ_SUMMARY_THREADS = 0x40,
  READ_FILES = 0x80,
  READ_CLOSE = 0x200,
  READ_MISSED_CALLS = 0x1000,
  READ_INCOMING_CALLS = 0x2000,
  READ_OUTGOING_CALLS = 0x4000,
  READ_NO_PRESENCE = 0x20000,
};

// Flags the reader puts on the last record of a page.
enum : uint64_t {
  READ_FLAG_LAST = 0x800000,
  READ_FLAG_END = 0x4000000,  // with READ_FLAG_LAST: fewer rows than asked
};

// Count selectors besides a status value (>= 0).
enum : int {
  READ_COUNT_ALL = -1,
  READ_COUNT_OUTGOING = -2,
  READ_COUNT_INCOMING = -3,
  READ_COUNT_FAILED = -4,
};

enum : uint16_t {
  READ_SYNC_TYPE_CONVERSATION = 25,
  READ_SYNC_TYPE_SUMMARY = 26,
};

enum : uint32_t {
  READ_SUMMARY_AHEAD_MS = 2000,  // a backward summary starts this far past now
  READ_TEXT_CAPACITY = 1023,
};

// Per-conversation session counters, kept in the engine's activity record
// of the conversation and changed under ReadSessionList::counter_lock.
struct SessionCounters {
  uint32_t open;      // sessions reading the conversation
  uint32_t receipts;  // of which mark messages read
  uint32_t active;    // of which are not paused
};

struct ReadSession {
  uint32_t id;
  SessionCounters *counters;  // set while the session is counted as open
  char *search;               // owned, null for none
  char *peer;                 // owned, null for none
  uint32_t gid;
  uint64_t tid;
  uint64_t upper;             // forward reads stop before this time (ms)
  bool has_cursor;            // false: start at the newest (oldest forward)
  uint64_t cursor_ts;         // of the last row delivered
  uint64_t cursor_mid;
  INotify *listener;          // copied into every record delivered
  uint32_t flags;
  bool receipts;
  bool paused;
  bool closed;
  bool owned;
  bool end_reached;
  bool sync_requested;
  // list bookkeeping
  ReadSession *next;
  uint32_t refs;              // lookups in progress, under the list lock
  pthread_mutex_t read_lock;  // held while a page is read
};

struct ReadSessionList {
  pthread_mutex_t lock;          // the list and the reference counts
  pthread_mutex_t counter_lock;  // every SessionCounters
  ReadSession *head;
};

// What the reader needs from the engine.
class ReadHost {
 public:
  // The activity record's counters of a conversation (the group's when gid
  // is set, else the peer's); null when the engine keeps none.
  virtual SessionCounters *read_counters(uint32_t gid, const char *peer) = 0;
  // Sends the read receipt owed for a conversation, if any.
  virtual void read_receipt_owed(uint32_t gid, const char *peer) = 0;
  // Forget the last presence state reported for a peer, so the next event
  // is reported again; and ask for the peer's presence.
  virtual void read_presence_reset(const char *peer) = 0;
  virtual void read_presence_query(const char *peer) = 0;
  // Whether the server keeps history to synchronise from (login flag bit
  // 12; true before the first login).
  virtual bool read_sync_enabled() = 0;
  // Sends a control record: `p` holds type, group and the synchronisation
  // fields; the host adds channel, id, expiry and flags. 0 or -1.
  virtual int read_send_control(MessageParams *p, const char *peer, const uint8_t *payload,
                                uint32_t len) = 0;

 protected:
  ~ReadHost() = default;
};

void read_sessions_init(ReadSessionList *list);
// Frees every session (no reads may be running).
void read_sessions_destroy(ReadSessionList *list);

// A new session (unknown id, normally 0) returns its id; with the id of a
// live session: READ_CLOSE closes it (0), otherwise a receipts session is
// paused, or resumed when READ_RECEIPTS is given (the conversation is
// marked read first), and the id is returned. -1 without a database.
int read_session_create(ReadSessionList *list, ZalvioDB *db, ReadHost *host, uint32_t id,
                        uint32_t flags, uint64_t tid, const char *peer, uint32_t gid,
                        const char *search, INotify *listener);
// 0, or -1 for an unknown id.
int read_session_close(ReadSessionList *list, uint32_t id);

// One page of `count` rows (all rows when count <= 0) to `target`; the
// number of rows delivered, or -1 (no database, unknown session, SQL error,
// empty include list, or a page of this session already being read).
int read_session_read(ReadSessionList *list, ZalvioDB *db, ReadHost *host, INotify *target,
                      uint32_t id, int count);

// Messages of the session's conversation (selector: a status, or one of
// READ_COUNT_*); -1 for an unknown session or an error.
int read_session_count(ReadSessionList *list, ZalvioDB *db, uint32_t id, int selector);
// The same without a session: the group when gid is set, else the peer.
int read_count_conversation(ZalvioDB *db, uint32_t gid, const char *peer, uint64_t tid,
                            int selector);

// Asks the server for messages the store lacks: 1 when asked, 0 when a
// request is outstanding (or the server keeps no history), -1 for an
// unknown session or a send failure.
int read_session_sync(ReadSessionList *list, ZalvioDB *db, ReadHost *host, uint32_t id,
                      int count);
// The end of a synchronisation batch for session `id`: a non-zero count
// clears the end mark; unless `flags` holds READ_FLAG_END or the count is
// 0, the session may ask again. 1 when the session exists, else 0.
int read_session_sync_done(ReadSessionList *list, uint32_t id, uint16_t count, uint64_t flags);

// Where a resend of the outbox got to: the (ts, mid) of the last row the
// target took. The next read starts after it, so rows already handed on
// are not read again.
struct PendingCursor {
  bool set;
  uint64_t ts;
  uint64_t mid;
};

// Unsent, unexpired outbox messages, oldest first (after `cursor` when it
// is set, and moving it), to `target` (origin 3).
int read_pending(ZalvioDB *db, INotify *target, PendingCursor *cursor = nullptr);

// Calls fn for every live session under the list lock until it returns
// false; fn must not call back into the list.
void read_sessions_visit(ReadSessionList *list, bool (*fn)(ReadSession *s, void *arg), void *arg);
