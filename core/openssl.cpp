// OpenSSL client sessions for the engine connection and the HTTP client.
#include "core/openssl.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/logs.h"
#include "util/mutex.h"
#include "util/time.h"

static pthread_mutex_t g_ctx_lock = PTHREAD_MUTEX_INITIALIZER;
static SSL_CTX *g_client_ctx = nullptr;
static int g_ex_index = -1;

// Routes a session the library issues to the listener of its OpenSsl.
static int new_session_cb(SSL *ssl, SSL_SESSION *session) {
  OpenSsl *owner = g_ex_index >= 0 ? (OpenSsl *)SSL_get_ex_data(ssl, g_ex_index) : nullptr;
  if (owner && owner->listener()) owner->listener()->on_new_session(session);
  return 0;  // the listener serialized what it keeps; we hold no reference
}

SSL_CTX *ssl_context_client() {
  MutexGuard guard(&g_ctx_lock);
  if (g_client_ctx) return g_client_ctx;
  SSL_load_error_strings();
  if (g_ex_index < 0) g_ex_index = SSL_get_ex_new_index(0, (void *)"ssldata", nullptr, nullptr, nullptr);
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    LOGE("SSL context null");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv3);
  // The engine keeps its own session (persisted with its settings).
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, new_session_cb);
  SSL_CTX_set_default_verify_paths(ctx);
  g_client_ctx = ctx;
  return ctx;
}

int ssl_add_trusted_ca(const char *pem_file) {
  SSL_CTX *ctx = ssl_context_client();
  if (!ctx || !pem_file) return -1;
  MutexGuard guard(&g_ctx_lock);
  if (X509_STORE_load_file(SSL_CTX_get_cert_store(ctx), pem_file) != 1) {
    LOGE("unable to load trusted CA file: %s", pem_file);
    ERR_clear_error();
    return -1;
  }
  return 0;
}

Ssl *SslFactory::create_client() {
  SSL_CTX *ctx = ssl_context_client();
  return ctx ? new OpenSsl(ctx) : nullptr;
}

OpenSsl::~OpenSsl() { close(); }

void OpenSsl::destroy() { delete this; }

void OpenSsl::set_timeouts(int deadline_ms, int per_wait_ms) {
  deadline_ms_ = deadline_ms;
  per_wait_ms_ = per_wait_ms;
}

void OpenSsl::close() {
  if (ssl_) SSL_free(ssl_);
  ssl_ = nullptr;
  sock_ = -1;
}

void OpenSsl::log_errors() {
  unsigned long e;
  char text[256];
  while ((e = ERR_get_error()) != 0) {
    ERR_error_string_n(e, text, sizeof text);
    LOGE("openssl: %s", text);
  }
}

// Read-ahead keeps whole records in the session's buffer, not yet
// decrypted, where SSL_pending does not count them.
int OpenSsl::pending() { return ssl_ ? SSL_has_pending(ssl_) : 0; }

bool OpenSsl::resumed() { return ssl_ && SSL_session_reused(ssl_) == 1; }

// Waits for the socket as the library asked; 1 ready, 0 timeout, -1 error.
int OpenSsl::wait_io(int ssl_error, int timeout_ms) {
  struct pollfd p;
  p.fd = sock_;
  p.events = ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
  p.revents = 0;
  int r = poll(&p, 1, timeout_ms);
  if (r < 0) return errno == EINTR ? 0 : -1;
  return r;
}

static bool is_ip_literal(const char *name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name, buf) == 1 || inet_pton(AF_INET6, name, buf) == 1;
}

int OpenSsl::start(int sock, const char *server_name, bool verify, int, SSL_SESSION *session) {
  close();
  ssl_ = SSL_new(ctx_);
  if (!ssl_) {
    LOGE("SSL_new failed");
    return -1;
  }
  sock_ = sock;
  // Every wait is our own poll with a timeout, so the socket never blocks.
  int fl = fcntl(sock, F_GETFL, 0);
  if (fl >= 0) fcntl(sock, F_SETFL, fl | O_NONBLOCK);
  SSL_set_ex_data(ssl_, g_ex_index, this);
  SSL_set_fd(ssl_, sock);
  // A frame's header and body, and frames sent together, come in with one
  // read instead of two or more per record.
  SSL_set_read_ahead(ssl_, 1);
  if (server_name && *server_name) {
    bool ip = is_ip_literal(server_name);
    if (!ip) SSL_set_tlsext_host_name(ssl_, server_name);
    if (verify) {
      X509_VERIFY_PARAM *param = SSL_get0_param(ssl_);
      if (ip)
        X509_VERIFY_PARAM_set1_ip_asc(param, server_name);
      else
        X509_VERIFY_PARAM_set1_host(param, server_name, 0);
    }
  }
  SSL_set_verify(ssl_, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  if (session) SSL_set_session(ssl_, session);
  if (handshake() != 0) {
    long result = SSL_get_verify_result(ssl_);
    if (verify && result != X509_V_OK)
      LOGE("Certificate verification error: %ld (%s)", result,
           X509_verify_cert_error_string(result));
    log_errors();
    close();
    return -1;
  }
  return 0;
}

// With a deadline the handshake runs non-blocking, each wait bounded by
// the per-wait limit and all of them by the deadline.
int OpenSsl::handshake() {
  int limit = deadline_ms_ > 0 ? deadline_ms_ : 60000;
  uint64_t end = clock_now_us() / 1000 + (uint64_t)limit;
  for (;;) {
    ERR_clear_error();
    int r = SSL_connect(ssl_);
    if (r == 1) return 0;
    int err = SSL_get_error(ssl_, r);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return -1;
    uint64_t now = clock_now_us() / 1000;
    if (now >= end) {
      LOGE("TLS handshake timed out");
      return -1;
    }
    int wait = (int)(end - now);
    if (per_wait_ms_ > 0 && wait > per_wait_ms_) wait = per_wait_ms_;
    if (wait_io(err, wait) <= 0) return -1;
  }
}

int OpenSsl::write(const void *buf, int len) {
  if (!ssl_) {
    LOGE("*** BUG *** openssl: write with NULL ssl: %p", (void *)ssl_);
    return -1;
  }
  int done = 0;
  while (done < len) {
    ERR_clear_error();
    int r = SSL_write(ssl_, (const char *)buf + done, len - done);
    if (r > 0) {
      done += r;
      continue;
    }
    int err = SSL_get_error(ssl_, r);
    if ((err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) && wait_io(err, 5000) > 0)
      continue;
    return done > 0 ? done : -1;
  }
  return done;
}

// One read: the count, 0 when nothing arrived within the timeout, -1 on
// error or end of stream.
int OpenSsl::read_once(void *buf, int len, int timeout_ms) {
  uint64_t end = clock_now_us() / 1000 + (uint64_t)(timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    ERR_clear_error();
    int r = SSL_read(ssl_, buf, len);
    if (r > 0) return r;
    int err = SSL_get_error(ssl_, r);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return -1;
    if (timeout_ms <= 0) {
      if (wait_io(err, -1) < 0) return -1;
      continue;
    }
    uint64_t now = clock_now_us() / 1000;
    if (now >= end) return 0;
    int w = wait_io(err, (int)(end - now));
    if (w < 0) return -1;
  }
}

int OpenSsl::read(void *buf, int len, int timeout_ms) {
  if (!ssl_) {
    LOGE("*** BUG *** openssl: read with NULL ssl: %p", (void *)ssl_);
    return -1;
  }
  int n = read_once(buf, len, timeout_ms);
  // A record split after its first byte: fetch the rest at once.
  if (n == 1 && len > 1) {
    int more = read_once((char *)buf + 1, len - 1, timeout_ms);
    if (more > 0) n += more;
  }
  return n;
}

int OpenSsl::read_fully(void *buf, int len, int timeout_ms) {
  if (!ssl_) {
    LOGE("*** BUG *** openssl: read with NULL ssl: %p", (void *)ssl_);
    return -1;
  }
  uint64_t end = clock_now_us() / 1000 + (uint64_t)timeout_ms;
  int done = 0;
  while (done < len) {
    int left = timeout_ms;
    if (timeout_ms > 0) {
      uint64_t now = clock_now_us() / 1000;
      if (now >= end) return -1;
      left = (int)(end - now);
    }
    int r = read_once((char *)buf + done, len - done, left);
    if (r < 0) return -1;
    done += r;
  }
  return done;
}

int OpenSsl::digest(const DigestPart *parts, int count, uint8_t out[SSL_DIGEST_SIZE]) {
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  if (!md) return -1;
  bool ok = EVP_DigestInit_ex(md, EVP_sha256(), nullptr) == 1;
  for (int i = 0; ok && i < count; i++)
    ok = EVP_DigestUpdate(md, parts[i].data, parts[i].len) == 1;
  unsigned int n = 0;
  ok = ok && EVP_DigestFinal_ex(md, out, &n) == 1 && n == SSL_DIGEST_SIZE;
  EVP_MD_CTX_free(md);
  return ok ? 0 : -1;
}
