#include "store_helper.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

StoreFixture::StoreFixture() {
  paths_set(&host.paths, dir.file("root").c_str(), nullptr);
  db.createDB(file.c_str());
}

static std::string column_text(sqlite3_stmt *st, int i) {
  const unsigned char *v = sqlite3_column_text(st, i);
  return v ? std::string((const char *)v, sqlite3_column_bytes(st, i)) : "NULL";
}

std::string sql_text(sqlite3 *db, const std::string &sql) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    return std::string("error: ") + sqlite3_errmsg(db);
  std::string r = sqlite3_step(st) == SQLITE_ROW ? column_text(st, 0) : "";
  sqlite3_finalize(st);
  return r;
}

int64_t sql_int(sqlite3 *db, const std::string &sql) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return -999;
  int64_t r = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -998;
  sqlite3_finalize(st);
  return r;
}

std::string sql_rows(sqlite3 *db, const std::string &sql) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    return std::string("error: ") + sqlite3_errmsg(db);
  std::string r;
  while (sqlite3_step(st) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(st); i++) {
      if (i) r += "|";
      r += column_text(st, i);
    }
    r += "\n";
  }
  sqlite3_finalize(st);
  return r;
}

void make_file(const std::string &path, const std::string &statements) {
  sqlite3 *db = nullptr;
  sqlite3_open(path.c_str(), &db);
  char *err = nullptr;
  if (sqlite3_exec(db, statements.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    fprintf(stderr, "fixture: %s\n", err);
    abort();
  }
  sqlite3_close(db);
}

bool in_child(const std::function<bool()> &fn) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) _exit(fn() ? 0 : 1);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
