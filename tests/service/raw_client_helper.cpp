// Bare protocol client for the service tests: see raw_client.h.
#include "service/raw_client.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>

// ---- tokens ---------------------------------------------------------------

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static bool read_hex(const std::string &s, size_t at, size_t n, uint64_t *out) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; i++) {
    int d = hex_digit(s[at + i]);
    if (d < 0) return false;
    v = v << 4 | (uint64_t)d;
  }
  *out = v;
  return true;
}

// The client's numeric-field rule; values wider than 32 bits are malformed.
static bool read_field(const std::string &s, size_t *q, uint32_t *out) {
  if (*q >= s.size()) return false;
  int k = hex_digit(s[*q]);
  if (k < 0) return false;
  size_t w = (size_t)(15 - k);
  size_t r = s.size() - *q;
  if ((int64_t)r <= 30 - 2 * k) return false;
  uint64_t x, y;
  if (!read_hex(s, *q + 1, w, &x) || !read_hex(s, *q + 1 + w, w, &y)) return false;
  if ((x ^ y) > 0xFFFFFFFFull) return false;
  *out = (uint32_t)(x ^ y);
  *q += 2 * w + 1;
  return true;
}

bool raw_decode_token(const std::string &s, RawToken *t) {
  if (s.size() <= 38) return false;
  int d = hex_digit(s[11]);
  if (d < 0) return false;
  size_t q = (size_t)d / 2 + 32;
  if (q >= s.size()) return false;
  if (!read_field(s, &q, &t->uid) || !read_field(s, &q, &t->options)) return false;
  uint64_t serial = 0;
  while (q < s.size() && hex_digit(s[q]) >= 0) serial = serial << 4 | (uint64_t)hex_digit(s[q++]);
  t->serial = serial;
  while (q < s.size() && s[q] >= 'g' && s[q] <= 'z') q++;
  t->app_id = 0;
  if (q < s.size() && !read_field(s, &q, &t->app_id)) t->app_id = 0;
  for (int i = 0; i < 16; i++) {
    uint64_t b;
    if (!read_hex(s, (size_t)i * 2, 2, &b)) return false;
    t->key[i] = (uint8_t)b;
  }
  return true;
}

std::string raw_proof(const RawToken &t, uint32_t time_value, const std::string &secret,
                      const std::string &app_name) {
  uint8_t head[8];
  for (int i = 0; i < 4; i++) {
    head[i] = (uint8_t)(t.uid >> (8 * i));
    head[4 + i] = (uint8_t)(time_value >> (8 * i));
  }
  std::string name = (t.options & 1) ? std::string() : app_name;
  for (char &c : name) c = (char)tolower((unsigned char)c);
  uint8_t out[32];
  unsigned int n = 0;
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  EVP_DigestInit_ex(md, EVP_sha256(), nullptr);
  EVP_DigestUpdate(md, head, 8);
  EVP_DigestUpdate(md, t.key, 16);
  EVP_DigestUpdate(md, secret.data(), secret.size());
  EVP_DigestUpdate(md, name.data(), name.size());
  EVP_DigestFinal_ex(md, out, &n);
  EVP_MD_CTX_free(md);
  return std::string((const char *)out, 32);
}

// ---- connection -----------------------------------------------------------

RawClient::RawClient(const std::string &ca_file) {
  // A write to a connection the service dropped is an error, not a signal.
  signal(SIGPIPE, SIG_IGN);
  ctx_ = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(ctx_, ca_file.c_str(), nullptr);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT);
}

RawClient::~RawClient() {
  close();
  if (session_) SSL_SESSION_free(session_);
  SSL_CTX_free(ctx_);
}

bool RawClient::connect_tcp(uint16_t port) {
  close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::connect(fd_, (struct sockaddr *)&a, sizeof a) != 0) {
    close();
    return false;
  }
  int on = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

bool RawClient::connect(uint16_t port, const std::string &server_name) {
  if (!connect_tcp(port)) return false;
  ssl_ = SSL_new(ctx_);
  SSL_set_fd(ssl_, fd_);
  if (!server_name.empty()) SSL_set_tlsext_host_name(ssl_, server_name.c_str());
  if (session_) SSL_set_session(ssl_, session_);
  if (SSL_connect(ssl_) != 1) {
    close();
    return false;
  }
  // Reads wait in poll with a timeout; a blocking socket would hang in
  // SSL_read after a session ticket made poll report readable.
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  return true;
}

bool RawClient::resumed() const { return ssl_ && SSL_session_reused(ssl_) == 1; }

void RawClient::keep_session() {
  if (!ssl_) return;
  if (session_) SSL_SESSION_free(session_);
  session_ = SSL_get1_session(ssl_);
}

void RawClient::close() {
  // Without a close_notify OpenSSL marks the session as not resumable.
  if (ssl_) SSL_shutdown(ssl_);
  if (ssl_) SSL_free(ssl_);
  ssl_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RawClient::write_raw(const void *data, size_t len) {
  if (fd_ < 0) return false;
  if (!ssl_) return ::send(fd_, data, len, MSG_NOSIGNAL) == (ssize_t)len;
  const uint8_t *p = (const uint8_t *)data;
  size_t done = 0;
  while (done < len) {
    int n = SSL_write(ssl_, p + done, (int)(len - done));
    if (n > 0) {
      done += (size_t)n;
      continue;
    }
    int e = SSL_get_error(ssl_, n);
    struct pollfd w = {fd_, (short)(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    if ((e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) || poll(&w, 1, 2000) <= 0)
      return false;
  }
  return true;
}

bool RawClient::send_frame(uint8_t code, uint8_t op, uint32_t param,
                           const std::vector<uint8_t> &body) {
  FrameHeader h{code, op, (uint32_t)body.size(), param};
  std::vector<uint8_t> bytes(FRAME_HEADER_SIZE);
  if (frame_encode(bytes.data(), h) != 0) return false;
  bytes.insert(bytes.end(), body.begin(), body.end());
  return write_raw(bytes.data(), bytes.size());
}

bool RawClient::wait_readable(int timeout_ms) {
  if (ssl_ && SSL_pending(ssl_) > 0) return true;
  struct pollfd p = {fd_, POLLIN, 0};
  return poll(&p, 1, timeout_ms) > 0;
}

// Reads exactly `len` bytes; 1, 0 on timeout, -1 when closed.
static int read_exact(SSL *ssl, int fd, uint8_t *out, size_t len, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t have = 0;
  while (have < len) {
    if (SSL_pending(ssl) == 0) {
      int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                     deadline - std::chrono::steady_clock::now())
                     .count();
      struct pollfd p = {fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0) return 0;
    }
    int n = SSL_read(ssl, out + have, (int)(len - have));
    if (n > 0) {
      have += (size_t)n;
      continue;
    }
    if (SSL_get_error(ssl, n) == SSL_ERROR_WANT_READ) continue;
    return -1;
  }
  return 1;
}

int RawClient::read_frame(FrameHeader *h, std::vector<uint8_t> *body, int timeout_ms) {
  if (!ssl_) return -1;
  uint8_t head[FRAME_HEADER_SIZE];
  int r = read_exact(ssl_, fd_, head, sizeof head, timeout_ms);
  if (r <= 0) return r;
  frame_decode(head, h);
  body->assign(h->length, 0);
  if (h->length == 0) return 1;
  r = read_exact(ssl_, fd_, body->data(), h->length, timeout_ms);
  return r <= 0 ? -1 : 1;
}

bool RawClient::wait_closed(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  uint8_t buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                   deadline - std::chrono::steady_clock::now())
                   .count();
    if (!wait_readable(left > 0 ? left : 0)) return false;
    ssize_t n = ssl_ ? SSL_read(ssl_, buf, sizeof buf) : ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      if (ssl_ && SSL_get_error(ssl_, (int)n) == SSL_ERROR_WANT_READ) continue;
      return true;
    }
  }
  return false;
}

// ---- login bodies ---------------------------------------------------------

void raw_identity_items(TlvBuffer *b, const RawToken &t) {
  b->put_u64(3, t.serial);
  uint8_t zero = 0;
  b->put_bytes(6, &zero, 1);
  b->put_u32(17, t.app_id);
  b->put_u32(8, RAW_PLATFORM);
  b->put_u32(29, RAW_BUILD_TIME);
  b->put_u32(14, 2010000);
  b->put_u32(15, 2010000);
  b->put_u32(26, 6010000);
  b->put_u64(30, t.serial + RAW_BUILD_TIME + t.app_id + RAW_PLATFORM);
  b->put_u32(10, 0x1);
  b->put_empty(12);
}

void raw_proof_items(TlvBuffer *b, const std::string &proof, uint32_t time_value,
                     bool platform_first, uint32_t installation, uint32_t ack_owed) {
  if (platform_first) b->put_u32(8, RAW_PLATFORM);
  b->put_u32(24, time_value);
  b->put_bytes(11, proof.data(), (uint32_t)proof.size());
  b->put_u32(4, installation);
  b->put_u32(7, 0);
  if (ack_owed) b->put_u32(5, ack_owed);
  b->put_u32(25, 4);
  b->put_u32(10, 0x50801);
  b->put_u32(20, 2);
}

static std::vector<uint8_t> finish(uint8_t *buf, const TlvBuffer &b) {
  return std::vector<uint8_t>(buf, buf + b.pos);
}

RawLogin raw_login(RawClient *c, const RawToken &t, const std::string &app_name,
                   const std::string &ticket, uint32_t installation, uint32_t ack_owed) {
  RawLogin out;
  uint8_t buf[1024];
  TlvBuffer b;
  tlv_init(&b, buf, sizeof buf);
  raw_identity_items(&b, t);
  if (!ticket.empty()) {
    uint32_t now = (uint32_t)time(nullptr);
    raw_proof_items(&b, raw_proof(t, now, ticket, app_name), now, false, installation,
                    ack_owed);
  }
  if (!c->send_frame(FRAME_LOGIN, 1, RAW_LOGIN_PARAM, finish(buf, b))) return out;
  out.frames = 1;
  FrameHeader h;
  if (c->read_frame(&h, &out.body) != 1) return out;
  if (h.op == 5) {
    std::string challenge = raw_item(out.body, 10);
    tlv_init(&b, buf, sizeof buf);
    raw_proof_items(&b, raw_proof(t, h.param, challenge, app_name), h.param, true,
                    installation, ack_owed);
    if (!c->send_frame(FRAME_LOGIN, 1, h.param, finish(buf, b))) return out;
    out.frames = 2;
    if (c->read_frame(&h, &out.body) != 1) return out;
  }
  out.answer = h.op;
  out.param = h.param;
  if (h.op == 0) out.ticket = raw_item(out.body, 10);
  return out;
}

std::string raw_item(const std::vector<uint8_t> &body, uint32_t type) {
  const uint8_t *v = nullptr;
  int n = tlv_find(body.data(), (uint32_t)body.size(), type, &v);
  return n < 0 ? std::string() : std::string((const char *)v, (size_t)n);
}

uint64_t raw_item_uint(const std::vector<uint8_t> &body, uint32_t type) {
  const uint8_t *v = nullptr;
  int n = tlv_find(body.data(), (uint32_t)body.size(), type, &v);
  return n < 0 ? 0 : tlv_uint(v, (uint32_t)n, 8);
}

// ---- bundles ----------------------------------------------------------------

std::vector<uint8_t> raw_bundle(uint16_t seq, const std::vector<RawRecord> &records) {
  std::vector<uint8_t> buf(65536);
  TlvBuffer b;
  tlv_init(&b, buf.data(), (uint32_t)buf.size());
  bundle_begin(&b, seq);
  for (const RawRecord &r : records) {
    MessageParams p{};
    p.id = r.id;
    p.uid = r.uid;
    p.groupid = r.gid;
    p.expiry = r.expiry;
    p.flags = r.flags;
    p.channel = r.channel;
    p.type = r.type;
    p.agesent = r.agesent;
    p.syncid = r.syncid;
    p.syncext = r.syncext;
    p.syncref = r.syncref;
    p.refid = r.refid;
    RecordExtras x{};
    x.address = r.address.c_str();
    x.address_len = (uint32_t)r.address.size();
    x.payload = (const uint8_t *)r.payload.data();
    x.payload_len = (uint32_t)r.payload.size();
    if (record_encode(&b, p, x) != 0) {
      ADD_FAILURE() << "record " << r.id << " does not encode";
      return {};
    }
  }
  buf.resize(b.pos);
  return buf;
}

std::vector<RawReceived> raw_records(const std::vector<uint8_t> &body) {
  std::vector<RawReceived> out;
  TlvBuffer t;
  tlv_init(&t, body.data(), (uint32_t)body.size());
  for (;;) {
    RawReceived r;
    RecordExtras x;
    int rc = record_decode(&t, &r.p, &x, false);
    EXPECT_GE(rc, 0) << "malformed data frame";
    if (rc != 0) break;
    r.address.assign(x.address ? x.address : "", x.address_len);
    r.payload.assign(x.payload ? (const char *)x.payload : "", x.payload_len);
    r.age = x.age;
    r.has_age = x.has_age;
    r.is_status = x.is_status;
    out.push_back(r);
  }
  return out;
}
