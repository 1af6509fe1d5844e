// The core engine object: construction, listeners, access token,
// lifecycle, the engine thread's outer loop and the exported entry points.
#include "core/api.h"

#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/hosts.h"
#include "core/loginapi.h"
#include "core/tlv.h"
#include "util/allocpool.h"
#include "util/logs.h"
#include "util/mutex.h"
#include "util/random.h"
#include "util/string.h"
#include "util/threads.h"
#include "util/time.h"

static const char kProtocolVersion[] = "2.1.0";
static const char kDefaultApiVersion[] = "2.1.0";

enum : uint64_t {
  WAIT_NO_TIMEOUT = UINT64_MAX,          // wait_event: return at once
  BUG_TIMEOUT_US = 10000,                // replaces a negative timeout
  FAST_RETRY_CAP_US = 2000000,
  NO_NETWORK_WAIT_US = 600000000,
  RECONNECT_FAST_US = 500000,            // SFU mode or an active call
  RECONNECT_MIN_US = 2000000,
  RECONNECT_MAX_US = 3000000,
  FOREGROUND_RECENT_US = 60000000,
  FRAME_STALE_US = 3000000,
  RESTART_BACKOFF_PER_FAILURE_S = 3,
  RESTART_BACKOFF_MIN_S = 5,
  RESTART_BACKOFF_MAX_S = 15,
};

// ---- library load and unload ------------------------------------------

static pthread_once_t g_library_once = PTHREAD_ONCE_INIT;

static void library_init() { random_init(); }

static void library_global_init() { pthread_once(&g_library_once, library_init); }

void (*g_library_unload_hook)() = nullptr;

__attribute__((constructor)) static void library_load() {
  log_write(LOG_ALWAYS, "loading zalvio api - %s\n", host_get(HOST_WEB));
  library_global_init();
}

__attribute__((destructor)) static void library_unload() {
  if (g_library_unload_hook) g_library_unload_hook();
  log_write(LOG_ALWAYS, "stopping zalvio api\n");
}

// ---- access token -------------------------------------------------------

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `width` hex digits; -1 on a non-hex character.
static int read_hex(const char *s, int width, uint64_t *out) {
  uint64_t v = 0;
  for (int i = 0; i < width; i++) {
    int d = hex_value(s[i]);
    if (d < 0) return -1;
    v = v << 4 | (uint64_t)d;
  }
  *out = v;
  return 0;
}

enum NumericField { FIELD_OK = 0, FIELD_SHORT = 1, FIELD_BAD = -1 };

// A numeric field: digit k, then X and Y of w = 15 - k hex digits each; the
// value is X ^ Y and must fit 32 bits. *used gets the field's length.
static NumericField read_numeric_field(const char *s, int remaining, uint32_t *value, int *used) {
  int k = hex_value(s[0]);
  if (k < 0) return FIELD_BAD;
  int w = 15 - k;
  if (remaining <= 30 - 2 * k) return FIELD_SHORT;
  uint64_t x, y;
  if (read_hex(s + 1, w, &x) != 0 || read_hex(s + 1 + w, w, &y) != 0) return FIELD_BAD;
  uint64_t v = x ^ y;
  if (v > UINT32_MAX) return FIELD_BAD;
  *value = (uint32_t)v;
  *used = 2 * w + 1;
  return FIELD_OK;
}

int token_decode(const char *token, AccessToken *out) {
  int n = token ? (int)strlen(token) : 0;
  if (n < (int)TOKEN_MIN_LENGTH) {
    LOGE("Bad access token: %d", n);
    return -1;
  }
  memset(out, 0, sizeof *out);
  int d = hex_value(token[11]);
  if (d < 0) return -1;
  int p = d / 2 + 32;
  if (p >= n) return -1;

  int used = 0;
  if (read_numeric_field(token + p, n - p, &out->uid, &used) != FIELD_OK) return -1;
  p += used;
  if (p >= n || read_numeric_field(token + p, n - p, &out->options, &used) != FIELD_OK) return -1;
  p += used;

  int digits = 0;
  while (p + digits < n && hex_value(token[p + digits]) >= 0) digits++;
  if (digits == 0 || digits > 16) return -1;
  uint64_t serial;
  read_hex(token + p, digits, &serial);
  out->serial = serial;
  p += digits;
  while (p < n && token[p] >= 'g' && token[p] <= 'z') p++;

  if (p < n) {
    NumericField f = read_numeric_field(token + p, n - p, &out->app_id, &used);
    if (f == FIELD_BAD) return -1;
    if (f == FIELD_OK) {
      p += used;
      if (p < n) {
        f = read_numeric_field(token + p, n - p, &out->identity3, &used);
        if (f == FIELD_BAD) return -1;
      }
    }
  }

  memcpy(out->key_text, token, 32);
  out->key_text[32] = 0;
  for (int i = 0; i < 16; i++) {
    int hi = hex_value(token[2 * i]), lo = hex_value(token[2 * i + 1]);
    if (hi < 0 || lo < 0) return -1;
    out->key[i] = (uint8_t)(hi << 4 | lo);
  }
  return 0;
}

// ---- retry timing -------------------------------------------------------

uint64_t retry_gap_us(const RetryClock &c) {
  if (c.last_attempt_us == 0 || c.now_us < c.last_attempt_us) return 0;
  uint64_t elapsed = c.now_us - c.last_attempt_us;
  if (c.fast_retry > 0) elapsed *= 2;
  return elapsed < RETRY_MIN_GAP_US ? RETRY_MIN_GAP_US - elapsed : 0;
}

uint64_t restart_backoff_us(uint32_t failures, uint32_t last_attempt_s, uint64_t now_us) {
  if (failures == 0) return 0;
  uint64_t g = (uint64_t)failures * RESTART_BACKOFF_PER_FAILURE_S;
  if (g < RESTART_BACKOFF_MIN_S) g = RESTART_BACKOFF_MIN_S;
  if (g > RESTART_BACKOFF_MAX_S) g = RESTART_BACKOFF_MAX_S;
  uint64_t since_us = now_us - (uint64_t)last_attempt_s * 1000000;
  if ((uint64_t)last_attempt_s * 1000000 > now_us) since_us = 0;
  return since_us < g * 1000000 ? g * 1000000 - since_us : 0;
}

// ---- construction -------------------------------------------------------

CAPI::CAPI(const char *path, uint32_t requested_queue) {
  LOGI("zalvio init - dl %d buf %u", 0, requested_queue);
  library_global_init();
  log_set_mask(0);
  random_seed(clock_now_us());
  pool = allocpool_create(4094, 4096);

  snprintf(server_host, sizeof server_host, "%s", host_get(HOST_SERVER));
  snprintf(alt_host, sizeof alt_host, "%s", host_get(HOST_ALTERNATE));
  if (path && *path) data_path = allocpool_strdup(pool, path);

  listeners.high_low = -1;
  listeners.high_high = -1;
  listeners.default_index = -1;

  queue_size = (requested_queue < QUEUE_MIN_SIZE ? QUEUE_MIN_SIZE : requested_queue) + QUEUE_EXTRA;
  bundle_seq = (uint16_t)random_below(65536);
  recv_cap = RECV_BUFFER_INITIAL;
  recv_buf = (uint8_t *)malloc(recv_cap);
  queue.create(nullptr, queue_size);

  thread_signals_init();
  device_type = DEFAULT_DEVICE_TYPE;
  ipc_init(&wakeup);

  net_state_init(&net);
  settings_clear(&settings);
  read_fingerprint(data_path ? data_path : ".", &previous);
  uint32_t address;
  int scan = scan_interfaces(&address);
  network_type = scan == 0 ? NETWORK_LAN : scan == 1 ? NETWORK_OTHER : NETWORK_NONE;
  created_us = clock_now_us();
  login.first_on_server = true;
}

CAPI::~CAPI() {
  if (thread_started) {
    stop();
    wait();
  }
  close_socket();
  if (net.ssl) net.ssl->destroy();
  net_forget_resolution(&net);
  ipc_close(&wakeup);
  pending_redirect_ticket.release();
  settings_release(&settings);
  free(recv_buf);
  allocpool_cleanup(pool);
}

void CAPI::destroy() {
  stop();
  wait();
}

void CAPI::destroy_and_free() { delete this; }

// ---- listeners ----------------------------------------------------------

int CAPI::register_slot(int channel, INotify *listener, int make_default) {
  if (channel < 0 || channel >= (int)LISTENER_SLOTS) return -1;
  if (!listener && make_default && listeners.default_index == channel) return -1;
  listeners.slot[channel] = listener;
  if (listener) {
    listeners.blocks[channel / LISTENER_BLOCK] = 1;
    int &high = channel < (int)CHANNEL_PUBLIC_LIMIT ? listeners.high_low : listeners.high_high;
    if (channel > high) high = channel;
    if (make_default) listeners.default_index = channel;
  }
  return 0;
}

int CAPI::register_listener(int channel, INotify *listener, int make_default) {
  if (channel < 0 || channel >= (int)CHANNEL_PUBLIC_LIMIT) return -1;
  return register_slot(channel, listener, make_default);
}

int CAPI::register_listener_internal(int channel, INotify *listener, int make_default) {
  return register_slot(channel, listener, make_default);
}

INotify *CAPI::default_listener() const {
  int d = listeners.default_index;
  return d >= 0 ? listeners.slot[d] : nullptr;
}

INotify *CAPI::listener_for(int channel) const {
  if (channel >= 0 && channel < (int)LISTENER_SLOTS && listeners.slot[channel])
    return listeners.slot[channel];
  return default_listener();
}

void CAPI::report_status(int status, uint32_t detail) {
  if (status >= 0 && status <= STATUS_STORED_LIMIT) conn_status.store(status);
  // A listener registered on several channels hears each status once.
  INotify *told[LISTENER_SLOTS];
  int ntold = 0;
  for (uint32_t block = 0; block < LISTENER_SLOTS / LISTENER_BLOCK; block++) {
    if (!listeners.blocks[block]) continue;
    for (uint32_t i = block * LISTENER_BLOCK; i < (block + 1) * LISTENER_BLOCK; i++) {
      INotify *l = listeners.slot[i];
      if (!l) continue;
      bool seen = false;
      for (int k = 0; k < ntold && !seen; k++) seen = told[k] == l;
      if (seen) continue;
      told[ntold++] = l;
      l->on_status(status, detail, 0, 0);
    }
  }
}

// ---- configuration ------------------------------------------------------

int CAPI::versions(int platform_code, const char *kind, const char *name, const char *api,
                   const char *os) {
  platform = (uint8_t)platform_code;
  const char *api_text = api && *api ? api : kDefaultApiVersion;
  const char *os_text = os && *os ? os : "unknown";
  api_version = version_number(api_text);
  os_version = version_number(os_text);
  protocol_version = version_number(kProtocolVersion);
  if (kind) sdk_kind = allocpool_strdup(pool, kind);
  if (name) {
    app_name = allocpool_strdup(pool, name);
    for (char *c = app_name; c && *c; c++) *c = (char)tolower((unsigned char)*c);
  }
  snprintf(versions_text, sizeof versions_text, "zalvio versions: api: %s protocol: %s os: %s app: %s",
           api_text, kProtocolVersion, os_text, app_name ? app_name : "");
  return 0;
}

int CAPI::set_cpu(int count, uint64_t descriptor, int flags) {
  cpu_count = count;
  cpu_descriptor = descriptor;
  cpu_flags = flags;
  LOGI("cpu: %d %lx %d", count, (unsigned long)descriptor, flags);
  return 0;
}

// "host" keeps the default port list; "host:port" replaces it by that port.
int CAPI::set_server(const char *host) {
  if (!host) return -1;
  const char *colon = strrchr(host, ':');
  uint16_t port = 0;
  size_t len = strlen(host);
  if (colon && strchr(host, ':') == colon) {
    char *end = nullptr;
    unsigned long p = strtoul(colon + 1, &end, 10);
    if (!end || *end || p == 0 || p > 65535) return -1;
    port = (uint16_t)p;
    len = (size_t)(colon - host);
  }
  if (len > SERVER_HOST_MAX) len = SERVER_HOST_MAX;
  snprintf(server_host, sizeof server_host, "%.*s", (int)len, host);
  net.explicit_port = port;
  port_count = 0;  // rebuilt at the next connect
  net.previous_host[0] = 0;
  return 0;
}

int CAPI::set_credentials(const char *text) {
  AccessToken t;
  if (token_decode(text, &t) != 0) return -1;
  token = allocpool_strdup(pool, text);
  if (t.options & 1) app_name = nullptr;
  if (t.serial < TOKEN_MIN_SERIAL) {
    LOGE("bad token");
    queue_clear();
    uid = 0;
    return -1;
  }
  options = t.options;
  serial = t.serial;
  memcpy(token_key_text, t.key_text, sizeof token_key_text);
  memcpy(token_key, t.key, sizeof token_key);

  bool changed = (uid && uid != t.uid) || (app_id && app_id != t.app_id);
  if (changed) {
    queue_clear();
    MutexGuard guard(&settings_lock);
    settings_clear(&settings);
  }
  if (service_ended.load()) {
    if (settings.control_op >= OP_AUTHFAIL_FIRST) {
      report_status(STATUS_AUTHFAIL, 0);
      return 0;
    }
    return -1;
  }
  static const uint8_t zero[16] = {};
  if (memcmp(t.key, zero, sizeof zero) != 0) {
    uid = t.uid;
    identity3 = t.identity3;
    app_id = t.app_id;
  }
  return 0;
}

// ---- lifecycle ----------------------------------------------------------

// Token sanity before a start: 0 when usable, else the reason it is not.
int CAPI::start_refusal() {
  const EngineSettings &s = settings;
  if (serial == 0 || serial <= TOKEN_SANE_SERIAL || (s.refused_serial && serial < s.refused_serial))
    return 1;
  if (s.control_op >= OP_AUTHFAIL_FIRST && serial == s.refused_serial) return 2;
  if (serial < s.login_serial && uid == s.saved_uid) return 3;
  return 0;
}

static void *engine_thread_entry(void *arg) {
  thread_set_name(pthread_self(), "zalvio-api");
  static_cast<CAPI *>(arg)->main_thread();
  return nullptr;
}

int CAPI::start() {
  if (settings.server_notice.len)
    LOGI("%.*s", (int)settings.server_notice.len, (const char *)settings.server_notice.data);
  if (versions_text[0]) LOGI("%s", versions_text);
  LOGI("starting zalvio");
  if (service_ended.load()) {
    LOGE("zalvio - service ended for this engine, not starting");
    return -1;
  }
  if (!default_listener()) {
    LOGE("*** BUG *** default notify NULL - can't start");
    return -1;
  }
  if (running.load()) return 0;
  if (uid == 0 || app_id == 0) {
    report_status(STATUS_AUTHFAIL, 0);
    return -1;
  }
  int reason = start_refusal();
  if (reason > 0) {
    LOGE("Invalid zalvio access token OR account (uid %u). Please update the token (reason %d)",
         settings.saved_uid, reason);
    report_status(STATUS_AUTHFAIL, 0);
    return -1;
  }
  {
    MutexGuard guard(&settings_lock);
    if (settings.refused_serial && serial > settings.refused_serial &&
        settings.forgiven < TOKEN_MAX_FORGIVEN) {
      settings.refused_serial = 0;
      settings.forgiven++;
      settings.dirty = true;
    }
  }
  if (settings.holdoff_until_us > clock_now_us() && settings.control_op >= OP_AUTHFAIL_FIRST) {
    report_status(STATUS_AUTHFAIL, 0);
    return -1;
  }
  if (thread_started) wait();  // reap a thread that ended on its own
  // Cleared here rather than on the new thread, so a stop() right after
  // start() is never lost.
  stop_reason.store(STOP_NONE);
  running.store(true);
  thread = thread_create(engine_thread_entry, this, ENGINE_STACK_SIZE);
  if (!thread) {
    running.store(false);
    LOGE("unable to start the engine thread");
    return -1;
  }
  thread_started = true;
  return 0;
}

int CAPI::stop() {
  stop_reason.store(STOP_API);
  int s = sock.load();
  if (s >= 0) {
    LOGI("zalvio - stop called by API, s: %d", s);
    shutdown(s, SHUT_RDWR);
  }
  // Waking the thread explicitly ends a wait between attempts at once.
  ipc_wake(&wakeup);
  return 0;
}

int CAPI::wait() {
  if (!thread_started) return 0;
  pthread_join(thread, nullptr);
  thread_started = false;
  return 0;
}

int CAPI::is_logged_in() { return logged_in.load() ? 1 : 0; }

int CAPI::connection_status() { return conn_status.load(); }

// ---- engine thread --------------------------------------------------------

int CAPI::wake() { return ipc_wake(&wakeup); }

int CAPI::wake_if_running() {
  if (!running.load() || stop_reason.load() != STOP_NONE || service_ended.load()) return 0;
  return wake();
}

void CAPI::drain() { ipc_drain(&wakeup); }

void CAPI::close_socket() {
  int s = sock.exchange(-1);
  if (net.ssl) net.ssl->close();
  net.tls_established = false;
  if (s >= 0) close(s);
}

int CAPI::wait_event(int fd, int64_t timeout_us) {
  if (fd < 0) return -1;
  if (timeout_us == -1) return 0;  // all ones: do not wait
  if (timeout_us < 0) {
    LOGE("*** BUG *** Timeout is negative: %lld", (long long)timeout_us);
    timeout_us = BUG_TIMEOUT_US;
  }
  fd_set rd, ex;
  FD_ZERO(&rd);
  FD_ZERO(&ex);
  int server = sock.load();
  // Bytes already decrypted inside the TLS session never show on the socket.
  if (server >= 0 && net.tls_established && net.ssl->pending() > 0) return 1;
  int pair = wakeup.fd[0];
  int maxfd = -1;
  if (server >= 0) {
    FD_SET(server, &rd);
    maxfd = server;
  }
  if (pair >= 0) {
    FD_SET(pair, &rd);
    FD_SET(pair, &ex);
    if (pair > maxfd) maxfd = pair;
  }
  struct timeval tv;
  tv.tv_sec = (time_t)(timeout_us / 1000000);
  tv.tv_usec = (suseconds_t)(timeout_us % 1000000);
  int r = select(maxfd + 1, &rd, nullptr, &ex, &tv);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (pair >= 0 && FD_ISSET(pair, &ex)) {
    ipc_init(&wakeup);
    return -1;
  }
  if (server >= 0 && FD_ISSET(server, &rd)) return 1;
  return 0;
}

void CAPI::on_timer(void *, int) {}

void CAPI::run_timers() {
  uint64_t wait_ms;
  while (TimerEntry *e = timer_pop(&timers, &wait_ms)) {
    if (e->kind == TIMER_KIND_ENGINE) on_timer(e->user, e->subkind);
  }
}

void CAPI::main_thread() {
  if (mutex_lock_timeout(&thread_lock, THREAD_LOCK_TIMEOUT_MS) != 0) {
    LOGE("Unable to acquire thread lock");
    running.store(false);
    return;
  }
  thread_tid.store(log_thread_id());

  if (settings.control_op >= OP_AUTHFAIL_FIRST && settings.refused_serial >= serial) {
    LOGE("zalvio - expired token");
    stop_reason.store(STOP_EXPIRED_TOKEN);
    report_status(STATUS_STOPPED, 0);
    thread_tid.store(0);
    running.store(false);
    pthread_mutex_unlock(&thread_lock);
    return;
  }
  if (serial != settings.login_serial) {
    MutexGuard guard(&settings_lock);
    settings.server_time = 0;
    settings.last_login_s = 0;
    server_failures = 0;
    settings.dirty = true;
  }

  running.store(true);
  fast_retry = 0;
  bool first_attempt = true;
  int64_t T = -1;  // the first pass does not wait

  for (;;) {
    if (stop_reason.load() != STOP_NONE || service_ended.load()) break;
    if (fast_retry > 0 && T > (int64_t)FAST_RETRY_CAP_US) T = FAST_RETRY_CAP_US;
    wait_event(0, T);
    drain();
    if (stop_reason.load() != STOP_NONE) {
      LOGI("zalvio api stopped: reason %d (1)", stop_reason.load());
      break;
    }
    uint64_t now = clock_now_us();
    if (settings.holdoff_until_us > now) {
      T = (int64_t)(settings.holdoff_until_us - now);
      continue;
    }
    uint64_t gap = retry_gap_us(RetryClock{now, last_attempt_us, fast_retry});
    if (gap > 0) {
      T = (int64_t)gap;
      continue;
    }
    if (first_attempt) {
      uint64_t backoff = restart_backoff_us(settings.failures, settings.last_attempt_s, now);
      if (backoff > 0) {
        T = (int64_t)backoff;
        continue;
      }
    }
    last_attempt_us = now;
    {
      MutexGuard guard(&settings_lock);
      settings.last_attempt_s = (uint32_t)(now / 1000000);
      settings.dirty = true;
    }
    if (first_attempt) save_settings();
    first_attempt = false;
    if (fast_retry > 0) fast_retry--;

    report_status(STATUS_CONNECTING, 0);
    int64_t R = start_login();
    if (R != 0 && attempt_reached_server) {
      MutexGuard guard(&settings_lock);
      settings.failures++;
      server_failures++;
      settings.dirty = true;
    }
    if (stop_reason.load() != STOP_NONE || service_ended.load() || R < 0) {
      LOGI("zalvio api stopped: reason %d %d (2)", stop_reason.load(), service_ended.load() ? 1 : 0);
      if (R < 0 && last_op == OP_FINAL_REFUSAL) report_status(STATUS_ACCOUNT_NOTICE, 0);
      break;
    }
    if (R == 0) {
      T = serve_connection();
      if (T < 0) break;
    } else {
      if (no_network) {
        report_status(STATUS_NONETWORK, 0);
        T = NO_NETWORK_WAIT_US;
      } else {
        report_status(STATUS_CONNECTFAILED, 0);
        T = R;
      }
    }
  }

  LOGI("zalvio api stopped: reason %d %d (3)", stop_reason.load(), service_ended.load() ? 1 : 0);
  close_socket();
  report_status(STATUS_STOPPED, 0);
  running.store(false);
  stop_reason.store(STOP_NONE);
  thread_tid.store(0);
  logged_in.store(false);
  pthread_mutex_unlock(&thread_lock);
}

// One logged-in connection: report it, serve it, and pick the wait before
// reconnecting. Returns that wait in microseconds, or -1 to end the thread.
int64_t CAPI::serve_connection() {
  report_status(STATUS_ONLINE, login_detail);
  fast_retry = 0;
  int r = main_loop();
  logged_in.store(false);
  conn_status.store(STATUS_NONE);
  report_status(STATUS_OFFLINE, 0);
  drain();
  if (r < 0) return -1;
  uint64_t now = clock_now_us();
  bool recent_foreground = last_foreground_us && now - last_foreground_us < FOREGROUND_RECENT_US;
  bool stale = last_frame_us && now - last_frame_us > FRAME_STALE_US;
  if (recent_foreground || pending_acks || stale || last_op == OP_CLOSE) return RECONNECT_MIN_US;
  return (int64_t)random_range31(RECONNECT_MIN_US, RECONNECT_MAX_US);
}

// ---- exported entry points -------------------------------------------------

extern "C" {

ZALVIO_EXPORT IZalvio *query_zalvio_base(const char *path,
                                                                   uint32_t queue_size) {
  return new CAPI(path, queue_size);
}

ZALVIO_EXPORT void *query_sfu(IZalvio *engine) {
  // The group-call view arrives with the group-call module.
  (void)engine;
  return nullptr;
}

ZALVIO_EXPORT int query_zalvio_interface_version() {
  return INTERFACE_VERSION_QUERY;
}

ZALVIO_EXPORT int ZalvioInterfaceVersion() {
  return INTERFACE_VERSION_PUBLIC;
}

ZALVIO_EXPORT void zalvio_info() {
  log_write(LOG_ALWAYS, "zalvio C++ API - %s\n", host_get(HOST_WEB));
  _exit(1);
}

}  // extern "C"

// ---- queue and settings ---------------------------------------------------

void CAPI::queue_clear() {
  MutexGuard guard(&queue_lock);
  queue.reset();
}

int CAPI::save_settings() {
  // The blob is written through the application layer's settings store;
  // a bare engine has none, so the values stay in memory.
  return -1;
}

// ---- one connection: frames, pings, acknowledgements -----------------------

enum : uint64_t {
  BODY_DEADLINE_MS = 5000,
  IDLE_WAIT_US = 28800000000ull,  // 8 hours when nothing is scheduled
  MIN_PASS_US = 10000,
  ACK_TIMEOUT_CAP_US = 60000000,
  PACING_MAX_MS = 29999,
};

enum : uint8_t {
  PENDING_BUNDLE = 0x1,
  PENDING_PING = 0x2,
  PENDING_DEBUG = 0x4,
};

int CAPI::send_frame(uint8_t code, uint8_t op, uint32_t param, const void *body, uint32_t len) {
  uint8_t header[FRAME_HEADER_SIZE];
  FrameHeader h = {code, op, len, param};
  if (frame_encode(header, h) != 0) return -1;
  // Header and body leave in one write, so they share a TLS record.
  uint8_t small[FRAME_HEADER_SIZE + 256];
  if (len <= 256) {
    memcpy(small, header, FRAME_HEADER_SIZE);
    if (len) memcpy(small + FRAME_HEADER_SIZE, body, len);
    if (conn_send(small, FRAME_HEADER_SIZE + len) < 0) return -1;
  } else if (conn_send(header, FRAME_HEADER_SIZE) < 0 || conn_send(body, len) < 0) {
    return -1;
  }
  last_send_us = clock_now_us();
  frame_sent();
  return 0;
}

void CAPI::frame_sent() {
  uint64_t i = ping_interval_s;
  if (i > 1) next_ping_us = clock_now_us() + random_delay(i * 1000000, i * 1500000);
}

int CAPI::read_frame(int64_t timeout_us) {
  errno = 0;
  last_op = 0;
  if (sock.load() < 0) return -1;
  int w = wait_event(sock.load(), timeout_us);
  if (w != 1) return w;

  uint8_t head[FRAME_HEADER_SIZE];
  int timeout_ms = (int)(timeout_us / 1000);
  if (timeout_ms < 1) timeout_ms = 1;
  int n = conn_recv(head, FRAME_HEADER_SIZE, timeout_ms);
  if (n == 0) return sock.load() >= 0 ? 0 : -1;
  if (n < 0) return -1;
  // The rest of a split header arrives within the body's deadline.
  uint64_t deadline = clock_now_us() / 1000 + BODY_DEADLINE_MS;
  while (n < (int)FRAME_HEADER_SIZE) {
    uint64_t now = clock_now_us() / 1000;
    if (now >= deadline) return -1;
    int r = conn_recv(head + n, FRAME_HEADER_SIZE - n, (int)(deadline - now));
    if (r < 0) return -1;
    n += r;
  }
  FrameHeader h;
  frame_decode(head, &h);
  if (h.length + 8 > recv_cap) {
    uint8_t *grown = (uint8_t *)realloc(recv_buf, h.length + 8);
    if (!grown) return -1;
    recv_buf = grown;
    recv_cap = h.length + 8;
  }
  uint32_t got = 0;
  while (got < h.length) {
    uint64_t now = clock_now_us() / 1000;
    if (now >= deadline) {
      LOGE("frame body stalled: %u of %u bytes", got, h.length);
      return -1;
    }
    int r = conn_recv(recv_buf + got, h.length - got, (int)(deadline - now));
    if (r < 0) return -1;
    got += (uint32_t)r;
  }
  last_header = h;
  last_op = h.op;
  net.network_changed = false;
  last_frame_us = clock_now_us();
  fast_retry = 0;
  if ((h.op == OP_HOLDOFF_81 || h.op == OP_HOLDOFF_85 || h.op == OP_HOLDOFF_86) && h.param == 0) {
    h.param = random_range31(30, 181);
    last_header.param = h.param;
  }
  is_authfail(h.code, h.op, h.param, recv_buf, h.length);
  return (int)(FRAME_HEADER_SIZE + h.length);
}

uint64_t CAPI::ack_timeout_us() const {
  uint64_t t = response_timeout_us + (uint64_t)login.extra_ack_delay_s * 1000000;
  return t > ACK_TIMEOUT_CAP_US ? ACK_TIMEOUT_CAP_US : t;
}

uint64_t CAPI::ping_step() {
  uint64_t now = clock_now_us();
  uint64_t interval = (uint64_t)ping_interval_s * 1000000;
  if (fast_retry == 0 && !ping_requested && ack_owed == 0) {
    if (interval == 0) return 0;
    if (now < next_ping_us) {
      uint64_t left = next_ping_us - now;
      bool recent = last_foreground_us && now - last_foreground_us < 60000000;
      return recent ? left / 2 : left;
    }
  }
  ping_requested = false;
  pending_acks |= PENDING_PING;
  if (fast_retry == 0) fast_retry = 1;
  uint32_t owed = ack_owed;
  ack_owed = 0;
  if (send_frame(FRAME_PING, foreground ? 0 : 1, owed, nullptr, 0) != 0) {
    close_socket();
    pending_acks = 0;
    return MIN_PASS_US;
  }
  if (interval == 0) return 0;
  now = clock_now_us();
  return next_ping_us > now ? next_ping_us - now : 1;
}

uint64_t CAPI::send_pending(bool first_pass) {
  uint64_t now = clock_now_us();
  if (holdoff_active(now)) return settings.holdoff_until_us - now;
  if (!pending_acks) return ping_step();
  uint64_t due = last_send_us + ack_timeout_us();
  return due > now + 1000 ? due - now : 1000;
  (void)first_pass;
}

void CAPI::handle_ack(const FrameHeader &h) {
  if (h.code == FRAME_BUNDLE && h.param >= 1 && h.param <= PACING_MAX_MS)
    pacing_until_us = clock_now_us() + (uint64_t)h.param * 1000;
  login.extra_ack_delay_s = 0;
  if (h.code == FRAME_BUNDLE) pending_acks &= (uint8_t)~PENDING_BUNDLE;
  if (h.code == FRAME_PING) pending_acks &= (uint8_t)~PENDING_PING;
  if (h.code == FRAME_DEBUG) pending_acks &= (uint8_t)~PENDING_DEBUG;
}

int CAPI::main_loop() {
  pending_acks = 0;
  int r = 1;
  bool first = true;
  for (;;) {
    if (r < 0 || stop_reason.load() != STOP_NONE || service_ended.load() || sock.load() < 0) {
      close_socket();
      return r < 0 ? r : 0;
    }
    drain();
    uint64_t T = send_pending(first);
    first = false;
    if (T == 0) T = IDLE_WAIT_US;
    if (T < MIN_PASS_US) T = MIN_PASS_US;
    run_timers();
    uint64_t timer_ms;
    timer_pop(&timers, &timer_ms);  // peeks: nothing is due after run_timers
    if (timer_ms != UINT64_MAX && timer_ms * 1000 < T) T = timer_ms * 1000 + 1000;

    int n = read_frame((int64_t)T);
    if (n < 1) {
      bool waiting = pending_acks != 0;
      if (n == 0 && (!waiting || clock_now_us() < last_send_us + ack_timeout_us())) continue;
      if (n == 0) LOGE("zalvio - acknowledgement overdue, reconnecting");
      close_socket();
      return 0;
    }
    const FrameHeader h = last_header;
    fast_retry = 0;
    if (h.op < OP_CONTROL_FIRST) {
      MutexGuard guard(&settings_lock);
      settings.last_frame_s = (uint32_t)clock_now_s();
      settings.dirty = true;
    }
    switch (frame_class(h.op)) {
      case FRAME_CLASS_DATA:
        ack_owed = h.param;
        on_data_frame(recv_buf, h.length);
        break;
      case FRAME_CLASS_CLOSE:
        close_socket();
        return 0;
      case FRAME_CLASS_SIGNED_OUT:
        LOGI("zalvio - user signed-in from another device...exiting");
        stop_reason.store(STOP_SIGNED_OUT);
        report_status(STATUS_SIGNOUT, 0);
        close_socket();
        return -1;
      case FRAME_CLASS_PING_REQUEST:
        ping_requested = true;
        break;
      case FRAME_CLASS_AUTHFAIL:
        LOGE("zalvio - authfail...exiting");
        report_status(STATUS_AUTHFAIL, h.op);
        stop_reason.store(STOP_AUTHFAIL);
        close_socket();
        return -1;
      case FRAME_CLASS_ACK:
        handle_ack(h);
        break;
      default:
        break;  // other ops and control frames acknowledge nothing
    }
  }
}

void CAPI::on_data_frame(const uint8_t *body, uint32_t len) {
  (void)body;
  (void)len;
}
