#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/zalviodb.h"
#include "store_helper.h"
#include "support/capture.h"

// Everything a schema pass could change, as text.
static std::string dump(sqlite3 *db) {
  return sql_rows(db, "select type, name, tbl_name, sql from sqlite_master order by name") +
         sql_rows(db, "select * from settings where name != 'uid' order by name") +
         sql_rows(db, "select mid, status, flag from messages order by mid") +
         sql_rows(db, "select * from contacts order by address") +
         sql_rows(db, "select * from synced order by address") +
         sql_rows(db, "select * from mstatus order by id, uid") +
         sql_rows(db, "select * from members order by id");
}

static std::string columns(sqlite3 *db, const std::string &table) {
  std::string r = sql_rows(db, "select name from pragma_table_info('" + table + "')");
  for (char &ch : r)
    if (ch == '\n') ch = ' ';
  return r;
}

static const char *const TABLES =
    "blocked\ncontacts\nfiles\nmembers\nmessages\nmstatus\nsettings\nsynced\n";

// Opens `file` with a fresh store object, as an application start would.
struct Reopened {
  FakeHost host;
  ZalvioDB db{&host};
  explicit Reopened(const std::string &file, const std::string &root) {
    paths_set(&host.paths, root.c_str(), nullptr);
    host.now = 1700000000000ull;
    db.createDB(file.c_str());
  }
};

TEST(Schema, NewFile) {
  StoreFixture s;
  sqlite3 *h = s.db.handle();
  EXPECT_EQ(sql_rows(h, "select name from sqlite_master where type='table' and name not like "
                        "'sqlite_%' order by name"),
            TABLES);
  EXPECT_EQ(sql_int(h, "select count(1) from sqlite_master where type='index' and sql is not null"),
            35);  // the 31 of the creation list, the 3 read indexes and the outbox's
  EXPECT_EQ(columns(h, "messages"),
            "mid gid channel type sender ts message thumbnail filepath url status expiry flag rts "
            "mts uflags ages ager agerd tid ud sens ftg refid gmc ");
  EXPECT_EQ(columns(h, "mstatus"), "id uid dts rts ");
  EXPECT_EQ(s.db.getKeyInt("dbschema", 0), (uint64_t)DB_SCHEMA_VERSION);
  EXPECT_EQ(s.db.getKeyInt("initts", 0), s.host.now);

  std::string before = dump(h);
  s.host.now += 5000;
  s.db.createTable();
  Reopened again(s.file, s.dir.file("root"));
  EXPECT_EQ(dump(again.db.handle()), before);
}

// A version-4 file: messages and contacts before the retention, thread,
// file-tag, url and group-count columns; old flag bits in both.
static const char V4_FILE[] =
    "create table messages (mid text primary key, gid integer, channel integer, type integer, "
    "sender text, ts integer, message blob, thumbnail blob, filepath text, status integer, expiry "
    "integer, flag integer, rts integer, mts integer, uflags integer);"
    "create table contacts (uid integer, gid integer, address text, lp blob, p blob, ts integer, "
    "lastseen integer, lastactivity integer, flag integer, prts integer);"
    "create table synced (id integer primary key autoincrement, address text unique, f integer);"
    "create table settings (name text primary key, val text);"
    "create table mstatus (id integer, uid integer, dts integer, rts integer, status integer);"
    "create table members (id integer primary key autoincrement, gid integer, address text, type "
    "integer);"
    "insert into settings values ('dbschema', '4');"
    "insert into messages (mid, gid, sender, ts, status, flag) values "
    " ('1', 0, 'alice', 1000, 19, 65537),"      // bit 16 (and bit 0)
    " ('2', 0, 'alice', 2000, 20, 4194304),"    // retired status, bit 22
    " ('3', 0, 'alice', 3000, 2, 2097152 | 131072);"  // bits 21, 17
    "insert into contacts (uid, gid, address, flag) values "
    " (7, 0, 'bob', 4096 | 8192 | 65536 | 262144),"  // bits 12, 13, 16, 18
    " (8, 0, 'me', 4096 | 16),"                        // self: not queued
    " (9, 0, 'carol', 1);"
    "insert into members (gid, address, type) values (5, 'alice', 1);";

TEST(Schema, UpgradeFromVersion4) {
  struct Case {
    bool mfm_done;
    const char *flags;
  } cases[] = {
      {false, "1|19|1|288230376151711745\n2|19|0|144115188075856000\n3|2|0|1729382256910270464\n"},
      {true, "1|19|0|65537\n2|19|0|4194432\n3|2|0|2228224\n"},
  };
  for (const Case &c : cases) {
    TempDir dir;
    std::string file = dir.file("v4.db");
    make_file(file, std::string(V4_FILE) +
                        (c.mfm_done ? "insert into settings values ('mfm', 'ok');" : ""));
    Reopened r(file, dir.file("root"));
    sqlite3 *h = r.db.handle();
    // mid | status | moved-to-bit-58? | flag
    EXPECT_EQ(sql_rows(h, "select mid, status, (flag & 288230376151711744) != 0, flag from "
                          "messages order by mid"),
              c.flags);
    EXPECT_EQ(r.db.getKeyInt("dbschema", 0), (uint64_t)DB_SCHEMA_VERSION);
    EXPECT_EQ(sql_text(h, "select val from settings where name='mfm'"), "ok");
    EXPECT_EQ(columns(h, "messages"),
              "mid gid channel type sender ts message thumbnail filepath status expiry flag rts "
              "mts uflags ages ager agerd tid ud sens ftg refid url gmc ");
    EXPECT_EQ(columns(h, "contacts"),
              "uid gid address lp p ts lastseen lastactivity flag prts cts oets ep udts gmc gmts ");
    EXPECT_EQ(columns(h, "synced"), "id address f u ");
    EXPECT_EQ(columns(h, "settings"), "name val vb ");
    EXPECT_EQ(sql_int(h, "select count(1) from sqlite_master where type='index' and sql is not null"),
              35);
    // Sync bits 12, 13 and 16 of bob's contact flags moved into the queue.
    EXPECT_EQ(sql_rows(h, "select address, f, u from synced"), "bob|7|0\n");
    EXPECT_EQ(sql_rows(h, "select address, flag from contacts order by uid"),
              "bob|0\nme|16\ncarol|1\n");
    EXPECT_EQ(sql_rows(h, "select gid, address from members"), "5|alice\n");

    std::string before = dump(h);
    Reopened again(file, dir.file("root"));
    EXPECT_EQ(dump(again.db.handle()), before);
  }
}

TEST(Schema, UpgradeFromVersion15) {
  TempDir dir;
  std::string file = dir.file("v15.db");
  make_file(file,
            "create table messages (mid text primary key, gid integer, channel integer, type "
            "integer, sender text, ts integer, message blob, thumbnail blob, filepath text, url "
            "text, status integer, expiry integer, flag integer, rts integer, mts integer, uflags "
            "integer, ages integer, ager integer, agerd integer, tid integer, ud integer, sens "
            "integer, ftg text, refid integer);"
            "create table contacts (uid integer, gid integer, address text, lp blob, p blob, ep "
            "blob, ts integer, lastseen integer, lastactivity integer, flag integer, prts integer, "
            "cts integer, oets integer, udts integer);"
            "create table settings (name text primary key, val text, vb blob);"
            "create table mstatus (id integer, uid integer, dts integer, rts integer, status "
            "integer);"
            "create unique index iduid on mstatus (id, uid, status);"
            "insert into settings (name, val) values ('dbschema', '15'), ('initts', '77');"
            "insert into mstatus values (10, 7, 100, 0, 2), (10, 7, 200, 300, 3), (10, 8, 1, 2, "
            "3), (11, 7, 5, 6, 3);");
  Reopened r(file, dir.file("root"));
  sqlite3 *h = r.db.handle();
  EXPECT_EQ(sql_rows(h, "select * from mstatus order by id, uid"), "10|7|100|0\n10|8|1|2\n11|7|5|6\n");
  EXPECT_EQ(columns(h, "mstatus"), "id uid dts rts ");
  EXPECT_EQ(sql_text(h, "select sql from sqlite_master where name='iduid'"),
            "CREATE UNIQUE INDEX iduid on mstatus (id, uid)");
  EXPECT_EQ(columns(h, "contacts"),
            "uid gid address lp p ep ts lastseen lastactivity flag prts cts oets udts gmc gmts ");
  EXPECT_NE(columns(h, "messages").find(" refid gmc "), std::string::npos);
  // Indexed although the first run of the creation list came before the column.
  EXPECT_EQ(sql_text(h, "select tbl_name from sqlite_master where name='mgmc'"), "messages");
  EXPECT_EQ(sql_rows(h, "select name from sqlite_master where type='table' and name not like "
                        "'sqlite_%' order by name"),
            TABLES);
  EXPECT_EQ(r.db.getKeyInt("dbschema", 0), (uint64_t)DB_SCHEMA_VERSION);
  EXPECT_EQ(r.db.getKeyInt("initts", 0), 77u);
}

TEST(Schema, OldContactsLayoutIsMigrated) {
  TempDir dir;
  std::string root = dir.file("root");
  Paths paths;
  paths_set(&paths, root.c_str(), nullptr);
  std::string profiles = paths_profiles(&paths), tn = paths_tn(&paths);
  ASSERT_EQ(file_write((profiles + "/dave.jpg").c_str(), "P", 1, 0644), 0);
  ASSERT_EQ(file_write((tn + "/dave.jpg").c_str(), "T", 1, 0644), 0);
  ASSERT_EQ(file_write(dir.file("outside.jpg").c_str(), "O", 1, 0644), 0);

  // Version 3, before the url column: an index of the creation list fails
  // on this messages table, and the list must still create the rest.
  std::string file = dir.file("old.db");
  make_file(file,
            "create table messages (mid text primary key, gid integer, channel integer, type "
            "integer, sender text, ts integer, message blob, thumbnail blob, filepath text, "
            "status integer, expiry integer, flag integer, rts integer, mts integer, uflags "
            "integer);"
            "create table contacts (name text, gid integer, address text, status integer, "
            "thumbnail blob, photo text, other text, ts integer, lastseen integer, flag integer);"
            "create table settings (name text primary key, val text);"
            "create table members (id integer primary key autoincrement, gid integer, address "
            "text, type integer);"
            "insert into settings values ('dbschema', '3');"
            "insert into members (gid, address, type) values (9, 'dave', 1);"
            "insert into contacts values "
            " ('Dave', 0, 'dave', 1, x'ffd8', 'dave.jpg', '', 1, 1, 0),"
            " ('Group', 9, 'ignored', 0, x'0a0b', null, '', 0, 0, 0),"
            " ('Me', 0, 'me', 0, x'0102', null, '', 0, 0, 16),"
            " ('Eve', 0, 'eve', 0, null, '../outside.jpg', '', 0, 0, 0);");
  Reopened r(file, root);
  sqlite3 *h = r.db.handle();
  EXPECT_EQ(sql_rows(h, "select name from sqlite_master where type='table' and name not like "
                        "'sqlite_%' order by name"),
            TABLES);
  EXPECT_EQ(columns(h, "contacts"),
            "uid gid address lp p ep ts lastseen lastactivity flag prts cts oets udts gmc gmts ");
  EXPECT_EQ(sql_int(h, "select count(1) from contacts"), 0);
  EXPECT_EQ(sql_int(h, "select count(1) from members"), 0);
  EXPECT_EQ(sql_rows(h, "select address, f, u from synced order by address"),
            "dave|3|0\neve|3|0\nme|3|0\n");
  EXPECT_EQ(sql_text(h, "select tbl_name from sqlite_master where name='iurl'"), "messages");
  EXPECT_EQ(r.db.getKeyInt("dbschema", 0), (uint64_t)DB_SCHEMA_VERSION);

  struct File {
    std::string path;
    int64_t size;
  } files[] = {
      {profiles + "/adave.jpg", 1},      // moved picture
      {tn + "/adave_tn.jpg", 1},         // the old thumbnail file wins over the blob
      {tn + "/g9_tn.jpg", 2},            // a group's thumbnail blob
      {tn + "/self_tn.jpg", 2},          // the self contact
      {profiles + "/dave.jpg", -1},      // moved away
      {tn + "/dave.jpg", -1},
      {dir.file("outside.jpg"), 1},      // never reached through a stored name
      {profiles + "/aeve.jpg", -1},
  };
  for (const File &f : files) EXPECT_EQ(file_size(f.path.c_str()), f.size) << f.path;
}

// A file of the previous version gains the outbox index, and only that.
TEST(Schema, UpgradeFromVersion17AddsTheOutboxIndex) {
  StoreFixture s;
  s.db.executeSQL("drop index ipending");
  s.db.setKey("dbschema", "17");
  Reopened again(s.file, s.dir.file("root"));
  sqlite3 *h = again.db.handle();
  EXPECT_EQ(sql_rows(h, "select sql from sqlite_master where name='ipending'"),
            "CREATE INDEX ipending on messages (status, ts, mid)\n");
  EXPECT_EQ(sql_int(h, "select count(1) from sqlite_master where type='index' and sql is not null"),
            35);
  EXPECT_EQ(again.db.getKeyInt("dbschema", 0), (uint64_t)DB_SCHEMA_VERSION);
}

TEST(Schema, NewerFileIsLeftAlone) {
  TempDir dir;
  std::string file = dir.file("new.db");
  make_file(file,
            "create table settings (name text primary key, val text, vb blob);"
            "create table messages (mid text primary key, sender text, status integer, flag "
            "integer);"
            "insert into settings (name, val) values ('dbschema', '19'), ('mfm', '');"
            "insert into messages values ('1', 'a', 20, 65536);");
  StdoutCapture out;
  Reopened r(file, dir.file("root"));
  EXPECT_TRUE(out.contains("DB schema 19 is newer than 18")) << out.text();
  sqlite3 *h = r.db.handle();
  EXPECT_EQ(r.db.getKeyInt("dbschema", 0), 19u);
  EXPECT_EQ(sql_rows(h, "select * from messages"), "1|a|20|65536\n");
  EXPECT_EQ(sql_rows(h, "select name from sqlite_master where type='table' order by name"),
            "messages\nsettings\n");
}

TEST(Schema, ResetKeepsTheLiveLayout) {
  StoreFixture s;
  sqlite3 *h = s.db.handle();
  // Bits 16 and 12 are current meanings now; a re-run legacy step would move
  // or clear them.
  ASSERT_EQ(s.db.executeSQL(
                "insert into messages (mid, gid, sender, ts, status, flag) values ('1', 0, 'a', "
                "1, 19, 65536);"
                "insert into contacts (uid, gid, address, flag) values (7, 0, 'bob', 4096);"
                "insert into synced (address, f, u) values ('bob', 1, 0);"
                "insert into members (gid, address, type) values (5, 'bob', 1);"
                "insert into mstatus values (1, 7, 1, 1);"),
            1);
  s.db.setKey("g_data", "config");
  s.host.now += 1000;

  ASSERT_EQ(s.db.resetDatabase(DB_RESET_SETTINGS), 0);
  EXPECT_EQ(sql_rows(h, "select name, val from settings order by name"),
            "dbschema|18\ninitts|" + std::to_string(s.host.now) + "\nmfm|ok\nuid|42\n");
  EXPECT_EQ(sql_rows(h, "select flag from messages"), "65536\n");
  EXPECT_EQ(sql_rows(h, "select flag from contacts"), "4096\n");
  EXPECT_EQ(sql_int(h, "select count(1) from members"), 1);

  ASSERT_EQ(s.db.resetDatabase(DB_RESET_MESSAGES), 0);
  EXPECT_EQ(sql_int(h, "select (select count(1) from messages) + (select count(1) from mstatus) "
                       "+ (select count(1) from members)"),
            0);
  EXPECT_EQ(sql_int(h, "select count(1) from contacts"), 1);
  ASSERT_EQ(s.db.resetDatabase(DB_RESET_CONTACTS), 0);
  EXPECT_EQ(sql_int(h, "select (select count(1) from contacts) + (select count(1) from synced)"), 0);
  EXPECT_EQ(s.db.getKeyInt("dbschema", 0), (uint64_t)DB_SCHEMA_VERSION);

  ZalvioDB closed(&s.host);
  EXPECT_EQ(closed.resetDatabase(7), -1);
}
