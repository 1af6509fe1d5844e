// The database object: one SQLite connection to the signed-in user's file.
//
// Sqlite3Manager owns the connection and everything that does not depend on
// the tables: choosing the per-user file name, opening and checking the
// file, the small query helpers every statement of the store goes through,
// the settings key/value store, and backup and restore. ZalvioDB
// (zalviodb.h) derives from it and adds the schema and the statements.
//
// The connection is opened in serialized mode, so any thread may use it;
// every statement is atomic by itself and none spans more than one. Every
// value that comes from outside (addresses, keys, paths, URLs, search
// texts) reaches SQLite as a bound parameter only. The journal is WAL with
// synchronous=NORMAL: a crash of the application loses nothing committed,
// and one write costs one append instead of several flushes.
//
// Message ids live in the text column `mid` as unsigned decimal; they are
// bound as that text (an id of 2^63 or more bound as an integer would turn
// negative when SQLite converts it to text). Every other 64-bit value is
// bound as a 64-bit integer (two's complement).
#pragma once

#include <pthread.h>
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

class INotify;
struct Paths;

// What the database object needs from its engine.
class DbHost {
 public:
  virtual uint64_t db_now_ms() = 0;  // wall clock
  virtual uint32_t db_uid() = 0;     // signed-in user, 0 when unknown
  virtual Paths *db_paths() = 0;     // directories of pictures and thumbnails

 protected:
  ~DbHost() = default;
};

enum : int {
  DB_OPEN_FLAGS = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
  DB_BUSY_TIMEOUT_MS = 2500,
  DB_FILE_MODE = 0600,
  DB_RESTORE_UID_MISMATCH = -2,
  DB_SAME_FILE = -3,
  DB_STATEMENT_CACHE = 24,
};

// One bound parameter of a statement.
struct DbArg {
  enum Kind : uint8_t { NUL, INT, TEXT, BLOB, MID } kind;
  int64_t i;       // INT; MID holds the id's bits
  const void *p;   // TEXT, BLOB
  int len;         // TEXT: -1 measures; BLOB: bytes
};

inline DbArg db_null() { return {DbArg::NUL, 0, nullptr, 0}; }
inline DbArg db_int(int64_t v) { return {DbArg::INT, v, nullptr, 0}; }
inline DbArg db_u64(uint64_t v) { return {DbArg::INT, (int64_t)v, nullptr, 0}; }
inline DbArg db_mid(uint64_t id) { return {DbArg::MID, (int64_t)id, nullptr, 0}; }
// A null text binds SQL null.
inline DbArg db_text(const char *s) {
  return s ? DbArg{DbArg::TEXT, 0, s, -1} : db_null();
}
// A text of `len` bytes that need not be terminated (never null: "" for none).
inline DbArg db_text_n(const void *s, uint32_t len) {
  return DbArg{DbArg::TEXT, 0, s ? s : "", s ? (int)len : 0};
}
inline DbArg db_blob(const void *p, uint32_t len) {
  return p ? DbArg{DbArg::BLOB, 0, p, (int)len} : db_null();
}

typedef std::initializer_list<DbArg> DbArgs;

// Output of getBlobValue: grows (and becomes owned) when too small.
struct DbBuffer {
  uint8_t *data;
  uint32_t len;
  uint32_t cap;
  bool owned;
};

// The per-user file name: leading blanks skipped, a relative `path` placed
// in `databases`, and with a non-zero uid "-<uid>" put before the extension
// (or "-<uid>.db" appended when the last component has none). Returns the
// length, or -1 for a null path or a name that does not fit.
int db_user_path(const char *path, const char *databases, uint32_t uid, char *out, size_t cap);

// Binds `args` to parameters 1..n; SQLITE_OK or the first error.
int db_bind(sqlite3_stmt *st, const DbArg *args, size_t n);
inline int db_bind(sqlite3_stmt *st, DbArgs args) { return db_bind(st, args.begin(), args.size()); }

class Sqlite3Manager {
 public:
  explicit Sqlite3Manager(DbHost *host);
  virtual ~Sqlite3Manager();
  Sqlite3Manager(const Sqlite3Manager &) = delete;
  Sqlite3Manager &operator=(const Sqlite3Manager &) = delete;

  // Opens (creating it 0600 when absent) and checks the file, then runs the
  // schema pass and records the uid. 0 or -1 (the object stays closed).
  int createDB(const char *path);
  bool isOpen() const { return db != nullptr; }
  sqlite3 *handle() { return db; }
  const char *activePath() const { return path; }
  int openResult() const { return open_result; }
  uint64_t nowMs() { return host->db_now_ms(); }
  uint32_t userUid() { return host->db_uid(); }
  Paths *dbPaths() { return host->db_paths(); }

  // ---- raw statements ----
  // Rows changed by the last statement, or -1.
  int executeSQL(const char *sql);
  int getIntValue(const char *sql, int column, int def);
  int64_t getInt64Value(const char *sql, int column, int64_t def);
  int getIntValues(const char *sql, int64_t *out, int n);
  int getValue(const char *sql, int column, char *buffer, size_t size, char **copy_out);
  static int getValueFromSqlite3(sqlite3 *conn, const char *sql, int column, char *buffer,
                                 size_t size, char **copy_out);
  int getBlobValue(const char *sql, const char *param, int column, DbBuffer *out);

  // ---- statements with bound parameters ----
  // Rows changed, or -1 (logged with the statement text).
  int execArgs(const char *sql, const DbArg *args, size_t n);
  int execArgs(const char *sql, DbArgs args) { return execArgs(sql, args.begin(), args.size()); }
  // 1 with *out set from the first row, 0 without a row, -1 on error.
  int queryInt64(const char *sql, DbArgs args, int column, int64_t *out);
  // 1 with the first row's text copied (cut to size, 0-terminated), 0
  // without a row or with a null value (buffer emptied), -1 on error.
  int queryText(const char *sql, DbArgs args, int column, char *buffer, size_t size);

  // ---- settings key/value store ----
  int insertOrUpdateKey(const char *name, const char *value, int insert);
  int setKey(const char *name, const char *value);
  int setKeyInt(const char *name, uint64_t value);
  // With copy_out and a name: the first value as a heap copy (freeKeyValue).
  // Otherwise each row goes to the listener's on_key_value until it returns
  // a negative value. A '%' in the name matches any run; '_' is literal.
  int getKey(const char *name, char **copy_out, INotify *listener);
  uint64_t getKeyInt(const char *name, uint64_t def);
  static void freeKeyValue(char *value);
  int deleteKey(const char *name);
  int countKeys(const char *name, const char *value);
  int setKeyBinary(const char *name, const void *data, uint32_t len);
  // *out: heap block of len+1 bytes (0-terminated) or null; caller frees.
  int getKeyBinary(const char *name, uint8_t **out, uint32_t *len);

  // ---- backup and restore ----
  // 0, -1 (open or copy failure), DB_RESTORE_UID_MISMATCH or DB_SAME_FILE.
  int backup_restore(const char *path, bool backup);
  int loadOrSaveDb(sqlite3 *conn, const char *file, bool backup, uint32_t expected_uid);

  // Lets SQLite gather the statistics its query planner needs (cheap when
  // they are current); runs after the startup sweep and at close.
  void refreshPlannerStats();

  // Prepared statements are kept for reuse: preparing costs more than
  // running most of the store's statements. A statement checked out is the
  // caller's alone until it is handed back (reset, bindings cleared), so
  // threads never share one. Null on a prepare error (not logged).
  sqlite3_stmt *checkout(const char *sql);
  void checkin(sqlite3_stmt *st);
  sqlite3_stmt *stepOnce(const char *sql, DbArgs args, int *rc);

 protected:
  // Hooks of the derived store: the schema pass, and the sweep that runs
  // after every open and successful restore.
  virtual int createTable() { return 0; }
  virtual void startupSweep() {}

  DbHost *host;
  sqlite3 *db = nullptr;
  char *path = nullptr;
  int open_result = -1;
  bool orphan_sweep_done = false;

 private:
  void closeDB();
  void dropStatements();

  struct StatementSlot {
    char *sql;          // owned
    sqlite3_stmt *st;   // null while checked out or empty
  };
  StatementSlot statements[DB_STATEMENT_CACHE] = {};
  unsigned next_victim = 0;
  pthread_mutex_t statements_lock = PTHREAD_MUTEX_INITIALIZER;
};
