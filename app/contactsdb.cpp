// Contacts and groups: the contacts and members statements of ZalvioDB and
// the operations built on them. See contactsdb.h.
#include "app/contactsdb.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/paths.h"
#include "app/profile.h"
#include "util/logs.h"

static bool empty(const char *s) { return s == nullptr || *s == 0; }

static uint64_t now_seconds(ZalvioDB *db) { return db->nowMs() / 1000; }

// ===========================================================================
// uid and address mapping
// ===========================================================================

int ZalvioDB::getUid(const char *address, uint32_t *uid, uint32_t *udts) {
  *uid = 0;
  *udts = 0;
  if (db == nullptr || empty(address)) return -1;
  static const char SQL[] = "select uid, udts from contacts where address=? and gid=0";
  LOGD("getUid: %s", SQL);
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, SQL, -1, &st, nullptr) != SQLITE_OK) {
    LOGD("getUid failed: %s", SQL);
    return -1;
  }
  db_bind(st, {db_text(address)});
  int rv = 0;
  if (sqlite3_step(st) == SQLITE_ROW) {
    *uid = (uint32_t)sqlite3_column_int64(st, 0);
    *udts = (uint32_t)sqlite3_column_int64(st, 1);
    rv = 1;
  }
  sqlite3_finalize(st);
  return rv;
}

char *ZalvioDB::getAddress(uint32_t uid, uint32_t *udts) {
  *udts = 0;
  if (db == nullptr || uid == 0) return nullptr;
  static const char SQL[] = "select udts, address from contacts where uid=? and gid=0";
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, SQL, -1, &st, nullptr) != SQLITE_OK) {
    LOGD("getAddress failed: %s", SQL);
    return nullptr;
  }
  db_bind(st, {db_int(uid)});
  char *address = nullptr;
  if (sqlite3_step(st) == SQLITE_ROW) {
    const char *a = (const char *)sqlite3_column_text(st, 1);
    if (!empty(a)) {
      *udts = (uint32_t)sqlite3_column_int64(st, 0);
      address = strdup(a);
    }
  }
  sqlite3_finalize(st);
  return address;
}

// The pair's two rows: the one holding the address, and another one
// holding the uid. The address row wins; the other loses the stale uid.
int ZalvioDB::addUser(uint32_t uid, const char *address) {
  if (db == nullptr || uid == 0 || empty(address)) return -1;
  uint32_t now = (uint32_t)now_seconds(this);
  int64_t row_uid = 0;
  int found = queryInt64("select uid from contacts where address=? and gid=0", {db_text(address)},
                         0, &row_uid);
  if (found < 0) {
    LOGD("getIntValue SQL Error: %s", "select uid, address, udts from contacts");
    return -1;
  }
  if (found == 1) {
    // Another person row holding this uid is stale now.
    execArgs("update contacts set uid=0 where uid=? and gid=0 and address!=?",
             {db_int(uid), db_text(address)});
    return execArgs("update contacts set uid=?, udts=? where address=? and gid=0",
                    {db_int(uid), db_int(now), db_text(address)});
  }
  int64_t n = 0;
  queryInt64("select count(1) from contacts where uid=? and gid=0", {db_int(uid)}, 0, &n);
  if (n > 0)
    return execArgs("update contacts set address=?, udts=? where uid=? and gid=0",
                    {db_text(address), db_int(now), db_int(uid)});
  return execArgs(
      "insert or ignore into contacts (uid, address, gid, flag, udts) VALUES (?, ?, 0, 0, ?)",
      {db_int(uid), db_text(address), db_int(now)});
}

int ZalvioDB::resetUidTimestamps(const char *address) {
  LOGD("resetUidTimestamps: (%s)", address ? address : "");
  if (empty(address)) return execArgs("update contacts set udts=0 where gid=0", {});
  return execArgs("update contacts set udts=0 where address=? and gid=0", {db_text(address)});
}

int ZalvioDB::markSelf(uint32_t uid) {
  if (uid == 0) return 0;
  return execArgs(
      "update contacts set uid=?, flag=flag|? where uid=? or ((flag&?)=? and uid=0)",
      {db_int(uid), db_int(CONTACT_FLAG_SELF), db_int(uid), db_int(CONTACT_FLAG_SELF),
       db_int(CONTACT_FLAG_SELF)});
}

// ===========================================================================
// Contact rows
// ===========================================================================

// The row a record is stored into: found by gid, by address, or (a person
// without address) by uid.
struct StoredContact {
  int64_t rowid;
  uint32_t uid;
  uint32_t flags;
  uint32_t prts;
  uint32_t sync_flags;
};

static int find_contact(ZalvioDB *db, const ContactRecord *c, const std::string &address,
                        StoredContact *out) {
  const ProfileRecord &p = c->profile;
  const char *sql;
  std::vector<DbArg> args;
  if (p.gid) {
    sql = "select rowid, uid, flag, prts, 0 from contacts where gid=?";
    args = {db_int(p.gid)};
  } else if (!address.empty()) {
    sql = "select c.rowid, c.uid, c.flag, c.prts, ifnull(s.f, 0) from contacts c left join "
          "synced s on s.address=c.address where c.address=? and c.gid=0";
    args = {db_text(address.c_str())};
  } else {
    sql = "select c.rowid, c.uid, c.flag, c.prts, ifnull(s.f, 0) from contacts c left join "
          "synced s on s.address=c.address where c.uid=? and c.gid=0";
    args = {db_int(p.uid)};
  }
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db->handle(), sql, -1, &st, nullptr) != SQLITE_OK) {
    LOGD("sqlite prepare error: %s", sql);
    return -1;
  }
  db_bind(st, args.data(), args.size());
  int rv = 0;
  if (sqlite3_step(st) == SQLITE_ROW) {
    out->rowid = sqlite3_column_int64(st, 0);
    out->uid = (uint32_t)sqlite3_column_int64(st, 1);
    out->flags = (uint32_t)sqlite3_column_int64(st, 2);
    out->prts = (uint32_t)sqlite3_column_int64(st, 3);
    out->sync_flags = (uint32_t)sqlite3_column_int64(st, 4);
    rv = 1;
  }
  sqlite3_finalize(st);
  return rv;
}

int ZalvioDB::saveContact(ContactRecord *c, const uint8_t *blob, uint32_t len, bool no_new_row,
                          bool merge_group_flags) {
  if (c == nullptr) {
    LOGE("*** BUG *** NULL contact");
    return -1;
  }
  ProfileRecord &p = c->profile;
  std::string address((const char *)(p.address.p ? p.address.p : (const uint8_t *)""),
                      p.address.p ? p.address.len : 0);
  if (p.uid == 0 && p.gid == 0 && address.empty()) {
    LOGD("saveContact: no uid, gid or address");
    return -1;
  }
  if (p.gid && (p.uid || !address.empty())) return -1;
  if (address.size() > PROFILE_ADDRESS_MAX || memchr(address.data(), 0, address.size()))
    return -1;
  if (db == nullptr || len > INT32_MAX) return -1;
  c->flags &= ~CONTACT_NOT_STORED;

  StoredContact row = {0, 0, 0, 0, 0};
  int found = find_contact(this, c, address, &row);
  if (found < 0) return -1;
  const char *column = c->server ? "p" : "lp";
  uint32_t keep = p.gid && merge_group_flags ? CONTACT_PROFILE_KEEP_GROUP : CONTACT_PROFILE_KEEP;
  uint32_t flags = c->flags;
  uint32_t prts = c->prts;
  std::string sql;
  std::vector<DbArg> args = {db_text(address.c_str()), len ? db_blob(blob, len) : db_null()};
  if (found == 0) {
    if (no_new_row) return 0;
    flags = c->server ? flags | CONTACT_FLAG_SERVER : flags & ~CONTACT_FLAG_SERVER;
    sql = std::string("insert into contacts (address, ") + column +
          ", uid, gid, prts, flag, ts, lastseen, lastactivity) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 0)";
    args.insert(args.end(), {db_int(p.uid), db_int(p.gid), db_int(prts), db_int(flags),
                             db_u64(c->ts), db_u64(c->lastseen)});
  } else {
    if (p.uid == 0) p.uid = row.uid;
    flags = (flags & ~keep) | (row.flags & keep);
    if (c->server) {
      flags |= CONTACT_FLAG_SERVER;
    } else {
      prts = row.prts;
      flags &= ~(CONTACT_FLAG_SERVER | CONTACT_FLAG_LOCAL);
    }
    // Only the row found; a record without address keeps the row's.
    sql = std::string("update contacts set address=ifnull(nullif(?, ''), address), ") + column +
          "=?, uid=?, prts=?, flag=?, ts=?, lastseen=? where rowid=?";
    args.insert(args.end(), {db_int(p.uid), db_int(prts), db_int(flags), db_u64(c->ts),
                             db_u64(c->lastseen), db_int(row.rowid)});
  }
  LOGD("SQL: %s", sql.c_str());
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    LOGE("sqlite prepare error: %s", sql.c_str());
    return -1;
  }
  // A uid names one person: another row still holding it is stale.
  if (p.gid == 0 && p.uid)
    execArgs("update contacts set uid=0 where uid=? and gid=0 and rowid!=?",
             {db_int(p.uid), db_int(row.rowid)});
  int rc = db_bind(st, args.data(), args.size());
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  sqlite3_finalize(st);
  int rv = rc == SQLITE_DONE ? sqlite3_changes(db) : -1;
  if (rv < 0) LOGE("sql error in insert: %s (%s)", sql.c_str(), sqlite3_errstr(rc));
  c->flags = flags;
  c->prts = prts;
  c->sync_flags = row.sync_flags;
  LOGD("save contact3: rv %d %x %x", rv, flags, row.flags);
  return rv;
}

ContactRecord *ZalvioDB::getContact(const char *address, uint32_t gid, bool self, bool server) {
  if (db == nullptr) return nullptr;
  std::string sql = std::string("select ") + (server ? "p" : "lp") +
                    ", uid, ts, lastseen, flag, prts from contacts  ";
  DbArg key;
  if (self) {
    sql += "where uid=? ";
    key = db_int(userUid());
  } else if (gid) {
    sql += "where gid=? ";
    key = db_int(gid);
  } else if (!empty(address)) {
    sql += "where gid=0 and address=? ";
    key = db_text(address);
  } else {
    return nullptr;
  }
  sql += "limit 1";
  LOGD("getContact: %s", sql.c_str());
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    LOGD("getContact: failed");
    return nullptr;
  }
  db_bind(st, {key});
  ContactRecord *c = nullptr;
  if (sqlite3_step(st) == SQLITE_ROW) {
    uint32_t len = (uint32_t)sqlite3_column_bytes(st, 0);
    const void *blob = sqlite3_column_blob(st, 0);
    c = (ContactRecord *)calloc(1, sizeof *c + len + 1);
    if (c) {
      uint8_t *copy = (uint8_t *)(c + 1);
      if (len) memcpy(copy, blob, len);
      if (len) profile_decode(copy, len, &c->profile, nullptr, true);
      if (c->profile.uid == 0) c->profile.uid = (uint32_t)sqlite3_column_int64(st, 1);
      if (c->profile.gid == 0) c->profile.gid = gid;
      c->ts = (uint64_t)sqlite3_column_int64(st, 2);
      c->lastseen = (uint64_t)sqlite3_column_int64(st, 3);
      c->flags = (uint32_t)sqlite3_column_int64(st, 4);
      c->prts = (uint32_t)sqlite3_column_int64(st, 5);
      c->server = server;
    }
  }
  sqlite3_finalize(st);
  return c;
}

// The six profile parts a read merges, with their field-mask bits.
static const struct {
  uint32_t bit;
  ProfileBytes ProfileRecord::*field;
} MERGED_PARTS[] = {
    {PROFILE_FIELD_TEXT8, &ProfileRecord::text8},     {PROFILE_FIELD_TEXT9, &ProfileRecord::text9},
    {PROFILE_FIELD_TEXT10, &ProfileRecord::text10},   {PROFILE_FIELD_PICTURE, &ProfileRecord::picture},
    {PROFILE_FIELD_TEXT20, &ProfileRecord::text20},   {PROFILE_FIELD_THUMBNAIL, &ProfileRecord::thumbnail},
};

// Server values, each replaced by the local one when there is one and
// either the local profile has priority or the server has none.
static void merge_profiles(ProfileRecord *out, const ProfileRecord &local, bool local_priority) {
  for (const auto &part : MERGED_PARTS) {
    const ProfileBytes &l = local.*part.field;
    ProfileBytes &s = out->*part.field;
    if (l.len && (local_priority || s.len == 0)) {
      s = l;
      out->fields |= part.bit;
    }
  }
  LOGD("local prio %d tn %u", local_priority ? 1 : 0, out->thumbnail.len);
}

enum {
  RC_ADDRESS, RC_GID, RC_UID, RC_LP, RC_P, RC_EP, RC_TS, RC_LASTSEEN, RC_UDTS, RC_FLAG, RC_GMC,
  RC_MAXTS, RC_SYNC,
};

static ProfileBytes column_bytes(sqlite3_stmt *st, int col) {
  return {(const uint8_t *)sqlite3_column_blob(st, col), (uint32_t)sqlite3_column_bytes(st, col)};
}

// One row of readContact into `c`; false when the row is not shown.
static bool merged_contact(sqlite3_stmt *st, uint32_t own_uid, uint32_t extra, ContactRecord *c) {
  memset(c, 0, sizeof *c);
  uint32_t gid = (uint32_t)sqlite3_column_int64(st, RC_GID);
  ProfileBytes lp = column_bytes(st, RC_LP), p = column_bytes(st, RC_P);
  if ((gid >= 1 && gid <= 31) || (lp.len == 0 && p.len == 0)) return false;
  uint32_t uid = (uint32_t)sqlite3_column_int64(st, RC_UID);
  uint32_t flags = (uint32_t)sqlite3_column_int64(st, RC_FLAG);
  flags = uid && uid == own_uid ? CONTACT_FLAG_SELF : flags & ~CONTACT_FLAG_SELF;
  if (lp.len) flags |= CONTACT_FLAG_LOCAL;
  if (p.len == 0 || lp.len == 0) flags &= ~CONTACT_FLAG_SERVER;
  flags |= extra;
  c->ts = (uint64_t)sqlite3_column_int64(st, RC_TS);
  if (gid == 0) {
    uint64_t newest = (uint64_t)sqlite3_column_int64(st, RC_MAXTS);
    if (newest > c->ts) c->ts = newest;
    c->sync_flags = (uint32_t)sqlite3_column_int64(st, RC_SYNC);
    if ((c->sync_flags & CONTACT_SYNC_DELETED) && !(flags & CONTACT_FLAG_READ_MARK)) return false;
    flags &= ~CONTACT_FLAG_READ_MARK;
  }
  ProfileRecord local;
  memset(&local, 0, sizeof local);
  if (p.len) profile_decode(p.p, p.len, &c->profile, nullptr, true);
  if (lp.len) profile_decode(lp.p, lp.len, &local, nullptr, true);
  if (p.len == 0) c->profile = local;
  else merge_profiles(&c->profile, local, !(flags & CONTACT_FLAG_DELETED));
  c->profile.gid = gid;
  if (uid) c->profile.uid = uid;
  if (c->profile.address.len == 0 && gid == 0) c->profile.address = column_bytes(st, RC_ADDRESS);
  c->flags = flags;
  c->server = p.len != 0;
  c->prts = c->profile.revision;
  c->lastseen = (uint64_t)sqlite3_column_int64(st, RC_LASTSEEN);
  c->udts = (uint64_t)sqlite3_column_int64(st, RC_UDTS);
  c->member_count = (flags & CONTACT_FLAG_GONE) ? 0 : (uint32_t)sqlite3_column_int64(st, RC_GMC);
  c->e2e_key = column_bytes(st, RC_EP);
  return true;
}

int ZalvioDB::readContact(const char *address, uint32_t gid, int limit, uint32_t extra_flags,
                          INotify *listener) {
  if (db == nullptr || listener == nullptr) return -1;
  // The newest incoming message of each contact: of the group for a group
  // row, of the one-to-one conversation for a person.
  std::string sql =
      "select a.address, a.gid, a.uid, a.lp, a.p, a.ep, a.ts, a.lastseen, a.udts, a.flag, "
      "a.gmc, ifnull(case when a.gid > 0 then (select ts from messages m where m.gid=a.gid and "
      "(m.status=18 or m.status=19) order by ts desc limit 1) else (select ts from messages m "
      "where m.gid=0 and m.sender=a.address and (m.status=18 or m.status=19) order by ts desc "
      "limit 1) end, 0) maxts, ifnull(s.f, 0) from contacts a left join synced s on "
      "s.address=a.address ";
  std::vector<DbArg> args;
  if (gid) {
    sql += "where a.gid=? ";
    args.push_back(db_int(gid));
  } else if (!empty(address)) {
    sql += "where a.gid=0 and a.address=? ";
    args.push_back(db_text(address));
  }
  sql += "order by maxts desc ";
  if (limit > 0) {
    sql += "limit ?";
    args.push_back(db_int(limit));
  }
  LOGD("readContact: %s", sql.c_str());
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    LOGD("readContact: failed: %s (%s) (%s)", sqlite3_errmsg(db), sql.c_str(),
         address ? address : "");
    return -1;
  }
  db_bind(st, args.data(), args.size());
  uint32_t own = userUid();
  ContactRecord c;
  while (sqlite3_step(st) == SQLITE_ROW) {
    if (!merged_contact(st, own, extra_flags, &c)) continue;
    if (listener->on_profile(&c) < 0) break;
  }
  sqlite3_finalize(st);
  return 0;
}

int ZalvioDB::setLastSeen(const char *address, uint32_t gid, uint64_t when) {
  if (gid) return execArgs("update contacts set lastseen=? where gid=?", {db_u64(when), db_int(gid)});
  if (empty(address)) return -1;
  return execArgs("update contacts set lastseen=? where address=?", {db_u64(when), db_text(address)});
}

uint64_t ZalvioDB::getLastSeen(const char *address) {
  int64_t v = 0;
  if (empty(address)) return 0;
  queryInt64("select lastseen from contacts where address=?", {db_text(address)}, 0, &v);
  return (uint64_t)v;
}

uint32_t ZalvioDB::getGroupFlags(uint32_t gid) {
  int64_t v = 0;
  queryInt64("select flag from contacts where gid=?", {db_int(gid)}, 0, &v);
  return (uint32_t)v;
}

int ZalvioDB::contactExists(const char *address, uint32_t gid) {
  int64_t n = 0;
  int rv = gid ? queryInt64("select count(gid) from contacts where gid=?", {db_int(gid)}, 0, &n)
               : queryInt64("select count(uid) from contacts where address=?",
                            {db_text(address ? address : "")}, 0, &n);
  return rv == 1 ? (int)n : rv;
}

uint32_t ZalvioDB::maxGroupId() {
  int64_t v = 0;
  queryInt64("select max(gid) from contacts where gid > 0", {}, 0, &v);
  return (uint32_t)v;
}

uint32_t ZalvioDB::maxRevision(bool groups) {
  int64_t v = 0;
  queryInt64(groups ? "select max(prts) from contacts where gid > 0"
                    : "select max(prts) from contacts where gid=0",
             {}, 0, &v);
  return (uint32_t)v;
}

int ZalvioDB::getRevisionAndFlags(uint32_t uid, uint32_t *prts, uint32_t *flags) {
  *prts = *flags = 0;
  if (db == nullptr) return -1;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, "select prts, flag from contacts where uid=?", -1, &st, nullptr) !=
      SQLITE_OK)
    return -1;
  db_bind(st, {db_int(uid)});
  int rv = 0;
  if (sqlite3_step(st) == SQLITE_ROW) {
    *prts = (uint32_t)sqlite3_column_int64(st, 0);
    *flags = (uint32_t)sqlite3_column_int64(st, 1);
    rv = 1;
  }
  sqlite3_finalize(st);
  return rv;
}

uint64_t ZalvioDB::getOnlineValidity(const char *address, uint64_t def) {
  int64_t v = 0;
  if (empty(address) ||
      queryInt64("select oets from contacts where address=?", {db_text(address)}, 0, &v) != 1)
    return def;
  return (uint64_t)v;
}

int ZalvioDB::setOnlineValidity(const char *address, uint64_t until) {
  if (empty(address)) return -1;
  return execArgs("update contacts set oets=? where address=?", {db_u64(until), db_text(address)});
}

int ZalvioDB::setContactFlags(const char *address, uint32_t gid, uint32_t set, uint32_t clear) {
  if (gid == 0 && empty(address)) return -1;
  return execArgs("update contacts set flag=(flag&~?)|? where address=? and gid=?",
                  {db_int(clear), db_int(set), db_text(gid ? "" : address), db_int(gid)});
}

int ZalvioDB::setAddressFlags(const char *address, uint32_t set, uint32_t clear) {
  if (empty(address)) return -1;
  return execArgs("update contacts set flag=(flag&~?)|? where address=?",
                  {db_int(clear), db_int(set), db_text(address)});
}

int ZalvioDB::clearFlagEverywhere(uint32_t bit) {
  return execArgs("update contacts set flag=(flag&~?) where flag >= ? and (flag&?) > 0",
                  {db_int(bit), db_int(bit), db_int(bit)});
}

int ZalvioDB::clearProfile(const char *address, uint32_t gid, int what) {
  if (gid == 0 && empty(address)) return -1;
  const char *where = gid ? " where gid=?" : " where address=?";
  DbArg key = gid ? db_int(gid) : db_text(address);
  if (what >= 3) return execArgs((std::string("delete from contacts") + where).c_str(), {key});
  if (what != 1 && what != 2) return -1;
  std::string sql = std::string("update contacts set ") + (what == 1 ? "lp" : "p") +
                    "=null, flag=flag&~?" + where;
  return execArgs(sql.c_str(), {db_int(what == 1 ? 0u : (uint32_t)CONTACT_FLAG_SERVER), key});
}

int ZalvioDB::set_e2e(uint32_t uid, const char *address, const uint8_t *key, uint32_t len) {
  if (db == nullptr || empty(address) || key == nullptr || len > INT32_MAX) return -1;
  int exists = contactExists(address, 0);
  const char *sql = exists > 0 ? "update contacts set ep=? where address=? and gid=0"
                               : "insert into contacts (ep, address, gid, uid, flag) "
                                 "values(?, ?, 0, ?, 0)";
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    LOGE("db_set_e2e: prepare failed");
    return -1;
  }
  int rc = exists > 0 ? db_bind(st, {db_blob(key, len), db_text(address)})
                      : db_bind(st, {db_blob(key, len), db_text(address), db_int(uid)});
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) {
    LOGE("sql error in update: %s (%s)", sql, sqlite3_errstr(rc));
    return -1;
  }
  return sqlite3_changes(db);
}

int ZalvioDB::getE2eKey(const char *address, DbBuffer *out) {
  if (empty(address)) return -1;
  return getBlobValue("select ep from contacts where address=?", address, 0, out);
}

// ===========================================================================
// Members
// ===========================================================================

int ZalvioDB::setMember(uint32_t gid, const char *address, int type, int action) {
  if (db == nullptr) return -1;
  if (action == MEMBER_REMOVE_ALL)
    return execArgs("delete from members where gid=?", {db_int(gid)});
  if (empty(address)) return -1;
  if (action == MEMBER_REMOVE)
    return execArgs("delete from members where gid=? and address=?", {db_int(gid), db_text(address)});
  if (type < 0)
    return execArgs("insert or ignore into members (gid, address, type) values (?, ?, 0)",
                    {db_int(gid), db_text(address)});
  // Marker rows are replaced, never duplicated.
  if (type >= MEMBER_MARK_FETCHED && type <= MEMBER_MARK_FULL)
    execArgs("delete from members where gid=? and type=?", {db_int(gid), db_int(type)});
  return execArgs(
      "insert or replace into members (gid, address, type) values (?, ?, ?) on conflict do "
      "update set type=excluded.type",
      {db_int(gid), db_text(address), db_int(type)});
}

int ZalvioDB::setMarker(uint32_t gid, int type, uint32_t number) {
  char text[16];
  snprintf(text, sizeof text, "%u", number);
  return setMember(gid, text, type, MEMBER_STORE);
}

uint32_t ZalvioDB::getMarker(uint32_t gid, int type) {
  char text[64];
  if (queryText("select address from members where gid=? and type=?", {db_int(gid), db_int(type)},
                0, text, sizeof text) != 1)
    return 0;
  return (uint32_t)strtoul(text, nullptr, 10);
}

int ZalvioDB::countMembers(uint32_t gid) {
  int64_t n = 0;
  return queryInt64("select count(1) from members where gid=? and type < ?",
                    {db_int(gid), db_int(MEMBER_MARK_FETCHED)}, 0, &n) == 1
             ? (int)n
             : -1;
}

int ZalvioDB::readMembers(uint32_t gid, uint32_t first, int limit, INotify *listener) {
  if (db == nullptr || listener == nullptr) return -1;
  static const char SQL[] =
      "select address, type, id from members where gid=? and id >= ? order by id asc limit ?";
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, SQL, -1, &st, nullptr) != SQLITE_OK) {
    LOGD("readMembers: failed: %s", SQL);
    return -1;
  }
  db_bind(st, {db_int(gid), db_int(first), db_int(limit)});
  uint32_t flags = MEMBER_LIST_FLAGS;
  int rows = 0;
  while (sqlite3_step(st) == SQLITE_ROW) {
    const char *address = (const char *)sqlite3_column_text(st, 0);
    int type = sqlite3_column_int(st, 1);
    rows++;
    int rv = listener->on_group_member(gid, address ? address : "", type, flags);
    flags &= ~MEMBER_FIRST;
    if (rv < 0) break;
  }
  sqlite3_finalize(st);
  listener->on_group_member(gid, nullptr, 0, flags);
  return rows;
}

// ===========================================================================
// Operations
// ===========================================================================

int contact_user_info(ZalvioDB *db, ContactHost *host, uint32_t uid, const char *address,
                      UserInfo *out) {
  memset(out, 0, sizeof *out);
  if (db == nullptr || !db->isOpen()) return -1;
  if (uid && !empty(address)) {
    bool queued = db->getSyncFlags(address) >= 0;
    int changed = db->addUser(uid, address);
    if (changed > 0 && !queued && host->contact_auto_sync())
      db->queueSynced(address, CONTACT_SYNC_AUTO, CONTACT_SYNC_QUEUE_MASK);
    return changed > 0 ? 1 : changed;
  }
  uint32_t now = (uint32_t)(db->nowMs() / 1000);
  int found = 0;
  if (uid) {
    out->uid = uid;
    out->address = db->getAddress(uid, &out->udts);
    found = out->address != nullptr;
  } else if (!empty(address)) {
    found = db->getUid(address, &out->uid, &out->udts);
    if (found == 1 && out->uid == 0) found = 0;
  } else {
    return db->resetUidTimestamps(nullptr) < 0 ? -1 : 1;
  }
  out->stale = out->udts == 0 || now - out->udts > CONTACT_UID_REFRESH_S;
  return found;
}

void contact_mark_self(ContactRecord *c, uint32_t own_uid) {
  if (c->profile.gid == 0 && own_uid && c->profile.uid == own_uid) c->flags |= CONTACT_FLAG_SELF;
  else c->flags &= ~CONTACT_FLAG_SELF;
}

static bool same_bytes(const ProfileBytes &a, const ProfileBytes &b) {
  return a.len == b.len && (a.len == 0 || memcmp(a.p, b.p, a.len) == 0);
}

// Whether the profile about to be sent differs from the one the server
// last gave us.
static bool differs_from_stored(ZalvioDB *db, const ProfileRecord &p, const char *address) {
  ContactRecord *stored = db->getContact(address, p.gid, p.gid == 0, true);
  if (stored == nullptr) return true;
  const ProfileRecord &s = stored->profile;
  bool differ = s.value48 != p.value48 ||
                (p.gid && s.settings[67 - PROFILE_SETTING_FIRST] !=
                              p.settings[67 - PROFILE_SETTING_FIRST]) ||
                !same_bytes(s.address, p.address) || !same_bytes(s.thumbnail, p.thumbnail) ||
                !same_bytes(s.text20, p.text20) || !same_bytes(s.extra258, p.extra258) ||
                !same_bytes(s.extra259, p.extra259) || !same_bytes(s.blob80, p.blob80);
  free(stored);
  return differ;
}

static void clear_unselected(ProfileRecord *p) {
  for (const auto &part : MERGED_PARTS)
    if (!(p->fields & part.bit)) p->*part.field = {nullptr, 0};
}

int set_contact(ZalvioDB *db, ContactHost *host, ContactRecord *c, INotify *app) {
  if (db == nullptr || !db->isOpen() || c == nullptr) return -1;
  ProfileRecord &p = c->profile;
  uint32_t marks = c->sync_flags & CONTACT_SYNC_MARKS;
  c->sync_flags &= ~CONTACT_SYNC_MARKS;
  uint32_t own = host->contact_uid();
  bool self = (c->flags & CONTACT_FLAG_SELF) || (p.uid && p.uid == own);
  std::string own_address;
  if (self) {
    if (own == 0) return -1;
    if (p.gid) {
      LOGE("error: groupid set in self profile");
      return -1;
    }
    p.uid = own;
    const char *a = host->contact_address();
    own_address = a ? a : "";
  }
  if (self || p.gid) p.address = {nullptr, 0};
  std::string address((const char *)(p.address.p ? p.address.p : (const uint8_t *)""),
                      p.address.p ? p.address.len : 0);
  if (!self && p.gid == 0 && address.empty() && p.uid == 0) return -1;

  bool to_server = (self && p.value48 != 8) ||
                   (p.gid && (p.settings[67 - PROFILE_SETTING_FIRST] & 1));
  uint8_t *thumb_file = nullptr;
  if (to_server) {
    p.fields = ~(uint32_t)PROFILE_FIELD_DELIVER;
    char path[4096];
    size_t n = 0;
    if (p.thumbnail.len == 0 && db->dbPaths() &&
        paths_profile_picture(db->dbPaths(), nullptr, -1, p.gid, self, true, false, path,
                              sizeof path) > 0 &&
        file_read(path, &thumb_file, &n) == 0 && n <= UINT32_MAX)
      p.thumbnail = {thumb_file, (uint32_t)n};
  } else {
    p.thumbnail = {nullptr, 0};
  }
  if (c->flags & CONTACT_FLAG_REMOVED) {
    p.fields = 0;
    p.settings[68 - PROFILE_SETTING_FIRST] = 4;
  }
  clear_unselected(&p);
  std::vector<uint8_t> buf(profile_encode_size(&p, nullptr, 0, true));
  int len = profile_encode(&p, nullptr, 0, true, buf.data(), (uint32_t)buf.size());
  int rv = 0;
  if (len < 0 || len > (int)PROFILE_SEND_MAX) {
    rv = -1;
  } else if (to_server) {
    db->clearProfile(self ? own_address.c_str() : address.c_str(), p.gid, 1);
    bool differ = differs_from_stored(db, p, nullptr);
    host->contact_profile_sent(p.gid);
    if (differ)
      host->contact_send_control(p.gid ? CONTROL_PROFILE_GROUP : CONTROL_PROFILE_SELF, nullptr,
                                 p.gid, buf.data(), (uint32_t)len);
    if (p.gid) db->setContactFlags(nullptr, p.gid, c->flags & 0x23, 0x23);
    else if (!own_address.empty()) db->setContactFlags(own_address.c_str(), 0, c->flags & 0x23, 0x23);
  } else {
    len = profile_remove_thumbnail(buf.data(), (uint32_t)len);
    int64_t before = p.gid ? -1 : db->getSyncFlags(address.c_str());
    uint32_t f = (c->sync_flags & 0xFFFF) | p.version << 16;
    c->server = 0;
    int saved = db->saveContact(c, buf.data(), (uint32_t)len, false, true);
    if (saved < 0) rv = -1;
    if (p.gid == 0 && !address.empty()) {
      db->queueSynced(address.c_str(), f, 0xFFFFFFFF);
      host->contact_sync_start(false);
      if (p.uid != host->contact_server_uid()) {
        host->contact_peer_flags(address.c_str(), f, c->flags);
        uint32_t old_bits = before < 0 ? 0 : (uint32_t)before & CONTACT_BLOCKING_BITS;
        if ((f & CONTACT_BLOCKING_BITS) != old_bits || marks)
          host->contact_blocking_notice(address.c_str(), f & CONTACT_BLOCKING_BITS, marks);
        if (f & CONTACT_HIDES_PRESENCE) host->contact_presence_reset(address.c_str());
      }
    }
    if (saved >= 0 && (p.fields & PROFILE_FIELD_DELIVER) && app)
      db->readContact(p.gid ? nullptr : address.c_str(), p.gid, 0, 0, app);
  }
  free(thumb_file);
  return rv;
}

// Which of the listed members are of the privileged classes: the counts
// word holds how many lead the list as class 1 (low half) and how many
// follow them as class 2 (high half).
static int member_type(uint32_t counts, uint32_t i) {
  uint32_t n1 = counts & 0xFFFF, n2 = counts >> 16;
  if (i < n1) return MEMBER_CLASS1;
  if (i < n1 + n2) return MEMBER_CLASS2;
  return MEMBER_PLAIN;
}

int group_member_record(ZalvioDB *db, ContactHost *host, INotify *listener, uint64_t when_ms,
                        const uint8_t *payload, uint32_t len) {
  if (db == nullptr || !db->isOpen()) return -1;
  std::vector<ProfileBytes> items(CONTACT_MEMBER_MAX);
  ProfileAddressList list = {items.data(), CONTACT_MEMBER_MAX, 0, 0};
  ProfileRecord r;
  if (profile_decode(payload, len, &r, &list, false) <= 0 || r.gid == 0) return -1;
  uint32_t gid = r.gid;
  uint32_t when = (uint32_t)(when_ms / 1000);
  bool removal = (r.flags & PROFILE_REMOVAL) != 0;
  bool full = (r.flags & (PROFILE_MORE | PROFILE_FULL_LIST)) == (PROFILE_MORE | PROFILE_FULL_LIST);
  if (r.flags & 0x43) host->contact_group_refresh(gid);
  if (removal && when < db->getMarker(gid, MEMBER_MARK_FULL)) return 0;

  db->setMarker(gid, MEMBER_MARK_FETCHED, 0);
  if (full) {
    db->setMember(gid, nullptr, 0, MEMBER_REMOVE_ALL);
    db->setMarker(gid, MEMBER_MARK_FULL, when);
    db->setMarker(gid, MEMBER_MARK_FETCHED, when + 1);
    if (r.value48) db->setMarker(gid, MEMBER_MARK_VALUE, r.value48);
  }
  const char *own = host->contact_address();
  uint32_t flags = MEMBER_FIRST;
  for (uint32_t i = 0; i < list.count; i++) {
    std::string address((const char *)list.items[i].p, list.items[i].len);
    if (address.empty() || memchr(address.data(), 0, address.size())) continue;
    int type = member_type(r.value60, i);
    if (own && address == own) {
      if (removal) {
        db->setContactFlags(nullptr, gid, CONTACT_FLAG_LEFT, 0);
        host->contact_group_flags(gid, CONTACT_FLAG_LEFT, 0);
      } else {
        db->setContactFlags(nullptr, gid, 0, CONTACT_FLAG_GONE);
        host->contact_group_flags(gid, 0, CONTACT_FLAG_GONE);
      }
    }
    if (removal) db->setMember(gid, address.c_str(), 0, MEMBER_REMOVE);
    else db->setMember(gid, address.c_str(), type, MEMBER_STORE);
    if (listener) listener->on_group_member(gid, address.c_str(), type, flags);
    flags = 0;
  }
  if (listener) listener->on_group_member(gid, nullptr, 0, 0);
  return 0;
}

int get_members(ZalvioDB *db, ContactHost *host, uint32_t gid, uint32_t first, int limit,
                INotify *listener) {
  if (db == nullptr || !db->isOpen() || gid == 0) return -1;
  uint32_t fetched = db->getMarker(gid, MEMBER_MARK_FETCHED);
  uint64_t now = now_seconds(db);
  bool fresh = fetched && now >= fetched && now - fetched < CONTACT_MEMBERS_FRESH_S &&
               db->countMembers(gid) > 0;
  if ((db->getGroupFlags(gid) & CONTACT_FLAG_GONE) || fresh)
    return db->readMembers(gid, first, limit, listener);
  ProfileRecord r;
  memset(&r, 0, sizeof r);
  r.gid = gid;
  ContactRecord *stored = db->getContact(nullptr, gid, false, true);
  if (stored) {
    r.value14 = stored->profile.value14;
    r.value48 = stored->profile.value48;
    free(stored);
  }
  uint8_t buf[PROFILE_ENCODE_BASE];
  int len = profile_encode(&r, nullptr, 0, false, buf, sizeof buf);
  if (len < 0) return -1;
  host->contact_send_control(CONTROL_MEMBERS_REQUEST, nullptr, gid, buf, (uint32_t)len);
  return 0;
}
