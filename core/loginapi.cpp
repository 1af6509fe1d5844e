// Login rounds: connect, send the login frame, answer a challenge, follow
// redirects, read the session parameters, and the server control check
// that runs on every received frame.
#include "core/loginapi.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/api.h"
#include "util/logs.h"
#include "util/mutex.h"
#include "util/random.h"
#include "util/time.h"

enum : uint64_t {
  RETRY_REFUSED_MIN_US = 10000000,
  RETRY_REFUSED_MAX_US = 60000000,
  RETRY_SLOW_BASE_US = 3000000,
  RETRY_SLOW_SPREAD_US = 20000000,
  RETRY_STEP_US = 1000000,
  RESPONSE_TIMEOUT_MIN_US = 10000000,
  RESPONSE_TIMEOUT_MAX_US = 30000000,
  BUILD_AGE_MAX_WEEKS = 255,
  WEEK_S = 7 * 86400,
  ONPREMISE_SETTLE_S = 900,
  ONPREMISE_SHORT_S = 300,
  ONPREMISE_OLD_S = 299,
  ONPREMISE_WAIT_S = 60,
  CONTROL_RANDOM_MIN_S = 30,
  CONTROL_RANDOM_MAX_S = 180,
};

// Login request items.
enum : uint32_t {
  LI_SERIAL = 3,
  LI_INSTALLATION = 4,
  LI_ACK_OWED = 5,
  LI_ZERO = 6,
  LI_NETWORK = 7,
  LI_PLATFORM = 8,
  LI_FLAGS = 10,
  LI_PROOF = 11,
  LI_TLS = 12,
  LI_PRIMARY = 13,
  LI_PROTOCOL = 14,
  LI_API = 15,
  LI_REDIRECT_BLOB = 16,
  LI_APP_ID = 17,
  LI_LAST_SESSION = 18,
  LI_SERVER_TIME = 19,
  LI_CPU_COUNT = 20,
  LI_CPU_DESCRIPTOR = 21,
  LI_CPU_FLAGS = 22,
  LI_CLIENT_KIND = 23,
  LI_TIME = 24,
  LI_DEVICE = 25,
  LI_OS = 26,
  LI_BUILD = 29,
  LI_CHECK = 30,
  LI_PREV_UID = 33,
  LI_PREV_APP = 34,
  LI_PREV_INSTALLATION = 35,
  LI_ECHO36 = 36,
  LI_VALUE37 = 37,
  LI_VALUE38 = 38,
  LI_FAILURES = 42,
  LI_SINCE_REDIRECT = 43,
  LI_ECHO50 = 50,
  LI_ECHO51 = 51,
  LI_ECHO52 = 52,
  LI_REDIRECT_VALUE = 60,
  LI_CLIENT_TEXT = 65,
};

// Login response items.
enum : uint32_t {
  LR_SERVER_VALUE = 3,
  LR_PING = 5,
  LR_BATCH = 6,
  LR_RECORDS = 7,
  LR_FLAGS = 8,
  LR_SERVER_TIME = 9,
  LR_TICKET = 10,
  LR_DETAIL = 11,
  LR_EXPIRY = 13,
  LR_LAST_SEQ = 15,
  LR_CALL_RESTRICTIONS = 17,
  LR_ADDRESS = 18,
  LR_SERVER_UID = 19,
  LR_KEEPALIVE_IDLE = 20,
  LR_KEEPALIVE_INTERVAL = 21,
  LR_KEEPALIVE_COUNT = 22,
  LR_ACK_DELAY = 23,
  LR_ICE_URL = 24,
  LR_ICE_TEXT = 25,
  LR_TURN_HOST = 26,
  LR_APP_NAME = 28,
  LR_TUNING = 29,
  LR_VALUE30 = 30,
  LR_TURN_OPTIONS = 31,
  LR_APP_TEXT = 36,
  LR_NOTICE_VALUE = 39,
  LR_PRIMARY_UID = 40,
  LR_PRIMARY_ADDRESS = 41,
  LR_VALUE45 = 45,
  LR_MAX_CALL = 46,
  LR_NOTICE = 50,
  LR_NOTICE2 = 51,
  LR_NOTICE3 = 52,
};

// Challenge and redirect items.
enum : uint32_t {
  CH_OPTIONS = 8,
  CH_BYTES = 10,
  RD_VALIDITY = 3,
  RD_BLOB = 4,
  RD_SLEEP = 5,
  RD_TICKET = 6,
  RD_HOST = 7,
  RD_MAX_ATTEMPTS = 9,
  RD_MODE = 10,
  RD_PORT = 11,
  RD_PENALTY = 12,
  RD_VALUE = 13,
  RD_IPV4 = 14,
};

// Identity and session flags of the login request.
enum : uint32_t {
  LF_ACTIVE = 0x1,
  LF_NO_ADDRESS = 0x8,
  LF_ENGINE = 0x4,
  LF_LOCAL_STORE = 0x400,
  LF_FIRST_ON_SERVER = 0x800,
  LF_ONPREMISE = 0x1000,
  LF_E2E = 0x2000,
  LF_FRESH_SETTINGS = 0x80000,
  LF_SESSION = 0x50000,
  LF_REDIRECTED = 0x100,
  CONTROL_FLAG_RESET_DB = 0x4,
  CONTROL_FLAG_CLEAR_REDIRECT = 0x40,
  CONTROL_FLAG_LONG_HOLD = 0x800,
};

// ---- pure rules -------------------------------------------------------------

int64_t transport_retry_delay_us(uint32_t server_failures, uint32_t persisted_failures, bool refused,
                                 uint64_t since_last_frame_us) {
  if (refused) return (int64_t)random_delay(RETRY_REFUSED_MIN_US, RETRY_REFUSED_MAX_US);
  if (server_failures <= 2 && persisted_failures <= 15)
    return (int64_t)((server_failures + 1) * RETRY_STEP_US);
  uint64_t spread = since_last_frame_us < RETRY_SLOW_SPREAD_US ? RETRY_SLOW_SPREAD_US - since_last_frame_us : 0;
  return (int64_t)random_delay(RETRY_SLOW_BASE_US, RETRY_SLOW_BASE_US + spread);
}

uint64_t login_response_timeout_us(uint64_t elapsed_us, int requests) {
  uint64_t t = 5 * elapsed_us;
  if (requests == 1) t *= 2;
  if (t < RESPONSE_TIMEOUT_MIN_US) t = RESPONSE_TIMEOUT_MIN_US;
  if (t > RESPONSE_TIMEOUT_MAX_US) t = RESPONSE_TIMEOUT_MAX_US;
  return t;
}

uint64_t control_hold_seconds(uint32_t param) {
  uint32_t flags = (param >> 16) & 0xFFF;
  uint64_t h = param & 0xFFFF;
  if (flags & CONTROL_FLAG_LONG_HOLD) h *= h == 0xFFFF ? 4096 : 64;
  return h;
}

// ---- the login frame ------------------------------------------------------------

int CAPI::compute_proof(uint32_t time_value, const uint8_t *bytes, uint32_t len,
                        uint8_t out[LOGIN_PROOF_SIZE]) {
  if (!net.ssl) net.ssl = SslFactory::create_client();
  if (!net.ssl) return -1;
  uint8_t uid_le[4], time_le[4];
  for (int i = 0; i < 4; i++) {
    uid_le[i] = (uint8_t)(uid >> (8 * i));
    time_le[i] = (uint8_t)(time_value >> (8 * i));
  }
  DigestPart parts[5] = {{uid_le, 4}, {time_le, 4}, {token_key, 16}, {bytes, len}, {nullptr, 0}};
  int count = 4;
  // Option bit 0: the token was issued without an application name.
  if (app_name && *app_name && !(options & 1)) parts[count++] = {app_name, strlen(app_name)};
  return net.ssl->digest(parts, count, out);
}

bool CAPI::redirect_active(uint64_t now_s) const {
  const RedirectRecord &r = login.redirect;
  if (!r.host[0] || settings.redirect_expiry_s <= now_s) return false;
  return r.max_attempts == 0 || settings.redirect_attempts < r.max_attempts;
}

static bool onpremise_mode(const CAPI *e) { return !e->net.cloud_mode; }

// Writes the identity items of a first request.
static void put_identity_items(CAPI *e, TlvBuffer *t) {
  EngineSettings &s = e->settings;
  t->put_u64(LI_SERIAL, e->serial);
  uint8_t zero = 0;
  t->put(LI_ZERO, 1, &zero, false);
  t->put_u32(LI_APP_ID, e->app_id);
  t->put(LI_PLATFORM, 1, &e->platform, false);
  t->put_u32(LI_BUILD, BUILD_TIMESTAMP);
  t->put_u32(LI_PROTOCOL, e->protocol_version);
  t->put_u32(LI_API, e->api_version);
  t->put_u32(LI_OS, e->os_version);
  uint64_t st = s.server_time;
  t->put_u64(LI_SERVER_TIME, st > 0xFFFFFFFFull ? st / 1000000 : st);
  if (s.failures) t->put_u16(LI_FAILURES, s.failures);
  uint64_t now_s = clock_now_s();
  if (!onpremise_mode(e) && s.redirect_received_s && s.redirect_received_s > s.last_login_s)
    t->put_u32(LI_SINCE_REDIRECT, (uint32_t)(now_s - s.redirect_received_s));
  if (s.last_login_s && s.last_login_s < s.last_frame_s)
    t->put_u32(LI_LAST_SESSION, s.last_frame_s - s.last_login_s);
  t->put_u64(LI_CHECK, e->serial + BUILD_TIMESTAMP + e->app_id + e->platform);
  if (onpremise_mode(e) && e->login.redirect.mode == 10 && e->login.redirect.value13 &&
      e->login.redirect.blob_len)
    t->put_u32(LI_REDIRECT_VALUE, e->login.redirect.value13);
  uint32_t flags = 0;
  if (e->local_store()) flags |= LF_LOCAL_STORE;
  if (e->foreground || e->presence_mode == 1) flags |= LF_ACTIVE;
  if (onpremise_mode(e)) flags |= LF_ONPREMISE;
  if (s.fresh || s.other_version) flags |= LF_FRESH_SETTINGS;
  t->put_u32(LI_FLAGS, flags);
  if (e->tls_on) t->put_empty(LI_TLS);
  if (e->previous.app_id && e->previous.app_id != e->app_id) t->put_u32(LI_PREV_APP, e->previous.app_id);
  if (e->previous.uid && e->previous.uid != e->uid) t->put_u32(LI_PREV_UID, e->previous.uid);
  if (s.primary_uid) t->put_u32(LI_PRIMARY, s.primary_uid);
}

// Writes the proof items.
static void put_proof_items(CAPI *e, TlvBuffer *t, const uint8_t *proof, int redirects, int counter) {
  EngineSettings &s = e->settings;
  if (counter > 0) t->put(LI_PLATFORM, 1, &e->platform, false);
  t->put_u32(LI_TIME, e->login.time_value);
  t->put(LI_PROOF, LOGIN_PROOF_SIZE, proof, false);
  t->put_u32(LI_INSTALLATION, s.installation_id);
  t->put(LI_NETWORK, 1, &e->network_type, false);
  if (e->previous.installation_id && e->previous.installation_id != s.installation_id)
    t->put_u32(LI_PREV_INSTALLATION, e->previous.installation_id);
  if (e->ack_owed) t->put_u32(LI_ACK_OWED, e->ack_owed);
  uint32_t flags = LF_SESSION;
  if (redirects > 0) flags |= LF_REDIRECTED;
  if (onpremise_mode(e)) flags |= LF_ONPREMISE;
  if (s.fresh || s.other_version) flags |= LF_FRESH_SETTINGS;
  if (e->login.first_on_server) {
    flags |= LF_FIRST_ON_SERVER;
    if (!e->login.own_address[0]) flags |= LF_NO_ADDRESS;
  }
  if (e->engine_flags & LF_ENGINE) flags |= LF_ENGINE;
  if (e->local_store()) flags |= LF_LOCAL_STORE;
  if (e->foreground || e->presence_mode == 1) flags |= LF_ACTIVE;
  if (flags & LF_FIRST_ON_SERVER) {
    if (s.value34) t->put_u64(LI_VALUE37, s.value34);
    uint32_t v38 = e->get_login_value();
    if (v38) t->put_u32(LI_VALUE38, v38);
  }
  if (e->device_type) t->put_u32(LI_DEVICE, e->device_type);
  t->put_u32(LI_FLAGS, flags);
  t->put_u32(LI_CPU_COUNT, (uint32_t)e->cpu_count);
  t->put_u64(LI_CPU_DESCRIPTOR, e->cpu_descriptor);
  t->put_u32(LI_CPU_FLAGS, (uint32_t)e->cpu_flags);
  if (s.value38) t->put_u32(LI_ECHO36, s.value38);
  if (s.echo50) t->put_u32(LI_ECHO50, s.echo50);
  if (s.echo51) t->put_u32(LI_ECHO51, s.echo51);
  if (s.echo52) t->put_u32(LI_ECHO52, s.echo52);
  if (e->client_kind) {
    t->put_u32(LI_CLIENT_KIND, e->client_kind);
    if (e->client_kind == 10) t->put_text(LI_CLIENT_TEXT, e->client_text ? e->client_text : "");
  }
  if ((e->login.challenge_options & 1) && e->login.redirect.blob_len)
    t->put(LI_REDIRECT_BLOB, e->login.redirect.blob_len, e->login.redirect.blob, false);
}

int CAPI::send_loginrequest(uint32_t param, const uint8_t *proof, int redirects, int counter) {
  uint8_t frame[LOGIN_FRAME_CAPACITY];
  TlvBuffer t;
  tlv_init(&t, frame + FRAME_HEADER_SIZE, LOGIN_MAX_BODY);
  if (counter == 0) put_identity_items(this, &t);
  if (proof) put_proof_items(this, &t, proof, redirects, counter);
  FrameHeader h = {FRAME_LOGIN, 1, t.pos, param};
  frame_encode(frame, h);

  if (stop_reason.load() != STOP_NONE) return LOGIN_TRANSPORT_FAILED;
  if (holdoff_active(clock_now_us())) return LOGIN_HOLDOFF;
  if (conn_send(frame, FRAME_HEADER_SIZE + t.pos) < 0) {
    close_socket();
    return LOGIN_TRANSPORT_FAILED;
  }
  login.requests++;
  frame_sent();

  int r;
  do {
    r = read_frame((int64_t)response_timeout_us);
    if (stop_reason.load() != STOP_NONE) return LOGIN_TRANSPORT_FAILED;
  } while (r == 0 && sock.load() >= 0 && clock_now_us() - login.start_us < 4 * response_timeout_us);
  if (r <= 0) return LOGIN_TRANSPORT_FAILED;

  uint8_t op = last_header.op;
  if (proof && op == 0) ack_owed = 0;
  if (op == LOGIN_ONPREMISE_DOWN) {
    report_status(STATUS_ONPREMISE_DOWN, 0);
    settings.redirect_attempts++;
    LOGE("zalvio - onpremise server is not running: attempts %u", settings.redirect_attempts);
    return LOGIN_TRANSPORT_FAILED;
  }
  if (op == LOGIN_REDIRECT) {
    MutexGuard guard(&settings_lock);
    settings.redirect_attempts = 0;
    settings.tls_session.clear();
    if (onpremise_mode(this) && login.redirect.mode == 10) settings.redirect_expiry_s = 0;
  }
  if (op == LOGIN_REDIRECT) {
    pending_ticket.clear();
    read_redirect(recv_buf, last_header.length, last_header.param, true);
    store_redirect_ticket();
    save_settings();
  }
  return op;
}

int CAPI::login_protocol(int redirects) {
  login.start_us = clock_now_us();
  login.requests = 0;
  login.time_value = (uint32_t)(wall_ms() / 1000);
  if (!login.ticket_loaded) {
    int n = ticket_load(settings_context(), net.previous_host, login.ticket);
    login.ticket_len = n > 0 ? (uint32_t)n : 0;
    login.ticket_loaded = n > 0;
  }
  uint8_t proof[LOGIN_PROOF_SIZE];
  const uint8_t *first_proof = nullptr;
  if (login.ticket_loaded && compute_proof(login.time_value, login.ticket, login.ticket_len, proof) == 0)
    first_proof = proof;

  uint64_t age = (wall_ms() / 1000 - BUILD_TIMESTAMP) / WEEK_S;
  if (age > BUILD_AGE_MAX_WEEKS) {
    LOGE("Too old zalvio build");
    age = BUILD_AGE_MAX_WEEKS;
  }
  login.challenge_options = 0;
  int r = send_loginrequest(LOGIN_MAGIC | (uint32_t)age, first_proof, redirects, 0);
  if (r == LOGIN_CHALLENGE) {
    login.ticket_loaded = false;
    login.ticket_len = 0;
    uint32_t challenge_time = last_header.param;
    read_challenge(recv_buf, last_header.length);
    login.time_value = challenge_time;
    if (compute_proof(challenge_time, challenge, challenge_len, proof) != 0) return LOGIN_TRANSPORT_FAILED;
    r = send_loginrequest(challenge_time, proof, redirects, 1);
  }
  if (r != LOGIN_OK) return r;
  if (stop_reason.load() != STOP_NONE) {
    close_socket();
    return -1;
  }
  read_login_response(recv_buf, last_header.length);
  response_timeout_us = login_response_timeout_us(clock_now_us() - login.start_us, login.requests);
  if (ping_interval_s == 0) ping_interval_s = LOGIN_PING_FALLBACK_S;
  uint64_t first = (uint64_t)ping_interval_s * 1000000;
  if (settings.login_flags & LOGIN_FLAG_LONG_FIRST_PING) first *= 2;
  next_ping_us = clock_now_us() + first;
  if (keepalive_idle_s) socket_keepalive(sock.load(), (int)keepalive_idle_s, (int)keepalive_interval_s,
                                         (int)keepalive_count);
  login.network_type = network_type;
  return LOGIN_OK;
}

void CAPI::read_challenge(const uint8_t *body, uint32_t len) {
  TlvBuffer t;
  tlv_init(&t, body, len);
  uint32_t type, n;
  const uint8_t *v;
  challenge_len = 0;
  while (t.get(&type, &n, &v) == 0) {
    if (type == CH_OPTIONS) login.challenge_options = (uint16_t)tlv_uint(v, n, 2);
    if (type == CH_BYTES) {
      challenge_len = n < sizeof challenge ? n : (uint32_t)sizeof challenge;
      memcpy(challenge, v, challenge_len);
      break;
    }
  }
}

// The session parameters of a successful login.
void CAPI::read_login_response(const uint8_t *body, uint32_t len) {
  TlvBuffer t;
  tlv_init(&t, body, len);
  uint32_t type, n;
  const uint8_t *v;
  bool save;
  {
    MutexGuard guard(&settings_lock);
    save = settings.dirty;
    pending_ticket.clear();
    login.has_last_seq = false;
    login.own_address[0] = 0;
    while (t.get(&type, &n, &v) == 0) save |= read_login_item(type, v, n);
    if (settings.app_time64 && settings.app_time64 + 4999999 >= settings.server_time &&
        settings.app_time64 <= settings.server_time + 4999999)
      settings.app_time64 = 0;
    settings.last_login_s = (uint32_t)clock_now_s();
    settings.last_frame_s = settings.last_login_s;
    if (!linked_device() && settings.primary_uid) {
      settings.primary_uid = 0;
      settings.primary_address.clear();
    }
    settings.holdoff_until_us = 0;
    settings.control_op = 0;
    settings.control_flags = 0;
    settings.refused_serial = 0;
    settings.login_serial = serial;
    settings.dirty = true;
  }
  // Tickets go through the ticket table, which takes the settings lock itself.
  if (pending_ticket.len) {
    ticket_store(settings_context(), net.previous_host, pending_ticket.data, pending_ticket.len,
                 (uint32_t)clock_now_s());
    pending_ticket.clear();
  }
  logged_in.store(true);
  server_failures = 0;
  login.logins++;
  login.first_on_server = false;

  INotify *dl = default_listener();
  if (dl && login.own_address[0]) dl->on_user_info(uid, login.own_address, nullptr);
  if (dl && settings.primary_uid && settings.primary_address.len) {
    char addr[256];
    snprintf(addr, sizeof addr, "%.*s", (int)settings.primary_address.len,
             (const char *)settings.primary_address.data);
    dl->on_user_info(settings.primary_uid, addr, nullptr);
  }
  if (save) save_settings();
}

// One login response item; returns true when the settings must be saved.
bool CAPI::read_login_item(uint32_t type, const uint8_t *v, uint32_t n) {
  uint64_t x = tlv_uint(v, n, 8);
  switch (type) {
    case LR_SERVER_VALUE: login.server_value = (uint32_t)x; break;
    case LR_PING: ping_interval_s = (uint32_t)x; break;
    case LR_BATCH: batch_delay_us = x * 20000; break;
    case LR_RECORDS:
      if (x) records_per_bundle = x > BUNDLE_MAX_RECORDS ? BUNDLE_MAX_RECORDS : (uint32_t)x;
      break;
    case LR_FLAGS: settings.login_flags = (uint32_t)x; break;
    case LR_SERVER_TIME:
      settings.server_time = x;
      login.local_time_ref_us = wall_ms() * 1000;
      break;
    case LR_TICKET: pending_ticket.assign(v, n); break;
    case LR_DETAIL: login_detail = (uint32_t)x; break;
    case LR_EXPIRY:
      if (x) default_expiry_s = (uint32_t)x;
      break;
    case LR_LAST_SEQ:
      login.has_last_seq = true;
      login.last_seq = (uint16_t)x;
      break;
    case LR_CALL_RESTRICTIONS: login.call_restrictions = (uint32_t)x; break;
    case LR_ADDRESS:
      snprintf(login.own_address, sizeof login.own_address, "%.*s", (int)n, (const char *)v);
      break;
    case LR_SERVER_UID: {
      bool changed = (int64_t)x != settings.server_uid;
      settings.server_uid = (int64_t)x;
      return changed;
    }
    case LR_KEEPALIVE_IDLE: keepalive_idle_s = (uint32_t)x; break;
    case LR_KEEPALIVE_INTERVAL: keepalive_interval_s = (uint32_t)x; break;
    case LR_KEEPALIVE_COUNT: keepalive_count = (uint32_t)x; break;
    case LR_ACK_DELAY: login.extra_ack_delay_s = (uint16_t)x; break;
    case LR_ICE_URL: settings.ice_url.assign(v, n); break;
    case LR_ICE_TEXT:
      snprintf(login.ice_companion, sizeof login.ice_companion, "%.*s", (int)n, (const char *)v);
      break;
    case LR_TURN_HOST: settings.turn_host.assign(v, n); break;
    case LR_APP_NAME: settings.app_name_server.assign(v, n); break;
    case LR_APP_TEXT: settings.app_text.assign(v, n); break;
    case LR_TUNING: tuning_value = (uint16_t)x; break;
    case LR_VALUE30: {
      bool changed = (uint32_t)x != settings.value38;
      settings.value38 = (uint32_t)x;
      return changed;
    }
    case LR_TURN_OPTIONS: settings.turn_options = (uint32_t)x; break;
    case LR_NOTICE_VALUE: login.account_notice = (uint32_t)x; break;
    case LR_PRIMARY_UID: settings.primary_uid = (uint32_t)x; break;
    case LR_PRIMARY_ADDRESS: settings.primary_address.assign(v, n); break;
    case LR_VALUE45: settings.login_value45 = (uint16_t)x; break;
    case LR_MAX_CALL: login.max_call_s = (uint32_t)x; break;
    case LR_NOTICE:
      settings.server_notice.assign(v, n);
      LOGI("%.*s", (int)n, (const char *)v);
      break;
    case LR_NOTICE2:
    case LR_NOTICE3: LOGI("%.*s", (int)n, (const char *)v); break;
    default: break;
  }
  return false;
}

// A redirect answer: where to go, for how long, and how to log in there.
// With `store` the body is kept with the settings (a stored body is parsed
// again at the next start without being stored anew).
void CAPI::read_redirect(const uint8_t *body, uint32_t len, uint32_t param, bool store) {
  RedirectRecord &r = login.redirect;
  uint32_t now_s = (uint32_t)clock_now_s();
  MutexGuard guard(&settings_lock);
  pending_ticket.clear();
  if (len == 0) {
    memset(&r, 0, sizeof r);
    settings.redirect_expiry_s = 0;
    settings.redirect_body.clear();
    r.sleep_s = param > REDIRECT_MAX_SLEEP_S ? 0 : param;
    return;
  }
  memset(&r, 0, sizeof r);
  TlvBuffer t;
  tlv_init(&t, body, len);
  uint32_t type, n;
  const uint8_t *v;
  while (t.get(&type, &n, &v) == 0) {
    uint64_t x = tlv_uint(v, n, 4);
    switch (type) {
      case RD_VALIDITY: settings.redirect_expiry_s = now_s + (uint32_t)x; break;
      case RD_BLOB:
        r.blob_len = n < sizeof r.blob ? n : (uint32_t)sizeof r.blob;
        memcpy(r.blob, v, r.blob_len);
        break;
      case RD_SLEEP: r.sleep_s = (uint32_t)x; break;
      case RD_TICKET: pending_ticket.assign(v, n); break;
      case RD_HOST:
        snprintf(r.host, sizeof r.host, "%.*s", (int)n, (const char *)v);
        if (store && net.cloud_mode) settings.redirect_received_s = now_s;
        break;
      case RD_MAX_ATTEMPTS: r.max_attempts = (uint32_t)tlv_uint(v, n, 2); break;
      case RD_MODE: r.mode = (uint16_t)tlv_uint(v, n, 2); break;
      case RD_PORT:
        if (r.port_count < 8) r.ports[r.port_count++] = (uint16_t)tlv_uint(v, n, 2);
        break;
      case RD_PENALTY: r.penalty_s = (uint32_t)x; break;
      case RD_VALUE: r.value13 = (uint32_t)x; break;
      case RD_IPV4:
        if (n == 4) memcpy(&r.ipv4, v, 4);  // network byte order as received
        break;
      default: break;
    }
  }
  if (store) {
    settings.redirect_body.assign(body, len);
    settings.redirect_serial = serial;
    settings.redirect_attempts = 0;
    settings.dirty = true;
  }
}

void CAPI::store_redirect_ticket() {
  if (pending_ticket.len && login.redirect.host[0])
    ticket_store(settings_context(), login.redirect.host, pending_ticket.data, pending_ticket.len,
                 (uint32_t)clock_now_s());
  pending_ticket.clear();
}

// ---- the server control check ---------------------------------------------------

int CAPI::is_authfail(uint8_t code, uint8_t op, uint32_t param, const uint8_t *body, uint32_t len) {
  if (!(op & 0x80)) return 0;
  bool authfail = (op >> 6) == 3;
  // A redirect carries its own sleep in its body; its param is no hold time.
  if (op == LOGIN_REDIRECT) return 0;
  if (!authfail && !(code == FRAME_LOGIN && param != 0)) return 0;

  INotify *dl = default_listener();
  if (authfail && dl) dl->on_user_info(0, nullptr, nullptr);
  uint32_t flags = (param >> 16) & 0xFFF;
  uint64_t hold = control_hold_seconds(param);
  {
    MutexGuard guard(&settings_lock);
    if (len) settings.control_notice.assign(body, len);
    settings.control_op = op;
    settings.control_flags = flags;
    if (hold > 0) settings.holdoff_until_us = clock_now_us() + hold * 1000000;
    if (authfail) {
      settings.last_refusal_s = (uint32_t)clock_now_s();
      settings.refused_serial = serial;
    }
    settings.dirty = true;
  }
  LOGI("zalvio - service status, a %d s %d t %u", authfail ? 1 : 0, 0, (unsigned)hold);
  if (op == LOGIN_SERVICE_ENDED || authfail) service_ended.store(true);
  save_settings();
  if (authfail) uid = 0;
  if (flags & CONTROL_FLAG_RESET_DB) reset_database(3);
  if (flags & CONTROL_FLAG_CLEAR_REDIRECT) {
    {
      MutexGuard guard(&settings_lock);
      memset(&login.redirect, 0, sizeof login.redirect);
      settings.redirect_expiry_s = 0;
      settings.redirect_body.clear();
    }
    save_settings();
  }
  return authfail ? 1 : 0;
}

// ---- connect and log in ------------------------------------------------------------

int CAPI::login_round(int redirects) {
  if (logged_in.load()) return LOGIN_OK;
  logged_in.store(false);
  if (connect_server() != 0) {
    uint64_t now_s = clock_now_s();
    if (!redirect_active(now_s)) return LOGIN_TRANSPORT_FAILED;
    {
      MutexGuard guard(&settings_lock);
      settings.redirect_attempts++;
      uint32_t penalty = login.redirect.penalty_s;
      if (settings.redirect_expiry_s > now_s + penalty)
        settings.redirect_expiry_s -= penalty;
      else
        settings.redirect_expiry_s = 0;
    }
    save_settings();
    if (login.redirect.mode == 10) report_status(STATUS_ONPREMISE_DOWN, 0);
    if (redirect_active(now_s) || connect_server() != 0) return LOGIN_TRANSPORT_FAILED;
  }
  int r = login_protocol(redirects);
  if (logged_in.load()) return LOGIN_OK;
  if (r == OP_HOLDOFF_81 || r == OP_HOLDOFF_86) return LOGIN_TRANSPORT_FAILED;
  return r;
}

int64_t CAPI::start_login() {
  attempt_reached_server = false;
  int r = LOGIN_TRANSPORT_FAILED;
  for (int i = 0; i < (int)LOGIN_MAX_ROUNDS; i++) {
    r = login_round(i);
    if (r != LOGIN_REDIRECT) break;
    close_socket();
    uint64_t now_s = clock_now_s();
    if (login.redirect.sleep_s) pause_us((uint64_t)login.redirect.sleep_s * 1000000);
    bool onpremise = login.redirect.mode == 10 || login.redirect.mode == 11;
    uint64_t age = now_s - settings.redirect_received_s;
    if (onpremise && age < ONPREMISE_SETTLE_S) {
      if (created_us / 1000000 < settings.redirect_received_s || i > 0) {
        LOGE("*** BUG *** Onpremise server maybe misbehaving or user deleted too quickly..sleeping");
        pause_us((ONPREMISE_SETTLE_S - age) * 1000000);
      } else if (age > ONPREMISE_OLD_S) {
        pause_us(ONPREMISE_WAIT_S * 1000000);
      } else {
        pause_us((ONPREMISE_SHORT_S - age) * 1000000);
      }
    }
    if (i > 4) {
      LOGE("*** BUG *** too many redirection - MUST not happen");
      pause_us((uint64_t)i * 2000000 + random_below31(32768) * 1000ull);
    }
    if (stop_reason.load() != STOP_NONE) break;
  }
  if (r == LOGIN_OK) return 0;
  close_socket();
  uint64_t now = clock_now_us();
  if (r == LOGIN_TRANSPORT_FAILED || r < 0) {
    if (service_ended.load()) return -4;
    if (holdoff_active(now)) return (int64_t)(settings.holdoff_until_us - now);
    uint64_t since = last_frame_us ? now - last_frame_us : UINT64_MAX;
    return transport_retry_delay_us(server_failures, settings.failures, net.connect_errno == ECONNREFUSED,
                                    since);
  }
  if (r >= OP_AUTHFAIL_FIRST) {
    report_status(STATUS_AUTHFAIL, (uint32_t)r);
    LOGE("zalvio api stopped: authfail");
    return -1;
  }
  if (r == LOGIN_SERVICE_ENDED || r == LOGIN_FINAL_REFUSAL) return -3;
  if (service_ended.load()) return -4;
  if (holdoff_active(now)) return (int64_t)(settings.holdoff_until_us - now);
  return (int64_t)random_delay(RETRY_REFUSED_MIN_US, RETRY_REFUSED_MAX_US);
}
