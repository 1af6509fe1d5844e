// DBApp: the engine applications normally use — the core engine plus the
// local database and the message flow that depends on it.
//
// DBApp sits between two listeners. The core calls it (as the default
// listener of its channels) for everything that arrives; DBApp stores,
// filters or rewrites and calls the application's listener (normally the
// public facade). In the other direction it replaces the engine operations
// that must store before or after the core acts: sending (with the
// outbox), local messages, reads, settings, backups.
//
// The outbox: every sent message is stored with status 0 by the core's
// local echo before it is queued, and becomes 1 (sent) when the server
// acknowledges its bundle. Rows still at 0 after a reconnect or a restart
// are sent again, oldest first. While such rows wait, new messages are
// only stored (flag bit 56) and leave through the outbox, in order.
//
// No application callback runs while DBApp holds its outbox lock: what
// would be reported there is collected and delivered once the lock is
// released (a listener may send from inside a callback).
#pragma once

#include <pthread.h>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/contactsdb.h"
#include "app/readdb.h"
#include "app/zalviodb.h"
#include "core/api.h"
#include "core/config.h"

#define ZALVIO_EXPORT_APP __attribute__((visibility("default")))

enum : uint32_t {
  RECENT_SENDS = 8,
  RECENT_ADDRESS_MAX = 256,
  EDIT_WINDOW_DEFAULT_S = 1800,
  EDIT_MASK_DEFAULT = 0xFFFF,
  EDIT_MASK_EDITS = 0x1,
  HOUSEKEEPING_EVERY = 64,
};

// Statuses of stored messages that are never sent.
enum : uint16_t {
  MSG_STATUS_BLOCKED = 136,     // the user blocks the peer
  MSG_STATUS_SUPPRESSED = 137,  // accepted while delivery to the peer is suppressed
  MSG_STATUS_GROUP_LEFT = 145,
  MSG_STATUS_UNKNOWN_PEER = 131,
};

// One message sent with receipts requested, remembered so that status
// reports arriving without group or peer can be matched.
struct RecentSend {
  uint32_t id;
  uint32_t gid;
  uint64_t time_ms;
  uint8_t expected;  // reports still expected: bit 0 delivered, bit 1 read
  char address[RECENT_ADDRESS_MAX];
};

class DBApp : public INotify,
              public CAPI,
              public DbHost,
              public SettingsStore,
              public ReadHost,
              public ContactHost {
 public:
  DBApp(const char *path, uint32_t queue_size);
  ~DBApp() override;

  // ---- INotify: what the core reports ----
  int on_message(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) override;
  int on_message_status(MessageParams *p, const char *peer, int last) override;
  int on_system_message(MessageParams *p, const char *peer, const uint8_t *payload,
                        uint32_t len) override;
  int on_user_info(uint32_t uid, const char *address, PeerEntry *out) override;
  int on_group_created(GroupEntry *group) override;
  int on_status(int status, uint32_t detail, uint32_t a, uint32_t b) override;
  int on_e2e_status(const char *address, int state) override;
  int on_thumbnail_request(int file_type, const char *path, ThumbImage *out) override;
  int on_call(uint32_t uid, uint32_t callid, uint32_t status, const char *text, uint32_t len,
              uint64_t flags, uint64_t info1, uint64_t info2, uint32_t reserved) override;
  int on_participant(uint32_t uid, uint32_t stream, const char *address, const char *name,
                     uint32_t flags, uint32_t media) override;
  int on_conf(uint32_t subject, uint32_t detail, uint16_t event, uint32_t a, uint32_t b, uint32_t c,
              uint32_t d, uint32_t e, const char *text_a, const char *text_b, uint32_t f) override;
  int on_call_server(int kind, const char *url, const char *username,
                     const char *credential) override;

  // ---- engine operations replaced ----
  int register_listener(int channel, INotify *listener, int make_default) override;
  int message(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) override;
  int save_local_message(MessageParams *p, const char *peer, const uint8_t *payload,
                         uint32_t len) override;
  int send_rich_message(MessageParams *p, const char *peer, MessageBundle *bundle) override;
  uint32_t random_id() override;
  int open_database(const char *path) override;
  int reset_database(uint32_t mask) override;
  uint64_t db_get_int_value(const char *name, uint64_t def) override;
  int db_set_int_value(const char *name, uint64_t value) override;
  int db_get_value(const char *name, char **copy_out, INotify *listener) override;
  int db_set_value(const char *name, const char *value) override;
  int db_get_binary_value(const char *name, uint8_t **out, uint32_t *len) override;
  int db_set_binary_value(const char *name, const void *data, uint32_t len) override;
  int db_delete_key(const char *name) override;
  int db_backup_restore(const char *path, int backup) override;
  int db_resend_failed(uint64_t id) override;
  int db_resend_recent(const char *peer, uint64_t id) override;
  int db_change_message_flags(uint64_t id, uint64_t flags) override;
  int db_replace_status(int old_status, int new_status) override;
  int db_mark_read(uint32_t gid, const char *peer, uint64_t from, uint64_t to) override;
  int db_delete_messages(int channel, int type, const char *peer, uint32_t gid, int status,
                         uint64_t until) override;
  int db_set_edit_window(int seconds, int mask) override;
  int db_set_contact_autosync(int on) override;
  int db_create_read_session(uint32_t id, uint32_t flags, uint64_t tid, const char *peer,
                             uint32_t gid, const char *search, void *listener_data) override;
  int db_read_messages(uint32_t id, int count) override;
  int db_sync_from_server(uint32_t id, int count) override;
  int db_count_messages(uint32_t id, int selector) override;
  int db_count_conversation_messages(uint32_t gid, const char *peer, uint64_t tid,
                                     int selector) override;
  int db_count_pending_messages() override;
  uint32_t db_get_uid(const char *address) override;
  int db_get_address(uint32_t uid, char *out, int cap) override;
  int db_set_contact(ContactRecord *contact) override;
  ContactRecord *db_get_contact(const char *address, uint32_t gid, int self, int server_profile) override;
  int db_read_contacts(const char *address, uint32_t gid, int limit, uint32_t flags,
                       INotify *listener) override;
  int db_clear_profile(const char *address, uint32_t gid, int what) override;
  int db_set_contact_flags(const char *address, uint32_t gid, uint32_t set, uint32_t clear) override;
  int db_get_members(uint32_t gid, uint32_t first_id, int limit) override;
  uint32_t db_get_group_flags(uint32_t gid) override;
  int save_value(const char *name, const char *value) override;
  int fill_date(uint64_t ms, DateFields *out) override;
  int load_value(const char *name, char **out) override;

  // ---- hooks of the core ----
  bool local_store() override { return db.isOpen(); }
  SettingsStore *settings_store() override { return db.isOpen() ? this : nullptr; }
  void batch_begin() override;
  void batch_end() override;

  // ---- DbHost ----
  uint64_t db_now_ms() override;
  uint32_t db_uid() override;
  Paths *db_paths() override;

  // ---- SettingsStore ----
  int get_blob(const char *key, uint8_t **out, uint32_t *len) override;
  int set_blob(const char *key, const void *data, uint32_t len) override;
  int64_t get_int(const char *key, int64_t dflt) override;
  int delete_key(const char *key) override;
  void reset_store(uint32_t mask) override;

  // ---- ReadHost ----
  SessionCounters *read_counters(uint32_t gid, const char *peer) override;
  void read_receipt_owed(uint32_t gid, const char *peer) override;
  void read_presence_reset(const char *peer) override;
  void read_presence_query(const char *peer) override;
  bool read_sync_enabled() override;
  int read_send_control(MessageParams *p, const char *peer, const uint8_t *payload,
                        uint32_t len) override;

  // ---- ContactHost ----
  uint32_t contact_uid() override { return get_effective_uid(); }
  uint32_t contact_server_uid() override { return get_server_uid(); }
  const char *contact_address() override { return login.own_address[0] ? login.own_address : nullptr; }
  bool contact_auto_sync() override { return contact_autosync_ != 0; }
  int contact_send_control(uint16_t type, const char *peer, uint32_t gid, const uint8_t *payload,
                           uint32_t len) override {
    return send_control(type, 0, peer, gid, payload, len) == SEND_OK ? 0 : -1;
  }
  void contact_sync_start(bool) override {}
  void contact_profile_sent(uint32_t) override {}
  void contact_peer_flags(const char *, uint32_t, uint32_t) override {}
  void contact_blocking_notice(const char *, uint32_t, uint32_t) override {}
  void contact_presence_reset(const char *) override {}
  void contact_group_flags(uint32_t, uint32_t, uint32_t) override {}
  void contact_group_refresh(uint32_t) override {}

  // ---- the flow ----
  int resend_pending();
  void restart_outbox();
  int send_control(uint16_t type, uint32_t uid, const char *peer, uint32_t gid,
                   const uint8_t *payload, uint32_t len);
  // A file name for an attachment of `file_type` (1 image, 2 video, 3 audio,
  // else document), created exclusively; "-1", "-2", ... on a clash.
  // `extension` is taken when it has 1-8 letters or digits, else "bin".
  // The name's length, or -1.
  int auto_file_name(int file_type, const char *extension, bool outgoing, char *out, size_t cap);

  ZalvioDB db;

  // what is forwarded to the application
  INotify *app_listener = nullptr;

 private:
  int store_incoming(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len);
  uint64_t next_row_time(uint32_t gid, const char *peer, uint64_t when);
  bool edit_allowed(const MessageParams &p);
  void remember_send(const MessageParams &p, const char *peer);
  RecentSend *find_recent(uint32_t id);
  int resend_one(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len);
  bool app_channel(uint16_t channel) const { return channel <= CHANNEL_APP_LAST; }
  // Delivery to the application, deferred while the outbox lock is held.
  void deliver_message(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len);
  void deliver_status(MessageParams *p, const char *peer, int last);
  void flush_deferred();

  class OutboxGuard {
   public:
    explicit OutboxGuard(DBApp *app);
    ~OutboxGuard();

   private:
    DBApp *app_;
  };

  struct Deferred {
    bool is_status;
    MessageParams p;
    std::string peer;
    std::string payload;
    int last;
  };

  bool outbox_started_ = false;
  bool outbox_stopped_ = false;
  std::unordered_set<uint64_t> in_core_;  // sent in this run, no report yet
  PendingCursor resend_cursor_ = {};      // where the outbox resend got to
  uint64_t last_expire_ms_ = 0;
  int outbox_pending_ = 0;
  uint32_t housekeeping_ = 0;
  uint64_t last_unread_ms_ = 0;
  RecentSend recent_[RECENT_SENDS] = {};
  pthread_mutex_t outbox_lock_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_t recent_lock_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_t deferred_lock_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_t row_time_lock_ = PTHREAD_MUTEX_INITIALIZER;
  // The time of the last row stored live in each conversation this run.
  std::map<std::string, uint64_t> row_times_;
  pthread_t outbox_owner_{};
  bool outbox_held_ = false;
  std::vector<Deferred> deferred_;
  uint32_t edit_window_s_ = EDIT_WINDOW_DEFAULT_S;
  uint32_t edit_mask_ = EDIT_MASK_DEFAULT;
  int contact_autosync_ = 1;
  bool fake_status_pending_ = false;
  int app_status_ = 0;
  uint64_t online_since_ms_ = 0;
  bool in_batch_ = false;
  ReadSessionList sessions_;
  // Session counters per conversation ("g<gid>" or the peer's address).
  std::map<std::string, SessionCounters> counters_;
  // Whether a read session shows this conversation now, so an arriving
  // unread message is stored as read.
  bool conversation_open(uint32_t gid, const char *peer);
};

extern "C" {
// Creates the application-layer engine with a data path and an outgoing
// queue size; no connection and no database are opened yet.
ZALVIO_EXPORT_APP IZalvio *query_zalvio(const char *path, uint32_t queue_size);
}
