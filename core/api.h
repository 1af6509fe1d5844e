// CAPI: the core engine object.
//
// One CAPI owns the server connection, the engine thread, the outgoing
// queue, the listener table, the peer and group tables, the timer queue and
// the engine settings. The application layer (DBApp) derives from it and
// adds the local database; the public facade drives it through IZalvio.
//
// The engine thread ("zalvio-api") runs main_thread: connect, log in, serve
// the connection in main_loop, wait, reconnect. Application threads never
// touch the socket: they configure, queue messages and wake the thread
// through the wake-up pair.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "core/config.h"
#include "core/ipc.h"
#include "core/izalvio.h"
#include "core/loginapi.h"
#include "core/net.h"
#include "core/openssl.h"
#include "core/timer.h"
#include "core/tlv.h"
#include "api/paths.h"
#include "util/circular.h"
#include "util/hashmap.h"
#include "util/int64map.h"

struct AllocPool;

enum ConnectionStatus {
  STATUS_NONE = 0,
  STATUS_ONLINE = 1,
  STATUS_OFFLINE = 2,
  STATUS_SIGNOUT = 3,
  STATUS_AUTHFAIL = 4,
  STATUS_STOPPED = 5,
  STATUS_CONNECTING = 6,
  STATUS_CONNECTFAILED = 7,
  STATUS_NONETWORK = 8,
  STATUS_ONPREMISE_DOWN = 9,
  STATUS_STORED_LIMIT = 10,  // codes up to this one are kept as the connection status
  STATUS_SENT = 11,
  STATUS_ACCOUNT_NOTICE = 20,
  STATUS_ACCOUNT_NOTICE2 = 21,
};

enum StopReason : uint8_t {
  STOP_NONE = 0,
  STOP_API = 1,
  STOP_AUTHFAIL = 2,
  STOP_EXPIRED_TOKEN = 3,
  STOP_SIGNED_OUT = 4,
};

enum : uint32_t {
  LISTENER_SLOTS = 256,
  LISTENER_BLOCK = 16,                  // slots per bitmap byte
  QUEUE_MIN_SIZE = 64000,
  QUEUE_EXTRA = 4096,
  RECV_BUFFER_INITIAL = 64000,
  SERVER_HOST_MAX = 64,
  PORTS_MAX = 8,
  TOKEN_MIN_LENGTH = 39,
  TOKEN_MIN_SERIAL = 1024,              // below this a serial is bad
  TOKEN_SANE_SERIAL = 3823239,          // start refuses serials up to this
  TOKEN_MAX_FORGIVEN = 3,
  BUILD_TIMESTAMP = 1680277546,         // seconds since the epoch
  ENGINE_STACK_SIZE = 126976,
  THREAD_LOCK_TIMEOUT_MS = 10000,
  RETRY_MIN_GAP_US = 2000000,           // between two connection attempts
  INTERFACE_VERSION_QUERY = 4,          // query_zalvio_interface_version
  INTERFACE_VERSION_PUBLIC = 3,         // ZalvioInterfaceVersion
};

// Defaults of a new engine.
enum : uint64_t {
  DEFAULT_PING_INTERVAL_S = 300,
  DEFAULT_KEEPALIVE_IDLE_S = 60,
  DEFAULT_KEEPALIVE_INTERVAL_S = 1,
  DEFAULT_KEEPALIVE_COUNT = 1,
  DEFAULT_BATCH_DELAY_US = 200000,
  DEFAULT_RESPONSE_TIMEOUT_US = 30000000,
  DEFAULT_EXPIRY_S = 2592000,
  DEFAULT_DEVICE_TYPE = 4,
  DEFAULT_PRESENCE_MODE = 2,
  DEFAULT_TUNING_A = 255,
  DEFAULT_TUNING_B = 100,
};

// Result codes of sending a message.
enum SendResult {
  SEND_OK = 0,
  SEND_BAD_ARGS = 133,
  SEND_E2E_FAILED = 138,
  SEND_STOPPING = 155,
  SEND_BUSY = 157,
  SEND_FULL = 158,
};

enum : uint32_t {
  MESSAGE_MAX_PAYLOAD = 31936,
  QUEUE_ENTRY_HEADER = 8,
  QUEUE_ADDRESS_MAX = 254,        // with its zero it fits the entry's length byte
  BUNDLE_BUFFER = 8 + 32056,
  BUNDLE_RECORD_SLACK = 128,
  GROUP_BROADCAST = 30,           // group id of a broadcast without destination
  PEER_UID_FRESH_S = 604799,      // a peer's uid is written instead of its address
  PEER_REFRESH_S = 86400,
  PEER_VERSION_STALE_S = 1800,
  PEER_VERSION_RENEW_EXPIRY_S = 3600,
  PROFILE_CHECK_DEFAULT = 255,
};

static const char WEBHOOK_ADDRESS[] = "zalvio-webhook-user";

// One peer the engine talked to: owned by the engine for its whole life.
struct PeerEntry {
  char *address;
  uint32_t uid;
  uint32_t lookup_s;          // last uid/address refresh
  uint32_t profileversion;
  uint32_t peerversion;       // the peer's protocol version
  uint32_t version_stamp_s;   // when our version was last sent to it
  int e2e_state;
  uint64_t last_read_ms;      // last message it received or read
  uint64_t last_activity_ms;
  uint64_t prev_activity_ms;
  uint64_t last_sent_ms;
  uint8_t in_call;
};

struct GroupEntry {
  uint32_t gid;
  uint16_t param;             // sent with group messages
  uint8_t in_call;
  int e2e_state;
  uint32_t members;
};

// Fields decoded from an access token.
struct AccessToken {
  uint32_t uid;
  uint32_t options;
  uint64_t serial;
  uint32_t app_id;
  uint32_t identity3;
  uint8_t key[16];
  char key_text[33];
};

// Decodes the token layout; 0, or -1 (logged) when it is malformed.
int token_decode(const char *token, AccessToken *out);

// The listener table: one slot per channel, a bitmap of occupied blocks of
// 16 slots, the highest registered index below and from 128, and the
// default listener used for channels without one.
struct ListenerTable {
  INotify *slot[LISTENER_SLOTS];
  uint8_t blocks[LISTENER_SLOTS / LISTENER_BLOCK];
  int high_low;
  int high_high;
  int default_index;
};

// What main_thread needs to decide how long to wait before an attempt.
struct RetryClock {
  uint64_t now_us;
  uint64_t last_attempt_us;   // 0 before the first attempt
  int fast_retry;             // 0-5
};

// Microseconds to wait before the next attempt may start (0: go now).
uint64_t retry_gap_us(const RetryClock &c);
// The first attempt after a restart waits 3 s per persisted failure,
// clamped to 5..15 s, counted from the persisted attempt time.
uint64_t restart_backoff_us(uint32_t failures, uint32_t last_attempt_s, uint64_t now_us);

class CAPI : public IZalvio, public SslListener {
 public:
  CAPI(const char *path, uint32_t queue_size);
  ~CAPI() override;

  // ---- IZalvio: operations kept from the configuration and lifecycle ----
  int start() override;
  int wait() override;
  int stop() override;
  int versions(int platform, const char *sdk_kind, const char *app_name, const char *api_version,
               const char *os_version) override;
  int set_cpu(int count, uint64_t descriptor, int flags) override;
  int set_credentials(const char *token) override;
  int register_listener(int channel, INotify *listener, int make_default) override;
  int register_listener_internal(int channel, INotify *listener, int make_default) override;
  int set_server(const char *host) override;
  int is_logged_in() override;
  int connection_status() override;
  uint32_t get_uid() override { return uid; }
  uint32_t get_app_id() override { return app_id; }

  // ---- IZalvio: the rest, in interface order. One-line bodies are the
  // answers of an engine without the application layer or without the
  // module that serves them ("not available").
  int reserved_6() override { return -1; }
  int login_flag_query() override;
  uint32_t get_app_value() override;
  int reserved_9() override { return -1; }
  int set_foreground_state(int foreground) override;
  int set_port_setting(int setting) override;
  int set_app_value(uint32_t value) override;
  int set_engine_flags(uint32_t flags) override;
  int set_client_kind(uint32_t kind, const char *text) override;
  int set_paths(const char *root, const char *temp) override;
  int set_upload_url(const char *url, const char *auth) override;
  int set_presence_mode(int mode) override;
  int set_device_type(int type) override;
  int set_device_class(int device_class) override;
  int temp_file_name(const char *prefix, const char *ext, char *out, int cap) override;
  const char * get_base_path() override;
  const char * get_database_path() override;
  const char * get_tn_path() override;
  const char * get_profiles_path() override;
  const char * get_media_folder(int type, int dated, int sent) override;
  const char * get_image_path(int sent) override;
  const char * get_video_path(int sent) override;
  const char * get_audio_path(int sent) override;
  const char * get_file_path(int sent) override;
  int set_profile_check(uint32_t mask) override;
  uint32_t get_profile_check() override;
  uint32_t get_tuning_value() override;
  uint32_t get_login_value() override { return 0; }
  int reserved_44() override { return 0; }
  uint32_t random_id() override;
  uint64_t now_ms() override;
  int save_local_message(MessageParams *, const char *, const uint8_t *, uint32_t) override { return -1; }
  void set_capability(int, uint64_t) override {}
  int e2e_set_level(int, int) override { return -1; }
  int e2e_set_ciphers(uint32_t, uint32_t) override { return -1; }
  int e2e_set_tag_length(int) override { return -1; }
  int e2e_set_aad(const char *, const void *, int) override { return -1; }
  int e2e_set_password(const char *, const void *, int) override { return -1; }
  int e2e_load_certificate(const char *, const char *) override { return -1; }
  int e2e_save_certificate(const char *) override { return -1; }
  int e2e_reset_peer(const char *) override { return -1; }
  const char * e2e_get_peer_info(const char *, int) override { return nullptr; }
  int e2e_get_fingerprint(const char *, int, char *) override { return -1; }
  int e2e_get_status(const char *) override { return 0; }
  int e2e_is_active(const char *) override { return 0; }
  int e2e_store_peer(uint32_t, const char *, const uint8_t *, uint32_t) override { return -1; }
  int e2e_load_peer(const char *, uint8_t **, uint32_t *) override { return -1; }
  int e2e_set_key_lifetime(int, int, int, int, int) override { return -1; }
  int e2e_format_fingerprint(const char *, int, char *) override { return -1; }
  int open_database(const char *) override { return -1; }
  int reset_database(uint32_t) override { return -1; }
  uint64_t db_get_int_value(const char *, uint64_t) override { return 0; }
  int db_set_int_value(const char *, uint64_t) override { return -1; }
  int db_get_value(const char *, char **, INotify *) override { return -1; }
  int db_set_value(const char *, const char *) override { return -1; }
  int db_get_binary_value(const char *, uint8_t **, uint32_t *) override { return -1; }
  int db_set_binary_value(const char *, const void *, uint32_t) override { return -1; }
  int db_delete_key(const char *) override { return -1; }
  int db_backup_restore(const char *, int) override { return -1; }
  int db_get_message(uint64_t, MessageParams *, char *, int, uint8_t **, uint32_t *) override { return -1; }
  int db_mark_read(uint32_t, const char *, uint64_t, uint64_t) override { return -1; }
  int db_resend_failed(uint64_t) override { return -1; }
  int db_resend_recent(const char *, uint64_t) override { return -1; }
  int db_change_message_flags(uint64_t, uint64_t) override { return -1; }
  int db_replace_status(int, int) override { return -1; }
  int db_delete_messages(int, int, const char *, uint32_t, int, uint64_t) override { return -1; }
  int db_set_edit_window(int, int) override { return -1; }
  int db_set_contact(ContactRecord *) override { return -1; }
  ContactRecord * db_get_contact(const char *, uint32_t, int, int) override { return nullptr; }
  int db_read_contacts(const char *, uint32_t, int, uint32_t, INotify *) override { return -1; }
  int db_clear_profile(const char *, uint32_t, int) override { return -1; }
  int db_set_contact_flags(const char *, uint32_t, uint32_t, uint32_t) override { return -1; }
  int db_set_contact_autosync(int) override { return -1; }
  int db_get_members(uint32_t, uint32_t, int) override { return -1; }
  uint32_t db_get_group_flags(uint32_t) override { return 0; }
  int db_create_read_session(uint32_t, uint32_t, uint64_t, const char *, uint32_t, const char *, void *) override { return -1; }
  int db_read_messages(uint32_t, int) override { return -1; }
  int db_sync_from_server(uint32_t, int) override { return -1; }
  int db_count_messages(uint32_t, int) override { return -1; }
  int db_count_conversation_messages(uint32_t, const char *, uint64_t, int) override { return -1; }
  int profile_picture_path(const char *address, uint32_t gid, int self, char *out, int cap) override;
  int profile_thumbnail_path(const char *address, uint32_t gid, int self, int large, char *out, int cap) override;
  int save_profile_pictures(const ImageBuffer *, const char *, const char *, uint32_t, int, int, int, Bitmap *) override { return -1; }
  int delete_profile_pictures(const char *address, uint32_t gid, int self) override;
  int db_update_message_fields(uint64_t, uint64_t, int, const uint8_t *, uint32_t, const char *, const char *, const char *) override { return -1; }
  int db_get_file_by_tag(const char *, char *, int) override { return -1; }
  int db_count_pending_messages() override { return -1; }
  uint64_t db_get_receipt_time(uint64_t, const char *, int) override { return 0; }
  int db_read_status_history(uint64_t, INotify *) override { return -1; }
  int db_send_read_receipt(int, const char *, uint32_t, uint64_t) override { return -1; }
  uint32_t db_get_uid(const char *) override { return 0; }
  int db_get_address(uint32_t, char *, int) override { return -1; }
  uint32_t last_login_time() override;
  int send_activity(MessageParams *, const char *, int, int, int) override { return -1; }
  int send_presence(int) override { return -1; }
  int presence_subscribe(const char **, int, uint32_t, int) override { return -1; }
  int queue_contacts(const char **, int, int, int, uint32_t, int, int) override { return -1; }
  int request_profile(const char *, uint32_t) override { return -1; }
  int profile_send(int, ContactRecord *, const char **, int) override { return -1; }
  int delete_messages_by_id(const uint64_t *, int, int, int) override { return -1; }
  int delete_conversation(uint64_t, const char *, uint32_t, uint64_t) override { return -1; }
  int check_blocked(MessageParams *, const char *, int) override { return 0; }
  int check_policy(MessageParams *, const char *) override { return 1; }
  int forward_message(MessageParams *, const char *, uint64_t, int) override { return -1; }
  int send_rich_message(MessageParams *, const char *, MessageBundle *) override { return -1; }
  int call_start(const char *, int) override { return -1; }
  int call_answer(int) override { return -1; }
  int call_hangup(uint32_t, int) override { return -1; }
  int call_mute(int, int, int) override { return -1; }
  int call_hold(int) override { return -1; }
  int call_reserved() override { return 0; }
  int call_prepare(int) override { return -1; }
  int call_send_info(uint64_t, uint16_t, uint16_t) override { return -1; }
  int call_set_phone_state(int, int) override { return -1; }
  int call_get_state() override { return 0; }
  int set_call_factory(int, ZalvioCallFactory) override { return -1; }
  int call_engine_event(int, const char *, int) override { return -1; }
  int reserved_138() override { return -1; }
  uint32_t get_primary_uid() override;
  uint32_t get_installation_id() override;
  uint32_t get_identity3() override;
  const char * get_address() override;
  const char * get_app_name() override;
  uint32_t get_server_uid() override;
  int is_own_uid(uint32_t uid) override;
  uint64_t local_id(uint64_t id) override;
  uint32_t get_effective_uid() override;
  const char * get_effective_address() override;
  int is_sfu_mode() override;
  uint32_t get_server_value() override;
  int call_get_type(uint32_t, uint32_t) override { return 0; }
  const char * call_get_peer() override { return nullptr; }
  uint32_t conf_get_group() override { return 0; }
  int set_config(uint32_t code, uint32_t value) override;
  int is_online(const char *) override { return -1; }
  int is_typing(const char *, uint32_t) override { return -1; }
  int is_active(const char *, uint32_t) override { return -1; }
  int last_seen(const char *) override { return -1; }
  int file_transfer_start(uint64_t, uint32_t, const char *, const char *) override { return -1; }
  int file_transfer_create(uint64_t, uint32_t, uint32_t, const char *, const char *) override { return -1; }
  int file_transfer_cancel(uint64_t, uint32_t) override { return -1; }
  int file_transfer_progress(uint64_t, uint32_t, int, FileTransfer *, const char *) override { return -1; }
  int file_transfer_active() override { return 0; }
  int file_transfer_done(uint64_t, int, const uint8_t *, uint32_t, const char *, const char *, const char *) override { return -1; }
  int set_message_file(uint64_t, const uint8_t *, uint32_t, const char *) override { return -1; }
  int send_updated_message(uint64_t, MessageBundle *, const uint8_t *, uint32_t) override { return -1; }
  int tlv_find_item(const uint8_t *buf, uint32_t len, uint32_t type, const uint8_t **value) override;
  void profile_sync(int, int, int) override {}
  uint64_t server_time_us() override;
  uint32_t server_time_s() override;
  int on_call_state(int) override { return -1; }
  int observer_reserved_1() override { return 0; }
  int on_local_sdp(const char *, int) override { return -1; }
  int observer_reserved_2() override { return 0; }
  void call_log(const char *, ...) override {}
  int on_ice_server(int, const char *, const char *, const char *) override { return 0; }
  int save_value(const char *, const char *) override { return -1; }
  int load_value(const char *, char **) override { return -1; }
  int conf_status(uint32_t) override { return -1; }
  int conf_send(uint16_t, uint32_t, uint16_t, uint16_t, uint64_t, const SfuPair *, int) override { return -1; }
  int conf_message(uint32_t, uint32_t, const char *) override { return -1; }
  int conf_subscribe(uint32_t, uint32_t, uint32_t, uint32_t, int) override { return -1; }
  int conf_unsubscribe(uint32_t, uint32_t) override { return -1; }
  int conf_send_sdp(uint32_t, uint32_t, uint32_t, int, const char *, const char *, int) override { return -1; }
  int conf_init(uint32_t) override { return -1; }
  int conf_leave(uint32_t) override { return -1; }
  int conf_mute(uint32_t, uint32_t, int, int, int) override { return -1; }
  int conf_set_load(uint32_t, uint32_t, uint32_t, uint32_t) override { return -1; }
  int conf_set_local(uint32_t, uint32_t) override { return -1; }
  int name_short(const char *name, char *out, int cap) override;
  void on_foreground(int) override {}
  int map_image_url(int zoom, const char *key, char *out, int cap, double latitude, double longitude) override;
  int format_phone(const char *number, uint32_t country, uint32_t flags, char *out, int cap) override;
  int extract_digits(const char *text, int normalise, char *out) override;
  int deliver_rich_message(MessageParams *, const char *, MessageBundle *, int) override { return -1; }
  int get_image_bitmap(uint64_t, const char *, const uint8_t *, uint32_t, Bitmap *) override { return -1; }
  int fill_date(uint64_t, DateFields *) override { return -1; }
  int make_directories(const char *path, uint32_t mode, int parents_only) override;
  int copy_file(const char *from, const char *to) override;
  int64_t file_size(const char *path) override;
  int write_file(const char *path, const void *data, uint32_t len) override;
  int read_file(const char *path, uint8_t **data, uint32_t *len) override;
  int remove_file_below(const char *dir, const char *path) override;
  int phone_country_code(const char *) override { return -1; }
  int mcc_to_country_code(uint32_t) override { return -1; }
  int sfu_send_raw(uint32_t, const uint8_t *, uint32_t) override { return -1; }
  int sfu_send_participant(const SfuParticipant *, uint32_t) override { return -1; }
  int sfu_send_info(const SfuInfo *, int) override { return -1; }

  // ---- transport (net.cpp) ----
  int set_network(int type, const char *ip, int value) override;  // any thread
  int set_trusted_ca(const char *pem_file);              // before start
  int set_tls_verify(int on);                            // before start; off only for development
  void on_new_session(SSL_SESSION *session) override;  // also the TLS listener's
  int connect_server();
  int connect_address(const struct addrinfo *entry, const char *host);
  int tls_start(const char *host);
  uint64_t connect_timeout_ms();
  int conn_send(const void *buf, uint32_t len);
  int conn_recv(void *buf, uint32_t len, int timeout_ms);
  void pause_us(uint64_t us);  // interruptible by stop and wake

  // ---- login (loginapi.cpp) ----
  int login_round(int redirects);
  int login_protocol(int redirects);
  int send_loginrequest(uint32_t param, const uint8_t *proof, int redirects, int counter);
  int compute_proof(uint32_t time_value, const uint8_t *bytes, uint32_t len,
                    uint8_t out[LOGIN_PROOF_SIZE]);
  void read_login_response(const uint8_t *body, uint32_t len);
  bool read_login_item(uint32_t type, const uint8_t *v, uint32_t n);
  void read_challenge(const uint8_t *body, uint32_t len);
  void read_redirect(const uint8_t *body, uint32_t len, uint32_t param, bool store);
  void store_redirect_ticket();
  int is_authfail(uint8_t code, uint8_t op, uint32_t param, const uint8_t *body, uint32_t len);
  bool redirect_active(uint64_t now_s) const;
  bool holdoff_active(uint64_t now_us) const { return settings.holdoff_until_us > now_us; }

  // ---- frames ----
  int read_frame(int64_t timeout_us);
  int send_frame(uint8_t code, uint8_t op, uint32_t param, const void *body, uint32_t len);
  void frame_sent();      // schedules the next ping after a successful send
  uint64_t send_pending(bool first_pass);
  uint64_t ping_step();
  uint64_t ack_timeout_us() const;
  void handle_ack(const FrameHeader &h);
  void on_data_frame(const uint8_t *body, uint32_t len);

  // ---- outgoing messages ----
  int message(MessageParams *p, const char *address, const uint8_t *payload, uint32_t len) override;
  int message_queue(const MessageParams &p, const char *address, const uint8_t *payload, uint32_t len,
                    const uint8_t *envelope, uint32_t envelope_len);
  int notify_send() override;
  int send_webhook(const char *address, uint64_t id, uint32_t expiry, const uint8_t *payload,
                   uint32_t len) override;
  int set_push_token(const char *token, int voip) override;
  int send_push_registration(int kind, const char *token);
  int resend_push_tokens();
  int set_queue_size(uint32_t bytes) override;
  int set_foreground(int on) override;
  int build_bundle(bool *sent);
  void bundle_acknowledged();
  void report_unsendable(const MessageParams &p, const char *address);

  // ---- incoming messages ----
  int message_decode(uint8_t op, const uint8_t *body, uint32_t len, bool sent_mode);
  int message_decrypt(MessageParams *p, const char *address, const uint8_t **payload, uint32_t *len);
  PeerEntry *get_peer(const char *address, bool create);
  PeerEntry *get_peer_by_uid(uint32_t uid);
  PeerEntry *bind_peer(uint32_t uid, const char *address);
  int set_peer_uid(uint32_t uid, const char *address) override;
  GroupEntry *get_group(uint32_t gid, bool create);
  void confirm_push_token(const MessageParams &p);
  virtual void load_peer_state(PeerEntry *peer);
  void debug_global(const char *format, ...) __attribute__((format(printf, 2, 3)));

  // ---- hooks the application layer replaces ----
  virtual bool call_active() { return false; }
  // Around the records of one received or acknowledged bundle.
  virtual void batch_begin() {}
  virtual void batch_end() {}
  virtual bool local_store() { return false; }
  virtual bool linked_device() { return false; }

  // ---- engine internals (engine thread unless noted) ----
  INotify *listener_for(int channel) const;
  INotify *default_listener() const;
  // Reports a connection status to every registered listener (any thread).
  void report_status(int status, uint32_t detail);
  void main_thread();
  int wait_event(int fd, int64_t timeout_us);
  int wake();             // any thread
  int wake_if_running();  // any thread
  void drain();
  int64_t start_login();
  int64_t serve_connection();
  int main_loop();
  void close_socket();
  void queue_clear();
  int save_settings();
  int prepare_settings();
  SettingsContext settings_context();
  // The application layer's settings store; none without a database.
  virtual SettingsStore *settings_store() { return nullptr; }
  void run_timers();
  void on_timer(void *user, int subkind) override;

  // ---- identity ----
  uint32_t uid = 0, app_id = 0, identity3 = 0, options = 0;
  uint64_t serial = 0;
  char *token = nullptr;
  uint8_t token_key[16] = {};
  char token_key_text[33] = {};

  // ---- versions ----
  uint8_t platform = 0;
  char *sdk_kind = nullptr;
  char *app_name = nullptr;
  uint32_t api_version = 0, protocol_version = 0, os_version = 0;
  char versions_text[256] = {};
  int cpu_count = 0;
  uint64_t cpu_descriptor = 0;
  int cpu_flags = 0;

  // ---- connection ----
  char server_host[SERVER_HOST_MAX + 1] = {};
  char alt_host[SERVER_HOST_MAX + 1] = {};
  uint16_t ports[PORTS_MAX] = {};
  int port_count = 0;
  bool tls_on = true;
  std::atomic<int> sock{-1};
  uint8_t *recv_buf = nullptr;
  uint32_t recv_cap = 0;
  std::atomic<int> conn_status{0};   // last status 0-10 reported
  std::atomic<uint8_t> stop_reason{STOP_NONE};
  std::atomic<bool> running{false};       // engine thread started and not ended
  std::atomic<bool> service_ended{false}; // the server ended service for this engine
  std::atomic<bool> logged_in{false};
  bool thread_started = false;             // a joinable thread exists
  pthread_t thread{};
  std::atomic<int> thread_tid{0};
  uint8_t last_op = 0;                     // op byte of the last frame received
  FrameHeader last_header{};               // header of the last frame received
  uint8_t challenge[256] = {};
  uint32_t challenge_len = 0;
  SettingsBytes pending_ticket;            // a ticket read, stored once the lock is released
  uint32_t engine_flags = 0;
  uint32_t client_kind = 0;
  char *client_text = nullptr;
  uint16_t tuning_value = 100;
  NetState net{};
  LoginState login{};

  // ---- timing ----
  uint32_t ping_interval_s = DEFAULT_PING_INTERVAL_S;
  uint32_t keepalive_idle_s = DEFAULT_KEEPALIVE_IDLE_S;
  uint32_t keepalive_interval_s = DEFAULT_KEEPALIVE_INTERVAL_S;
  uint32_t keepalive_count = DEFAULT_KEEPALIVE_COUNT;
  uint64_t batch_delay_us = DEFAULT_BATCH_DELAY_US;
  uint64_t response_timeout_us = DEFAULT_RESPONSE_TIMEOUT_US;
  uint32_t default_expiry_s = DEFAULT_EXPIRY_S;
  uint32_t records_per_bundle = 32;
  uint32_t device_type = DEFAULT_DEVICE_TYPE;
  uint32_t presence_mode = DEFAULT_PRESENCE_MODE;
  bool foreground = true;
  uint16_t tuning_a = DEFAULT_TUNING_A, tuning_b = DEFAULT_TUNING_B;
  uint8_t network_type = 255;
  bool no_network = false;

  // ---- loop state ----
  int fast_retry = 0;
  uint64_t last_attempt_us = 0;
  uint64_t last_frame_us = 0;
  uint64_t last_foreground_us = 0;
  uint8_t pending_acks = 0;  // bit 0 bundle, bit 1 ping, bit 2 debug report
  uint32_t server_failures = 0;        // failures against the current server
  bool attempt_reached_server = false; // the last attempt connected or was refused
  uint32_t login_detail = 0;           // reported with STATUS_ONLINE
  uint32_t ack_owed = 0;               // param of the last "A" frame, echoed next
  bool ping_requested = false;
  uint64_t next_ping_us = 0;
  uint64_t last_send_us = 0;
  uint64_t last_bundle_us = 0;
  uint64_t pacing_until_us = 0;
  uint64_t created_us = 0;

  // ---- queues and tables ----
  uint32_t queue_size = 0;
  CircularBuffer queue;  // outgoing messages, under queue_lock
  uint8_t *bundle = nullptr;       // the bundle being sent or awaiting acknowledgement
  uint32_t bundle_len = 0;         // its whole frame length; 0 when none
  uint16_t bundle_pending_seq = 0;
  bool queue_full = false;
  bool queue_busy = false;
  char *push_pending[2] = {};      // normal and VoIP tokens awaiting confirmation
  bool push_at_start = false;
  bool app_state_sent_foreground = true;
  uint64_t last_foreground_call_us = 0;

  // ---- peers ----
  StringMap peers_by_address;
  Int64Map peers_by_uid;
  Int64Map groups;
  PeerEntry *current_peer = nullptr;   // of the last decoded record
  uint32_t current_uid = 0;            // of the last record that carried one
  uint32_t profile_check = PROFILE_CHECK_DEFAULT;
  uint8_t *debug_report = nullptr;     // one FRAME_DEBUG frame, made on first use
  uint16_t bundle_seq = 0;
  ListenerTable listeners{};
  AllocPool *pool = nullptr;
  TimerQueue timers;
  WakePair wakeup;

  // ---- paths and values kept for others ----
  Paths paths;
  uint32_t app_value = 0;
  uint32_t device_class = 0;
  char *upload_url = nullptr;
  char *upload_auth = nullptr;
  uint32_t config_values[32] = {};
  char server_app_name[128] = {};
  char primary_address_text[256] = {};

  // ---- settings ----
  EngineSettings settings{};
  Fingerprint previous{};   // from the fingerprint file

  // ---- locks ----
  pthread_mutex_t thread_lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_t peers_lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_t settings_lock = PTHREAD_MUTEX_INITIALIZER;

 private:
  int register_slot(int channel, INotify *listener, int make_default);
  int start_refusal();
};

// Set by the public facade: lets the library's unload hook stop its engine.
extern void (*g_library_unload_hook)();

#define ZALVIO_EXPORT __attribute__((visibility("default")))
extern "C" {
ZALVIO_EXPORT IZalvio *query_zalvio_base(const char *path, uint32_t queue_size);
ZALVIO_EXPORT void *query_sfu(IZalvio *engine);
ZALVIO_EXPORT int query_zalvio_interface_version();
ZALVIO_EXPORT int ZalvioInterfaceVersion();
ZALVIO_EXPORT void zalvio_info();
}
