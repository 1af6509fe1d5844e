// The store's SQL: schema pass, upgrade steps, reset, and the statements of
// the messages table with the receipt and group clean-ups they trigger.
// See zalviodb.h.
#include "app/zalviodb.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/paths.h"
#include "util/logs.h"
#include "util/random.h"

// ===========================================================================
// Schema
// ===========================================================================

// Every schema pass runs this list; each statement stands alone so that one
// failing on an old file (an index on a column a later step adds) does not
// keep the rest from running.
static const char *const CREATION_LIST[] = {
    "create table if not exists messages (mid text primary key, gid integer, channel integer, "
    "type integer, sender text, ts integer, message blob, thumbnail blob, filepath text, url "
    "text, status integer, expiry integer, flag integer, rts integer, mts integer, uflags "
    "integer, ages integer, ager integer, agerd integer, tid integer, ud integer, sens integer, "
    "ftg text, refid integer, gmc integer)",
    "create index if not exists ifrom on messages (sender)",
    "create index if not exists iurl on messages (url)",
    "create index if not exists iwhen on messages (ts)",
    "create index if not exists igid on messages (gid)",
    "create index if not exists istatus on messages (status)",
    "create index if not exists ichannel on messages (channel)",
    "create index if not exists itype on messages (type)",
    "create index if not exists iretain on messages (rts)",
    "create index if not exists itid on messages (tid)",
    "create index if not exists iftg on messages (ftg)",
    "create index if not exists mgmc on messages (gmc)",
    "create table if not exists files (fid text primary key, tn blob, path text, url text, type "
    "integer, status integer, usage integer, ts integer, uts integer)",
    "create index if not exists ftype on files (type)",
    "create index if not exists furl on files (url)",
    "create index if not exists fpath on files (path)",
    "create index if not exists fstatus on files (status)",
    "create index if not exists fusage on files (usage)",
    "create index if not exists futs on files (uts)",
    "create table if not exists contacts (uid integer, gid integer, address text, lp blob, p "
    "blob, ep blob, ts integer, lastseen integer, lastactivity integer, flag integer, prts "
    "integer, cts integer, oets integer, udts integer, gmc integer, gmts integer)",
    "create index if not exists icaddr on contacts (address)",
    "create index if not exists icgid on contacts (gid)",
    "create index if not exists icuid on contacts (uid)",
    "create index if not exists icwhen on contacts (ts)",
    "create index if not exists icprts on contacts (prts)",
    "create index if not exists iccts on contacts (cts)",
    "create index if not exists icls on contacts (lastseen)",
    "create index if not exists icla on contacts (lastactivity)",
    "create table if not exists synced (id integer primary key autoincrement, address text "
    "unique, f integer, u integer)",
    "create table if not exists settings (name text primary key, val text, vb blob)",
    "create table if not exists blocked (sender text primary key, flags integer)",
    "create table if not exists mstatus (id integer, uid integer, dts integer, rts integer)",
    "create index if not exists iid on mstatus (id)",
    "create index if not exists iuid on mstatus (uid)",
    "create unique index if not exists iduid on mstatus (id, uid)",
    "create table if not exists members (id integer primary key autoincrement, gid integer, "
    "address text, type integer)",
    "create index if not exists imgid on members (gid)",
    "create index if not exists imtype on members (type)",
    "create unique index if not exists imga on members (gid, address)",
};

// Version 17: the reads page through one conversation newest first and
// count its unread rows. With the single-column indexes above SQLite reads
// every row of a sender (or of every group) and sorts; these let a page,
// the latest row of each conversation and an unread count be index seeks.
// `mid` breaks ties between rows of one millisecond.
static const char *const READ_INDEXES[] = {
    "create index if not exists imconv on messages (gid, sender, ts, mid)",
    "create index if not exists imgroup on messages (gid, ts, mid)",
    "create index if not exists imunread on messages (gid, status, sender)",
};

// Version 18: the outbox walk seeks to its cursor and reads the waiting
// rows in order. With the status index alone it sorted every waiting row
// on each pass, which made a burst through the outbox quadratic.
static const char OUTBOX_INDEX[] = "create index if not exists ipending on messages (status, ts, mid)";

static const char SQL_COUNT_TABLES[] =
    "select count(1) from sqlite_master where type='table' and name in ('messages', 'files', "
    "'contacts', 'synced', 'settings', 'blocked', 'mstatus', 'members')";

// Message flag bits moved by the version-4 migration, old to new.
static const struct {
  uint64_t old_bit, new_bit;
} FLAG_MOVES[] = {
    {0x10000, 0x400000000000000ull},
    {0x20000, 0x800000000000000ull},
    {0x200000, 0x1000000000000000ull},
    {0x400000, 0x200000000000000ull},
};

int ZalvioDB::runCreationList() {
  int failed = 0;
  for (const char *sql : CREATION_LIST)
    if (executeSQL(sql) < 0) failed++;
  return failed;
}

int ZalvioDB::createReadIndexes() {
  int failed = 0;
  for (const char *sql : READ_INDEXES)
    if (executeSQL(sql) < 0) failed++;
  return failed;
}

int ZalvioDB::countTables() {
  int64_t n = 0;
  return queryInt64(SQL_COUNT_TABLES, {}, 0, &n) == 1 ? (int)n : 0;
}

int ZalvioDB::hasColumn(const char *table, const char *column) {
  // Textual: the name between two blanks anywhere in the table's CREATE text.
  std::string pattern = std::string("% ") + column + " %";
  int64_t exists = 0;
  queryInt64("select exists (select * from sqlite_master where tbl_name=? and sql like ?)",
             {db_text(table), db_text(pattern.c_str())}, 0, &exists);
  if (exists == 0) return 0;
  LOGD("exists: %s(%s)(%s)", table, column, pattern.c_str());
  return 1;
}

int ZalvioDB::createColumn(const char *table, const char *column, const char *type,
                           const char *index) {
  if (hasColumn(table, column)) return -1;
  char sql[256];
  snprintf(sql, sizeof sql, "alter table %s add column %s %s", table, column, type);
  int rv = executeSQL(sql);
  LOGD("createColumn: rv: %s = %d", column, rv);
  if (index) {
    snprintf(sql, sizeof sql, "create index if not exists %s on %s (%s)", index, table, column);
    executeSQL(sql);
  }
  return 0;
}

void ZalvioDB::migrateMessageFlags() {
  char mfm[16];
  getValue("select val from settings where name='mfm'", 0, mfm, sizeof mfm, nullptr);
  if (mfm[0]) return;
  setKey("mfm", "ok");
  LOGD("Migrating message flags");
  for (const auto &m : FLAG_MOVES) {
    execArgs("update messages set flag=flag|? where flag >= ? and (flag&?) > 0",
             {db_u64(m.new_bit), db_u64(m.old_bit), db_u64(m.old_bit)});
    execArgs("update messages set flag=flag&~? where flag >= ? and (flag&?) > 0",
             {db_u64(m.old_bit), db_u64(m.old_bit), db_u64(m.old_bit)});
  }
}

// The cumulative steps: a file at `version` runs every step whose bound is
// `version` or more. There never was a step for version 10.
void ZalvioDB::upgrade(int version) {
  if (version <= 4) migrateMessageFlags();
  if (version <= 5) {
    createColumn("contacts", "cts", "integer", "iccts");
    createColumn("contacts", "oets", "integer", nullptr);
    executeSQL("create unique index if not exists imga on members (gid, address)");
    createColumn("settings", "vb", "blob", nullptr);
  }
  if (version <= 6) {
    createColumn("messages", "ages", "integer", nullptr);
    createColumn("messages", "ager", "integer", nullptr);
    createColumn("messages", "agerd", "integer", nullptr);
    createColumn("messages", "tid", "integer", "itid");
    createColumn("messages", "ud", "integer", nullptr);
    createColumn("messages", "sens", "integer", nullptr);
  }
  if (version <= 7) MigrateContactFlags();
  if (version <= 8) createColumn("synced", "u", "integer", nullptr);
  if (version <= 9) createColumn("contacts", "ep", "blob", nullptr);
  if (version <= 11) createColumn("messages", "ftg", "text", "iftg");
  if (version <= 12) createColumn("messages", "refid", "integer", nullptr);
  if (version <= 13) createColumn("messages", "url", "text", "iurl");
  if (version <= 14) createColumn("contacts", "udts", "integer", nullptr);
  if (version <= 15) {
    executeSQL(
        "delete from mstatus where exists (select 1 from mstatus m2 where mstatus.id=m2.id and "
        "mstatus.uid=m2.uid and mstatus.rowid > m2.rowid)");
    executeSQL("drop index iduid");
    executeSQL("alter table mstatus drop column status");
    executeSQL("create unique index iduid on mstatus (id, uid)");
    createColumn("contacts", "gmc", "integer", nullptr);
    createColumn("contacts", "gmts", "integer", nullptr);
    createColumn("messages", "gmc", "integer", "mgmc");
  }
  if (version <= 16) createReadIndexes();
  if (version <= 17) executeSQL(OUTBOX_INDEX);
}

int ZalvioDB::createTable() {
  LOGD("creating table");
  char text[32];
  int rv = getValue("select val from settings where name='dbschema'", 0, text, sizeof text,
                    nullptr);
  int version = atoi(text);
  if (rv == 0 && version == DB_SCHEMA_VERSION) {
    LOGD("latest DB schema exists, not doing anything");
    return 0;
  }
  if (rv == 0 && version > DB_SCHEMA_VERSION) {
    // Written by a newer library: its changes are not ours to undo.
    LOGE("DB schema %d is newer than %d, not changing it", version, DB_SCHEMA_VERSION);
    return 0;
  }
  LOGD("schema: %d rv(%d)", version, rv);

  bool old_contacts = hasColumn("contacts", "thumbnail");
  if (old_contacts) {
    executeSQL("alter table contacts rename to ctemp");
    executeSQL("drop table if exists members");
  }
  if (version <= 3) executeSQL("drop table if exists members");
  runCreationList();
  // Both contact migrations queue addresses with the column that step 13
  // adds; without it their rows would be lost (the old flags are cleared).
  if (version <= 8) createColumn("synced", "u", "integer", nullptr);
  if (old_contacts) migrateContacts();
  executeSQL("update messages set flag=flag|128, status=19 where status=20;");
  upgrade(version);
  // Indexes on columns the steps above just added.
  runCreationList();

  int tables = countTables();
  if (tables == DB_TABLE_COUNT) setKeyInt("dbschema", DB_SCHEMA_VERSION);
  else LOGE("DB schema incomplete: %d of %d tables, version not written", tables, DB_TABLE_COUNT);

  char initts[32];
  getValue("select val from settings where name='initts'", 0, initts, sizeof initts, nullptr);
  if (initts[0] == 0) setKeyInt("initts", nowMs());
  return 0;
}

// ---- contacts of the pre-profile layout -----------------------------------

// Picture file names come from a stored row; never let one leave its folder.
static bool plain_file_name(const char *name) {
  return name && *name && strchr(name, '/') == nullptr && strcmp(name, "..") != 0 &&
         strcmp(name, ".") != 0;
}

struct OldContact {
  std::string address;
  uint32_t gid;
  uint32_t flags;
  std::string thumbnail;
  bool has_thumbnail;
  std::string photo;
};

static void move_old_pictures(Paths *paths, const OldContact &c) {
  bool self = (c.flags & DB_CONTACT_SELF) != 0;
  const char *address = c.address.c_str();
  char to[4096];
  if (c.has_thumbnail &&
      paths_profile_picture(paths, address, -1, c.gid, self, true, true, to, sizeof to) > 0 &&
      file_write(to, c.thumbnail.data(), c.thumbnail.size(), PATHS_FILE_MODE) == 0)
    LOGD("saved tn to %s", to);
  if (!plain_file_name(c.photo.c_str())) return;
  std::string from = std::string(paths_profiles(paths)) + "/" + c.photo;
  if (paths_profile_picture(paths, address, -1, c.gid, self, false, false, to, sizeof to) > 0) {
    LOGD("moving pic from %s to %s", from.c_str(), to);
    file_move(from.c_str(), to);
  }
  from = std::string(paths_tn(paths)) + "/" + c.photo;
  if (file_size(from.c_str()) >= 0 &&
      paths_profile_picture(paths, address, -1, c.gid, self, true, true, to, sizeof to) > 0) {
    LOGD("moving tn from %s to %s", from.c_str(), to);
    file_move(from.c_str(), to);
  }
}

int ZalvioDB::migrateContacts() {
  LOGD("migrating contacts");
  sqlite3_stmt *st = nullptr;
  if (db == nullptr ||
      sqlite3_prepare_v2(db,
                         "select name, gid, address, status, thumbnail, photo, other, ts, "
                         "lastseen, flag from ctemp",
                         -1, &st, nullptr) != SQLITE_OK) {
    LOGE("readContact: failed");
    return -1;
  }
  std::vector<OldContact> rows;
  while (sqlite3_step(st) == SQLITE_ROW) {
    OldContact c;
    c.gid = (uint32_t)sqlite3_column_int64(st, 1);
    const char *address = (const char *)sqlite3_column_text(st, 2);
    if (c.gid == 0 && address) c.address = address;
    c.flags = (uint32_t)sqlite3_column_int64(st, 9) | DB_CONTACT_MIGRATED;
    c.has_thumbnail = sqlite3_column_type(st, 4) == SQLITE_BLOB;
    if (c.has_thumbnail)
      c.thumbnail.assign((const char *)sqlite3_column_blob(st, 4), sqlite3_column_bytes(st, 4));
    const char *photo = (const char *)sqlite3_column_text(st, 5);
    if (photo) c.photo = photo;
    rows.push_back(c);
  }
  sqlite3_finalize(st);

  Paths *paths = host->db_paths();
  for (const OldContact &c : rows) {
    LOGD("migrating address %s groupid %u flags %u", c.address.c_str(), c.gid, c.flags);
    if (paths) move_old_pictures(paths, c);
    // Profiles come back through synchronisation.
    if (c.gid == 0 && !c.address.empty()) queueSynced(c.address.c_str(), 3, 0xFFFFFFFF);
  }
  executeSQL("drop table if exists ctemp");
  return 0;
}

void ZalvioDB::MigrateContactFlags() {
  sqlite3_stmt *st = nullptr;
  if (db == nullptr ||
      sqlite3_prepare_v2(db,
                         "select ifnull(s.id, 0), c.address, ifnull(s.f, 0), c.flag from "
                         "contacts c left join synced s on c.address=s.address where c.gid=0",
                         -1, &st, nullptr) != SQLITE_OK) {
    LOGE("MigrateContactFlags: failed");
    return;
  }
  struct Queued {
    std::string address;
    uint32_t f;
  };
  std::vector<Queued> queue;
  while (sqlite3_step(st) == SQLITE_ROW) {
    int64_t sid = sqlite3_column_int64(st, 0);
    const char *address = (const char *)sqlite3_column_text(st, 1);
    uint32_t f = (uint32_t)sqlite3_column_int64(st, 2);
    uint32_t flag = (uint32_t)sqlite3_column_int64(st, 3);
    uint32_t nf = ((flag >> 12) & 1) | ((flag >> 13) & 1) << 1 | ((flag >> 16) & 1) << 2 |
                  ((flag >> 17) & 1) << 3;
    if (nf == 0 || (flag & DB_CONTACT_SELF) || address == nullptr) continue;
    if (sid != 0 && (f & 0xFFFF) == nf) continue;
    queue.push_back({address, nf});
  }
  sqlite3_finalize(st);
  for (const Queued &q : queue) queueSynced(q.address.c_str(), q.f, 0xFFFF);
  execArgs("update contacts set flag=flag&~?", {db_int(DB_CONTACT_OLD_SYNC_BITS)});
}

int ZalvioDB::queueSynced(const char *address, uint32_t f, uint32_t mask) {
  if (address == nullptr || *address == 0) return 0;
  return execArgs(
      "insert or replace into synced (address, f, u) values (?, ?, 0) on conflict do update set "
      "id=iif(f=excluded.f, id, excluded.rowid), f=((excluded.f&?) | (f&~?)), u=0",
      {db_text(address), db_int(f), db_int(mask), db_int(mask)});
}

int64_t ZalvioDB::getSyncFlags(const char *address) {
  int64_t f = -1;
  if (address == nullptr ||
      queryInt64("select f from synced where address=?", {db_text(address)}, 0, &f) != 1)
    return -1;
  return f;
}

// ---- reset ----------------------------------------------------------------

// A cleared settings table on a live file: the tables are current, so the
// legacy steps must not run again (they would drop members, move flag bits
// and clear contact flags).
void ZalvioDB::writeFreshSettings() {
  setKeyInt("dbschema", DB_SCHEMA_VERSION);
  setKey("mfm", "ok");
  setKeyInt("uid", host->db_uid());
  setKeyInt("initts", nowMs());
}

int ZalvioDB::resetDatabase(uint32_t mask) {
  if (db == nullptr) return -1;
  if (mask & DB_RESET_MESSAGES) {
    executeSQL("delete from messages");
    executeSQL("delete from mstatus");
    executeSQL("delete from members");
  }
  if (mask & DB_RESET_CONTACTS) {
    executeSQL("delete from contacts");
    executeSQL("delete from synced");
  }
  if (mask & DB_RESET_SETTINGS) {
    executeSQL("delete from settings");
    writeFreshSettings();
  }
  createTable();
  return 0;
}

void ZalvioDB::startupSweep() {
  expireOutbox();
  deleteRetained();
  deleteOrphanGroups(0);
  refreshPlannerStats();
}

// ===========================================================================
// Messages: writing
// ===========================================================================

static bool incoming(uint16_t status) {
  return status == MSG_STATUS_UNREAD || status == MSG_STATUS_RECEIVED_READ;
}

// The earliest of the deadlines the message's ages allow; 0 keeps it.
static uint64_t retention_deadline(const MessageParams *p, uint64_t now) {
  uint64_t rts = 0;
  if (p->agesent > 0) rts = p->when + (uint64_t)p->agesent * 1000;
  if (!incoming(p->status)) return rts;
  uint64_t candidates[2] = {0, 0};
  if (p->agerecv > 0) candidates[0] = now + (uint64_t)p->agerecv * 1000;
  if (p->ageread > 0 && p->status == MSG_STATUS_RECEIVED_READ)
    candidates[1] = now + (uint64_t)p->ageread * 1000;
  for (uint64_t c : candidates)
    if (c && (rts == 0 || c < rts)) rts = c;
  return rts;
}

int ZalvioDB::saveMessage(MessageParams *p, const char *peer, const uint8_t *payload,
                          uint32_t len) {
  if (p && (p->flags & DB_FLAG_UPDATE)) {
    p->flags &= ~DB_FLAG_UPDATE;
    int rv = updateMessage(p, peer, payload, len);
    p->flags |= DB_FLAG_UPDATE;
    return rv;
  }
  if (p && p->groupid && peer == nullptr) peer = "";
  if (payload == nullptr || peer == nullptr || p == nullptr) {
    LOGE("*** BUG *** NULL data %p (%d) or NULL from %p or NULL p %p (%u %u)", (const void *)payload,
         (int)len, (const void *)peer, (void *)p, p ? p->groupid : 0, p ? p->status : 0);
    return -1;
  }
  if (db == nullptr || len > INT32_MAX) return -1;
  if (p->saved) LOGE("*** BUG *** save called on savedMessage");
  if (p->id == 0) {
    LOGD("zero id - not saving");
    return 0;
  }
  p->saved = 1;
  uint64_t rts = retention_deadline(p, nowMs());
  fix_duplicate_mid(p);

  static const char SQL[] =
      "insert into messages (mid, gid, channel, type, ts, status, expiry, flag, refid, sender, "
      "message, thumbnail, filepath, rts, uflags, tid, ud, sens, ages, ager, agerd) VALUES (?, "
      "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, SQL, -1, &st, nullptr) != SQLITE_OK) {
    LOGE("sqlite prepare error: %s", SQL);
    return -1;
  }
  bool has_thumbnail = p->thumbnail && p->thumbnail_len;
  int rc = db_bind(
      st, {db_mid(p->id), db_int(p->groupid), db_int(p->channel), db_int(p->type),
           db_u64(p->when), db_int(p->status), db_int(p->expiry), db_u64(p->flags),
           db_u64(p->refid), db_text(peer), db_blob(payload, len),
           has_thumbnail ? db_blob(p->thumbnail, p->thumbnail_len) : db_null(),
           db_text(p->filepath), db_u64(rts), db_int(p->uflags), db_u64(p->tid),
           db_u64(p->userdata), db_int(p->sensitivity), db_int(p->agesent), db_int(p->agerecv),
           db_int(p->ageread)});
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc == SQLITE_DONE) return 0;
  // A synchronisation batch repeats messages on purpose: not worth a line.
  if (p->syncid == 0) {
    LOGE("Unable to save message - ensure that you are using unique message ID for each message");
    LOGE("sql error in insert: %s (%s)", SQL, sqlite3_errstr(rc));
  }
  return -1;
}

int ZalvioDB::fix_duplicate_mid(const MessageParams *p) {
  uint64_t high = p->id & 0xFFFFFFFF00000000ull;
  if (high == 0 || p->syncid || p->channel != CHANNEL_MESSAGE || !incoming(p->status) ||
      (p->flags & DB_FLAG_UPDATE) || !messageExists(p->id))
    return 0;
  LOGD("duplicate found: %" PRIx64 " high: %" PRIx64, p->id, high);
  for (uint32_t i = 0; i < DB_DUPLICATE_ATTEMPTS; i++) {
    uint64_t candidate = high | random32();
    if (candidate == high || messageExists(candidate)) continue;
    LOGD("updating found: %" PRIx64 " high: %" PRIx64 " new mid %" PRIx64, p->id, high, candidate);
    return execArgs("update messages set mid=? where mid=?", {db_mid(candidate), db_mid(p->id)}) > 0
               ? 1
               : 0;
  }
  return 0;
}

int ZalvioDB::updateMessage(const MessageParams *p, const char *peer, const uint8_t *payload,
                            uint32_t len) {
  if (db == nullptr || p == nullptr || p->id == 0 || len > INT32_MAX) return -1;
  // Ids with a sender half are only unique together with the sender.
  bool by_sender = p->id > 0xFFFFFFFFull;
  const char *sql = by_sender ? "update messages set flag=?, message=? where mid=? and sender=?"
                              : "update messages set flag=?, message=? where mid=?";
  LOGD("update SQL: (%s) (len %d) (message %.*s)", sql, (int)len, payload ? (int)len : 0,
       payload ? (const char *)payload : "");
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    LOGE("SQL error: %s", sql);
    return -1;
  }
  int rc = by_sender ? db_bind(st, {db_u64(p->flags), db_blob(payload, len), db_mid(p->id),
                                    db_text(peer ? peer : "")})
                     : db_bind(st, {db_u64(p->flags), db_blob(payload, len), db_mid(p->id)});
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc == SQLITE_DONE) return 0;
  LOGE("sql error in update: %s (%s)", sql, sqlite3_errstr(rc));
  return -1;
}

int ZalvioDB::updateMessageFields(uint64_t id, uint64_t add_flags, int status,
                                  const uint8_t *thumbnail, uint32_t thumbnail_len,
                                  const char *filepath, const char *ftg, const char *url) {
  bool has_thumbnail = thumbnail && thumbnail_len;
  bool has_url = url && *url;
  bool has_ftg = ftg && *ftg;
  if (id == 0 || (!has_thumbnail && !filepath && !has_ftg && !has_url && status < 0 && !add_flags))
    return -1;
  if (db == nullptr || thumbnail_len > INT32_MAX) return -1;
  std::string sql = "update messages set flag=flag|?,";
  if (status >= 0) sql += "status=?,";
  if (has_thumbnail) sql += "thumbnail=?,";
  if (filepath) sql += "filepath=?,";
  if (has_url) sql += "url=?,";
  if (has_ftg) sql += "ftg=?,";
  sql.pop_back();
  sql += " where mid=?";

  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    LOGD("SQL error: %s", sql.c_str());
    return -1;
  }
  int i = 1;
  sqlite3_bind_int64(st, i++, (int64_t)add_flags);
  if (status >= 0) sqlite3_bind_int(st, i++, status);
  if (has_thumbnail) sqlite3_bind_blob(st, i++, thumbnail, (int)thumbnail_len, SQLITE_TRANSIENT);
  if (filepath) sqlite3_bind_text(st, i++, filepath, -1, SQLITE_TRANSIENT);
  if (has_url) sqlite3_bind_text(st, i++, url, -1, SQLITE_TRANSIENT);
  if (has_ftg) sqlite3_bind_text(st, i++, ftg, -1, SQLITE_TRANSIENT);
  char mid[24];
  snprintf(mid, sizeof mid, "%" PRIu64, id);
  sqlite3_bind_text(st, i, mid, -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc == SQLITE_DONE) return 0;
  LOGE("sql error in insert: %s (%s)", sql.c_str(), sqlite3_errstr(rc));
  return -1;
}

int ZalvioDB::updateMessageUrl(uint64_t id, const char *url) {
  return updateMessageFields(id, 0, -1, nullptr, 0, nullptr, nullptr, url);
}

int ZalvioDB::setMessageFlags(uint64_t id, uint64_t add, uint64_t remove) {
  return execArgs("update messages set flag=(flag|?)&~? where mid=?",
                  {db_u64(add), db_u64(remove), db_mid(id)});
}

int ZalvioDB::copyAttachment(uint64_t from, uint64_t to) {
  return execArgs(
      "update messages set thumbnail=(select thumbnail from messages where mid=?), "
      "filepath=(select filepath from messages where mid=?) where mid=?",
      {db_mid(from), db_mid(from), db_mid(to)});
}

// ===========================================================================
// Messages: status
// ===========================================================================

int ZalvioDB::resetFailedStatus(uint64_t id) {
  return execArgs(
      "update messages set status=? where mid=? and (status&0x80)=0x80 and status!=? and "
      "status!=?",
      {db_int(MSG_STATUS_OUTBOX), db_mid(id), db_int(DB_STATUS_KEPT_FAILED_A),
       db_int(DB_STATUS_KEPT_FAILED_B)});
}

int ZalvioDB::set_status_pending_all_forced(const char *peer, uint64_t id, int limit) {
  if (db == nullptr) return -1;
  if (peer == nullptr) return 0;
  int64_t base = 0;
  static const char SQL_TS[] = "select ts from messages where mid=? and sender=? and gid=0";
  queryInt64(SQL_TS, {db_mid(id), db_text(peer)}, 0, &base);
  LOGD("sql (%s) ts= %" PRIu64, SQL_TS, (uint64_t)base);
  if (base == 0)
    queryInt64("select max(ts) from messages where sender=? and gid=0", {db_text(peer)}, 0, &base);
  if (base == 0) return 0;
  // The sent or delivered messages from `base` on, oldest first.
  static const char SELECTION[] =
      "(select mid from messages where ts >= ? and (status=? or status=?) and gid=0 and sender=? "
      "order by ts limit ?)";
  DbArgs args = {db_int(base), db_int(MSG_STATUS_SENT), db_int(MSG_STATUS_DELIVERED),
                 db_text(peer), db_int(limit)};
  execArgs((std::string("delete from mstatus where id in ") + SELECTION).c_str(), args);
  std::string update = std::string("update messages set status=") +
                       std::to_string(MSG_STATUS_OUTBOX) + " where mid in " + SELECTION;
  return execArgs(update.c_str(), args);
}

int ZalvioDB::setStatusByIdAndSender(uint64_t id, int status, const char *peer) {
  return execArgs("update messages set status=? where mid=? and sender=?",
                  {db_int(status), db_mid(id), db_text(peer ? peer : "")});
}

int ZalvioDB::replaceStatus(int old_status, int new_status) {
  return execArgs("update messages set status=? where status=?",
                  {db_int(new_status), db_int(old_status)});
}

int ZalvioDB::updateStatus(uint64_t id, int status, const char *peer, uint32_t gid,
                           uint64_t time) {
  if (db == nullptr) return -1;
  if (time == 0) time = nowMs();
  if (status == MSG_STATUS_READ) {
    // Everything sent before the message read counts as read too.
    int64_t base = (int64_t)time;
    queryInt64("select ts from messages where mid=?", {db_mid(id)}, 0, &base);
    static const char SET[] =
        "update messages set status=?, rts=iif(agerd > 0 and (rts=0 or rts > (?+agerd*1000)), "
        "?+agerd*1000, rts) where status < ? and status != 0 and ";
    if (gid)
      return execArgs((std::string(SET) + "gid=? and ts <= ?").c_str(),
                      {db_int(status), db_u64(time), db_u64(time), db_int(status), db_int(gid),
                       db_int(base)});
    return execArgs((std::string(SET) + "sender=? and gid=0 and ts <= ?").c_str(),
                    {db_int(status), db_u64(time), db_u64(time), db_int(status),
                     db_text(peer ? peer : ""), db_int(base)});
  }
  if (status & MSG_STATUS_FAILED_BIT)
    return execArgs(
        "update messages set status=? where (status != ? and status != ?) and mid=?",
        {db_int(status), db_int(MSG_STATUS_READ), db_int(MSG_STATUS_DELIVERED), db_mid(id)});
  // Sent restarts the deadline from sending, delivered from delivery (only
  // ever earlier).
  bool sent = status == MSG_STATUS_SENT;
  const char *sql =
      // A failure reported before the acknowledgement (say, no such user)
      // is not overwritten by "sent"; a resend puts the row back to 0 first.
      sent ? "update messages set status=?, rts=iif(ages > 0 and (rts=0 or rts > (?+ages*1000)), "
             "?+ages*1000, rts) where status <? and (status&?)=0 and mid=?"
           : "update messages set status=?, rts=iif(ager > 0 and (rts=0 or rts > (?+ager*1000)), "
             "?+ager*1000, rts) where (status <? or (status&?)>0) and mid=?";
  return execArgs(sql, {db_int(status), db_u64(sent ? 0 : time), db_u64(time), db_int(status),
                        db_int(MSG_STATUS_FAILED_BIT), db_mid(id)});
}

int ZalvioDB::markRead(uint32_t gid, const char *peer, uint64_t from, uint64_t to) {
  if (gid == 0 && (peer == nullptr || *peer == 0)) return 0;
  if (db == nullptr) return -1;
  uint64_t now = nowMs();
  if (to == 0) to = now;
  static const char SET[] =
      "update messages set status=?, rts=iif(agerd > 0 and (rts=0 or rts > (?+agerd*1000)), "
      "?+agerd*1000, rts) where ";
  static const char RANGE[] = " and status=? and ts >= ? and ts<=?";
  if (gid)
    return execArgs((std::string(SET) + "gid=?" + RANGE).c_str(),
                    {db_int(MSG_STATUS_RECEIVED_READ), db_u64(now), db_u64(now), db_int(gid),
                     db_int(MSG_STATUS_UNREAD), db_u64(from), db_u64(to)});
  return execArgs((std::string(SET) + "sender=? and gid=0" + RANGE).c_str(),
                  {db_int(MSG_STATUS_RECEIVED_READ), db_u64(now), db_u64(now), db_text(peer),
                   db_int(MSG_STATUS_UNREAD), db_u64(from), db_u64(to)});
}

int ZalvioDB::expireOutbox() {
  return execArgs(
      "update messages set status=? where status=? AND (flag & ?)=0 AND (ts + (expiry*1000)) < ?",
      {db_int(MSG_STATUS_EXPIRED), db_int(MSG_STATUS_OUTBOX), db_u64(DB_FLAG_NO_EXPIRY),
       db_u64(nowMs() + DB_EXPIRY_MARGIN_MS)});
}

// ===========================================================================
// Messages: deleting
// ===========================================================================

int ZalvioDB::deleteMessage(uint64_t id, bool tombstone) {
  int rv = tombstone ? execArgs(
                           "update messages set flag=(flag|?)&~?, thumbnail=' ', filepath='',  "
                           "message=' - ' where mid=?",
                           {db_u64(DB_FLAG_TOMBSTONE), db_u64(DB_FLAG_RICH), db_mid(id)})
                     : execArgs("delete from messages where mid=?", {db_mid(id)});
  if (rv > 0) {
    deleteReceipts(id);
    sweepOrphanReceipts();
  }
  return rv;
}

int ZalvioDB::deleteTransient() {
  return execArgs("delete from messages where channel in (?, ?) and status >= ?",
                  {db_int(CHANNEL_TRANSIENT), db_int(CHANNEL_SYSTEM), db_int(MSG_STATUS_SENT)});
}

int ZalvioDB::deleteMessages(int channel, int type, const char *peer, uint32_t gid, int status,
                             uint64_t until) {
  if (db == nullptr) return -1;
  bool has_peer = peer && *peer;
  std::string sql = "delete from messages where ";
  std::vector<DbArg> args;
  const char *joiner = "";
  auto add = [&](const char *condition, DbArg arg) {
    sql += joiner;
    sql += condition;
    args.push_back(arg);
    joiner = " AND ";
  };
  if (has_peer) add("sender=?", db_text(peer));
  if (gid || has_peer) add("gid=?", db_int(gid));
  if (channel >= 0) add("channel=?", db_int(channel));
  if (type >= 0) add("type=?", db_int(type));
  if (status >= 0) add("status=?", db_int(status));
  if (until) add("ts<=?", db_u64(until));
  if (args.empty()) return 0;

  int rv = execArgs(sql.c_str(), args.data(), args.size());
  if (rv < 0) return -1;
  if (gid && until == 0) deleteOrphanGroups(gid);
  sweepOrphanReceipts();
  return rv;
}

// Both sweeps run before every page a read session delivers. Nearly always
// there is nothing to delete, and looking first costs a read where the
// delete would cost a write transaction.
int ZalvioDB::deleteRetained() {
  uint64_t now = nowMs();
  int64_t due = 0;
  if (queryInt64("select 1 from messages where rts > 0 and rts < ? and status!=? limit 1",
                 {db_u64(now), db_int(MSG_STATUS_OUTBOX)}, 0, &due) == 0)
    return 0;
  return execArgs("delete from messages where rts > 0 and status!=? and rts < ?",
                  {db_int(MSG_STATUS_OUTBOX), db_u64(now)});
}

int ZalvioDB::deleteSenderless() {
  int64_t found = 0;
  if (queryInt64("select 1 from messages where gid=0 and sender='' and (status=? or status=?) "
                 "limit 1",
                 {db_int(MSG_STATUS_UNREAD), db_int(MSG_STATUS_RECEIVED_READ)}, 0, &found) == 0)
    return 0;
  return execArgs("delete from messages where gid=0 and sender='' and (status=? or status=?);",
                  {db_int(MSG_STATUS_UNREAD), db_int(MSG_STATUS_RECEIVED_READ)});
}

// ===========================================================================
// Messages: look-ups
// ===========================================================================

int ZalvioDB::getMessageByFilePath(const char *filepath, DbBuffer *out) {
  if (filepath == nullptr) return -1;
  return getBlobValue("select message from messages where filepath=?", filepath, 0, out);
}

int ZalvioDB::getFilePathByTag(const char *ftg, DbBuffer *out) {
  if (ftg == nullptr) return -1;
  return getBlobValue("select filepath from messages where ftg=?", ftg, 0, out);
}

uint64_t ZalvioDB::getIdByUrl(const char *url) {
  char mid[24];
  if (url == nullptr ||
      queryText("select mid from messages where url=? order by ts desc limit 1", {db_text(url)}, 0,
                mid, sizeof mid) != 1)
    return 0;
  return strtoull(mid, nullptr, 10);
}

uint64_t ZalvioDB::getMessageTime(uint64_t id) {
  int64_t ts = 0;
  queryInt64("select ts from messages where mid=? limit 1", {db_mid(id)}, 0, &ts);
  return (uint64_t)ts;
}

int ZalvioDB::messageExists(uint64_t id) {
  int64_t n = 0;
  return queryInt64("select count(1) from messages where mid=?", {db_mid(id)}, 0, &n) == 1
             ? (int)n
             : 0;
}

// ===========================================================================
// Receipts and groups
// ===========================================================================

int ZalvioDB::deleteReceipts(uint64_t id) {
  return execArgs("delete from mstatus where id=?", {db_u64(id)});
}

int ZalvioDB::sweepOrphanReceipts() {
  if (orphan_sweep_done) return 0;
  orphan_sweep_done = true;
  return executeSQL(
      "delete from mstatus where id in (select s.id from mstatus s left join messages m on "
      "s.id=m.mid where m.mid is null)");
}

int ZalvioDB::deleteOrphanGroups(uint32_t gid) {
  std::string sql =
      std::string(
          "delete from contacts where gid in (select c.gid from contacts c left join messages m "
          "on c.gid=m.gid where c.gid ") +
      (gid ? "=" : ">") + " ? and (c.flag >= ? and (c.flag&?) > 0) and m.gid is null)";
  return execArgs(sql.c_str(), {db_int(gid), db_int(DB_CONTACT_LEFT),
                                db_int(DB_CONTACT_ORPHAN_MASK)});
}
