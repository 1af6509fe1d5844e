// Prepared SQLite statements for the service's database code: a cache that
// prepares each (static) statement text once, and a scoped use of one
// statement that resets and unbinds it when done, so the next use starts
// clean. Shared by the registry and the message store, which use one
// connection to "service.db".
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "util/logs.h"

class Stmt {
 public:
  explicit Stmt(sqlite3_stmt *s) : s_(s) {}
  ~Stmt() {
    if (s_) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;
  bool ok() const { return s_ != nullptr; }
  sqlite3_stmt *get() { return s_; }
  void bind(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
  void bind(int i, const std::string &v) {
    sqlite3_bind_text(s_, i, v.data(), (int)v.size(), SQLITE_TRANSIENT);
  }
  void bind_blob(int i, const void *p, int n) { sqlite3_bind_blob(s_, i, p, n, SQLITE_TRANSIENT); }
  int step() { return sqlite3_step(s_); }
  int64_t int64(int i) { return sqlite3_column_int64(s_, i); }
  std::string text(int i) {
    const unsigned char *t = sqlite3_column_text(s_, i);
    return t ? std::string((const char *)t, (size_t)sqlite3_column_bytes(s_, i)) : std::string();
  }
  std::string blob(int i) {
    const void *b = sqlite3_column_blob(s_, i);
    return b ? std::string((const char *)b, (size_t)sqlite3_column_bytes(s_, i)) : std::string();
  }

 private:
  sqlite3_stmt *s_ = nullptr;
};

// Statements keyed by their text's address: callers pass string literals.
class StatementCache {
 public:
  StatementCache() = default;
  ~StatementCache() { clear(); }
  StatementCache(const StatementCache &) = delete;
  StatementCache &operator=(const StatementCache &) = delete;

  void attach(sqlite3 *db) {
    clear();
    db_ = db;
  }
  sqlite3_stmt *prepare(const char *sql) {
    auto it = cache_.find(sql);
    if (it != cache_.end()) return it->second;
    sqlite3_stmt *s = nullptr;
    if (!db_ || sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
      LOGE("prepare failed: %s (%s)", db_ ? sqlite3_errmsg(db_) : "no database", sql);
      return nullptr;
    }
    cache_[sql] = s;
    return s;
  }
  int exec(const char *sql) {
    char *err = nullptr;
    if (!db_ || sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
      LOGE("sql: %s (%s)", err ? err : "no database", sql);
      sqlite3_free(err);
      return -1;
    }
    return 0;
  }
  void clear() {
    for (auto &st : cache_) sqlite3_finalize(st.second);
    cache_.clear();
    db_ = nullptr;
  }
  sqlite3 *db() const { return db_; }

 private:
  sqlite3 *db_ = nullptr;
  std::unordered_map<const char *, sqlite3_stmt *> cache_;
};
