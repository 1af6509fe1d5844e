// The TLS layer shared by the engine's server connection and the HTTP
// client: an abstract `Ssl` session over a connected socket, its OpenSSL
// implementation `OpenSsl`, built by `SslFactory`, and the process-wide
// client context.
//
// Unlike a bare encrypted pipe, the engine's connection sends the server
// name and verifies the server's certificate against the system's trust
// store and any CA files added with ssl_add_trusted_ca(); verification can
// only be turned off explicitly, for development.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>

// Told when the TLS library issues a session that can be resumed later.
class SslListener {
 public:
  virtual void on_new_session(SSL_SESSION *session) = 0;

 protected:
  ~SslListener() = default;
};

// One part of the data a digest runs over.
struct DigestPart {
  const void *data;
  size_t len;
};

enum : int {
  SSL_DIGEST_SIZE = 32,
};

class Ssl {
 public:
  virtual void destroy() = 0;
  // Handshake on a connected socket. `server_name` (may be null) is sent as
  // SNI and, with `verify`, checked against the certificate (a host name or
  // an IP address). `session` is offered for resumption. 0 or -1.
  virtual int start(int sock, const char *server_name, bool verify, int reserved,
                    SSL_SESSION *session) = 0;
  // A handshake deadline in total and a limit for each wait (0: blocking).
  virtual void set_timeouts(int deadline_ms, int per_wait_ms) = 0;
  virtual int write(const void *buf, int len) = 0;
  // Reads what is available, waiting at most timeout_ms (0: blocking).
  // Returns the count, 0 when nothing arrived in time, -1 on error or end.
  virtual int read(void *buf, int len, int timeout_ms) = 0;
  // Reads exactly len bytes within timeout_ms; the count read, or -1.
  virtual int read_fully(void *buf, int len, int timeout_ms) = 0;
  virtual void close() = 0;
  virtual void log_errors() = 0;
  virtual void set_listener(SslListener *listener) = 0;
  // SHA-256 over the parts in order; 0 or -1.
  virtual int digest(const DigestPart *parts, int count, uint8_t out[SSL_DIGEST_SIZE]) = 0;
  // Bytes decrypted and buffered inside the session (a select on the socket
  // does not see them).
  virtual int pending() = 0;
  virtual bool resumed() = 0;

 protected:
  virtual ~Ssl() = default;
};

class OpenSsl : public Ssl {
 public:
  explicit OpenSsl(SSL_CTX *ctx) : ctx_(ctx) {}
  void destroy() override;
  int start(int sock, const char *server_name, bool verify, int reserved,
            SSL_SESSION *session) override;
  void set_timeouts(int deadline_ms, int per_wait_ms) override;
  int write(const void *buf, int len) override;
  int read(void *buf, int len, int timeout_ms) override;
  int read_fully(void *buf, int len, int timeout_ms) override;
  void close() override;
  void log_errors() override;
  void set_listener(SslListener *listener) override { listener_ = listener; }
  int digest(const DigestPart *parts, int count, uint8_t out[SSL_DIGEST_SIZE]) override;
  int pending() override;
  bool resumed() override;

  SslListener *listener() const { return listener_; }
  SSL *handle() const { return ssl_; }

 private:
  ~OpenSsl() override;
  int handshake();
  int wait_io(int ssl_error, int timeout_ms);
  int read_once(void *buf, int len, int timeout_ms);

  SSL_CTX *ctx_;
  SSL *ssl_ = nullptr;
  int sock_ = -1;
  int deadline_ms_ = 0;
  int per_wait_ms_ = 0;
  SslListener *listener_ = nullptr;
};

struct SslFactory {
  // A client session on the process-wide client context; null on failure.
  static Ssl *create_client();
};

// The process-wide client context, created on first use (null on failure,
// logged as "SSL context null").
SSL_CTX *ssl_context_client();
// Adds a PEM file of CA certificates to the client context's trust store.
int ssl_add_trusted_ca(const char *pem_file);
