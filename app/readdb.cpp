// Reading stored messages back. See readdb.h.
#include "app/readdb.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util/logs.h"
#include "util/mutex.h"
#include "util/random.h"

enum ReadMode { READ_MODE_SESSION = 1, READ_MODE_SUMMARY = 2, READ_MODE_PENDING = 3 };

// The columns every read selects, in this order.
static const char ROW_COLUMNS[] =
    "mid, gid, channel, type, ts, status, expiry, flag, refid, sender, message, thumbnail, "
    "filepath, rts, uflags, tid, ud, sens, ages, ager, agerd";

enum {
  COL_MID, COL_GID, COL_CHANNEL, COL_TYPE, COL_TS, COL_STATUS, COL_EXPIRY, COL_FLAG, COL_REFID,
  COL_SENDER, COL_MESSAGE, COL_THUMBNAIL, COL_FILEPATH, COL_RTS, COL_UFLAGS, COL_TID, COL_UD,
  COL_SENS, COL_AGES, COL_AGER, COL_AGERD,
};

// Marks are applied per id in batches of at most this many parameters.
enum { READ_MARK_BATCH = 200 };

static bool incoming(uint32_t status) {
  return status == MSG_STATUS_UNREAD || status == MSG_STATUS_RECEIVED_READ;
}

static char *copy_or_null(const char *s) { return s && *s ? strdup(s) : nullptr; }

// A LIKE pattern that finds `s` literally anywhere: '%', '_' and the escape
// character lose their meaning.
// Payloads are stored as blobs, and the system SQLite never lets LIKE
// match a blob: the searches compare the payload cast to text.
static std::string contains_pattern(const char *s) {
  std::string r = "%";
  for (; *s; s++) {
    if (*s == '%' || *s == '_' || *s == '\\') r += '\\';
    r += *s;
  }
  return r + "%";
}

// ===========================================================================
// Store statements used by the reader
// ===========================================================================

uint32_t ZalvioDB::newMessageId() {
  for (;;) {
    uint32_t id = random32();
    if (id != 0 && messageExists(id) == 0) return id;
  }
}

int ZalvioDB::markReadIds(const uint64_t *ids, size_t n) {
  if (db == nullptr) return -1;
  uint64_t now = nowMs();
  int changed = 0;
  for (size_t at = 0; at < n; at += READ_MARK_BATCH) {
    size_t k = n - at < (size_t)READ_MARK_BATCH ? n - at : (size_t)READ_MARK_BATCH;
    std::string sql =
        "update messages set status=?, rts=iif(agerd > 0 and (rts=0 or rts > (?+agerd*1000)), "
        "?+agerd*1000, rts) where status=? and mid in (";
    std::vector<DbArg> args = {db_int(MSG_STATUS_RECEIVED_READ), db_u64(now), db_u64(now),
                               db_int(MSG_STATUS_UNREAD)};
    for (size_t i = 0; i < k; i++) {
      sql += i ? ",?" : "?";
      args.push_back(db_mid(ids[at + i]));
    }
    sql += ")";
    int rv = execArgs(sql.c_str(), args.data(), args.size());
    if (rv < 0) return -1;
    changed += rv;
  }
  return changed;
}

uint64_t ZalvioDB::conversationTimeBound(uint32_t gid, const char *peer, bool newest,
                                         uint64_t *mid) {
  if (mid) *mid = 0;
  bool has_peer = peer && *peer;
  std::string where = gid ? " where gid=?" : has_peer ? " where sender=? and gid=0" : "";
  DbArg key = gid ? db_int(gid) : db_text(peer);
  std::string sql = std::string("select ") + (newest ? "max" : "min") + "(ts) from messages" + where;
  int64_t ts = 0;
  int rv = gid || has_peer ? queryInt64(sql.c_str(), {key}, 0, &ts)
                           : queryInt64(sql.c_str(), {}, 0, &ts);
  if (rv != 1 || ts <= 0) return 0;
  if (mid) {
    char text[24];
    std::string find = "select mid from messages where ts=?" +
                       std::string(gid ? " and gid=?" : has_peer ? " and sender=? and gid=0" : "") +
                       " limit 1";
    int found = gid || has_peer ? queryText(find.c_str(), {db_int(ts), key}, 0, text, sizeof text)
                                : queryText(find.c_str(), {db_int(ts)}, 0, text, sizeof text);
    if (found == 1) *mid = strtoull(text, nullptr, 10);
  }
  return (uint64_t)ts;
}

// The outbox condition: unsent, not excluded from resending, not expired.
static const char PENDING_WHERE[] = " status=? AND (flag & ?)=0 AND (ts + (expiry*1000)) > ?";

int ZalvioDB::countPendingMessages() {
  int64_t n = 0;
  std::string sql = std::string("select count(1) from messages where ") + PENDING_WHERE;
  if (queryInt64(sql.c_str(),
                 {db_int(MSG_STATUS_OUTBOX), db_u64(DB_FLAG_NO_EXPIRY), db_u64(nowMs())}, 0,
                 &n) != 1)
    return -1;
  return (int)n;
}

// ===========================================================================
// The session list
// ===========================================================================

void read_sessions_init(ReadSessionList *list) {
  pthread_mutex_init(&list->lock, nullptr);
  pthread_mutex_init(&list->counter_lock, nullptr);
  list->head = nullptr;
}

static void free_session(ReadSession *s) {
  free(s->search);
  free(s->peer);
  pthread_mutex_destroy(&s->read_lock);
  free(s);
}

void read_sessions_destroy(ReadSessionList *list) {
  ReadSession *s = list->head;
  while (s) {
    ReadSession *next = s->next;
    free_session(s);
    s = next;
  }
  list->head = nullptr;
  pthread_mutex_destroy(&list->lock);
  pthread_mutex_destroy(&list->counter_lock);
}

static ReadSession *find_locked(ReadSessionList *list, uint32_t id) {
  for (ReadSession *s = list->head; s; s = s->next)
    if (s->id == id) return s;
  return nullptr;
}

static ReadSession *acquire(ReadSessionList *list, uint32_t id) {
  MutexGuard g(&list->lock);
  ReadSession *s = find_locked(list, id);
  if (s) s->refs++;
  return s;
}

static void release(ReadSessionList *list, ReadSession *s) {
  bool gone;
  {
    MutexGuard g(&list->lock);
    gone = --s->refs == 0 && s->closed;
  }
  if (gone) free_session(s);
}

static void counter_down(uint32_t *c) {
  if (*c > 0) (*c)--;
}

static void pause_locked(ReadSessionList *list, ReadSession *s) {
  if (s->paused) return;
  s->paused = true;
  if (s->counters) {
    MutexGuard g(&list->counter_lock);
    counter_down(&s->counters->active);
  }
}

static void resume_locked(ReadSessionList *list, ReadSession *s) {
  if (!s->paused) return;
  s->paused = false;
  if (s->counters) {
    MutexGuard g(&list->counter_lock);
    s->counters->active++;
  }
}

static bool same_conversation(const ReadSession *a, const ReadSession *b) {
  if (a->gid || b->gid) return a->gid == b->gid;
  return a->peer && b->peer && strcmp(a->peer, b->peer) == 0;
}

// An existing session given to the create operation again.
static int revisit(ReadSessionList *list, ZalvioDB *db, ReadHost *host, ReadSession *s,
                   uint32_t flags) {
  if (flags & READ_CLOSE) return read_session_close(list, s->id);
  if (!s->receipts) return (int)s->id;
  if (flags & READ_RECEIPTS) {
    bool was_paused;
    {
      MutexGuard g(&list->lock);
      was_paused = s->paused;
    }
    if (was_paused) {
      db->markRead(s->gid, s->peer, 0, 0);
      host->read_receipt_owed(s->gid, s->peer);
      MutexGuard g(&list->lock);
      resume_locked(list, s);
    }
  } else {
    MutexGuard g(&list->lock);
    pause_locked(list, s);
  }
  return (int)s->id;
}

int read_session_create(ReadSessionList *list, ZalvioDB *db, ReadHost *host, uint32_t id,
                        uint32_t flags, uint64_t tid, const char *peer, uint32_t gid,
                        const char *search, INotify *listener) {
  if (db == nullptr || !db->isOpen()) return -1;
  if (id) {
    ReadSession *s = acquire(list, id);
    if (s) {
      int rv = revisit(list, db, host, s, flags);
      release(list, s);
      return rv;
    }
  }
  if (flags & READ_CLOSE) return -1;  // closing what does not exist
  bool has_peer = peer && *peer;
  bool has_search = search && *search;
  bool summary = (flags & READ_SUMMARY) != 0;
  SessionCounters *counters = nullptr;
  if (gid || has_peer) counters = host->read_counters(gid, gid ? nullptr : peer);
  host->read_receipt_owed(gid, gid ? nullptr : peer);
  bool single = (gid && !has_peer) || (!gid && has_peer);
  bool receipts = single && (flags & READ_RECEIPTS) && !summary && !has_search;
  bool conversation = single && !summary && !has_search;
  if (conversation && !gid) host->read_presence_reset(peer);

  ReadSession *s = (ReadSession *)calloc(1, sizeof *s);
  if (s == nullptr) return -1;
  s->search = copy_or_null(search);
  s->peer = copy_or_null(peer);
  s->gid = gid;
  s->tid = tid;
  s->listener = listener;
  s->flags = flags;
  s->receipts = receipts;
  s->owned = true;
  s->refs = 0;
  pthread_mutex_init(&s->read_lock, nullptr);
  {
    MutexGuard g(&list->lock);
    // The id comes back as an int: keep it positive.
    do {
      s->id = db->newMessageId();
    } while (s->id > INT32_MAX || find_locked(list, s->id));
    if (receipts && listener)
      for (ReadSession *o = list->head; o; o = o->next)
        if (o->receipts && o->listener == listener && same_conversation(o, s))
          pause_locked(list, o);
    if (conversation && counters) {
      s->counters = counters;
      MutexGuard c(&list->counter_lock);
      counters->open++;
      if (receipts) {
        counters->receipts++;
        counters->active++;
      }
    }
    s->next = list->head;
    list->head = s;
  }
  if (conversation && !gid && !(flags & READ_NO_PRESENCE)) host->read_presence_query(peer);
  return (int)s->id;
}

int read_session_close(ReadSessionList *list, uint32_t id) {
  ReadSession *s = nullptr;
  bool free_now;
  {
    MutexGuard g(&list->lock);
    for (ReadSession **at = &list->head; *at; at = &(*at)->next) {
      if ((*at)->id != id) continue;
      s = *at;
      *at = s->next;
      break;
    }
    if (s == nullptr) return -1;
    s->closed = true;
    if (s->counters) {
      MutexGuard c(&list->counter_lock);
      counter_down(&s->counters->open);
      if (s->receipts) {
        counter_down(&s->counters->receipts);
        if (!s->paused) counter_down(&s->counters->active);
      }
      s->counters = nullptr;
    }
    free_now = s->refs == 0;
  }
  if (free_now) free_session(s);
  return 0;
}

void read_sessions_visit(ReadSessionList *list, bool (*fn)(ReadSession *s, void *arg),
                         void *arg) {
  MutexGuard g(&list->lock);
  for (ReadSession *s = list->head; s; s = s->next)
    if (!fn(s, arg)) break;
}

// ===========================================================================
// The delivery loop
// ===========================================================================

// Texts of one converted row; two of them alternate because a row is
// delivered only once the next one has been read.
struct RowTexts {
  std::string sender;
  std::string payload;
  std::string thumbnail;
  std::string filepath;
  bool has_thumbnail;
  bool has_filepath;
  RowTexts() {
    sender.reserve(READ_TEXT_CAPACITY);
    payload.reserve(READ_TEXT_CAPACITY);
  }
};

struct Row {
  MessageParams p;
  RowTexts texts;
  uint64_t stored_ts;  // the cursor takes this even when `when` was replaced
  bool expired;        // an outbox row delivered as expired
};

struct ReadContext {
  ZalvioDB *db;
  ReadMode mode;
  ReadSession *session;  // null in the pending mode
  INotify *target;
  uint64_t now;
  std::vector<uint64_t> unread;  // delivered unread rows, to mark read
  bool expired_seen;
  int delivered;
  PendingCursor *pending;        // the pending mode's position, or null
};

static void assign_column(sqlite3_stmt *st, int col, std::string *out, bool *present) {
  const void *v = sqlite3_column_blob(st, col);
  int n = sqlite3_column_bytes(st, col);
  if (present) *present = sqlite3_column_type(st, col) != SQLITE_NULL;
  if (v && n > 0) out->assign((const char *)v, (size_t)n);
  else out->clear();
}

// The lifetime left, in seconds, of an incoming row: its retention
// deadline, brought forward by the read retention of an unread row.
static uint32_t remaining_life(const Row &r, uint64_t rts, uint64_t now) {
  uint64_t deadline = rts;
  if (r.p.status == MSG_STATUS_UNREAD && r.p.ageread > 0) {
    uint64_t on_read = r.stored_ts + (uint64_t)r.p.ageread * 1000;
    if (deadline == 0 || on_read < deadline) deadline = on_read;
  }
  if (deadline == 0) return r.p.agesent;
  // A deadline already passed (not swept yet) leaves the shortest life.
  return deadline > now ? (uint32_t)((deadline - now) / 1000 + 1) : 1;
}

static void convert_row(ReadContext *c, sqlite3_stmt *st, Row *r) {
  MessageParams &p = r->p;
  memset(&p, 0, sizeof p);
  const char *mid = (const char *)sqlite3_column_text(st, COL_MID);
  p.id = mid ? strtoull(mid, nullptr, 10) : 0;
  p.groupid = (uint32_t)sqlite3_column_int64(st, COL_GID);
  p.channel = (uint16_t)sqlite3_column_int64(st, COL_CHANNEL);
  p.type = (uint16_t)sqlite3_column_int64(st, COL_TYPE);
  r->stored_ts = (uint64_t)sqlite3_column_int64(st, COL_TS);
  p.when = r->stored_ts;
  if (p.when > c->now + MAX_CLOCK_AHEAD_MS) {
    LOGE("*** BUG *** DB read `when` is corrupted: %" PRIu64, p.when);
    p.when = c->now;
  }
  p.status = (uint16_t)sqlite3_column_int64(st, COL_STATUS);
  p.expiry = (uint32_t)sqlite3_column_int64(st, COL_EXPIRY);
  p.flags = (uint64_t)sqlite3_column_int64(st, COL_FLAG);
  p.refid = (uint64_t)sqlite3_column_int64(st, COL_REFID);
  assign_column(st, COL_SENDER, &r->texts.sender, nullptr);
  assign_column(st, COL_MESSAGE, &r->texts.payload, nullptr);
  assign_column(st, COL_THUMBNAIL, &r->texts.thumbnail, &r->texts.has_thumbnail);
  assign_column(st, COL_FILEPATH, &r->texts.filepath, &r->texts.has_filepath);
  uint64_t rts = (uint64_t)sqlite3_column_int64(st, COL_RTS);
  p.uflags = (uint32_t)sqlite3_column_int64(st, COL_UFLAGS);
  p.tid = (uint64_t)sqlite3_column_int64(st, COL_TID);
  p.userdata = (uint64_t)sqlite3_column_int64(st, COL_UD);
  p.sensitivity = (uint32_t)sqlite3_column_int64(st, COL_SENS);
  p.agesent = (uint32_t)sqlite3_column_int64(st, COL_AGES);
  p.agerecv = (uint32_t)sqlite3_column_int64(st, COL_AGER);
  p.ageread = (uint32_t)sqlite3_column_int64(st, COL_AGERD);
  p.origin = (uint8_t)c->mode;
  r->expired = false;
  if (c->mode == READ_MODE_SESSION) {
    if (incoming(p.status)) p.agesent = remaining_life(*r, rts, c->now);
    if (p.status == MSG_STATUS_OUTBOX && !(p.flags & DB_FLAG_NO_EXPIRY) &&
        r->stored_ts + (uint64_t)p.expiry * 1000 < c->now) {
      p.status = MSG_STATUS_EXPIRED;
      r->expired = true;
    }
  }
  if (c->mode == READ_MODE_SUMMARY && r->texts.payload.empty()) {
    r->texts.payload = " ";
    p.flags &= ~(uint64_t)DB_FLAG_RICH;
  }
}

// Hands one row to the target; false when the target asks to stop.
static bool deliver_row(ReadContext *c, Row *r) {
  MessageParams &p = r->p;
  RowTexts &t = r->texts;
  if (c->session) {
    p.aux32 = c->session->id;
    p.listener = c->session->listener;
  }
  p.thumbnail = t.has_thumbnail ? (const uint8_t *)t.thumbnail.data() : nullptr;
  p.thumbnail_len = t.has_thumbnail ? (uint32_t)t.thumbnail.size() : 0;
  p.filepath = t.has_filepath ? t.filepath.c_str() : nullptr;
  // Under the database mask: a line per row would cost a page more than its
  // queries, and would copy every message read into the log.
  LOGM(LOG_DB, "Read: (%s) (%u) (%s) status: %d", t.sender.c_str(), p.groupid,
       t.payload.c_str(), p.status);
  bool unread = p.status == MSG_STATUS_UNREAD;
  uint64_t id = p.id;
  int rv = c->target->on_message(&p, t.sender.c_str(), (const uint8_t *)t.payload.data(),
                                 (uint32_t)t.payload.size());
  c->delivered++;
  if (c->session) {
    c->session->has_cursor = true;
    c->session->cursor_ts = r->stored_ts;
    c->session->cursor_mid = id;
  }
  if (c->pending && rv >= 0) {
    c->pending->set = true;
    c->pending->ts = r->stored_ts;
    c->pending->mid = id;
  }
  if (c->mode == READ_MODE_SESSION && unread) c->unread.push_back(id);
  if (r->expired) c->expired_seen = true;
  if (rv < 0) {
    LOGD("read listener returns error for rawcound %d", c->delivered);
    return false;
  }
  return true;
}

// Steps `sql` and delivers its rows; see readdb.h for what each mode adds.
// Returns the rows delivered, or -1.
static int read_using_sql(ReadContext *c, const std::string &sql, const std::vector<DbArg> &args,
                          int expected) {
  if (c->mode != READ_MODE_PENDING && c->session == nullptr) {
    LOGE("*** BUG *** reading database without session");
    return -1;
  }
  c->db->deleteSenderless();
  c->now = c->db->nowMs();
  sqlite3_stmt *st = c->db->checkout(sql.c_str());
  if (st == nullptr) {
    LOGD("SQL error: %s", sql.c_str());
    return -1;
  }
  if (db_bind(st, args.data(), args.size()) != SQLITE_OK) {
    LOGD("SQL error: %s", sql.c_str());
    c->db->checkin(st);
    return -1;
  }
  Row rows[2];
  int kept = -1;  // index of the converted row not yet delivered
  int read = 0;
  bool stopped = false;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    read++;
    int slot = kept == 0 ? 1 : 0;
    convert_row(c, st, &rows[slot]);
    if (kept >= 0 && !deliver_row(c, &rows[kept])) {
      stopped = true;
      break;
    }
    kept = slot;
  }
  if (rc == SQLITE_ERROR || (rc & 0xFF) == SQLITE_IOERR)
    LOGE("Unable to read database. Make sure that your disk is not full (%s)",
         sqlite3_errmsg(c->db->handle()));
  c->db->checkin(st);

  bool short_page = expected > 0 && read < expected;
  if (c->session && !stopped && short_page) c->session->end_reached = true;
  if (kept >= 0 && !stopped) {
    rows[kept].p.flags |= READ_FLAG_LAST | (short_page ? (uint64_t)READ_FLAG_END : 0);
    deliver_row(c, &rows[kept]);
  }
  if (c->mode == READ_MODE_SESSION) {
    // Only what the application was shown counts as read.
    if (!c->unread.empty() && c->session->search == nullptr)
      c->db->markReadIds(c->unread.data(), c->unread.size());
    if (c->expired_seen) c->db->expireOutbox();
  }
  if (read == 0 && c->session) c->session->has_cursor = false;
  return c->delivered;
}

// ===========================================================================
// Query builders
// ===========================================================================

static const uint32_t CALL_FLAGS[3] = {READ_MISSED_CALLS, READ_INCOMING_CALLS,
                                       READ_OUTGOING_CALLS};
static const int CALL_STATUSES[3] = {MSG_STATUS_CALL_MISSED, MSG_STATUS_CALL_INCOMING,
                                     MSG_STATUS_CALL_OUTGOING};

static std::string status_list(const std::vector<int> &v) {
  std::string r = "(";
  for (size_t i = 0; i < v.size(); i++) r += std::to_string(v[i]) + (i + 1 < v.size() ? "," : ")");
  return r;
}

// The status condition of a page; false for an include mode that selects
// nothing.
static bool status_filter(uint32_t flags, std::string *sql) {
  std::vector<int> v;
  if (flags & (READ_INCLUDE_UNREAD | READ_INCLUDE)) {
    if (flags & READ_INCLUDE_UNREAD) v.push_back(MSG_STATUS_UNREAD);
    for (int i = 0; i < 3; i++)
      if (flags & CALL_FLAGS[i]) v.push_back(CALL_STATUSES[i]);
    if (v.empty()) return false;
    *sql += " and status in " + status_list(v);
    return true;
  }
  for (int i = 0; i < 3; i++)
    if (!(flags & CALL_FLAGS[i])) v.push_back(CALL_STATUSES[i]);
  if (!v.empty()) *sql += " and status not in " + status_list(v);
  return true;
}

// The session's conversation condition. A peer without a group is always a
// one-to-one conversation (gid 0); a search without a group or peer covers
// every conversation.
static void conversation_filter(const ReadSession *s, std::string *sql, std::vector<DbArg> *args) {
  if (s->gid) {
    *sql += " and gid=?";
    args->push_back(db_int(s->gid));
  } else if (s->peer || s->search == nullptr) {
    *sql += " and gid=0";
  }
}

static int read_page(ReadSession *s, ReadContext *c, int count) {
  bool forward = (s->flags & READ_FORWARD) != 0;
  if (forward && s->upper == 0) s->upper = c->db->nowMs() + 1;
  std::string sql = std::string("select ") + ROW_COLUMNS + " from messages where channel <= " +
                    std::to_string(CHANNEL_APP_LAST);
  std::vector<DbArg> args;
  std::string pattern;
  conversation_filter(s, &sql, &args);
  if (s->tid) {
    sql += " and tid=?";
    args.push_back(db_u64(s->tid));
  }
  if (s->search) {
    pattern = contains_pattern(s->search);
    sql += " and cast(message as text) like ? escape '\\'";
    args.push_back(db_text(pattern.c_str()));
  }
  if (s->has_cursor) {
    sql += forward ? " and (ts, mid) > (?, ?)" : " and (ts, mid) < (?, ?)";
    args.push_back(db_u64(s->cursor_ts));
    args.push_back(db_mid(s->cursor_mid));
  }
  if (s->flags & READ_FILES) sql += " and length(filepath)>7";
  if (!status_filter(s->flags, &sql)) return -1;
  if (s->peer) {
    sql += " and sender=?";
    args.push_back(db_text(s->peer));
  }
  if (forward) {
    sql += " and ts < ?";
    args.push_back(db_u64(s->upper));
  }
  sql += forward ? " order by ts ASC, mid ASC" : " order by ts DESC, mid DESC";
  if (count > 0) {
    sql += " limit ?";
    args.push_back(db_int(count));
  }
  return read_using_sql(c, sql, args, count);
}

// The latest row of every conversation. Persons and groups are enumerated
// by skipping through the conversation index (one seek each) and each
// one's latest qualifying row is found walking its index backwards, so the
// cost follows the number of conversations, not of messages. Call records
// and status 35 never stand for a one-to-one conversation.
static const char LATEST_BY_SEEK[] =
    "with recursive "
    "ps(s) as (select (select sender from messages where gid=0 order by sender limit 1) "
    "union all select (select sender from messages where gid=0 and sender > ps.s order by "
    "sender limit 1) from ps where ps.s is not null), "
    "gs(g) as (select (select gid from messages where gid>0 order by gid limit 1) "
    "union all select (select gid from messages where gid > gs.g order by gid limit 1) from gs "
    "where gs.g is not null), "
    "latest(r) as (select (select rowid from messages where gid=0 and sender=ps.s and channel "
    "<= 63 and status not in (22,23,35) order by ts desc, mid desc limit 1) from ps where ps.s "
    "is not null union all select (select rowid from messages where gid=gs.g and channel <= 63 "
    "order by ts desc, mid desc limit 1) from gs where gs.g is not null) ";

// Per thread, or within one thread: grouped, the row of the latest time
// standing for each group (SQLite takes bare columns from the max row).
static std::string latest_grouped(bool threads, bool one_thread) {
  std::string tid = one_thread ? " and tid=?" : "";
  std::string by = threads && !one_thread ? ", tid" : "";
  return "with latest(r) as (select r from (select rowid r, max(ts) from messages where gid=0 "
         "and channel <= 63 and status not in (22,23,35)" +
         tid + " group by sender" + by +
         ") union all select r from (select rowid r, max(ts) from messages where gid>0 and "
         "channel <= 63" +
         tid + " group by gid" + by + ")) ";
}

static int read_summary(ReadSession *s, ReadContext *c, int count) {
  bool forward = (s->flags & READ_FORWARD) != 0;
  bool threads = (s->flags & READ_SUMMARY_THREADS) != 0 || s->tid != 0;
  std::vector<DbArg> args;
  std::string sql;
  if (s->tid || (s->flags & READ_SUMMARY_THREADS)) {
    sql = latest_grouped(true, s->tid != 0);
    if (s->tid) {
      args.push_back(db_u64(s->tid));
      args.push_back(db_u64(s->tid));
    }
  } else {
    sql = LATEST_BY_SEEK;
  }
  // A group's unread count is the group's, whoever sent its latest row.
  std::string same_thread = threads ? " and b.tid=a.tid" : "";
  sql += "select a.mid, a.gid, case when a.gid > 0 then (select count(1) from messages b where "
         "b.gid=a.gid and b.status=18" +
         same_thread +
         ") else (select count(1) from messages b where b.gid=0 and b.status=18 and "
         "b.sender=a.sender" +
         same_thread +
         ") end, a.type, a.ts, a.status, a.expiry, a.flag, a.refid, a.sender, a.message, "
         "a.thumbnail, a.filepath, 0, 0, a.tid, 0, 0, 0, 0, 0 from messages a where a.rowid in "
         "(select r from latest)";
  if (s->has_cursor) {
    sql += forward ? " and (a.ts, a.mid) > (?, ?)" : " and (a.ts, a.mid) < (?, ?)";
    args.push_back(db_u64(s->cursor_ts));
    args.push_back(db_mid(s->cursor_mid));
  } else if (!forward) {
    sql += " and a.ts < ?";
    args.push_back(db_u64(c->db->nowMs() + READ_SUMMARY_AHEAD_MS));
  }
  sql += forward ? " order by a.ts asc, a.mid asc" : " order by a.ts desc, a.mid desc";
  if (count > 0) {
    sql += " limit ?";
    args.push_back(db_int(count));
  }
  return read_using_sql(c, sql, args, count);
}

int read_session_read(ReadSessionList *list, ZalvioDB *db, ReadHost *host, INotify *target,
                      uint32_t id, int count) {
  if (db == nullptr || !db->isOpen() || target == nullptr) return -1;
  ReadSession *s = acquire(list, id);
  if (s == nullptr) return -1;
  // One page at a time: a second reader of the session (another thread, or
  // the listener reading again from inside a delivery) is refused rather
  // than left waiting on itself.
  if (pthread_mutex_trylock(&s->read_lock) != 0) {
    release(list, s);
    return -1;
  }
  int rv;
  {
    db->deleteRetained();
    ReadContext c = {db, READ_MODE_SESSION, s, target, 0, {}, false, 0, nullptr};
    if (s->flags & READ_SUMMARY) {
      c.mode = READ_MODE_SUMMARY;
      rv = read_summary(s, &c, count);
    } else {
      rv = read_page(s, &c, count);
    }
  }
  pthread_mutex_unlock(&s->read_lock);
  if (!(s->flags & READ_SUMMARY) && (s->gid || s->peer))
    host->read_receipt_owed(s->gid, s->gid ? nullptr : s->peer);
  release(list, s);
  return rv;
}

int read_pending(ZalvioDB *db, INotify *target, PendingCursor *cursor) {
  if (db == nullptr || !db->isOpen() || target == nullptr) return -1;
  LOGD("Read pending");
  std::string sql = std::string("select ") + ROW_COLUMNS + " from messages where " + PENDING_WHERE;
  std::vector<DbArg> args = {db_int(MSG_STATUS_OUTBOX), db_u64(DB_FLAG_NO_EXPIRY),
                             db_u64(db->nowMs())};
  if (cursor && cursor->set) {
    sql += " and (ts, mid) > (?, ?)";
    args.push_back(db_u64(cursor->ts));
    args.push_back(db_mid(cursor->mid));
  }
  sql += " order by ts asc, mid asc";
  ReadContext c = {db, READ_MODE_PENDING, nullptr, target, 0, {}, false, 0, cursor};
  return read_using_sql(&c, sql, args, 0);
}

// ===========================================================================
// Counts
// ===========================================================================

static int count_for(ZalvioDB *db, uint32_t gid, const char *peer, uint64_t tid,
                     const char *search, int selector) {
  if (db == nullptr || !db->isOpen()) return -1;
  std::string sql = "select count(1) from messages where channel <= " +
                    std::to_string(CHANNEL_APP_LAST);
  std::vector<DbArg> args;
  std::string pattern;
  if (gid) {
    sql += " and gid=?";
    args.push_back(db_int(gid));
  } else if (peer && *peer) {
    sql += " and gid=0 and sender=?";
    args.push_back(db_text(peer));
  }
  if (tid) {
    sql += " and tid=?";
    args.push_back(db_u64(tid));
  }
  if (search && *search) {
    pattern = contains_pattern(search);
    sql += " and cast(message as text) like ? escape '\\'";
    args.push_back(db_text(pattern.c_str()));
  }
  switch (selector) {
    case READ_COUNT_ALL:
      break;
    case READ_COUNT_OUTGOING:
      sql += " and (status!=18 and status!=19)";
      break;
    case READ_COUNT_INCOMING:
      sql += " and (status=18 or status=19)";
      break;
    case READ_COUNT_FAILED:
      sql += " and (status>128 and (status&128) > 0)";
      break;
    default:
      if (selector < 0) return -1;
      sql += " and status=?";
      args.push_back(db_int(selector));
  }
  sqlite3_stmt *st = db->checkout(sql.c_str());
  if (st == nullptr) {
    LOGD("SQL error: %s", sql.c_str());
    return -1;
  }
  int rv = -1;
  if (db_bind(st, args.data(), args.size()) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    rv = sqlite3_column_int(st, 0);
  db->checkin(st);
  return rv;
}

int read_session_count(ReadSessionList *list, ZalvioDB *db, uint32_t id, int selector) {
  ReadSession *s = acquire(list, id);
  if (s == nullptr) return -1;
  int rv = count_for(db, s->gid, s->peer, s->tid, s->search, selector);
  release(list, s);
  return rv;
}

int read_count_conversation(ZalvioDB *db, uint32_t gid, const char *peer, uint64_t tid,
                            int selector) {
  return count_for(db, gid, gid ? nullptr : peer, tid, nullptr, selector);
}

// ===========================================================================
// Synchronisation with the server's history
// ===========================================================================

int read_session_sync(ReadSessionList *list, ZalvioDB *db, ReadHost *host, uint32_t id,
                      int count) {
  if (db == nullptr || !db->isOpen()) return -1;
  ReadSession *s = acquire(list, id);
  if (s == nullptr) return -1;
  bool ask;
  {
    MutexGuard g(&list->lock);
    ask = !s->sync_requested && host->read_sync_enabled();
    if (ask) s->sync_requested = true;
  }
  int rv = 0;
  if (ask) {
    bool summary = (s->flags & READ_SUMMARY) != 0;
    uint64_t mid = 0;
    uint64_t bound = summary ? db->conversationTimeBound(s->gid, nullptr, true, &mid)
                             : db->conversationTimeBound(s->gid, s->gid ? nullptr : s->peer,
                                                         false, &mid);
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.type = summary ? READ_SYNC_TYPE_SUMMARY : READ_SYNC_TYPE_CONVERSATION;
    p.syncid = s->id;
    p.syncext = (uint16_t)(count < 0 ? 0 : count > 0xFFFF ? 0xFFFF : count);
    p.groupid = s->gid;
    p.syncref = bound / 1000;
    // The boundary message itself: the service pages exactly from it when
    // it has it, rather than from a time in whole seconds.
    p.refid = mid;
    static const uint8_t BLANK[] = {' '};
    const char *to = summary ? "1" : s->gid ? nullptr : s->peer;
    rv = 1;
    if (host->read_send_control(&p, to, BLANK, sizeof BLANK) < 0) {
      MutexGuard g(&list->lock);
      s->sync_requested = false;
      rv = -1;
    }
  }
  release(list, s);
  return rv;
}

int read_session_sync_done(ReadSessionList *list, uint32_t id, uint16_t count, uint64_t flags) {
  MutexGuard g(&list->lock);
  ReadSession *s = find_locked(list, id);
  if (s == nullptr) return 0;
  if (count) s->end_reached = false;
  if (count && !(flags & READ_FLAG_END)) s->sync_requested = false;
  return 1;
}
