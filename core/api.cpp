// The core engine object: construction, listeners, access token,
// lifecycle, the engine thread's outer loop and the exported entry points.
#include "core/api.h"

#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdarg>
#include <new>
#include <string>
#include <strings.h>
#include <vector>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/hosts.h"
#include "core/loginapi.h"
#include "core/tlv.h"
#include "api/paths.h"
#include "util/allocpool.h"
#include "util/crc.h"
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
  paths.platform = platform;
  if (path && *path) paths_set(&paths, path, nullptr);

  listeners.high_low = -1;
  listeners.high_high = -1;
  listeners.default_index = -1;

  queue_size = (requested_queue < QUEUE_MIN_SIZE ? QUEUE_MIN_SIZE : requested_queue) + QUEUE_EXTRA;
  bundle_seq = (uint16_t)random_below(65536);
  recv_cap = RECV_BUFFER_INITIAL;
  recv_buf = (uint8_t *)malloc(recv_cap);
  queue.create(nullptr, queue_size);
  bundle = (uint8_t *)malloc(BUNDLE_BUFFER);

  thread_signals_init();
  device_type = DEFAULT_DEVICE_TYPE;
  ipc_init(&wakeup);

  net_state_init(&net);
  settings_clear(&settings);
  read_fingerprint(paths_root(&paths), &previous);
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
  pending_ticket.release();
  settings_release(&settings);
  free(recv_buf);
  free(bundle);
  free(debug_report);
  allocpool_cleanup(pool);
}

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
  if (status == STATUS_ONLINE) {
    Fingerprint now = {uid, app_id, settings.installation_id};
    write_fingerprint(paths_root(&paths), now, &previous);
  }
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
  if (settings_store()) {
    // Unsaved changes of an earlier run go to the blob before it is read.
    if (settings.dirty) save_settings();
    prepare_settings();
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

SettingsContext CAPI::settings_context() {
  return SettingsContext{&settings, &settings_lock, settings_store(), uid, serial, protocol_version};
}

// The blob is written through the application layer's settings store; an
// engine without one keeps the values in memory (the dirty mark stays).
int CAPI::save_settings() { return settings_save(settings_context()); }

int CAPI::prepare_settings() {
  SettingsContext c = settings_context();
  if (!c.store) return -1;
  int r = settings_prepare(c);
  INotify *dl = default_listener();
  if (!login.own_address[0] && uid && dl) {
    PeerEntry self;
    memset(&self, 0, sizeof self);
    self.uid = uid;
    dl->on_user_info(uid, nullptr, &self);
    if (self.address) snprintf(login.own_address, sizeof login.own_address, "%s", self.address);
  }
  // A redirect kept from an earlier run is read again, not stored anew.
  std::string body;
  {
    MutexGuard guard(&settings_lock);
    if (settings.redirect_body.len && settings.redirect_expiry_s > clock_now_s())
      body.assign((const char *)settings.redirect_body.data, settings.redirect_body.len);
  }
  if (!body.empty()) {
    uint32_t expiry = settings.redirect_expiry_s;
    read_redirect((const uint8_t *)body.data(), (uint32_t)body.size(), 0, false);
    store_redirect_ticket();
    settings.redirect_expiry_s = expiry;
  }
  return r;
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
  if (!first_pass && !ack_owed && !call_active()) {
    if (now < pacing_until_us) return pacing_until_us - now;
    if (now < last_bundle_us + batch_delay_us) return last_bundle_us + batch_delay_us - now;
  }
  if (!(pending_acks & PENDING_BUNDLE)) {
    bool sent = false;
    build_bundle(&sent);
    if (sent) last_bundle_us = clock_now_us();
  }
  if (!pending_acks) return ping_step();
  now = clock_now_us();
  uint64_t due = last_send_us + ack_timeout_us();
  return due > now + 1000 ? due - now : 1000;
}

void CAPI::handle_ack(const FrameHeader &h) {
  if (h.code == FRAME_BUNDLE && h.param >= 1 && h.param <= PACING_MAX_MS)
    pacing_until_us = clock_now_us() + (uint64_t)h.param * 1000;
  login.extra_ack_delay_s = 0;
  if (h.code == FRAME_BUNDLE) bundle_acknowledged();
  if (h.code == FRAME_PING) pending_acks &= (uint8_t)~PENDING_PING;
  if (h.code == FRAME_DEBUG) pending_acks &= (uint8_t)~PENDING_DEBUG;
}

int CAPI::main_loop() {
  pending_acks = 0;
  current_uid = 0;
  current_peer = nullptr;
  // The server already has the bundle we were waiting on.
  if (login.has_last_seq && bundle_len && login.last_seq == bundle_pending_seq) bundle_acknowledged();
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

// ---- peers and groups ---------------------------------------------------------

static void set_peer_address(CAPI *e, PeerEntry *peer, const char *address) {
  peer->address = allocpool_strdup(e->pool, address);
}

PeerEntry *CAPI::get_peer(const char *address, bool create) {
  if (!address || !*address) return nullptr;
  PeerEntry *peer = (PeerEntry *)peers_by_address.get(address);
  if (peer || !create) return peer;
  MutexGuard guard(&peers_lock);
  peer = (PeerEntry *)peers_by_address.get(address);
  if (peer) return peer;
  peer = (PeerEntry *)allocpool_alloc(pool, sizeof(PeerEntry));
  if (!peer) return nullptr;
  memset(peer, 0, sizeof *peer);
  set_peer_address(this, peer, address);
  peers_by_address.put(peer->address, peer);
  return peer;
}

PeerEntry *CAPI::bind_peer(uint32_t peer_uid, const char *address) {
  uint32_t now_s = (uint32_t)clock_now_s();
  INotify *dl = default_listener();
  PeerEntry *peer = peer_uid ? (PeerEntry *)peers_by_uid.get(peer_uid) : nullptr;
  if (peer && (!address || strcmp(peer->address, address) == 0)) {
    if (now_s - peer->lookup_s > PEER_REFRESH_S) {
      peer->lookup_s = now_s;
      if (dl) dl->on_user_info(peer_uid, peer->address, nullptr);
    }
    return peer;
  }
  if (!address || !*address) return peer;
  peer = (PeerEntry *)peers_by_address.get(address);
  bool created = false;
  if (!peer) {
    peer = get_peer(address, true);
    if (!peer) return nullptr;
    created = true;
    load_peer_state(peer);
  }
  if (peer_uid && peer->uid != peer_uid) {
    peer->uid = peer_uid;
    peer->lookup_s = now_s;
    peers_by_uid.put(peer_uid, peer);
    if ((int64_t)peer_uid != settings.server_uid && dl) dl->on_user_info(peer_uid, address, nullptr);
  } else if (created && !peer_uid && dl) {
    dl->on_user_info(0, address, peer);
    if (peer->uid) {
      peer->lookup_s = now_s;
      peers_by_uid.put(peer->uid, peer);
    }
  }
  return peer;
}

PeerEntry *CAPI::get_peer_by_uid(uint32_t peer_uid) {
  if (!peer_uid) return nullptr;
  PeerEntry *peer = (PeerEntry *)peers_by_uid.get(peer_uid);
  if (peer) return bind_peer(peer_uid, peer->address);
  INotify *dl = default_listener();
  if (!dl) return nullptr;
  // The application layer fills in the address it knows for this uid.
  PeerEntry probe;
  memset(&probe, 0, sizeof probe);
  probe.uid = peer_uid;
  dl->on_user_info(peer_uid, nullptr, &probe);
  if (!probe.address || !*probe.address) return nullptr;
  return bind_peer(peer_uid, probe.address);
}

int CAPI::set_peer_uid(uint32_t peer_uid, const char *address) {
  PeerEntry *peer = get_peer(address, false);
  if (peer) peer->lookup_s = 0;
  return bind_peer(peer_uid, address) ? 0 : -1;
}

GroupEntry *CAPI::get_group(uint32_t gid, bool create) {
  if (!gid) return nullptr;
  GroupEntry *g = (GroupEntry *)groups.get(gid);
  if (g || !create) return g;
  {
    MutexGuard guard(&peers_lock);
    g = (GroupEntry *)groups.get(gid);
    if (g) return g;
    g = (GroupEntry *)allocpool_alloc(pool, sizeof(GroupEntry));
    if (!g) return nullptr;
    memset(g, 0, sizeof *g);
    g->gid = gid;
    groups.put(gid, g);
  }
  INotify *dl = default_listener();
  if (dl) dl->on_group_created(g);
  return g;
}

// ---- outgoing messages ------------------------------------------------------------

enum : uint32_t {
  PUSH_TYPE_NORMAL = 10,
  PUSH_TYPE_VOIP = 11,
  PUSH_ITEM_END = 2,
  PUSH_ITEM_TOKEN = 3,
  PUSH_ITEM_CRC = 4,
  WEBHOOK_TYPE = 12,
  STATUS_UNSENDABLE = 158,
};

static const char kPushAddress[] = "1";

static bool is_custom_status(uint16_t s) {
  return s == MSG_STATUS_CALL_MISSED || s == MSG_STATUS_CALL_INCOMING ||
         s == MSG_STATUS_CALL_OUTGOING || s == MSG_STATUS_CUSTOM1 || s == MSG_STATUS_CUSTOM2;
}

int CAPI::message(MessageParams *p, const char *address, const uint8_t *payload, uint32_t len) {
  if (uid == 0) {
    LOGE("*** BUG *** Incorrect user token or token was not set");
    return SEND_BAD_ARGS;
  }
  if (!p || !payload || len == 0) return SEND_BAD_ARGS;
  if (address && !*address) address = nullptr;
  if (address && strcmp(address, WEBHOOK_ADDRESS) == 0)
    return send_webhook(address, p->id, p->expiry, payload, len);
  if (!p->uid && !address && !p->groupid) {
    if (!(p->flags & MSG_FLAG_BROADCAST_KIND)) return SEND_BAD_ARGS;
    p->groupid = GROUP_BROADCAST;
  }
  if (address && strlen(address) > QUEUE_ADDRESS_MAX) return SEND_BAD_ARGS;
  if (is_custom_status(p->status)) {
    LOGE("*** BUG *** CUSTOM STATUS MESSAGE CALLED IN BASE API");
    INotify *l = listener_for(p->channel);
    if (l) l->on_message(p, address ? address : "", payload, len);
    return SEND_OK;
  }
  if (p->groupid) {
    address = nullptr;
    p->uid = 0;
  }

  p->peerversion = 0;
  uint64_t now_ms = wall_ms();
  uint32_t now_s = (uint32_t)clock_now_s();
  PeerEntry *peer = address ? get_peer(address, true) : (p->uid ? get_peer_by_uid(p->uid) : nullptr);
  if (peer) {
    if (!(p->flags & (MSG_FLAG_SYSTEM | MSG_FLAG_RICH))) peer->last_sent_ms = now_ms;
    if (now_s - peer->version_stamp_s > PEER_VERSION_STALE_S) {
      p->peerversion = protocol_version;
      if (p->expiry > PEER_VERSION_RENEW_EXPIRY_S && p->expiry != UINT32_MAX) peer->version_stamp_s = now_s;
    }
  }
  p->status = 0;
  p->status_flags = 0;
  p->when = now_ms;
  if (p->flags & MSG_FLAG_BROADCAST_KIND) {
    p->flags &= ~(uint64_t)(MSG_FLAG_DELIVERY_RECEIPT | MSG_FLAG_READ_RECEIPT | MSG_FLAG_LOCAL_ONLY);
    p->flags |= MSG_FLAG_BROADCAST_SYSTEM | MSG_FLAG_BROADCAST | MSG_FLAG_NO_ECHO;
  }
  if (p->flags & MSG_FLAG_SYSTEM) {
    p->flags &= ~(uint64_t)(MSG_FLAG_DELIVERY_RECEIPT | MSG_FLAG_READ_RECEIPT | MSG_FLAG_LOCAL_ONLY);
    p->flags |= MSG_FLAG_BROADCAST_SYSTEM | MSG_FLAG_NO_ECHO;
  }
  if (p->expiry == UINT32_MAX) p->expiry = default_expiry_s;
  if (len > MESSAGE_MAX_PAYLOAD) {
    LOGE("*** BUG *** message_send: bad len: %d", (int)len);
    return SEND_BAD_ARGS;
  }
  if ((p->flags & MSG_FLAG_ID32) && (p->id == 0 || p->id > 0xFFFFFFFFull)) return SEND_BAD_ARGS;

  const char *peer_address = address ? address : (peer ? peer->address : "");
  if (p->origin != ORIGIN_OUTBOX_RESEND && !(p->flags & MSG_FLAG_NO_ECHO)) {
    INotify *l = listener_for(p->channel);
    if (l) l->on_message(p, peer_address, payload, len);
  }
  if (p->flags & (MSG_FLAG_LOCAL_ONLY | MSG_FLAG_ECHO_ONLY)) {
    p->flags &= ~(uint64_t)MSG_FLAG_LOCAL_ONLY;
    return SEND_OK;
  }
  if (p->expiry == 0 && !logged_in.load()) {
    MessageParams r;
    memset(&r, 0, sizeof r);
    r.id = p->id;
    r.refid = p->refid;
    r.channel = p->channel;
    r.type = p->type;
    r.when = now_ms;
    r.agesent = p->agesent;
    r.ageread = p->ageread;
    r.tid = p->tid;
    r.userdata = p->userdata;
    r.sensitivity = p->sensitivity;
    r.uid = p->uid;
    r.groupid = p->groupid;
    r.status = MSG_STATUS_EXPIRED;
    INotify *l = listener_for(p->channel);
    if (l) l->on_message_status(&r, peer_address, 1);
    return SEND_OK;
  }
  if (!logged_in.load() || !foreground) p->flags |= MSG_FLAG_STORED;

  if (p->flags & MSG_FLAG_NONBLOCKING) {
    if (pthread_mutex_trylock(&queue_lock) != 0) {
      queue_busy = true;
      return SEND_BUSY;
    }
  } else {
    pthread_mutex_lock(&queue_lock);
  }
  // The engine's own bits (0x20, 0x80) are set below when they apply.
  p->flags = (p->flags & ~(uint64_t)0xFF) | (p->flags & 0x5F);
  int r = message_queue(*p, address, payload, len, nullptr, 0);
  pthread_mutex_unlock(&queue_lock);
  if (r == SEND_FULL) wake();
  if (!((p->flags & MSG_FLAG_NO_WAKE) && r == 0)) notify_send();
  queue_busy = r != 0;
  return r;
}

// Caller holds the queue lock.
int CAPI::message_queue(const MessageParams &p, const char *address, const uint8_t *payload, uint32_t len,
                        const uint8_t *envelope, uint32_t envelope_len) {
  uint32_t address_len = address ? (uint32_t)strlen(address) + 1 : 0;
  uint32_t raw = QUEUE_ENTRY_HEADER + (uint32_t)sizeof(MessageParams) + address_len + envelope_len + len;
  uint32_t size = (raw + 7) & ~7u;
  uint32_t contiguous, total;
  queue.write_region(&contiguous, &total);
  if (total < size) {
    queue_full = true;
    return SEND_FULL;
  }
  if (contiguous < size) {
    queue.flatten();
    queue.write_region(&contiguous, &total);
    if (contiguous < size) {
      LOGE("*** BUG *** MUST not happen as flatten and checked tlen before");
      queue_full = true;
      return SEND_FULL;
    }
  }
  uint8_t *at = queue.write_region(&contiguous, &total);
  uint8_t header[QUEUE_ENTRY_HEADER] = {};
  memcpy(header, &len, 4);
  uint16_t env16 = (uint16_t)envelope_len;
  memcpy(header + 4, &env16, 2);
  header[6] = (uint8_t)address_len;
  header[7] = (uint8_t)(size - raw);
  memcpy(at, header, sizeof header);
  at += sizeof header;
  MessageParams copy = p;
  copy.peer = nullptr;
  copy.listener = nullptr;
  copy.thumbnail = nullptr;
  copy.filepath = nullptr;
  copy.envelope = nullptr;
  memcpy(at, &copy, sizeof copy);
  at += sizeof copy;
  if (address_len) memcpy(at, address, address_len), at += address_len;
  if (envelope_len) memcpy(at, envelope, envelope_len), at += envelope_len;
  if (len) memcpy(at, payload, len), at += len;
  if (size > raw) memset(at, 0, size - raw);
  queue.commit(size);
  if (++bundle_seq == 0) bundle_seq = 1;
  return SEND_OK;
}

int CAPI::notify_send() {
  if (bundle_len) return 0;
  return wake_if_running();
}

int CAPI::send_webhook(const char *address, uint64_t id, uint32_t expiry, const uint8_t *payload,
                       uint32_t len) {
  if (!payload) return -1;
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.channel = CHANNEL_SYSTEM;
  p.type = WEBHOOK_TYPE;
  p.id = id;
  p.expiry = expiry;
  p.flags = MSG_FLAG_NO_ECHO | MSG_FLAG_SYSTEM;
  if (address && strcmp(address, WEBHOOK_ADDRESS) == 0) address = nullptr;
  if (!address) p.uid = uid;
  // Only the leading 7-bit text travels.
  uint32_t n = 0;
  while (n < len && !(payload[n] & 0x80)) n++;
  return message(&p, address, payload, n);
}

// A registration: a system message to address "1" carrying the token,
// its CRC-32 and an end item.
int CAPI::send_push_registration(int kind, const char *token) {
  uint8_t body[512];
  TlvBuffer t;
  tlv_init(&t, body, sizeof body);
  if (t.put_text(PUSH_ITEM_TOKEN, token) != 0 ||
      t.put_u32(PUSH_ITEM_CRC, crc32_ieee((const uint8_t *)token, strlen(token))) != 0 ||
      t.put_empty(PUSH_ITEM_END) != 0)
    return -1;
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.flags = MSG_FLAG_SYSTEM;
  p.channel = CHANNEL_MESSAGE;
  p.type = kind ? PUSH_TYPE_VOIP : PUSH_TYPE_NORMAL;
  p.id = random_next();
  p.expiry = UINT32_MAX;
  return message(&p, kPushAddress, body, t.pos);
}

static std::string settings_text(const SettingsBytes &b) {
  return b.len ? std::string((const char *)b.data, b.len) : std::string();
}

int CAPI::set_push_token(const char *text, int voip) {
  int kind = voip ? 1 : 0;
  const char *token = text ? text : "DELETE";
  if (push_pending[kind] && strcmp(push_pending[kind], token) == 0) return 0;
  push_pending[kind] = allocpool_strdup(pool, token);
  if (!running.load()) {
    push_at_start = true;
    return 0;
  }
  std::string confirmed;
  {
    MutexGuard guard(&settings_lock);
    confirmed = settings_text(kind ? settings.voip_token : settings.push_token);
  }
  if (strcasecmp(confirmed.c_str(), token) == 0) return 0;
  return send_push_registration(kind, token);
}

void CAPI::confirm_push_token(const MessageParams &p) {
  int kind = p.type == PUSH_TYPE_VOIP ? 1 : 0;
  if (!push_pending[kind]) return;
  {
    MutexGuard guard(&settings_lock);
    SettingsBytes &confirmed = kind ? settings.voip_token : settings.push_token;
    confirmed.assign(push_pending[kind], (uint32_t)strlen(push_pending[kind]));
    settings.dirty = true;
  }
  save_settings();
}

int CAPI::resend_push_tokens() {
  for (int kind = 0; kind < 2; kind++) {
    std::string token;
    {
      MutexGuard guard(&settings_lock);
      token = settings_text(kind ? settings.voip_token : settings.push_token);
    }
    if (!token.empty()) send_push_registration(kind, token.c_str());
  }
  return 0;
}

int CAPI::set_queue_size(uint32_t bytes) {
  if (bytes < QUEUE_MIN_SIZE) return -1;
  uint32_t size = (bytes + 7) & ~7u;
  MutexGuard guard(&queue_lock);
  if (queue.resize(nullptr, size) != 0) return -1;
  queue_size = size;
  return 0;
}

int CAPI::set_foreground(int on) {
  uint64_t now = clock_now_us();
  bool was = foreground;
  foreground = on != 0;
  if (foreground && (!last_foreground_call_us || now - last_foreground_call_us > 3000000)) {
    last_foreground_us = now;
    fast_retry = 5;
    wake_if_running();
  } else if (!foreground && was && now - last_attempt_us > 15000000) {
    wake_if_running();
  }
  last_foreground_call_us = now;
  if (settings.dirty) save_settings();
  return 0;
}

// A queued record that can never fit a bundle leaves the queue as a failure.
void CAPI::report_unsendable(const MessageParams &queued, const char *address) {
  MessageParams r = queued;
  r.status = STATUS_UNSENDABLE;
  r.nonuser = 1;
  INotify *l = listener_for(r.channel);
  if (l) l->on_message_status(&r, address ? address : "", 1);
}

// Reads the entry at `at`: its parts and its total size.
struct QueueEntry {
  MessageParams p;
  const char *address;
  const uint8_t *envelope;
  uint32_t envelope_len;
  const uint8_t *payload;
  uint32_t payload_len;
  uint32_t size;
};

static void read_entry(const uint8_t *at, QueueEntry *e) {
  uint32_t len;
  uint16_t env;
  memcpy(&len, at, 4);
  memcpy(&env, at + 4, 2);
  uint32_t address_len = at[6], pad = at[7];
  memcpy(&e->p, at + QUEUE_ENTRY_HEADER, sizeof e->p);
  const uint8_t *q = at + QUEUE_ENTRY_HEADER + sizeof e->p;
  e->address = address_len ? (const char *)q : nullptr;
  q += address_len;
  e->envelope = env ? q : nullptr;
  e->envelope_len = env;
  q += env;
  e->payload = q;
  e->payload_len = len;
  e->size = QUEUE_ENTRY_HEADER + (uint32_t)sizeof e->p + address_len + env + len + pad;
}

// Builds the next bundle from the queue (or takes the one awaiting
// acknowledgement) and sends it. Returns 0, or SEND_FULL when a record
// could not be encoded; *sent tells whether a frame left.
int CAPI::build_bundle(bool *sent) {
  *sent = false;
  std::vector<QueueEntry> unsendable;
  std::vector<std::string> unsendable_addresses;
  int result = 0;
  {
    MutexGuard guard(&queue_lock);
    if (!bundle_len && queue.used() < 8) return 0;
    pending_acks |= PENDING_BUNDLE;
    if (fast_retry == 0) fast_retry = 5;
    if (!bundle_len) {
      uint32_t contiguous, total;
      queue.read_region(&contiguous, &total);
      if (contiguous < total) queue.flatten();
      uint8_t *data = queue.read_region(&contiguous, &total);
      TlvBuffer t;
      tlv_init(&t, bundle + FRAME_HEADER_SIZE, BUNDLE_MAX_BODY);
      // Every bundle carries a sequence of its own (a resend reuses it).
      if (++bundle_seq == 0) bundle_seq = 1;
      bundle_pending_seq = bundle_seq;
      bundle_begin(&t, bundle_pending_seq);
      uint32_t records = 0, offset = 0;
      while (total - offset >= 9 && records < records_per_bundle) {
        QueueEntry e;
        read_entry(data + offset, &e);
        if (records > 0 && t.pos + e.payload_len + BUNDLE_RECORD_SLACK > BUNDLE_MAX_BODY) break;
        MessageParams p = e.p;
        RecordExtras x;
        memset(&x, 0, sizeof x);
        if (!p.groupid && !p.uid && e.address) {
          PeerEntry *peer = get_peer(e.address, false);
          if (peer && peer->uid && clock_now_s() - peer->lookup_s <= PEER_UID_FRESH_S) p.uid = peer->uid;
        }
        if (!p.groupid && !p.uid && e.address) {
          x.address = e.address;
          x.address_len = (uint32_t)strlen(e.address);
        }
        if (p.groupid) {
          GroupEntry *g = get_group(p.groupid, false);
          if (g) x.group_param = g->param;
        }
        x.payload = e.payload;
        x.payload_len = e.payload_len;
        p.envelope = e.envelope;
        p.envelope_len = e.envelope_len;
        uint32_t before = t.pos;
        if (record_encode(&t, p, x) != 0) {
          t.pos = before;
          if (records > 0) break;
          // Alone in an empty bundle and still too big: it never fits.
          unsendable.push_back(e);
          unsendable_addresses.push_back(e.address ? e.address : "");
          offset += e.size;
          continue;
        }
        offset += e.size;
        records++;
      }
      queue.consume(offset);
      if (records == 0) {
        pending_acks &= (uint8_t)~PENDING_BUNDLE;
        bundle_len = 0;
        result = unsendable.empty() ? 0 : 0;
      } else {
        FrameHeader h = {FRAME_BUNDLE, (uint8_t)records, t.pos, 0};
        frame_encode(bundle, h);
        bundle_len = FRAME_HEADER_SIZE + t.pos;
      }
    }
    if (bundle_len) {
      // A resend keeps its body and sequence; only the acknowledgement owed
      // now goes into the header.
      uint32_t owed = ack_owed;
      ack_owed = 0;
      for (int i = 0; i < 4; i++) bundle[4 + i] = (uint8_t)(owed >> (8 * i));
      if (conn_send(bundle, bundle_len) < 0) {
        close_socket();
        pending_acks = 0;
      } else {
        last_send_us = clock_now_us();
        frame_sent();
        *sent = true;
      }
    }
  }
  for (size_t i = 0; i < unsendable.size(); i++)
    report_unsendable(unsendable[i].p, unsendable_addresses[i].c_str());
  return result;
}

void CAPI::bundle_acknowledged() {
  uint8_t *copy = nullptr;
  uint32_t len = 0;
  {
    MutexGuard guard(&queue_lock);
    if (!bundle_len) return;
    len = bundle_len - FRAME_HEADER_SIZE;
    copy = (uint8_t *)malloc(len ? len : 1);
    if (copy) memcpy(copy, bundle + FRAME_HEADER_SIZE, len);
    bundle_len = 0;
    pending_acks &= (uint8_t)~PENDING_BUNDLE;
  }
  // Listeners run without the queue lock: they may send from the callback.
  batch_begin();
  if (copy) message_decode(0, copy, len, true);
  batch_end();
  free(copy);
  report_status(STATUS_SENT, 0);
}

// ---- incoming messages --------------------------------------------------------------

enum : uint32_t {
  CHECK_ONE_TO_ONE = 0x1,
  CHECK_GROUP = 0x2,
  E2E_CONTROL_TYPE = 528,
};

static bool is_own(const CAPI *e, uint32_t who) {
  return who && (who == e->uid || who == e->settings.primary_uid);
}

int CAPI::message_decrypt(MessageParams *p, const char *address, const uint8_t **payload, uint32_t *len) {
  // Without end-to-end protection the payload passes as it is.
  (void)p, (void)address, (void)payload, (void)len;
  return 0;
}

void CAPI::on_data_frame(const uint8_t *body, uint32_t len) {
  batch_begin();
  if (message_decode(OP_DATA, body, len, false) != 0) LOGE("zalvio - dropped the rest of a bundle");
  batch_end();
}

int CAPI::message_decode(uint8_t op, const uint8_t *body, uint32_t len, bool sent_mode) {
  (void)op;
  TlvBuffer t;
  tlv_init(&t, body, len);
  bool stored = false;
  uint32_t storedmark = 0;
  for (;;) {
    MessageParams p;
    RecordExtras x;
    int r = record_decode(&t, &p, &x, sent_mode);
    if (r == 1) return 0;
    if (r < 0) return -1;
    uint64_t now = wall_ms();
    uint64_t age_ms = x.age * 1000;
    p.when = age_ms <= now ? now - age_ms : UINT64_MAX;
    if (p.when > now + MAX_CLOCK_AHEAD_MS) {
      LOGE("*** BUG *** `when` has bad value in incoming (check timestamp): %lu", (unsigned long)p.when);
      p.when = now;
    }
    char address[QUEUE_ADDRESS_MAX + 2] = {};
    if (x.address) snprintf(address, sizeof address, "%.*s", (int)x.address_len, x.address);

    if (sent_mode) {
      p.status = MSG_STATUS_SENT;
      p.id &= 0xFFFFFFFFull;
      if (p.groupid) {
        address[0] = 0;
      } else if (p.uid) {
        PeerEntry *peer = get_peer_by_uid(p.uid);
        if (peer) snprintf(address, sizeof address, "%s", peer->address);
      }
      p.nonuser = 0;
      p.system = (p.flags & MSG_FLAG_SYSTEM) ? 1 : 0;
      INotify *l = listener_for(p.channel);
      if (p.system && (p.type == 10 || p.type == 11)) continue;  // push registrations
      if (l) l->on_message_status(&p, address, x.last ? 1 : 0);
      if (x.last) return 0;
      continue;
    }

    if (p.uid) {
      if (p.uid != current_uid) {
        stored = false;
        storedmark = 0;
      }
      current_uid = p.uid;
    }
    if ((p.flags & MSG_FLAG_STORED) || p.storedmark) stored = true;
    if (p.storedmark) storedmark = p.storedmark;
    if (stored) {
      p.flags |= MSG_FLAG_STORED;
      if (!p.storedmark) p.storedmark = storedmark;
    }

    PeerEntry *peer = nullptr;
    if (address[0] && p.uid) {
      peer = bind_peer(p.uid, address);
    } else if (p.uid) {
      peer = get_peer_by_uid(p.uid);
      if (!peer) {
        LOGE("*** BUG *** missing address for uid: %u", p.uid);
        debug_global("missing address for uid: %u", p.uid);
        return -1;
      }
    } else if (address[0]) {
      peer = get_peer(address, true);
    } else {
      peer = current_peer;
      if (!peer) {
        LOGE("*** BUG *** missing address and uid");
        debug_global("missing address and uid");
        return -1;
      }
    }
    current_peer = peer;
    if (peer) snprintf(address, sizeof address, "%s", peer->address);
    if (peer && p.peerversion) peer->peerversion = p.peerversion;

    p.system = (p.flags & MSG_FLAG_SYSTEM) ? 1 : 0;
    p.nonuser = ((p.flags & MSG_FLAG_NONUSER) || (x.is_status && p.status != MSG_STATUS_DELIVERED &&
                                                  p.status != MSG_STATUS_READ) || p.syncid)
                    ? 1
                    : 0;
    p.usermsg = !p.system && !p.nonuser;
    p.realtime = p.usermsg && !stored;

    if (x.is_status && !p.syncid) {
      if (peer && !p.system && p.channel == CHANNEL_MESSAGE && p.status == MSG_STATUS_READ)
        peer->last_read_ms = p.when;
      if (!p.uid) p.uid = current_uid;
      p.peer = peer;
      if (p.system) {
        if (p.type == 10 || p.type == 11) confirm_push_token(p);
      } else {
        INotify *l = listener_for(p.channel);
        if (l) l->on_message_status(&p, address, x.last ? 1 : 0);
      }
      if (x.last) return 0;
      continue;
    }

    if (!x.payload_len || (p.flags & MSG_FLAG_NOT_DELIVERED)) {
      if (x.last) return 0;
      continue;
    }
    if (!p.uid) p.uid = current_uid;
    bool keep_id = p.syncid && p.status != MSG_STATUS_UNREAD && p.status != MSG_STATUS_RECEIVED_READ;
    if (p.id >= 1 && p.id <= 0xFFFFFFFFull && !keep_id) p.id = (uint64_t)current_uid << 32 | p.id;
    p.peer = peer;

    if (!p.system && peer && p.profileversion) {
      uint32_t kind = p.groupid ? CHECK_GROUP : CHECK_ONE_TO_ONE;
      if ((profile_check & kind) && p.profileversion > peer->profileversion) {
        INotify *dl = default_listener();
        uint32_t old = peer->profileversion;
        peer->profileversion = p.profileversion;
        if (dl) dl->on_profile_version(peer->uid, peer->address, p.groupid, p.profileversion, old);
      }
    }
    bool live = !p.system && !stored && !p.nonuser && !p.syncid;
    if (live && peer &&
        (p.channel == CHANNEL_MESSAGE || p.channel == CHANNEL_CALL || p.channel == CHANNEL_TRANSIENT ||
         p.channel == CHANNEL_GROUPCALL)) {
      peer->prev_activity_ms = peer->last_activity_ms;
      peer->last_activity_ms = p.when;
    }
    if (p.refid && p.channel == CHANNEL_MESSAGE && !p.system) {
      if (p.refid > 0xFFFFFFFFull) {
        if (is_own(this, (uint32_t)(p.refid >> 32))) p.refid &= 0xFFFFFFFFull;
      } else {
        p.refid = (uint64_t)current_uid << 32 | p.refid;
      }
    }
    const uint8_t *payload = x.payload;
    uint32_t payload_len = x.payload_len;
    message_decrypt(&p, address, &payload, &payload_len);
    if (payload_len) {
      INotify *l = listener_for(p.channel);
      if (p.system && p.type == E2E_CONTROL_TYPE) {
        // End-to-end control records are the end-to-end module's.
      } else if (l) {
        l->on_message(&p, address, payload, payload_len);
      }
    }
    if (x.last) return 0;
  }
}

void CAPI::load_peer_state(PeerEntry *peer) { (void)peer; }

// ---- debug report ---------------------------------------------------------------

void CAPI::debug_global(const char *format, ...) {
  char text[DEBUG_MAX_TEXT + 1];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > (int)DEBUG_MAX_TEXT) n = DEBUG_MAX_TEXT;
  if (!debug_report) debug_report = (uint8_t *)calloc(1, 256);
  if (!debug_report) return;
  FrameHeader h = {FRAME_DEBUG, 0, (uint32_t)n, 0};
  frame_encode(debug_report, h);
  memcpy(debug_report + FRAME_HEADER_SIZE, text, (size_t)n);
  LOGE("*** BUG *** debug_global: %s", text);
  if (!(pending_acks & PENDING_DEBUG)) wake_if_running();
}

// ---- engine operations of the core -------------------------------------------------

int CAPI::login_flag_query() { return (int)(settings.login_flags & LOGIN_FLAG_QUERY); }
uint32_t CAPI::get_app_value() { return app_value; }
int CAPI::set_foreground_state(int on) { return set_foreground(on); }

int CAPI::set_port_setting(int setting) {
  net.port_setting = setting;
  port_count = 0;  // rebuilt at the next connect
  net.previous_host[0] = 0;
  return 0;
}

int CAPI::set_app_value(uint32_t value) {
  app_value = value;
  return 0;
}

int CAPI::set_engine_flags(uint32_t flags) {
  engine_flags = flags;
  return 0;
}

int CAPI::set_client_kind(uint32_t kind, const char *text) {
  client_kind = kind;
  client_text = text ? allocpool_strdup(pool, text) : nullptr;
  return 0;
}

int CAPI::set_paths(const char *root, const char *temp) { return paths_set(&paths, root, temp); }

int CAPI::set_upload_url(const char *url, const char *auth) {
  if (!url || (strncmp(url, "http://", 7) != 0 && strncmp(url, "https://", 8) != 0)) return -1;
  upload_url = allocpool_strdup(pool, url);
  upload_auth = auth ? allocpool_strdup(pool, auth) : nullptr;
  return 0;
}

int CAPI::set_presence_mode(int mode) {
  presence_mode = (uint32_t)mode;
  return 0;
}

int CAPI::set_device_type(int type) {
  device_type = (uint32_t)type;
  if (type == 3 || type == 5 || type == 7 || type == 8)
    device_class = 1;
  else
    device_class = type >= 33 ? 2 : 0;
  return 0;
}

int CAPI::set_device_class(int value) {
  device_class = (uint32_t)value;
  return 0;
}

int CAPI::temp_file_name(const char *prefix, const char *ext, char *out, int cap) {
  if (!out || cap <= 0) return -1;
  return paths_temp_file(&paths, nullptr, prefix, ext, out, (size_t)cap);
}

const char *CAPI::get_base_path() { return paths_root(&paths); }
const char *CAPI::get_database_path() { return paths_databases(&paths); }
const char *CAPI::get_tn_path() { return paths_tn(&paths); }
const char *CAPI::get_profiles_path() { return paths_profiles(&paths); }

const char *CAPI::get_media_folder(int type, int dated, int sent) {
  return paths_media_folder(&paths, type, dated != 0, sent != 0);
}

const char *CAPI::get_image_path(int sent) { return get_media_folder(MEDIA_IMAGE, 1, sent); }
const char *CAPI::get_video_path(int sent) { return get_media_folder(MEDIA_VIDEO, 1, sent); }
const char *CAPI::get_audio_path(int sent) { return get_media_folder(MEDIA_AUDIO, 1, sent); }
const char *CAPI::get_file_path(int sent) { return get_media_folder(MEDIA_FILE, 1, sent); }

int CAPI::set_profile_check(uint32_t mask) {
  profile_check = mask;
  return 0;
}

uint32_t CAPI::get_profile_check() { return profile_check; }
uint32_t CAPI::get_tuning_value() { return tuning_value; }
uint32_t CAPI::random_id() { return random_next(); }
uint64_t CAPI::now_ms() { return wall_ms(); }

int CAPI::profile_picture_path(const char *address, uint32_t gid, int self, char *out, int cap) {
  if (!out || cap <= 0) return -1;
  return paths_profile_picture(&paths, address, -1, gid, self != 0, false, false, out, (size_t)cap);
}

int CAPI::profile_thumbnail_path(const char *address, uint32_t gid, int self, int large, char *out,
                                 int cap) {
  if (!out || cap <= 0) return -1;
  return paths_profile_picture(&paths, address, -1, gid, self != 0, true, large != 0, out,
                               (size_t)cap);
}

int CAPI::delete_profile_pictures(const char *address, uint32_t gid, int self) {
  return paths_delete_profile_pictures(&paths, address, gid, self != 0);
}

uint32_t CAPI::last_login_time() { return settings.last_login_s; }
uint32_t CAPI::get_primary_uid() { return settings.primary_uid; }
uint32_t CAPI::get_installation_id() { return settings.installation_id; }
uint32_t CAPI::get_identity3() { return identity3 ? identity3 : uid; }
const char *CAPI::get_address() { return login.own_address; }

const char *CAPI::get_app_name() {
  MutexGuard guard(&settings_lock);
  if (settings.app_name_server.len <= 1) return "zalvio";
  snprintf(server_app_name, sizeof server_app_name, "%.*s", (int)settings.app_name_server.len,
           (const char *)settings.app_name_server.data);
  return server_app_name;
}

uint32_t CAPI::get_server_uid() { return settings.server_uid < 0 ? 0 : (uint32_t)settings.server_uid; }

int CAPI::is_own_uid(uint32_t who) { return is_own(this, who) ? 1 : 0; }

uint64_t CAPI::local_id(uint64_t id) {
  if (id <= 0xFFFFFFFFull) return id;
  return is_own(this, (uint32_t)(id >> 32)) ? id & 0xFFFFFFFFull : 0;
}

uint32_t CAPI::get_effective_uid() { return settings.primary_uid ? settings.primary_uid : uid; }

const char *CAPI::get_effective_address() {
  if (!settings.primary_uid) return login.own_address;
  MutexGuard guard(&settings_lock);
  snprintf(primary_address_text, sizeof primary_address_text, "%.*s",
           (int)settings.primary_address.len, (const char *)settings.primary_address.data);
  return primary_address_text;
}

int CAPI::is_sfu_mode() { return (settings.login_flags & LOGIN_FLAG_SFU) ? 1 : 0; }
uint32_t CAPI::get_server_value() { return login.server_value; }

int CAPI::set_config(uint32_t code, uint32_t value) {
  // Only the call settings are configured this way; other codes are ignored.
  if (code == 256 || code == 257 || (code >= 272 && code <= 276)) config_values[code & 0x1F] = value;
  return 0;
}

int CAPI::tlv_find_item(const uint8_t *buf, uint32_t len, uint32_t type, const uint8_t **value) {
  return ::tlv_find_item(buf, len, type, value);
}

uint64_t CAPI::server_time_us() {
  uint64_t now = wall_ms() * 1000;
  if (!settings.server_time || !login.local_time_ref_us) return now;
  return now + settings.server_time - login.local_time_ref_us;
}

uint32_t CAPI::server_time_s() { return (uint32_t)(server_time_us() / 1000000); }

// Names and phone numbers get their rules with the utilities for them;
// until then these fail the way a failure looks: an empty output.
int CAPI::name_short(const char *, char *out, int cap) {
  if (out && cap > 0) out[0] = 0;
  return -1;
}

int CAPI::format_phone(const char *, uint32_t, uint32_t, char *out, int cap) {
  if (out && cap > 0) out[0] = 0;
  return -1;
}

int CAPI::map_image_url(int zoom, const char *key, char *out, int cap, double latitude,
                        double longitude) {
  if (!out || cap <= 0) return -1;
  int n;
  if (key && *key) {
    n = snprintf(out, (size_t)cap,
                 "%s/maps/api/staticmap?zoom=%d&size=800x600&maptype=roadmap&markers=color:red%%7Clabel:C%%7C%f,%f&key=%s",
                 host_get(HOST_STATIC_MAP), zoom, latitude, longitude, key);
  } else {
    double scale = ldexp(1.0, zoom);
    double phi = latitude * M_PI / 180.0;
    uint32_t x = (uint32_t)(scale * (longitude + 180.0) / 360.0);
    uint32_t y = (uint32_t)(scale * (1.0 - log(tan(phi) + 1.0 / cos(phi)) / M_PI) / 2.0);
    n = snprintf(out, (size_t)cap, "%s/%d/%u/%u.png", host_get(HOST_MAP_TILES), zoom, x, y);
  }
  if (n < 0 || n >= cap) {
    out[0] = 0;
    return -1;
  }
  return n;
}

int CAPI::extract_digits(const char *text, int normalise, char *out) {
  (void)normalise;  // number normalisation arrives with the phone-number rules
  int n = 0;
  if (!out) return 0;
  for (const char *c = text; c && *c && n < 16; c++)
    if (*c >= '0' && *c <= '9') out[n++] = *c;
  out[n] = 0;
  return n;
}

int CAPI::make_directories(const char *path, uint32_t mode, int parents_only) {
  return make_dirs(path, (mode_t)mode, parents_only != 0);
}

int CAPI::copy_file(const char *from, const char *to) { return file_copy(from, to); }
int64_t CAPI::file_size(const char *path) { return ::file_size(path); }

int CAPI::write_file(const char *path, const void *data, uint32_t len) {
  return file_write(path, data, len, PATHS_FILE_MODE);
}

int CAPI::read_file(const char *path, uint8_t **data, uint32_t *len) {
  size_t n = 0;
  int r = file_read(path, data, &n);
  if (len) *len = (uint32_t)n;
  return r;
}

int CAPI::remove_file_below(const char *dir, const char *path) { return file_remove_below(dir, path); }
