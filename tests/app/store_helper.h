// Shared fixtures of the store tests: an engine stand-in with a settable
// clock and uid, a store opened in a private directory, and small readers
// that look at the file with plain SQL.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>

#include "api/paths.h"
#include "app/zalviodb.h"
#include "support/tempdir.h"

class FakeHost : public DbHost {
 public:
  uint64_t now = 1800000000000ull - 86400000ull;
  uint32_t uid = 42;
  Paths paths;
  uint64_t db_now_ms() override { return now; }
  uint32_t db_uid() override { return uid; }
  Paths *db_paths() override { return &paths; }
};

// A store opened on dir/store.db with the data root at dir/root.
struct StoreFixture {
  TempDir dir;
  FakeHost host;
  ZalvioDB db{&host};
  std::string file = dir.file("store.db");
  StoreFixture();
};

// First column of the first row as text ("NULL" for null, "" without row).
std::string sql_text(sqlite3 *db, const std::string &sql);
int64_t sql_int(sqlite3 *db, const std::string &sql);
// Creates a file with raw statements (separated by ';').
void make_file(const std::string &path, const std::string &statements);
// Every row of a query as one "a|b|c" line per row.
std::string sql_rows(sqlite3 *db, const std::string &sql);

// Runs `fn` in a forked child (for limits and identities a test must not
// keep); true when it returned true.
bool in_child(const std::function<bool()> &fn);
