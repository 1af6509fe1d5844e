// The store's SQL: the schema with its upgrade steps, and the statements of
// every table, grouped by table.
//
// ZalvioDB is the database object the application layer owns. It adds to
// the connection half (Sqlite3Manager) the schema pass that creates or
// upgrades a file in place, database reset, and the statements that write,
// change and delete rows. Files written by one version are read by the
// next: table and column names, types and the order of the upgrade steps
// are part of the file format.
//
// Conversation scope: a one-to-one conversation is (sender, gid 0); a
// statement that names a peer without a group always says gid=0, or it
// would reach the same member's messages in every group.
#pragma once

#include <cstdint>

#include "app/sqlite3_manager.h"
#include "core/params.h"

struct ContactRecord;

enum : int {
  DB_SCHEMA_VERSION = 18,
  DB_TABLE_COUNT = 8,
};

// resetDatabase masks.
enum : uint32_t {
  DB_RESET_MESSAGES = 1,  // messages, mstatus, members
  DB_RESET_CONTACTS = 2,  // contacts, synced
  DB_RESET_SETTINGS = 4,
};

// Message flag bits the store itself reads or writes.
enum : uint64_t {
  DB_FLAG_READ_RETIRED = 0x80,               // set with status 19 when 20 is retired
  DB_FLAG_RICH = 0x100,
  DB_FLAG_UPDATE = 0x80000000000ull,         // bit 43: saveMessage updates instead
  DB_FLAG_TOMBSTONE = 0x200000000000000ull,  // bit 57
  DB_FLAG_NO_EXPIRY = 0x1000000000000000ull, // bit 60: never expired nor resent
};

enum : uint32_t {
  DB_STATUS_RETIRED = 20,
  DB_STATUS_KEPT_FAILED_A = 131,  // stay failed when failures are reset
  DB_STATUS_KEPT_FAILED_B = 145,
  DB_EXPIRY_MARGIN_MS = 2000,
  DB_DUPLICATE_ATTEMPTS = 100,
  DB_PENDING_RESEND_LIMIT = 32,
  // contacts.flag
  DB_CONTACT_SELF = 0x10,
  DB_CONTACT_LEFT = 0x80,
  DB_CONTACT_ORPHAN_MASK = 0x2080,
  DB_CONTACT_MIGRATED = 0x3000,
  DB_CONTACT_OLD_SYNC_BITS = 0xf3000,
};

class ZalvioDB : public Sqlite3Manager {
 public:
  explicit ZalvioDB(DbHost *host) : Sqlite3Manager(host) {}

  // ---- schema ----
  // Creates a new file or upgrades an old one to DB_SCHEMA_VERSION; a file
  // at that version or newer is left alone. Returns 0.
  int createTable() override;
  int hasColumn(const char *table, const char *column);
  // -1 when the column exists; otherwise adds it (and its index) and 0.
  int createColumn(const char *table, const char *column, const char *type, const char *index);
  int migrateContacts();
  void MigrateContactFlags();
  // Empties the tables of `mask` (DB_RESET_*); -1 when not open.
  int resetDatabase(uint32_t mask);
  // After every open and restore: expire the outbox, drop messages past
  // their retention time, drop groups left with no message.
  void startupSweep() override;

  // ---- messages: writing ----
  // 0, or -1 when the message could not be stored (the caller still
  // delivers it where it must).
  int saveMessage(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len);
  // Moves an older row out of the way of an incoming id; 1 when moved.
  int fix_duplicate_mid(const MessageParams *p);
  int updateMessage(const MessageParams *p, const char *peer, const uint8_t *payload,
                    uint32_t len);
  // Each of thumbnail (with its length), path, tag and url only when given;
  // status only when >= 0. -1 for id 0 or nothing to change.
  int updateMessageFields(uint64_t id, uint64_t add_flags, int status, const uint8_t *thumbnail,
                          uint32_t thumbnail_len, const char *filepath, const char *ftg,
                          const char *url);
  int updateMessageUrl(uint64_t id, const char *url);
  int setMessageFlags(uint64_t id, uint64_t add, uint64_t remove);
  int copyAttachment(uint64_t from, uint64_t to);

  // ---- messages: status ----
  int resetFailedStatus(uint64_t id);
  // Sent or delivered one-to-one messages from the given one (or the
  // newest) on go back to the outbox; rows moved.
  int set_status_pending_all_forced(const char *peer, uint64_t id, int limit);
  int setStatusByIdAndSender(uint64_t id, int status, const char *peer);
  int replaceStatus(int old_status, int new_status);
  // A status report for an outgoing message (time 0: now).
  int updateStatus(uint64_t id, int status, const char *peer, uint32_t gid, uint64_t time);
  // Unread incoming messages of a conversation in [from, to] become read
  // (to 0: now).
  int markRead(uint32_t gid, const char *peer, uint64_t from, uint64_t to);
  int expireOutbox();

  // ---- messages: deleting ----
  // Deletes one message, or keeps it as a tombstone; rows changed.
  int deleteMessage(uint64_t id, bool tombstone);
  int deleteTransient();
  // Filter: channel, type, status -1 for any; peer null or empty for any;
  // gid 0 for one-to-one when a peer is given, else any; until 0 for any
  // time. Rows deleted; nothing without a condition.
  int deleteMessages(int channel, int type, const char *peer, uint32_t gid, int status,
                     uint64_t until);
  int deleteRetained();
  int deleteSenderless();

  // ---- messages: look-ups ----
  int getMessageByFilePath(const char *filepath, DbBuffer *out);
  int getFilePathByTag(const char *ftg, DbBuffer *out);
  uint64_t getIdByUrl(const char *url);
  uint64_t getMessageTime(uint64_t id);
  int messageExists(uint64_t id);

  // ---- receipts and groups, as far as the deletions need them ----
  int deleteReceipts(uint64_t id);
  // Receipts whose message is gone; runs at most once per object.
  int sweepOrphanReceipts();
  // Groups the user left that have no message (gid 0: every group).
  int deleteOrphanGroups(uint32_t gid);

  // ---- profile synchronisation queue ----
  // Queues an address with sync flags `f` (bits in `mask` replaced); the
  // row keeps its queue position when f is unchanged.
  int queueSynced(const char *address, uint32_t f, uint32_t mask);
  // synced.f of an address, or -1 when it is not queued.
  int64_t getSyncFlags(const char *address);

  // ---- reading (readdb.cpp; the sessions are in readdb.h) ----
  // A random non-zero 32-bit id no stored message has.
  uint32_t newMessageId();
  // The unread rows among `ids` become read (status 19, retention from now).
  int markReadIds(const uint64_t *ids, size_t n);
  // Newest or oldest `ts` of a conversation (gid; else peer, one-to-one;
  // else every message), 0 when none; *mid gets that row's id (0 if none).
  uint64_t conversationTimeBound(uint32_t gid, const char *peer, bool newest, uint64_t *mid);
  int countPendingMessages();

  // ---- contacts: uid and address mapping (contactsdb.cpp) ----
  // 1 with *uid and *udts set, 0 without a row, -1 on error.
  int getUid(const char *address, uint32_t *uid, uint32_t *udts);
  // Heap copy of the address of a uid (free()), null without one.
  char *getAddress(uint32_t uid, uint32_t *udts);
  // Learns a uid/address pair; rows changed.
  int addUser(uint32_t uid, const char *address);
  // Null address: every person.
  int resetUidTimestamps(const char *address);
  // Marks the user's own row (flag 0x10 added, nothing cleared).
  int markSelf(uint32_t uid);

  // ---- contacts: rows ----
  // Stores a profile blob as the record's server or local profile; 0 or
  // rows written, -1 on refusal or error. The record gets the stored flags
  // and the sync flags.
  int saveContact(ContactRecord *c, const uint8_t *blob, uint32_t len, bool only_if_new,
                  bool merge_group_flags);
  // One heap block (free()): the record followed by its blob, decoded. By
  // uid for `self`, else by gid, else by address. Null when absent.
  ContactRecord *getContact(const char *address, uint32_t gid, bool self, bool server);
  // Merged contacts to the listener's on_profile: one address, one group
  // (gid), or all (both absent), newest incoming message first. 0 or -1.
  int readContact(const char *address, uint32_t gid, int limit, uint32_t extra_flags,
                  INotify *listener);
  int setLastSeen(const char *address, uint32_t gid, uint64_t when);
  uint64_t getLastSeen(const char *address);
  uint32_t getGroupFlags(uint32_t gid);
  int contactExists(const char *address, uint32_t gid);
  uint32_t maxGroupId();
  uint32_t maxRevision(bool groups);
  // 1 with both set, 0 (both 0) when the uid has no row.
  int getRevisionAndFlags(uint32_t uid, uint32_t *prts, uint32_t *flags);
  uint64_t getOnlineValidity(const char *address, uint64_t def);
  int setOnlineValidity(const char *address, uint64_t until);
  // For a group the address is ignored; -1 without either.
  int setContactFlags(const char *address, uint32_t gid, uint32_t set, uint32_t clear);
  int setAddressFlags(const char *address, uint32_t set, uint32_t clear);
  int clearFlagEverywhere(uint32_t bit);
  // what: 1 local profile, 2 server profile, 3 or more the row.
  int clearProfile(const char *address, uint32_t gid, int what);
  int set_e2e(uint32_t uid, const char *address, const uint8_t *key, uint32_t len);
  int getE2eKey(const char *address, DbBuffer *out);

  // ---- group members ----
  // action 0 store (type < 0: plain member, only when absent), 1 remove
  // one, 2 remove all.
  int setMember(uint32_t gid, const char *address, int type, int action);
  int setMarker(uint32_t gid, int type, uint32_t number);
  uint32_t getMarker(uint32_t gid, int type);
  int countMembers(uint32_t gid);
  // Rows from id `first` on to the listener's on_group_member, then an end
  // call; rows delivered or -1.
  int readMembers(uint32_t gid, uint32_t first, int limit, INotify *listener);

 private:
  int createReadIndexes();
  int runCreationList();
  int countTables();
  void migrateMessageFlags();
  void upgrade(int version);
  void writeFreshSettings();
};
