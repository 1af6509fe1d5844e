// The database object: connection, query helpers, settings store, backup
// and restore. See sqlite3_manager.h.
#include "app/sqlite3_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/notify.h"
#include "util/logs.h"
#include "util/mutex.h"

enum { DB_UID_TEXT = 16 };

// ---- file names -----------------------------------------------------------

int db_user_path(const char *path, const char *databases, uint32_t uid, char *out, size_t cap) {
  if (path == nullptr || out == nullptr || cap == 0) return -1;
  while (isspace((unsigned char)*path)) path++;
  std::string full = path;
  if (path[0] != '/') full = std::string(databases ? databases : ".") + "/" + path;
  if (uid != 0) {
    size_t slash = full.rfind('/');
    size_t dot = full.rfind('.');
    bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
                   dot + 1 < full.size();
    char tail[48];
    if (has_ext) {
      std::string ext = full.substr(dot + 1);
      full.resize(dot);
      snprintf(tail, sizeof tail, "-%u.", uid);
      full += tail + ext;
    } else {
      snprintf(tail, sizeof tail, "-%u.db", uid);
      full += tail;
    }
  }
  if (full.size() >= cap) {
    out[0] = 0;
    return -1;
  }
  memcpy(out, full.c_str(), full.size() + 1);
  return (int)full.size();
}

// ---- parameters -----------------------------------------------------------

int db_bind(sqlite3_stmt *st, const DbArg *args, size_t n) {
  int i = 1;
  for (const DbArg *a_end = args + n; args < a_end; args++) {
    const DbArg &a = *args;
    int rc = SQLITE_OK;
    switch (a.kind) {
      case DbArg::NUL:
        rc = sqlite3_bind_null(st, i);
        break;
      case DbArg::INT:
        rc = sqlite3_bind_int64(st, i, a.i);
        break;
      case DbArg::TEXT:
        rc = sqlite3_bind_text(st, i, (const char *)a.p, a.len, SQLITE_TRANSIENT);
        break;
      case DbArg::BLOB:
        rc = sqlite3_bind_blob(st, i, a.p, a.len, SQLITE_TRANSIENT);
        break;
      case DbArg::MID: {
        char num[24];
        snprintf(num, sizeof num, "%" PRIu64, (uint64_t)a.i);
        rc = sqlite3_bind_text(st, i, num, -1, SQLITE_TRANSIENT);
        break;
      }
    }
    if (rc != SQLITE_OK) return rc;
    i++;
  }
  return SQLITE_OK;
}

// A key pattern for LIKE: '%' stays a wildcard, '_' and the escape
// character are literal ("l_%" must not match "lx...").
static std::string like_pattern(const char *s) {
  std::string r;
  for (; *s; s++) {
    if (*s == '_' || *s == '\\') r += '\\';
    r += *s;
  }
  return r;
}

// Copies as much of `v` as fits, always terminated.
static void copy_bounded(char *buffer, size_t size, const unsigned char *v) {
  size_t n = strlen((const char *)v);
  if (n >= size) n = size - 1;
  memcpy(buffer, v, n);
  buffer[n] = 0;
}

static char *copy_text(const unsigned char *s) {
  return s ? strdup((const char *)s) : nullptr;
}

// ---- connection -----------------------------------------------------------

Sqlite3Manager::Sqlite3Manager(DbHost *h) : host(h) {}

Sqlite3Manager::~Sqlite3Manager() { closeDB(); }

void Sqlite3Manager::closeDB() {
  dropStatements();
  if (db) {
    refreshPlannerStats();
    sqlite3_close(db);
  }
  db = nullptr;
  free(path);
  path = nullptr;
}

// The store never runs ANALYZE itself, and without statistics SQLite reads
// one conversation through the gid index (every one-to-one row) instead of
// the sender index. "optimize" analyzes only tables this connection queried
// whose statistics are missing or stale, on a sample of 400 rows per index.
void Sqlite3Manager::refreshPlannerStats() {
  if (db) sqlite3_exec(db, "pragma analysis_limit=400; pragma optimize", nullptr, nullptr, nullptr);
}

// ---- statement cache -----------------------------------------------------

sqlite3_stmt *Sqlite3Manager::checkout(const char *sql) {
  if (db == nullptr || sql == nullptr) return nullptr;
  {
    MutexGuard g(&statements_lock);
    for (StatementSlot &slot : statements) {
      if (slot.st && strcmp(slot.sql, sql) == 0) {
        sqlite3_stmt *st = slot.st;
        slot.st = nullptr;
        return st;
      }
    }
  }
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return nullptr;
  }
  return st;
}

void Sqlite3Manager::checkin(sqlite3_stmt *st) {
  if (st == nullptr) return;
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  const char *sql = sqlite3_sql(st);
  MutexGuard g(&statements_lock);
  StatementSlot *free_slot = nullptr;
  for (StatementSlot &slot : statements) {
    if (slot.sql && slot.st == nullptr && strcmp(slot.sql, sql) == 0) {
      slot.st = st;
      return;
    }
    if (free_slot == nullptr && slot.sql == nullptr) free_slot = &slot;
  }
  StatementSlot *slot = free_slot;
  if (slot == nullptr) {
    slot = &statements[next_victim++ % DB_STATEMENT_CACHE];
    sqlite3_finalize(slot->st);
    free(slot->sql);
  }
  slot->sql = strdup(sql);
  slot->st = slot->sql ? st : nullptr;
  if (slot->sql == nullptr) sqlite3_finalize(st);
}

void Sqlite3Manager::dropStatements() {
  MutexGuard g(&statements_lock);
  for (StatementSlot &slot : statements) {
    sqlite3_finalize(slot.st);
    free(slot.sql);
    slot = {nullptr, nullptr};
  }
}

// WAL: one append per commit instead of several flushes, and readers do not
// block the writer. Also the first statement that reads the file, so a file
// that is not a database fails here.
static int configure_journal(sqlite3 *conn) {
  if (sqlite3_exec(conn, "pragma journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK)
    return -1;
  // With the default 2 MiB, one page of a conversation in a large file
  // pushes the inner pages of the table and its indexes out of the cache,
  // and every row then costs several reads from the file. The cache grows
  // only as pages are used.
  sqlite3_exec(conn, "pragma cache_size=-8192", nullptr, nullptr, nullptr);
  if (sqlite3_exec(conn, "pragma synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK)
    return -1;
  return 0;
}

int Sqlite3Manager::createDB(const char *file) {
  LOGD("createDB: %s (%p)", file ? file : "", (void *)this);
  if (file == nullptr) return -1;
  closeDB();
  open_result = -1;
  // The messages are nobody else's to read: create the file ourselves so
  // that it starts out private (the journal files follow its mode).
  int fd = open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, DB_FILE_MODE);
  if (fd >= 0) close(fd);

  sqlite3 *conn = nullptr;
  if (sqlite3_open_v2(file, &conn, DB_OPEN_FLAGS, nullptr) != SQLITE_OK) {
    LOGE("zalvio db open failed: %s", file);
    sqlite3_close(conn);
    return -1;
  }
  if (sqlite3_db_readonly(conn, "main") != 0) {
    LOGE("could not open the database in read/write mode: %s", file);
    sqlite3_close(conn);
    return -1;
  }
  if (sqlite3_busy_timeout(conn, DB_BUSY_TIMEOUT_MS) != SQLITE_OK) {
    LOGE("could not set busy timeout");
    sqlite3_close(conn);
    return -1;
  }
  if (configure_journal(conn) != 0) {
    LOGE("zalvio db open failed: %s", file);
    sqlite3_close(conn);
    return -1;
  }
  db = conn;
  createTable();
  path = strdup(file);
  setKeyInt("uid", host->db_uid());
  open_result = 0;
  return 0;
}

// ---- raw statements -------------------------------------------------------

int Sqlite3Manager::executeSQL(const char *sql) {
  if (db == nullptr || sql == nullptr) return -1;
  char *err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    LOGE("SQL Error: %s", sql);
    sqlite3_free(err);
    return -1;
  }
  return sqlite3_changes(db);
}

int Sqlite3Manager::getIntValue(const char *sql, int column, int def) {
  if (db == nullptr) return -1;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    LOGD("getIntValue SQL Error: %s", sql);
    return -1;
  }
  int v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, column) : def;
  sqlite3_finalize(st);
  return v;
}

int64_t Sqlite3Manager::getInt64Value(const char *sql, int column, int64_t def) {
  if (db == nullptr) return -1;
  LOGD("index: %d sql: %s", column, sql);
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    LOGD("getInt64Value SQL Error: %s", sql);
    return -1;
  }
  int64_t v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, column) : def;
  sqlite3_finalize(st);
  return v;
}

int Sqlite3Manager::getIntValues(const char *sql, int64_t *out, int n) {
  if (db == nullptr) return -1;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    LOGD("getIntValues SQL Error: %s", sql);
    return -1;
  }
  int rv = -1;
  if (sqlite3_step(st) == SQLITE_ROW) {
    for (int i = 0; i < n; i++) out[i] = sqlite3_column_int64(st, i);
    rv = 0;
  }
  sqlite3_finalize(st);
  return rv;
}

// Shared body of getValue and getValueFromSqlite3; they differ in their log
// texts only.
static int value_of(sqlite3 *conn, const char *sql, int column, char *buffer, size_t size,
                    char **copy_out, const char *error_text) {
  if (buffer && size > 0) buffer[0] = 0;
  if (copy_out) *copy_out = nullptr;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(conn, sql, -1, &st, nullptr) != SQLITE_OK) {
    LOGD("%s: %s", error_text, sql);
    return -1;
  }
  if (sqlite3_step(st) == SQLITE_ROW) {
    const unsigned char *v = sqlite3_column_text(st, column);
    if (v) {
      if (copy_out) *copy_out = copy_text(v);
      if (buffer && size > 0) copy_bounded(buffer, size, v);
    }
  }
  sqlite3_finalize(st);
  return 0;
}

int Sqlite3Manager::getValue(const char *sql, int column, char *buffer, size_t size,
                             char **copy_out) {
  if (db == nullptr) return -1;
  LOGD("getIntValue index: %d sql: %s", column, sql);
  return value_of(db, sql, column, buffer, size, copy_out, "getValue SQL Error");
}

int Sqlite3Manager::getValueFromSqlite3(sqlite3 *conn, const char *sql, int column, char *buffer,
                                        size_t size, char **copy_out) {
  if (conn == nullptr) return -1;
  LOGD("getValueFromSqlite3 index: %d sql: %s", column, sql);
  return value_of(conn, sql, column, buffer, size, copy_out, "getValueFromSqlite3 SQL Error");
}

int Sqlite3Manager::getBlobValue(const char *sql, const char *param, int column, DbBuffer *out) {
  if (db == nullptr || out == nullptr) return -1;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) return -1;
  if (param) sqlite3_bind_text(st, 1, param, -1, SQLITE_TRANSIENT);
  while (sqlite3_step(st) == SQLITE_ROW) {
    const void *blob = sqlite3_column_blob(st, column);
    uint32_t len = (uint32_t)sqlite3_column_bytes(st, column);
    if (out->data == nullptr || len >= out->cap) {
      uint8_t *block = (uint8_t *)malloc((size_t)len + 1);
      if (block == nullptr) break;
      if (out->owned) free(out->data);
      out->data = block;
      out->cap = len + 1;
      out->owned = true;
    }
    if (len > 0) memcpy(out->data, blob, len);
    out->data[len] = 0;
    out->len = len;
  }
  sqlite3_finalize(st);
  return 0;
}

// ---- bound statements -----------------------------------------------------

int Sqlite3Manager::execArgs(const char *sql, const DbArg *args, size_t n) {
  if (db == nullptr) return -1;
  sqlite3_stmt *st = checkout(sql);
  if (st == nullptr) {
    LOGE("SQL Error: %s", sql);
    return -1;
  }
  int rc = db_bind(st, args, n);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  int rv = rc == SQLITE_DONE || rc == SQLITE_ROW ? sqlite3_changes(db) : -1;
  if (rv < 0) LOGE("SQL Error: %s (%s)", sql, sqlite3_errstr(rc));
  checkin(st);
  return rv;
}

// Checks `sql` out, binds `args` and steps once. Returns the statement for
// the caller to read and check in, or null; *rc is the step's result.
sqlite3_stmt *Sqlite3Manager::stepOnce(const char *sql, DbArgs args, int *rc) {
  if (db == nullptr) return nullptr;
  sqlite3_stmt *st = checkout(sql);
  if (st == nullptr) {
    LOGD("SQL error: %s", sql);
    return nullptr;
  }
  *rc = db_bind(st, args);
  if (*rc == SQLITE_OK) *rc = sqlite3_step(st);
  return st;
}

int Sqlite3Manager::queryInt64(const char *sql, DbArgs args, int column, int64_t *out) {
  int rc;
  sqlite3_stmt *st = stepOnce(sql, args, &rc);
  if (st == nullptr) return -1;
  int rv = -1;
  if (rc == SQLITE_ROW) {
    *out = sqlite3_column_int64(st, column);
    rv = 1;
  } else if (rc == SQLITE_DONE) {
    rv = 0;
  }
  checkin(st);
  return rv;
}

int Sqlite3Manager::queryText(const char *sql, DbArgs args, int column, char *buffer,
                              size_t size) {
  if (buffer && size > 0) buffer[0] = 0;
  int rc;
  sqlite3_stmt *st = stepOnce(sql, args, &rc);
  if (st == nullptr) return -1;
  int rv = -1;
  if (rc == SQLITE_ROW) {
    const unsigned char *v = sqlite3_column_text(st, column);
    rv = v ? 1 : 0;
    if (v && buffer && size > 0) copy_bounded(buffer, size, v);
  } else if (rc == SQLITE_DONE) {
    rv = 0;
  }
  checkin(st);
  return rv;
}

// ---- settings -------------------------------------------------------------

int Sqlite3Manager::insertOrUpdateKey(const char *name, const char *value, int insert) {
  if (db == nullptr || name == nullptr || value == nullptr) return -1;
  const char *sql = insert ? "insert or ignore into settings (val, name) VALUES (?, ?)"
                           : "update settings set val=? where name=?";
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) return -1;
  sqlite3_bind_text(st, 1, value, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 2, name, -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(st);
  int rv = 0;
  if (rc == SQLITE_DONE) rv = sqlite3_changes(db);
  else LOGE("sql error in update: %s (%s)", sql, sqlite3_errstr(rc));
  sqlite3_finalize(st);
  return rv;
}

int Sqlite3Manager::setKey(const char *name, const char *value) {
  if (insertOrUpdateKey(name, value, 0) == 1) return 0;
  return insertOrUpdateKey(name, value, 1) == 1 ? 0 : -1;
}

int Sqlite3Manager::setKeyInt(const char *name, uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "%" PRIu64, value);
  return setKey(name, text);
}

int Sqlite3Manager::getKey(const char *name, char **copy_out, INotify *listener) {
  if (copy_out) *copy_out = nullptr;
  if (db == nullptr) return -1;
  if (name == nullptr && listener == nullptr) return -1;
  bool pattern = name && strchr(name, '%');
  const char *sql = name == nullptr ? "select name, val from settings"
                    : pattern       ? "select name, val from settings where name like ? escape '\\'"
                                    : "select name, val from settings where name=?";
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) return -1;
  if (name) {
    std::string bound = pattern ? like_pattern(name) : std::string(name);
    sqlite3_bind_text(st, 1, bound.c_str(), -1, SQLITE_TRANSIENT);
  }
  int rows = 0;
  while (sqlite3_step(st) == SQLITE_ROW) {
    rows++;
    const char *n = (const char *)sqlite3_column_text(st, 0);
    const unsigned char *v = sqlite3_column_text(st, 1);
    if (copy_out && name) {
      *copy_out = copy_text(v);
      break;
    }
    if (listener && listener->on_key_value(n, (const char *)v) < 0) break;
  }
  sqlite3_finalize(st);
  return rows;
}

uint64_t Sqlite3Manager::getKeyInt(const char *name, uint64_t def) {
  char *v = nullptr;
  getKey(name, &v, nullptr);
  if (v == nullptr) return def;
  uint64_t r = strtoull(v, nullptr, 10);
  free(v);
  return r;
}

void Sqlite3Manager::freeKeyValue(char *value) { free(value); }

int Sqlite3Manager::deleteKey(const char *name) {
  if (name == nullptr) return -1;
  if (strchr(name, '%'))
    return execArgs("delete from settings where name like ? escape '\\'",
                    {db_text(like_pattern(name).c_str())});
  return execArgs("delete from settings where name=?", {db_text(name)});
}

int Sqlite3Manager::countKeys(const char *name, const char *value) {
  if (db == nullptr || name == nullptr) return -1;
  bool name_like = strchr(name, '%') != nullptr;
  bool value_like = value && strchr(value, '%') != nullptr;
  std::string sql = name_like ? "select count(name) from settings where name like ? escape '\\' "
                              : "select count(name) from settings where name=? ";
  if (value) sql += value_like ? "and val like ? escape '\\' " : "and val=? ";
  std::string n = name_like ? like_pattern(name) : std::string(name);
  std::string v = value ? (value_like ? like_pattern(value) : std::string(value)) : std::string();
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return -1;
  sqlite3_bind_text(st, 1, n.c_str(), -1, SQLITE_TRANSIENT);
  if (value) sqlite3_bind_text(st, 2, v.c_str(), -1, SQLITE_TRANSIENT);
  int count = 0;
  while (sqlite3_step(st) == SQLITE_ROW) count = sqlite3_column_int(st, 0);
  sqlite3_finalize(st);
  return count;
}

int Sqlite3Manager::setKeyBinary(const char *name, const void *data, uint32_t len) {
  if (db == nullptr || name == nullptr || data == nullptr || len == 0 || len > INT32_MAX)
    return -1;
  static const char SQL[] =
      "insert or replace into settings (name, vb) values(?, ?) on conflict do update set "
      "vb=excluded.vb";
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, SQL, -1, &st, nullptr) != SQLITE_OK) return -1;
  sqlite3_bind_text(st, 1, name, -1, SQLITE_TRANSIENT);
  sqlite3_bind_blob(st, 2, data, (int)len, SQLITE_TRANSIENT);
  int rc = sqlite3_step(st);
  int rv = 0;
  if (rc == SQLITE_DONE) rv = sqlite3_changes(db);
  else LOGE("sql error in update: %s (%s)", SQL, sqlite3_errstr(rc));
  sqlite3_finalize(st);
  return rv;
}

int Sqlite3Manager::getKeyBinary(const char *name, uint8_t **out, uint32_t *len) {
  if (out) *out = nullptr;
  if (len) *len = 0;
  if (db == nullptr || name == nullptr || out == nullptr || len == nullptr) return -1;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, "select vb from settings where name=?", -1, &st, nullptr) != SQLITE_OK)
    return -1;
  sqlite3_bind_text(st, 1, name, -1, SQLITE_TRANSIENT);
  int rv = 0;
  if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL) {
    const void *blob = sqlite3_column_blob(st, 0);
    uint32_t n = (uint32_t)sqlite3_column_bytes(st, 0);
    uint8_t *block = (uint8_t *)malloc((size_t)n + 1);
    if (block == nullptr) {
      rv = -1;
    } else {
      if (n > 0) memcpy(block, blob, n);
      block[n] = 0;
      *out = block;
      *len = n;
    }
  }
  sqlite3_finalize(st);
  return rv;
}

// ---- backup and restore ---------------------------------------------------

// "file:///x" and "file://localhost/x" name the local file "/x".
static const char *strip_file_url(const char *p) {
  if (strncmp(p, "file:///", 8) == 0) return p + 7;
  if (strncmp(p, "file://localhost/", 17) == 0) return p + 16;
  return p;
}

// Equal names, or two names of one file: writing a copy over the live
// file would pull it from under the open connection and its journal.
static bool same_file(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return false;
  if (strcmp(a, b) == 0) return true;
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

static bool has_settings_table(sqlite3 *conn, bool *readable) {
  sqlite3_stmt *st = nullptr;
  *readable = false;
  if (sqlite3_prepare_v2(conn,
                         "select count(1) from sqlite_master where type='table' and "
                         "name='settings'",
                         -1, &st, nullptr) != SQLITE_OK)
    return false;
  bool found = false;
  if (sqlite3_step(st) == SQLITE_ROW) {
    *readable = true;
    found = sqlite3_column_int(st, 0) > 0;
  }
  sqlite3_finalize(st);
  return found;
}

int Sqlite3Manager::backup_restore(const char *target, bool backup) {
  if (db == nullptr || target == nullptr) return -1;
  const char *file = strip_file_url(target);
  if (same_file(file, path)) {
    LOGE("zalvio backup: same filename as active db used");
    return DB_SAME_FILE;
  }
  uint32_t uid = host->db_uid();
  int rv;
  if (backup) {
    setKeyInt("backupts", nowMs());
    // A failed copy must not cost the previous backup: write beside it and
    // swap it in only when complete.
    std::string tmp = std::string(file) + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0) {
      LOGE("unable to open backup database: %s Please check permissions and try again", file);
      return -1;
    }
    close(fd);
    rv = loadOrSaveDb(db, tmp.c_str(), true, uid);
    if (rv == 0 && rename(tmp.c_str(), file) != 0) {
      LOGE("unable to open backup database: %s Please check permissions and try again", file);
      rv = -1;
    }
    if (rv != 0) unlink(tmp.c_str());
  } else {
    rv = loadOrSaveDb(db, file, false, uid);
    if (rv == 0) configure_journal(db);
  }
  if (rv == 0) {
    createTable();
    startupSweep();
  }
  return rv;
}

int Sqlite3Manager::loadOrSaveDb(sqlite3 *conn, const char *file, bool backup,
                                 uint32_t expected_uid) {
  if (conn == nullptr || file == nullptr) return -1;
  // A restore only reads its source and never creates it: a mistyped name
  // must not turn into an empty database copied over the live one.
  int flags = backup ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  sqlite3 *other = nullptr;
  bool readable = true;
  bool settings = true;
  int rc = sqlite3_open_v2(file, &other, flags, nullptr);
  if (rc == SQLITE_OK && !backup) settings = has_settings_table(other, &readable);
  if (rc != SQLITE_OK || !readable) {
    LOGE("unable to open backup database: %s Please check permissions and try again", file);
    sqlite3_close(other);
    return -1;
  }
  if (!settings) {
    LOGE("unable to restore database: %s has no settings table", file);
    sqlite3_close(other);
    return -1;
  }
  if (!backup) {
    char text[DB_UID_TEXT];
    getValueFromSqlite3(other, "select val from settings where name='uid'", 0, text, sizeof text,
                        nullptr);
    uint32_t found = (uint32_t)strtoul(text, nullptr, 10);
    if (found != expected_uid) {
      LOGE("unable to restore database: UID does not match - expected %u found %u", expected_uid,
           found);
      sqlite3_close(other);
      return DB_RESTORE_UID_MISMATCH;
    }
  }
  sqlite3 *src = backup ? conn : other;
  sqlite3 *dst = backup ? other : conn;
  sqlite3_backup *b = sqlite3_backup_init(dst, "main", src, "main");
  if (b) {
    sqlite3_backup_step(b, -1);
    rc = sqlite3_backup_finish(b);
  } else {
    rc = sqlite3_errcode(dst);
  }
  int rv = rc == SQLITE_OK ? 0 : -1;
  // The copy carries the live file's WAL mark; a backup is one plain file.
  if (rv == 0 && backup &&
      sqlite3_exec(other, "pragma journal_mode=DELETE", nullptr, nullptr, nullptr) != SQLITE_OK)
    rv = -1;
  if (sqlite3_close(other) != SQLITE_OK) rv = -1;
  LOGE("zalvio database %s operation completed with result %d", backup ? "backup" : "restore", rv);
  return rv;
}
