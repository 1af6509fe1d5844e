// Connection I/O: see conn.h.
#include "service/conn.h"

#include <openssl/err.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cstring>

#include "util/logs.h"

enum : uint32_t {
  CONN_WRITE_CHUNK = 16384,   // one TLS record's worth per write call
  CONN_KEEP_BUFFER = 4096,    // larger buffers are given back when emptied
};

int conn_handshake(Conn *c) {
  ERR_clear_error();
  int r = SSL_accept(c->ssl);
  if (r == 1) {
    c->want_write = false;
    c->resumed = SSL_session_reused(c->ssl) == 1;
    const char *name = SSL_get_servername(c->ssl, TLSEXT_NAMETYPE_host_name);
    c->host = name ? name : "";
    return 1;
  }
  int e = SSL_get_error(c->ssl, r);
  if (e == SSL_ERROR_WANT_READ) {
    c->want_write = false;
    return 0;
  }
  if (e == SSL_ERROR_WANT_WRITE) {
    c->want_write = true;
    return 0;
  }
  unsigned long err = ERR_peek_error();
  char text[160] = "";
  if (err) ERR_error_string_n(err, text, sizeof text);
  LOGM(LOG_NET, "conn %u: handshake failed (%d) %s", c->id, e, text);
  ERR_clear_error();
  return -1;
}

static void release_body(Conn *c) {
  if (c->body.capacity() > CONN_KEEP_BUFFER) std::vector<uint8_t>().swap(c->body);
  else c->body.clear();
  c->body_have = 0;
}

// Feeds received bytes into the frame being assembled. Returns 1 to go on,
// 0 when the handler stopped reading, -1 when the connection must close.
static int feed(Conn *c, const uint8_t *p, uint32_t n, FrameLimit limit, FrameHandler on_frame,
                void *ctx, uint64_t now_ms) {
  uint32_t i = 0;
  while (i < n) {
    if (c->frame_start_ms == 0) c->frame_start_ms = now_ms;
    if (c->head_have < FRAME_HEADER_SIZE) {
      uint32_t take = std::min(n - i, FRAME_HEADER_SIZE - c->head_have);
      memcpy(c->head + c->head_have, p + i, take);
      c->head_have += take;
      i += take;
      if (c->head_have < FRAME_HEADER_SIZE) break;
      frame_decode(c->head, &c->frame);
      int32_t max = limit(c, c->frame.code);
      if (max < 0 || c->frame.length > (uint32_t)max) {
        LOGM(LOG_NET, "conn %u: refused frame code %u op %u len %u", c->id, c->frame.code,
             c->frame.op, c->frame.length);
        return -1;
      }
      c->body.resize(c->frame.length);
      c->body_have = 0;
    }
    uint32_t take = std::min(n - i, c->frame.length - c->body_have);
    if (take > 0) memcpy(c->body.data() + c->body_have, p + i, take);
    c->body_have += take;
    i += take;
    if (c->body_have < c->frame.length) break;

    c->head_have = 0;
    c->frame_start_ms = 0;
    c->last_frame_ms = now_ms;
    int r = on_frame(ctx, c);
    release_body(c);
    if (r < 0) return 0;
  }
  return 1;
}

int conn_receive(Conn *c, uint8_t *scratch, uint32_t scratch_size, FrameLimit limit,
                 FrameHandler on_frame, void *ctx, uint64_t now_ms) {
  while (!c->stalled && (c->state == CONN_LOGIN || c->state == CONN_CHALLENGED ||
                         c->state == CONN_ONLINE)) {
    ERR_clear_error();
    int n = SSL_read(c->ssl, scratch, (int)scratch_size);
    if (n <= 0) {
      int e = SSL_get_error(c->ssl, n);
      if (e == SSL_ERROR_WANT_READ) return 0;
      if (e == SSL_ERROR_WANT_WRITE) {
        c->want_write = true;
        return 0;
      }
      ERR_clear_error();
      return -1;  // closed by the peer, or broken
    }
    int r = feed(c, scratch, (uint32_t)n, limit, on_frame, ctx, now_ms);
    if (r < 0) return -1;
    if (r == 0) return 0;
  }
  return 0;
}

bool conn_has_output(const Conn *c) { return c->out_off < c->out.size(); }

int conn_queue(Conn *c, uint8_t code, uint8_t op, uint32_t param, const uint8_t *body,
               uint32_t len) {
  if (c->state == CONN_DEAD) return -1;
  if (c->out.size() - c->out_off + FRAME_HEADER_SIZE + len > CONN_OUT_LIMIT) {
    LOGE("conn %u: client does not read, %zu bytes queued", c->id, c->out.size() - c->out_off);
    return -1;
  }
  FrameHeader h{code, op, len, param};
  uint8_t head[FRAME_HEADER_SIZE];
  if (frame_encode(head, h) != 0) return -1;
  if (c->out_off == c->out.size()) {
    c->out.clear();
    c->out_off = 0;
  }
  c->out.insert(c->out.end(), head, head + FRAME_HEADER_SIZE);
  if (len > 0) c->out.insert(c->out.end(), body, body + len);
  return 0;
}

int conn_flush(Conn *c) {
  while (conn_has_output(c)) {
    size_t len = std::min<size_t>(c->out.size() - c->out_off, CONN_WRITE_CHUNK);
    ERR_clear_error();
    int n = SSL_write(c->ssl, c->out.data() + c->out_off, (int)len);
    if (n > 0) {
      c->out_off += (size_t)n;
      continue;
    }
    int e = SSL_get_error(c->ssl, n);
    if (e == SSL_ERROR_WANT_WRITE) {
      c->want_write = true;
      return 0;
    }
    if (e == SSL_ERROR_WANT_READ) return 0;
    ERR_clear_error();
    return -1;
  }
  c->want_write = false;
  if (c->out.capacity() > CONN_KEEP_BUFFER) std::vector<uint8_t>().swap(c->out);
  else c->out.clear();
  c->out_off = 0;
  return 0;
}

uint32_t conn_wanted_events(const Conn *c) {
  uint32_t ev = EPOLLRDHUP;
  // A closing connection only finishes writing; reading it would spin.
  if (!c->stalled && c->state != CONN_CLOSING) ev |= EPOLLIN;
  if (c->want_write) ev |= EPOLLOUT;
  return ev;
}
