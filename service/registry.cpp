// User registry in SQLite: see registry.h.
#include "service/registry.h"

#include <cctype>
#include <cstring>

#include "util/logs.h"

static const char *const REGISTRY_SCHEMA =
    "create table if not exists users(uid integer primary key, address text not null unique);"
    "create table if not exists apps(id integer primary key autoincrement,"
    " name text not null unique);"
    "create table if not exists tokens(serial integer primary key, uid integer not null,"
    " app_id integer not null, app_name text not null, key blob not null,"
    " options integer not null, created integer not null,"
    " revoked integer not null default 0);"
    "create table if not exists tickets(serial integer not null, host text not null,"
    " ticket text not null, issued integer not null);"
    "create index if not exists tickets_by_token on tickets(serial, host);";

Registry::~Registry() { close(); }

sqlite3_stmt *Registry::prepare(const char *sql) { return statements_.prepare(sql); }

int Registry::exec(const char *sql) { return statements_.exec(sql); }

int Registry::open(const std::string &path) {
  close();
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    LOGE("registry: cannot open %s: %s", path.c_str(), db_ ? sqlite3_errmsg(db_) : "?");
    close();
    return -1;
  }
  // Minting runs in another process while the service serves logins.
  sqlite3_busy_timeout(db_, 5000);
  statements_.attach(db_);
  if (exec("pragma journal_mode=wal; pragma synchronous=normal; pragma cache_size=-16384;") != 0 ||
      exec(REGISTRY_SCHEMA) != 0) {
    close();
    return -1;
  }
  return 0;
}

void Registry::close() {
  statements_.clear();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

int Registry::assignAppId(const std::string &name, uint32_t *id) {
  {
    Stmt s(prepare("insert or ignore into apps(name) values(?)"));
    if (!s.ok()) return -1;
    s.bind(1, name);
    if (s.step() != SQLITE_DONE) return -1;
  }
  Stmt s(prepare("select id from apps where name = ?"));
  if (!s.ok()) return -1;
  s.bind(1, name);
  if (s.step() != SQLITE_ROW) return -1;
  *id = (uint32_t)s.int64(0);
  return 0;
}

int Registry::ensureUser(uint32_t uid, const std::string &address, std::string *final_address) {
  std::string current = findAddress(uid);
  if (!current.empty() && (address.empty() || address == current)) {
    *final_address = current;
    return 0;
  }
  std::string wanted = address.empty() ? "u" + std::to_string(uid) : address;
  uint32_t owner = findUid(wanted);
  if (owner != 0 && owner != uid) {
    LOGE("registry: address %s belongs to uid %u", wanted.c_str(), owner);
    return -1;
  }
  Stmt s(prepare("insert into users(uid, address) values(?, ?)"
              " on conflict(uid) do update set address = excluded.address"));
  if (!s.ok()) return -1;
  s.bind(1, (int64_t)uid);
  s.bind(2, wanted);
  if (s.step() != SQLITE_DONE) return -1;
  *final_address = wanted;
  return 0;
}

int Registry::mintToken(uint32_t uid, const std::string &app_name, uint32_t app_id,
                        const std::string &address, TokenRecord *out) {
  if (!db_ || uid == 0) return -1;
  TokenRecord t;
  t.uid = uid;
  t.revoked = false;
  t.app_name = app_name;
  for (char &c : t.app_name) c = (char)tolower((unsigned char)c);
  t.options = t.app_name.empty() ? (uint32_t)TOKEN_OPTION_NO_APP_NAME : 0u;
  if (token_new_key(t.key) != 0) return -1;

  // Serials must keep increasing even when two mints race.
  if (exec("begin immediate") != 0) return -1;
  int rc = -1;
  do {
    if (ensureUser(uid, address, &t.address) != 0) break;
    t.app_id = app_id;
    if (t.app_id == 0 && assignAppId(t.app_name, &t.app_id) != 0) break;
    {
      Stmt s(prepare("select coalesce(max(serial), ?) from tokens"));
      if (!s.ok()) break;
      s.bind(1, (int64_t)(TOKEN_SERIAL_FIRST - 1));
      if (s.step() != SQLITE_ROW) break;
      t.serial = (uint64_t)s.int64(0) + 1;
    }
    Stmt s(prepare("insert into tokens(serial, uid, app_id, app_name, key, options, created)"
                " values(?, ?, ?, ?, ?, ?, strftime('%s','now'))"));
    if (!s.ok()) break;
    s.bind(1, (int64_t)t.serial);
    s.bind(2, (int64_t)t.uid);
    s.bind(3, (int64_t)t.app_id);
    s.bind(4, t.app_name);
    s.bind_blob(5, t.key, TOKEN_KEY_SIZE);
    s.bind(6, (int64_t)t.options);
    if (s.step() != SQLITE_DONE) break;
    rc = 0;
  } while (false);
  if (exec(rc == 0 ? "commit" : "rollback") != 0) rc = -1;
  if (rc == 0) *out = t;
  return rc;
}

int Registry::findToken(uint64_t serial, TokenRecord *out) {
  if (!db_) return -1;
  Stmt s(prepare("select t.uid, t.app_id, t.options, t.key, t.app_name, t.revoked, u.address"
              " from tokens t left join users u on u.uid = t.uid where t.serial = ?"));
  if (!s.ok()) return -1;
  s.bind(1, (int64_t)serial);
  int rc = s.step();
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return -1;
  out->serial = serial;
  out->uid = (uint32_t)s.int64(0);
  out->app_id = (uint32_t)s.int64(1);
  out->options = (uint32_t)s.int64(2);
  memset(out->key, 0, TOKEN_KEY_SIZE);
  if (sqlite3_column_bytes(s.get(), 3) == TOKEN_KEY_SIZE)
    memcpy(out->key, sqlite3_column_blob(s.get(), 3), TOKEN_KEY_SIZE);
  out->app_name = s.text(4);
  out->revoked = s.int64(5) != 0;
  out->address = s.text(6);
  return 1;
}

int Registry::revokeToken(uint64_t serial) {
  Stmt s(prepare("update tokens set revoked = 1 where serial = ?"));
  if (!s.ok()) return -1;
  s.bind(1, (int64_t)serial);
  if (s.step() != SQLITE_DONE) return -1;
  return sqlite3_changes(db_) > 0 ? 0 : -1;
}

int Registry::findTickets(uint64_t serial, const std::string &host, uint64_t now,
                          std::vector<std::string> *out) {
  out->clear();
  Stmt s(prepare("select ticket from tickets where serial = ? and host = ? and issued > ?"
              " order by issued desc, rowid desc"));
  if (!s.ok()) return -1;
  s.bind(1, (int64_t)serial);
  s.bind(2, host);
  s.bind(3, (int64_t)now - REGISTRY_TICKET_LIFETIME);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) out->push_back(s.text(0));
  return rc == SQLITE_DONE ? 0 : -1;
}

int Registry::addTicket(uint64_t serial, const std::string &host, const std::string &ticket,
                        uint64_t now) {
  // One commit for the ticket and the pruning of older ones.
  if (exec("begin immediate") != 0) return -1;
  int rc = -1;
  do {
    Stmt add(prepare("insert into tickets(serial, host, ticket, issued) values(?, ?, ?, ?)"));
    if (!add.ok()) break;
    add.bind(1, (int64_t)serial);
    add.bind(2, host);
    add.bind(3, ticket);
    add.bind(4, (int64_t)now);
    if (add.step() != SQLITE_DONE) break;
    Stmt prune(prepare("delete from tickets where serial = ?1 and host = ?2 and rowid not in"
                       " (select rowid from tickets where serial = ?1 and host = ?2"
                       "  order by issued desc, rowid desc limit ?3)"));
    if (!prune.ok()) break;
    prune.bind(1, (int64_t)serial);
    prune.bind(2, host);
    prune.bind(3, (int64_t)REGISTRY_TICKETS_PER_HOST);
    if (prune.step() != SQLITE_DONE) break;
    rc = 0;
  } while (false);
  if (exec(rc == 0 ? "commit" : "rollback") != 0) rc = -1;
  return rc;
}

std::string Registry::findAddress(uint32_t uid) {
  Stmt s(prepare("select address from users where uid = ?"));
  if (!s.ok()) return std::string();
  s.bind(1, (int64_t)uid);
  return s.step() == SQLITE_ROW ? s.text(0) : std::string();
}

uint32_t Registry::findUid(const std::string &address) {
  Stmt s(prepare("select uid from users where address = ?"));
  if (!s.ok()) return 0;
  s.bind(1, address);
  return s.step() == SQLITE_ROW ? (uint32_t)s.int64(0) : 0;
}
