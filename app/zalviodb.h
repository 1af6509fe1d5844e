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

enum : int {
  DB_SCHEMA_VERSION = 16,
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

 private:
  int runCreationList();
  int countTables();
  void migrateMessageFlags();
  void upgrade(int version);
  void writeFreshSettings();
};
