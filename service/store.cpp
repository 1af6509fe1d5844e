// Offline store, groups and sequences in SQLite: see store.h.
#include "service/store.h"

#include "util/logs.h"

static const char *const STORE_SCHEMA =
    "create table if not exists stored(id integer primary key autoincrement,"
    " uid integer not null, report_to integer not null, mid integer not null,"
    " gid integer not null, channel integer not null, type integer not null,"
    " flags integer not null, received integer not null, deadline integer not null,"
    " items blob not null);"
    "create index if not exists stored_by_user on stored(uid, id);"
    "create index if not exists stored_by_deadline on stored(deadline);"
    "create table if not exists groups(gid integer primary key, created integer not null);"
    "create table if not exists members(gid integer not null, uid integer not null,"
    " primary key(gid, uid)) without rowid;"
    "create table if not exists sequences(uid integer not null, installation integer not null,"
    " seq integer not null, primary key(uid, installation)) without rowid;";

int MessageStore::open(sqlite3 *db) {
  statements_.attach(db);
  return statements_.exec(STORE_SCHEMA);
}

int MessageStore::finish(bool ok) {
  if (statements_.exec(ok ? "commit" : "rollback") != 0) {
    if (ok) statements_.exec("rollback");
    return -1;
  }
  return ok ? 0 : -1;
}

int MessageStore::storeRows(const std::vector<StoredRow *> &rows) {
  if (rows.empty()) return 0;
  if (begin() != 0) return -1;
  bool ok = true;
  for (size_t i = 0; ok && i < rows.size(); i++) {
    StoredRow *r = rows[i];
    Stmt s(statements_.prepare(
        "insert into stored(uid, report_to, mid, gid, channel, type, flags, received, deadline,"
        " items) values(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    if (!s.ok()) {
      ok = false;
      break;
    }
    s.bind(1, (int64_t)r->uid);
    s.bind(2, (int64_t)r->report_to);
    s.bind(3, (int64_t)r->mid);
    s.bind(4, (int64_t)r->gid);
    s.bind(5, (int64_t)r->channel);
    s.bind(6, (int64_t)r->type);
    s.bind(7, (int64_t)r->flags);
    s.bind(8, (int64_t)r->received_ms);
    s.bind(9, (int64_t)r->deadline_s);
    s.bind_blob(10, r->items.data(), (int)r->items.size());
    ok = s.step() == SQLITE_DONE;
    r->id = ok ? sqlite3_last_insert_rowid(statements_.db()) : 0;
  }
  if (finish(ok) != 0) {
    for (StoredRow *r : rows) r->id = 0;
    LOGE("store: %zu records not stored", rows.size());
    return -1;
  }
  return 0;
}

static void read_row(Stmt &s, StoredRow *r) {
  r->id = s.int64(0);
  r->uid = (uint32_t)s.int64(1);
  r->report_to = (uint32_t)s.int64(2);
  r->mid = (uint32_t)s.int64(3);
  r->gid = (uint32_t)s.int64(4);
  r->channel = (uint16_t)s.int64(5);
  r->type = (uint16_t)s.int64(6);
  r->flags = (uint64_t)s.int64(7);
  r->received_ms = (uint64_t)s.int64(8);
  r->deadline_s = (uint64_t)s.int64(9);
  r->items = s.blob(10);
}

int MessageStore::loadRows(uint32_t uid, int64_t after, uint32_t limit,
                           std::vector<StoredRow> *out) {
  out->clear();
  Stmt s(statements_.prepare(
      "select id, uid, report_to, mid, gid, channel, type, flags, received, deadline, items"
      " from stored where uid = ? and id > ? order by id limit ?"));
  if (!s.ok()) return -1;
  s.bind(1, (int64_t)uid);
  s.bind(2, after);
  s.bind(3, (int64_t)limit);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) {
    out->emplace_back();
    read_row(s, &out->back());
  }
  return rc == SQLITE_DONE ? 0 : -1;
}

int MessageStore::loadExpired(uint64_t now_s, uint32_t limit, std::vector<StoredRow> *out) {
  out->clear();
  Stmt s(statements_.prepare(
      "select id, uid, report_to, mid, gid, channel, type, flags, received, deadline, items"
      " from stored where deadline < ? order by deadline limit ?"));
  if (!s.ok()) return -1;
  s.bind(1, (int64_t)now_s);
  s.bind(2, (int64_t)limit);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) {
    out->emplace_back();
    read_row(s, &out->back());
  }
  return rc == SQLITE_DONE ? 0 : -1;
}

int MessageStore::deleteRows(const std::vector<int64_t> &ids, std::vector<bool> *removed) {
  removed->assign(ids.size(), false);
  if (ids.empty()) return 0;
  if (begin() != 0) return -1;
  bool ok = true;
  for (size_t i = 0; ok && i < ids.size(); i++) {
    Stmt s(statements_.prepare("delete from stored where id = ?"));
    if (!s.ok()) {
      ok = false;
      break;
    }
    s.bind(1, ids[i]);
    ok = s.step() == SQLITE_DONE;
    (*removed)[i] = ok && sqlite3_changes(statements_.db()) > 0;
  }
  if (finish(ok) != 0) {
    removed->assign(ids.size(), false);
    return -1;
  }
  return 0;
}

int64_t MessageStore::countRows(uint32_t uid) {
  Stmt s(statements_.prepare(uid ? "select count(*) from stored where uid = ?"
                                 : "select count(*) from stored where ? = 0"));
  if (!s.ok()) return -1;
  s.bind(1, (int64_t)uid);
  return s.step() == SQLITE_ROW ? s.int64(0) : -1;
}

int MessageStore::loadGroups(GroupMap *out) {
  out->clear();
  {
    Stmt s(statements_.prepare("select gid from groups"));
    if (!s.ok()) return -1;
    while (s.step() == SQLITE_ROW) (*out)[(uint32_t)s.int64(0)];
  }
  Stmt s(statements_.prepare("select gid, uid from members order by gid, uid"));
  if (!s.ok()) return -1;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) (*out)[(uint32_t)s.int64(0)].push_back((uint32_t)s.int64(1));
  return rc == SQLITE_DONE ? 0 : -1;
}

int MessageStore::addMembers(uint32_t gid, const std::vector<uint32_t> &members) {
  if (begin() != 0) return -1;
  bool ok;
  {
    Stmt s(statements_.prepare(
        "insert or ignore into groups(gid, created) values(?, strftime('%s','now'))"));
    ok = s.ok();
    if (ok) {
      s.bind(1, (int64_t)gid);
      ok = s.step() == SQLITE_DONE;
    }
  }
  ok = ok && eachMember("insert or ignore into members(gid, uid) values(?, ?)", gid, members);
  return finish(ok);
}

int MessageStore::removeMembers(uint32_t gid, const std::vector<uint32_t> &members) {
  if (begin() != 0) return -1;
  return finish(eachMember("delete from members where gid = ? and uid = ?", gid, members));
}

// Runs `sql` with (gid, uid) for every member, inside the caller's transaction.
bool MessageStore::eachMember(const char *sql, uint32_t gid, const std::vector<uint32_t> &members) {
  for (uint32_t uid : members) {
    Stmt s(statements_.prepare(sql));
    if (!s.ok()) return false;
    s.bind(1, (int64_t)gid);
    s.bind(2, (int64_t)uid);
    if (s.step() != SQLITE_DONE) return false;
  }
  return true;
}

int MessageStore::deleteGroup(uint32_t gid) {
  if (begin() != 0) return -1;
  bool ok = true;
  for (const char *sql : {"delete from members where gid = ?", "delete from groups where gid = ?"}) {
    Stmt s(statements_.prepare(sql));
    if (!s.ok()) {
      ok = false;
      break;
    }
    s.bind(1, (int64_t)gid);
    ok = s.step() == SQLITE_DONE;
    if (!ok) break;
  }
  return finish(ok);
}

int MessageStore::loadSequences(SequenceMap *out) {
  out->clear();
  Stmt s(statements_.prepare("select uid, installation, seq from sequences"));
  if (!s.ok()) return -1;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW)
    (*out)[{(uint32_t)s.int64(0), (uint32_t)s.int64(1)}] = (uint16_t)s.int64(2);
  return rc == SQLITE_DONE ? 0 : -1;
}

int MessageStore::saveSequences(const SequenceMap &seqs) {
  if (seqs.empty()) return 0;
  if (begin() != 0) return -1;
  bool ok = true;
  for (auto it = seqs.begin(); ok && it != seqs.end(); ++it) {
    Stmt s(statements_.prepare(
        "insert into sequences(uid, installation, seq) values(?, ?, ?)"
        " on conflict(uid, installation) do update set seq = excluded.seq"));
    if (!s.ok()) {
      ok = false;
      break;
    }
    s.bind(1, (int64_t)it->first.first);
    s.bind(2, (int64_t)it->first.second);
    s.bind(3, (int64_t)it->second);
    ok = s.step() == SQLITE_DONE;
  }
  return finish(ok);
}
