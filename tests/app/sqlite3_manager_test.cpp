#include "app/sqlite3_manager.h"

#include <glob.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <string>

#include "core/notify.h"
#include "store_helper.h"
#include "support/capture.h"

static mode_t mode_of(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

TEST(DbUserPath, PerUserFileNames) {
  struct Case {
    const char *path;
    uint32_t uid;
    const char *expected;
  } cases[] = {
      {"store.db", 42, "/d/store-42.db"},
      {"  store.db", 42, "/d/store-42.db"},
      {"/x/data", 42, "/x/data-42.db"},
      {"/a.b/data", 42, "/a.b/data-42.db"},
      {"/x/data.sqlite3", 7, "/x/data-7.sqlite3"},
      {"/x/data.", 7, "/x/data.-7.db"},
      {"/d/store.db", 0, "/d/store.db"},
      {"sub/store", 0, "/d/sub/store"},
      {"/d/a.b.c", 4294967295u, "/d/a.b-4294967295.c"},
  };
  for (const Case &c : cases) {
    char out[256];
    int n = db_user_path(c.path, "/d", c.uid, out, sizeof out);
    EXPECT_EQ(n, (int)strlen(c.expected)) << c.path;
    EXPECT_STREQ(out, c.expected);
  }
  char small[10];
  EXPECT_EQ(db_user_path("/x/data", "/d", 42, small, sizeof small), -1);
  EXPECT_EQ(db_user_path(nullptr, "/d", 42, small, sizeof small), -1);
}

TEST(Sqlite3Manager, OpensPrivateWalFileAndRecordsUid) {
  StoreFixture s;
  ASSERT_TRUE(s.db.isOpen());
  EXPECT_EQ(s.db.openResult(), 0);
  EXPECT_STREQ(s.db.activePath(), s.file.c_str());
  EXPECT_EQ(mode_of(s.file), 0600u);
  EXPECT_EQ(sql_text(s.db.handle(), "pragma journal_mode"), "wal");
  EXPECT_EQ(sql_int(s.db.handle(), "pragma synchronous"), 1);  // NORMAL
  EXPECT_EQ(sql_int(s.db.handle(), "pragma busy_timeout"), 2500);
  EXPECT_EQ(s.db.getKeyInt("uid", 0), 42u);
  EXPECT_EQ(mode_of(s.file + "-wal"), 0600u);
}

// The object stays closed after a refused open, and every operation says so.
static void expect_absent(ZalvioDB &db) {
  EXPECT_FALSE(db.isOpen());
  EXPECT_EQ(db.openResult(), -1);
  EXPECT_EQ(db.executeSQL("select 1"), -1);
  EXPECT_EQ(db.setKey("a", "b"), -1);
  EXPECT_EQ(db.getKey("a", nullptr, nullptr), -1);
  EXPECT_EQ(db.getValue("select 1", 0, nullptr, 0, nullptr), -1);
  EXPECT_EQ(db.messageExists(1), 0);
  EXPECT_EQ(db.backup_restore("/tmp/x", true), -1);
}

TEST(Sqlite3Manager, RefusesFilesItCannotUse) {
  TempDir dir;
  std::string garbage = dir.file("garbage.db");
  ASSERT_EQ(file_write(garbage.c_str(), "this is not a database, not at all.....", 40, 0600), 0);
  struct Case {
    std::string path;
    const char *log;
  } cases[] = {
      {garbage, "zalvio db open failed: "},
      {dir.file("missing/store.db"), "zalvio db open failed: "},
  };
  for (const Case &c : cases) {
    FakeHost host;
    ZalvioDB db(&host);
    StdoutCapture out;
    EXPECT_EQ(db.createDB(c.path.c_str()), -1);
    EXPECT_TRUE(out.contains(c.log + c.path)) << out.text();
    expect_absent(db);
  }
  uint8_t *back = nullptr;
  size_t len = 0;
  ASSERT_EQ(file_read(garbage.c_str(), &back, &len), 0);  // left as it was
  EXPECT_EQ(len, 40u);
  free(back);
}

TEST(Sqlite3Manager, RefusesReadOnlyFile) {
  TempDir dir;
  std::string file = dir.file("ro.db");
  make_file(file, "create table t (a)");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  chmod(dir.path().c_str(), 0755);
  // Permissions do not bind root: look at the file as somebody else.
  bool ok = in_child([&] {
    if (geteuid() == 0 && setuid(65534) != 0) return false;
    FakeHost host;
    ZalvioDB db(&host);
    StdoutCapture out;
    if (db.createDB(file.c_str()) != -1) return false;
    if (!out.contains("could not open the database in read/write mode: " + file)) return false;
    return !db.isOpen() && db.executeSQL("select 1") == -1;
  });
  EXPECT_TRUE(ok);
}

TEST(Sqlite3Manager, QueryHelpers) {
  StoreFixture s;
  ASSERT_GE(s.db.executeSQL("create table t (a integer, b text, c blob)"), 0);
  EXPECT_EQ(s.db.executeSQL("insert into t values (1, 'x', x'00ff'); insert into t values (2, "
                            "null, x'01020304050607')"),
            1);
  {
    StdoutCapture out;
    EXPECT_EQ(s.db.executeSQL("insert into nowhere values (1)"), -1);
    EXPECT_TRUE(out.contains("SQL Error: insert into nowhere values (1)"));
  }

  EXPECT_EQ(s.db.getIntValue("select a from t where a=2", 0, 9), 2);
  EXPECT_EQ(s.db.getIntValue("select a from t where a=3", 0, 9), 9);
  EXPECT_EQ(s.db.getIntValue("select nothing", 0, 9), -1);
  EXPECT_EQ(s.db.getInt64Value("select 1 << 40", 0, 0), 1ll << 40);

  int64_t v[3] = {-1, -1, -1};
  EXPECT_EQ(s.db.getIntValues("select a, a * 10 from t order by a", v, 2), 0);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[1], 10);
  EXPECT_EQ(v[2], -1);
  EXPECT_EQ(s.db.getIntValues("select a from t where a > 5", v, 1), -1);

  char buf[4] = "abc";
  char *copy = (char *)1;
  EXPECT_EQ(s.db.getValue("select b from t where a=3", 0, buf, sizeof buf, &copy), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(s.db.getValue("select 'longer text'", 0, buf, sizeof buf, &copy), 0);
  EXPECT_STREQ(buf, "lon");
  EXPECT_STREQ(copy, "longer text");
  free(copy);

  uint8_t storage[4];
  DbBuffer out = {storage, 0, sizeof storage, false};
  EXPECT_EQ(s.db.getBlobValue("select c from t where a=1", nullptr, 0, &out), 0);
  EXPECT_EQ(out.data, storage);
  EXPECT_EQ(out.len, 2u);
  EXPECT_EQ(out.data[1], 0xff);
  EXPECT_EQ(s.db.getBlobValue("select c from t where b is ?", nullptr, 0, &out), 0);
  EXPECT_NE(out.data, storage);  // too big for the caller's block
  EXPECT_TRUE(out.owned);
  EXPECT_EQ(out.len, 7u);
  EXPECT_EQ(out.data[6], 7);
  EXPECT_EQ(out.data[7], 0);
  free(out.data);
}

struct KeyCollector : INotify {
  std::map<std::string, std::string> rows;
  int stop_after = 1000;
  int on_key_value(const char *name, const char *value) override {
    rows[name] = value ? value : "NULL";
    return (int)rows.size() >= stop_after ? -1 : 0;
  }
};

TEST(Sqlite3Manager, SettingsStore) {
  StoreFixture s;
  EXPECT_EQ(s.db.setKey("k", "1"), 0);
  EXPECT_EQ(s.db.setKey("k", "2"), 0);
  EXPECT_EQ(s.db.countKeys("k", nullptr), 1);
  EXPECT_EQ(s.db.getKeyInt("k", 7), 2u);
  EXPECT_EQ(s.db.getKeyInt("absent", 7), 7u);
  EXPECT_EQ(s.db.setKeyInt("big", ~0ull), 0);
  EXPECT_EQ(s.db.getKeyInt("big", 0), ~0ull);
  EXPECT_EQ(s.db.setKey(nullptr, "x"), -1);
  EXPECT_EQ(s.db.setKey("x", nullptr), -1);

  char *v = nullptr;
  EXPECT_EQ(s.db.getKey("k", &v, nullptr), 1);
  EXPECT_STREQ(v, "2");
  Sqlite3Manager::freeKeyValue(v);
  EXPECT_EQ(s.db.getKey(nullptr, nullptr, nullptr), -1);

  for (const char *k : {"l_bid", "l_uniqid", "lxbid", "l_"}) s.db.setKey(k, "v");
  KeyCollector all;
  int rows = s.db.getKey("l_%", nullptr, &all);
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(all.rows.count("lxbid"), 0u);
  KeyCollector first;
  first.stop_after = 1;
  EXPECT_EQ(s.db.getKey("l_%", nullptr, &first), 1);
  EXPECT_EQ(s.db.countKeys("l_%", "v"), 3);
  EXPECT_EQ(s.db.countKeys("l_%", "%"), 3);
  EXPECT_EQ(s.db.countKeys("l_%", "w"), 0);

  EXPECT_EQ(s.db.deleteKey("l_bid"), 1);
  EXPECT_EQ(s.db.deleteKey("l_%"), 2);
  EXPECT_EQ(s.db.countKeys("lxbid", nullptr), 1);
  EXPECT_EQ(s.db.deleteKey(nullptr), -1);

  const uint8_t blob[] = {0, 1, 0, 0xff, 0};
  EXPECT_EQ(s.db.setKeyBinary("g_data", blob, sizeof blob), 1);
  EXPECT_EQ(s.db.setKey("g_data", "text"), 0);  // text and blob live side by side
  uint8_t *b = nullptr;
  uint32_t len = 0;
  EXPECT_EQ(s.db.getKeyBinary("g_data", &b, &len), 0);
  ASSERT_EQ(len, sizeof blob);
  EXPECT_EQ(memcmp(b, blob, len), 0);
  EXPECT_EQ(b[len], 0);
  free(b);
  EXPECT_EQ(s.db.getKeyInt("g_data", 0), 0u);  // "text" parses as 0
  EXPECT_EQ(s.db.getKeyBinary("absent", &b, &len), 0);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(s.db.setKeyBinary("g_data", blob, 0), -1);
}

TEST(Sqlite3Manager, HostileKeysAreDataOnly) {
  StoreFixture s;
  s.db.setKey("keep", "me");
  std::string tables = sql_rows(s.db.handle(), "select name from sqlite_master order by name");
  int before = s.db.countKeys("%", nullptr);
  std::string long_name(10000, 'k');
  const std::string names[] = {"o'brien", "x'); drop table settings; --", "\"quoted\"", long_name,
                               "bad \xff\xfe utf-8", "back\\slash_%"};
  for (const std::string &n : names) {
    std::string value = n + "=v";
    ASSERT_EQ(s.db.setKey(n.c_str(), value.c_str()), 0) << n.substr(0, 40);
    char *back = nullptr;
    s.db.getKey(n.c_str(), &back, nullptr);
    EXPECT_EQ(back ? std::string(back) : "", value);
    free(back);
  }
  EXPECT_EQ(s.db.countKeys("%", nullptr), before + (int)(sizeof names / sizeof names[0]));
  EXPECT_EQ(s.db.deleteKey("back\\slash_%"), 1);  // a literal backslash and underscore
  for (const std::string &n : names) s.db.deleteKey(n.c_str());
  char *keep = nullptr;
  s.db.getKey("keep", &keep, nullptr);
  EXPECT_STREQ(keep, "me");
  free(keep);
  EXPECT_EQ(sql_rows(s.db.handle(), "select name from sqlite_master order by name"), tables);
}

// ---- backup and restore ---------------------------------------------------

TEST(Sqlite3Manager, BackupIsAFullPlainCopy) {
  StoreFixture s;
  s.host.now = 1234567;
  s.db.setKey("data", "original");
  std::string target = s.dir.file("backup.db");
  ASSERT_EQ(file_write(target.c_str(), "an older backup", 15, 0644), 0);
  EXPECT_EQ(s.db.backup_restore(("file://" + target).c_str(), true), 0);
  EXPECT_EQ(s.db.getKeyInt("backupts", 0), 1234567u);

  sqlite3 *copy = nullptr;
  ASSERT_EQ(sqlite3_open_v2(target.c_str(), &copy, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  EXPECT_EQ(sql_text(copy, "select val from settings where name='backupts'"), "1234567");
  EXPECT_EQ(sql_text(copy, "select val from settings where name='data'"), "original");
  EXPECT_EQ(sql_text(copy, "pragma journal_mode"), "delete");
  sqlite3_close(copy);
  EXPECT_EQ(sql_rows(s.db.handle(), "select 1"), "1\n");
  // Nothing but the backup beside it.
  EXPECT_EQ(access((target + "-journal").c_str(), F_OK), -1);
  EXPECT_EQ(access((target + "-wal").c_str(), F_OK), -1);
}

TEST(Sqlite3Manager, RestoreReplacesContentAndKeepsWal) {
  StoreFixture s;
  s.db.setKey("data", "saved");
  std::string target = s.dir.file("backup.db");
  ASSERT_EQ(s.db.backup_restore(target.c_str(), true), 0);
  s.db.setKey("data", "changed");
  s.db.setKey("later", "x");
  EXPECT_EQ(s.db.backup_restore(("file://localhost" + target).c_str(), false), 0);
  char *v = nullptr;
  s.db.getKey("data", &v, nullptr);
  EXPECT_STREQ(v, "saved");
  free(v);
  EXPECT_EQ(s.db.countKeys("later", nullptr), 0);
  EXPECT_EQ(sql_text(s.db.handle(), "pragma journal_mode"), "wal");
  EXPECT_EQ(s.db.setKey("after", "restore"), 0);
}

TEST(Sqlite3Manager, RestoreRefusals) {
  StoreFixture s;
  s.db.setKey("data", "live");
  std::string other_user = s.dir.file("other.db");
  {
    FakeHost host;
    host.uid = 43;
    ZalvioDB other(&host);
    ASSERT_EQ(other.createDB(other_user.c_str()), 0);
    other.setKey("data", "someone else's");
  }
  std::string no_settings = s.dir.file("plain.db");
  make_file(no_settings, "create table t (a); insert into t values (1)");
  std::string garbage = s.dir.file("garbage.db");
  ASSERT_EQ(file_write(garbage.c_str(), std::string(4096, 'g').c_str(), 4096, 0600), 0);
  std::string missing = s.dir.file("missing.db");
  ASSERT_EQ(symlink(s.file.c_str(), s.dir.file("link.db").c_str()), 0);

  struct Case {
    std::string path;
    int rv;
    const char *log;
  } cases[] = {
      {other_user, -2, "unable to restore database: UID does not match - expected 42 found 43"},
      {s.file, -3, "zalvio backup: same filename as active db used"},
      {"file://" + s.file, -3, "zalvio backup: same filename as active db used"},
      {s.dir.file("link.db"), -3, "zalvio backup: same filename as active db used"},
      {s.dir.path() + "/./store.db", -3, "zalvio backup: same filename as active db used"},
      {missing, -1, "unable to open backup database: "},
      {garbage, -1, "unable to open backup database: "},
      {no_settings, -1, "has no settings table"},
  };
  for (const Case &c : cases) {
    StdoutCapture out;
    EXPECT_EQ(s.db.backup_restore(c.path.c_str(), false), c.rv) << c.path;
    EXPECT_TRUE(out.contains(c.log)) << out.text();
    char *v = nullptr;
    s.db.getKey("data", &v, nullptr);
    EXPECT_STREQ(v, "live") << c.path;
    free(v);
  }
  EXPECT_EQ(access(missing.c_str(), F_OK), -1);  // a restore never creates its source
  EXPECT_EQ(s.db.backup_restore(s.dir.file("link.db").c_str(), true), -3);
}

TEST(Sqlite3Manager, FailedBackupKeepsThePreviousOne) {
  // The second copy runs into a file size limit halfway.
  bool ok = in_child([] {
    signal(SIGXFSZ, SIG_IGN);
    StoreFixture s;
    std::string big(1000, 'b');
    for (int i = 0; i < 300; i++) s.db.setKey(("k" + std::to_string(i)).c_str(), big.c_str());
    std::string target = s.dir.file("backup.db");
    if (s.db.backup_restore(target.c_str(), true) != 0) return false;
    int64_t size = file_size(target.c_str());
    for (int i = 300; i < 400; i++) s.db.setKey(("k" + std::to_string(i)).c_str(), big.c_str());
    struct rlimit limit = {(rlim_t)size / 2, (rlim_t)size / 2};
    setrlimit(RLIMIT_FSIZE, &limit);
    if (s.db.backup_restore(target.c_str(), true) != -1) return false;
    sqlite3 *copy = nullptr;
    sqlite3_open_v2(target.c_str(), &copy, SQLITE_OPEN_READONLY, nullptr);
    bool intact = sql_int(copy, "select count(1) from settings where name like 'k%'") == 300;
    sqlite3_close(copy);
    glob_t g;
    bool no_leftovers = glob((target + ".*").c_str(), 0, nullptr, &g) == GLOB_NOMATCH;
    if (!no_leftovers) globfree(&g);
    return intact && no_leftovers && file_size(target.c_str()) == size;
  });
  EXPECT_TRUE(ok);
}

// Kept statements: a second user of the same text while the first holds it
// gets its own statement; handed back statements carry no bindings or
// position; the cache survives schema changes and never keeps the file
// open after the object goes.
TEST(Sqlite3Manager, StatementCache) {
  StoreFixture s;
  const char *sql = "select name from settings where name >= ? order by name";
  sqlite3_stmt *a = s.db.checkout(sql);
  sqlite3_stmt *b = s.db.checkout(sql);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  db_bind(a, {db_text("m")});
  ASSERT_EQ(sqlite3_step(a), SQLITE_ROW);
  s.db.checkin(a);
  s.db.checkin(b);
  sqlite3_stmt *c = s.db.checkout(sql);
  EXPECT_TRUE(c == a || c == b);
  EXPECT_EQ(sqlite3_stmt_busy(c), 0);
  EXPECT_EQ(sqlite3_bind_parameter_count(c), 1);
  EXPECT_EQ(sqlite3_step(c), SQLITE_DONE);  // the earlier binding is gone: null matches nothing
  s.db.checkin(c);
  EXPECT_EQ(s.db.checkout("select nonsense from nowhere"), nullptr);
  // More texts than slots: the oldest make room.
  for (int i = 0; i < 3 * DB_STATEMENT_CACHE; i++) {
    int64_t v = 0;
    EXPECT_EQ(s.db.queryInt64(("select " + std::to_string(i)).c_str(), {}, 0, &v), 1);
    EXPECT_EQ(v, i);
  }
  int64_t n = 0;
  EXPECT_EQ(s.db.queryInt64("select count(1) from settings", {}, 0, &n), 1);
  s.db.executeSQL("alter table settings add column extra integer");
  EXPECT_EQ(s.db.queryInt64("select count(1) from settings", {}, 0, &n), 1);
  EXPECT_GT(n, 0);
}
