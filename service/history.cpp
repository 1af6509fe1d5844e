// Conversation history in SQLite: see history.h.
#include "service/history.h"

#include <algorithm>
#include <climits>

#include "util/logs.h"
#include "util/time.h"

// Rows are ordered by (time, seq): the service's clock, and the order of
// arrival within one millisecond. `conversations` lists the one-to-one
// conversations of each user (groups come from the store's members), for
// requests that cover all of them.
static const char *const HISTORY_SCHEMA =
    "create table if not exists history(seq integer primary key, conv integer not null,"
    " sender integer not null, mid integer not null, status integer not null,"
    " time integer not null, flags integer not null, until integer not null,"
    " items blob not null);"
    "create index if not exists history_by_conversation on history(conv, time);"
    "create index if not exists history_by_message on history(sender, mid);"
    "create index if not exists history_by_lifetime on history(until) where until > 0;"
    "create table if not exists conversations(owner integer not null, conv integer not null,"
    " primary key(owner, conv)) without rowid;";

// Statements of a page bind ?1 the conversation (or the owner, for every
// conversation of it), ?2 the owner, ?3 now, and their own values from ?4.
#define HISTORY_COLUMNS "seq, conv, sender, mid, status, time, flags, until, items"
#define HISTORY_OWNED \
  "conv in (select conv from conversations where owner = ?1" \
  " union select gid from members where uid = ?1)"
// The owner never sees what expired before it got it, nor what outlived
// the lifetime its sender gave it.
#define HISTORY_SHOWN "(sender = ?2 or status < 128) and (until = 0 or until > ?3)"

static const char SQL_OLDER[] =
    "select " HISTORY_COLUMNS " from history where conv = ?1 and (time, seq) < (?4, ?5) and "
    HISTORY_SHOWN " order by time desc, seq desc limit ?6";
static const char SQL_NEWER[] =
    "select " HISTORY_COLUMNS " from history where conv = ?1 and (time, seq) > (?4, ?5) and "
    HISTORY_SHOWN " order by time, seq limit ?6";
static const char SQL_NEWER_ALL[] =
    "select " HISTORY_COLUMNS " from history where " HISTORY_OWNED
    " and (time, seq) > (?4, ?5) and " HISTORY_SHOWN " order by time, seq limit ?6";
static const char SQL_WINDOW[] =
    "select " HISTORY_COLUMNS " from history where conv = ?1 and time >= ?4 and time < ?5 and "
    HISTORY_SHOWN " order by time, seq";
static const char SQL_WINDOW_ALL[] =
    "select " HISTORY_COLUMNS " from history where " HISTORY_OWNED
    " and time >= ?4 and time < ?5 and " HISTORY_SHOWN " order by time, seq";

// Reports name a message by its sender and id; ids repeat only rarely, so
// the few rows of one (sender, id) are sorted rather than a conversation
// walked.
#define HISTORY_NEWEST_OF                                                   \
  "(select seq from history indexed by history_by_message where sender = ?" \
  " and mid = ? and conv = ? order by time desc, seq desc limit 1)"
static const char SQL_FIND[] =
    "select seq, time from history indexed by history_by_message where sender = ?4"
    " and mid = ?5 and conv = ?1 order by time desc, seq desc limit 1";
static const char SQL_FIND_ALL[] =
    "select seq, time from history indexed by history_by_message where sender = ?4"
    " and mid = ?5 and " HISTORY_OWNED " order by time desc, seq desc limit 1";

uint64_t history_pair(uint32_t a, uint32_t b) {
  return a < b ? (uint64_t)a << 32 | b : (uint64_t)b << 32 | a;
}

uint32_t history_peer(uint64_t conv, uint32_t owner) {
  uint32_t lo = (uint32_t)(conv >> 32), hi = (uint32_t)conv;
  return lo == owner ? hi : lo;
}

uint16_t history_status_for(uint32_t owner, uint32_t sender, uint16_t status) {
  if (owner == sender) return status;
  return status == HISTORY_READ ? HISTORY_RECEIVED_READ : HISTORY_UNREAD;
}

int History::open(sqlite3 *db, uint32_t per_conversation) {
  per_conversation_ = per_conversation;
  statements_.attach(db);
  return statements_.exec(HISTORY_SCHEMA);
}

void History::close() {
  flush();
  statements_.clear();
}

// ---- changes ----------------------------------------------------------------

static uint64_t message_key(uint32_t sender, uint32_t mid) { return (uint64_t)sender << 32 | mid; }

void History::add(Op op) {
  if (ops_.empty()) first_op_ms_ = wall_ms();
  if (op.kind == OP_KEEP) waiting_[message_key(op.row.sender, op.row.mid)] = ops_.size();
  ops_.push_back(std::move(op));
}

History::Op *History::waiting(uint64_t conv, uint32_t sender, uint32_t mid) {
  auto it = waiting_.find(message_key(sender, mid));
  if (it == waiting_.end() || ops_[it->second].row.conv != conv) return nullptr;
  return &ops_[it->second];
}

size_t History::KeyHash::operator()(const Key &k) const {
  return std::hash<uint64_t>()(k.conv * 0x9E3779B97F4A7C15ull ^ ((uint64_t)k.sender << 32 | k.mid));
}

bool History::keep(HistoryRow row) {
  if (!enabled()) return false;
  // A message the sender's outbox sent again (its acknowledgement was
  // lost) is the same message. Resends follow soon after the first, so
  // the recent ones are remembered rather than the table asked each time.
  Key k{row.conv, row.sender, row.mid};
  if (!recent_.insert(k).second) return false;
  recent_order_.push_back(k);
  if (recent_order_.size() > HISTORY_RECENT) {
    recent_.erase(recent_order_.front());
    recent_order_.pop_front();
  }
  // Devices order a conversation by time, and break ties their own way:
  // one message per millisecond keeps the order the service saw.
  uint64_t &last = last_time_[row.conv];
  if (row.time_ms <= last) row.time_ms = last + 1;
  last = row.time_ms;
  add(Op{OP_KEEP, std::move(row), 0, 0});
  return true;
}

void History::set_status(uint64_t conv, uint32_t sender, uint32_t mid, uint16_t status,
                         uint16_t from, uint16_t to) {
  if (!enabled()) return;
  if (Op *w = waiting(conv, sender, mid)) {
    if (w->row.status >= from && w->row.status <= to) w->row.status = status;
    return;
  }
  HistoryRow r;
  r.conv = conv;
  r.sender = sender;
  r.mid = mid;
  r.status = status;
  add(Op{OP_STATUS, std::move(r), from, to});
}

void History::edit(uint64_t conv, uint32_t sender, uint32_t mid, std::string items) {
  if (!enabled()) return;
  if (Op *w = waiting(conv, sender, mid)) {
    w->row.items = std::move(items);
    return;
  }
  HistoryRow r;
  r.conv = conv;
  r.sender = sender;
  r.mid = mid;
  r.items = std::move(items);
  add(Op{OP_EDIT, std::move(r), 0, 0});
}

// Both users of a one-to-one conversation find it among theirs.
int History::list(uint64_t conv) {
  if (history_is_group(conv) || listed_.count(conv)) return 0;
  for (uint32_t owner : {(uint32_t)(conv >> 32), (uint32_t)conv}) {
    Stmt s(statements_.prepare("insert or ignore into conversations(owner, conv) values(?, ?)"));
    if (!s.ok()) return -1;
    s.bind(1, (int64_t)owner);
    s.bind(2, (int64_t)conv);
    if (s.step() != SQLITE_DONE) return -1;
  }
  listed_.insert(conv);
  return 0;
}

int History::apply(Op &op) {
  const HistoryRow &r = op.row;
  switch (op.kind) {
    case OP_KEEP: {
      if (list(r.conv) != 0) return -1;
      Stmt s(statements_.prepare(
          "insert into history(conv, sender, mid, status, time, flags, until, items)"
          " values(?, ?, ?, ?, ?, ?, ?, ?)"));
      if (!s.ok()) return -1;
      s.bind(1, (int64_t)r.conv);
      s.bind(2, (int64_t)r.sender);
      s.bind(3, (int64_t)r.mid);
      s.bind(4, (int64_t)r.status);
      s.bind(5, (int64_t)r.time_ms);
      s.bind(6, (int64_t)r.flags);
      s.bind(7, (int64_t)r.until_ms);
      s.bind_blob(8, r.items.data(), (int)r.items.size());
      if (s.step() != SQLITE_DONE) return -1;
      auto it = rows_.find(r.conv);
      if (it == rows_.end()) rows_[r.conv] = -1;  // counted by trim()
      else if (it->second >= 0) it->second++;
      return 0;
    }
    case OP_STATUS: {
      Stmt s(statements_.prepare("update history set status = ? where seq = " HISTORY_NEWEST_OF
                                 " and status between ? and ?"));
      if (!s.ok()) return -1;
      s.bind(1, (int64_t)r.status);
      s.bind(2, (int64_t)r.sender);
      s.bind(3, (int64_t)r.mid);
      s.bind(4, (int64_t)r.conv);
      s.bind(5, (int64_t)op.from);
      s.bind(6, (int64_t)op.to);
      return s.step() == SQLITE_DONE ? 0 : -1;
    }
    case OP_EDIT: {
      Stmt s(statements_.prepare("update history set items = ? where seq = " HISTORY_NEWEST_OF));
      if (!s.ok()) return -1;
      s.bind_blob(1, r.items.data(), (int)r.items.size());
      s.bind(2, (int64_t)r.sender);
      s.bind(3, (int64_t)r.mid);
      s.bind(4, (int64_t)r.conv);
      return s.step() == SQLITE_DONE ? 0 : -1;
    }
  }
  return -1;
}

// Back to the newest per_conversation_ rows of one conversation.
int History::trim(uint64_t conv) {
  int64_t &n = rows_[conv];
  if (n < 0) {
    Stmt s(statements_.prepare("select count(*) from history where conv = ?"));
    if (!s.ok()) return -1;
    s.bind(1, (int64_t)conv);
    if (s.step() != SQLITE_ROW) return -1;
    n = s.int64(0);
  }
  if (n <= (int64_t)per_conversation_) return 0;
  Stmt s(statements_.prepare(
      "delete from history where seq in (select seq from history where conv = ?"
      " order by time, seq limit ?)"));
  if (!s.ok()) return -1;
  s.bind(1, (int64_t)conv);
  s.bind(2, n - (int64_t)per_conversation_);
  if (s.step() != SQLITE_DONE) return -1;
  n -= sqlite3_changes(statements_.db());
  return 0;
}

int History::flush() {
  if (ops_.empty()) return 0;
  std::vector<Op> ops;
  ops.swap(ops_);
  waiting_.clear();
  if (statements_.exec("begin immediate") != 0) return -1;
  bool ok = true;
  for (size_t i = 0; ok && i < ops.size(); i++) ok = apply(ops[i]) == 0;
  for (auto it = rows_.begin(); ok && it != rows_.end(); ++it)
    if (it->second < 0 || it->second > (int64_t)per_conversation_) ok = trim(it->first) == 0;
  if (ok && statements_.exec("commit") == 0) return 0;
  statements_.exec("rollback");
  rows_.clear();  // the counts moved with what was rolled back
  listed_.clear();
  LOGE("history: %zu changes lost", ops.size());
  return -1;
}

void History::flush_due(uint64_t now_ms) {
  if (!ops_.empty() &&
      (ops_.size() >= HISTORY_FLUSH_OPS || now_ms >= first_op_ms_ + HISTORY_FLUSH_MS))
    flush();
}

int History::sweep(uint64_t now_ms) {
  flush();
  Stmt s(statements_.prepare("delete from history where until > 0 and until <= ?"));
  if (!s.ok()) return -1;
  s.bind(1, (int64_t)now_ms);
  if (s.step() != SQLITE_DONE) return -1;
  int n = sqlite3_changes(statements_.db());
  if (n > 0) rows_.clear();
  return n;
}

// ---- reading ----------------------------------------------------------------

static void read_row(Stmt &s, HistoryRow *r) {
  r->seq = s.int64(0);
  r->conv = (uint64_t)s.int64(1);
  r->sender = (uint32_t)s.int64(2);
  r->mid = (uint32_t)s.int64(3);
  r->status = (uint16_t)s.int64(4);
  r->time_ms = (uint64_t)s.int64(5);
  r->flags = (uint64_t)s.int64(6);
  r->until_ms = (uint64_t)s.int64(7);
  r->items = s.blob(8);
}

// Binds ?1-?3 (see above) and `args` from ?4.
static void bind_page(Stmt &s, const HistoryQuery &q, uint64_t now_ms,
                      const std::vector<int64_t> &args) {
  s.bind(1, q.conv ? (int64_t)q.conv : (int64_t)q.owner);
  s.bind(2, (int64_t)q.owner);
  s.bind(3, (int64_t)now_ms);
  for (size_t i = 0; i < args.size(); i++) s.bind((int)i + 4, args[i]);
}

int History::select(const HistoryQuery &q, const char *sql, uint64_t now_ms,
                    const std::vector<int64_t> &args, std::vector<HistoryRow> *out) {
  Stmt s(statements_.prepare(sql));
  if (!s.ok()) return -1;
  bind_page(s, q, now_ms, args);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) {
    out->emplace_back();
    read_row(s, &out->back());
  }
  return rc == SQLITE_DONE ? 0 : -1;
}

// The named message in the asked conversations: its seq and time, or 0.
int64_t History::find(const HistoryQuery &q, uint64_t *time_ms) {
  Stmt s(statements_.prepare(q.conv ? SQL_FIND : SQL_FIND_ALL));
  if (!s.ok()) return 0;
  bind_page(s, q, 0, {(int64_t)q.anchor_sender, (int64_t)q.anchor_mid});
  if (s.step() != SQLITE_ROW) return 0;
  *time_ms = (uint64_t)s.int64(1);
  return s.int64(0);
}

int History::page(const HistoryQuery &q, uint64_t now_ms, std::vector<HistoryRow> *out,
                  bool *more) {
  out->clear();
  *more = false;
  flush();  // what it could not write is lost either way
  if (!q.conv && !q.newer) return 0;  // older messages are asked for one conversation
  uint32_t count = q.count ? q.count : HISTORY_PAGE_DEFAULT;
  if (count > HISTORY_PAGE_MAX) count = HISTORY_PAGE_MAX;

  // Where the page starts: right beyond the named message, or beyond the
  // two seconds around the time, whose rows come first.
  int64_t from_time, from_seq;
  uint64_t found_time = 0;
  int64_t found = q.anchor_mid ? find(q, &found_time) : 0;
  std::vector<HistoryRow> window;
  if (found) {
    from_time = (int64_t)found_time;
    from_seq = found;
  } else if (q.anchor_s == 0) {
    from_time = from_seq = q.newer ? INT64_MIN : INT64_MAX;
  } else {
    // A time from a device: far beyond any message, but not beyond
    // arithmetic.
    int64_t s = (int64_t)std::min<uint64_t>(q.anchor_s, HISTORY_TIME_MAX_S);
    int64_t lo = (s - 1) * 1000;
    int64_t hi = (s + 1) * 1000;
    const char *sql = q.conv ? SQL_WINDOW : SQL_WINDOW_ALL;
    if (select(q, sql, now_ms, {lo, hi}, &window) != 0) return -1;
    // Beyond the window: before lo, or from hi on.
    from_time = q.newer ? hi : lo;
    from_seq = INT64_MIN;
  }
  const char *sql = q.newer ? (q.conv ? SQL_NEWER : SQL_NEWER_ALL) : SQL_OLDER;
  std::vector<HistoryRow> beyond;
  if (select(q, sql, now_ms, {from_time, from_seq, (int64_t)count + 1}, &beyond) != 0) return -1;
  if (beyond.size() > count) {
    *more = true;
    beyond.resize(count);
  }
  if (q.newer) {
    *out = std::move(window);
    out->insert(out->end(), beyond.begin(), beyond.end());
  } else {
    // Older rows came newest first; the page goes out oldest first.
    out->assign(beyond.rbegin(), beyond.rend());
    out->insert(out->end(), window.begin(), window.end());
  }
  return 0;
}

int64_t History::count(uint64_t conv, uint32_t owner) {
  flush();
  Stmt s(statements_.prepare(conv ? "select count(*) from history where conv = ?1"
                                  : "select count(*) from history where " HISTORY_OWNED));
  if (!s.ok()) return -1;
  s.bind(1, conv ? (int64_t)conv : (int64_t)owner);
  return s.step() == SQLITE_ROW ? s.int64(0) : -1;
}
