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

  // ---- IZalvio ----
  void destroy() override;
  void destroy_and_free() override;
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

  // ---- transport (net.cpp) ----
  int set_network(int type, const char *ip, int value);  // any thread
  int set_trusted_ca(const char *pem_file);              // before start
  int set_tls_verify(int on);                            // before start; off only for development
  void on_new_session(SSL_SESSION *session) override;
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
  virtual int message(MessageParams *p, const char *address, const uint8_t *payload, uint32_t len);
  int message_queue(const MessageParams &p, const char *address, const uint8_t *payload, uint32_t len,
                    const uint8_t *envelope, uint32_t envelope_len);
  int notify_send();
  int send_webhook(const char *address, uint64_t id, uint32_t expiry, const uint8_t *payload,
                   uint32_t len);
  int set_push_token(const char *token, int voip);
  int send_push_registration(int kind, const char *token);
  int resend_push_tokens();
  int set_queue_size(uint32_t bytes);
  int set_foreground(int on);
  int build_bundle(bool *sent);
  void bundle_acknowledged();
  void report_unsendable(const MessageParams &p, const char *address);

  // ---- incoming messages ----
  int message_decode(uint8_t op, const uint8_t *body, uint32_t len, bool sent_mode);
  int message_decrypt(MessageParams *p, const char *address, const uint8_t **payload, uint32_t *len);
  PeerEntry *get_peer(const char *address, bool create);
  PeerEntry *get_peer_by_uid(uint32_t uid);
  PeerEntry *bind_peer(uint32_t uid, const char *address);
  int set_peer_uid(uint32_t uid, const char *address);
  GroupEntry *get_group(uint32_t gid, bool create);
  void confirm_push_token(const MessageParams &p);
  virtual void load_peer_state(PeerEntry *peer);
  void debug_global(const char *format, ...) __attribute__((format(printf, 2, 3)));

  // ---- hooks the application layer replaces ----
  // Sends the application's foreground state as an activity (1 foreground,
  // 2 background).
  virtual bool call_active() { return false; }
  virtual int send_app_state(int activity) {
    (void)activity;
    return -1;
  }
  virtual bool local_store() { return false; }
  virtual bool linked_device() { return false; }
  virtual uint32_t login_value38() { return 0; }
  virtual int reset_database(int mask) {
    (void)mask;
    return -1;
  }

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
  void run_timers();
  virtual void on_timer(void *user, int subkind);

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
  SettingsBytes pending_redirect_ticket;   // ticket for the host of a redirect being read
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

  // ---- paths ----
  char *data_path = nullptr;

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
