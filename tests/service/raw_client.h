// A bare client for the service's protocol tests: blocking TLS, frames
// written and read by hand, tokens decoded the way the engine decodes them
// and login bodies built item by item, so a test can send exactly the bytes
// it wants, right or wrong.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/tlv.h"

// An access token read with the client's rules.
struct RawToken {
  uint8_t key[16];
  uint32_t uid = 0;
  uint32_t options = 0;
  uint64_t serial = 0;
  uint32_t app_id = 0;
};
bool raw_decode_token(const std::string &text, RawToken *t);

// SHA-256 proof over uid, time, key, ticket or challenge, application name.
std::string raw_proof(const RawToken &t, uint32_t time_value, const std::string &secret,
                      const std::string &app_name);

class RawClient {
 public:
  explicit RawClient(const std::string &ca_file);
  ~RawClient();
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  // TCP only, no TLS: for tests that send plain bytes.
  bool connect_tcp(uint16_t port);
  // TCP and TLS with `server_name` as SNI (the chain is checked against the
  // CA, the name is not). Offers the session kept by keep_session().
  bool connect(uint16_t port, const std::string &server_name = "localhost");
  bool resumed() const;
  // Keeps the current TLS session for the next connect.
  void keep_session();
  void close();
  int fd() const { return fd_; }

  bool write_raw(const void *data, size_t len);  // through TLS when it is up
  bool send_frame(uint8_t code, uint8_t op, uint32_t param,
                  const std::vector<uint8_t> &body = {});
  // 1 frame read, 0 nothing within the timeout, -1 closed or broken.
  int read_frame(FrameHeader *h, std::vector<uint8_t> *body, int timeout_ms = 2000);
  // True when the service closes the connection within the timeout
  // (frames that arrive first are skipped).
  bool wait_closed(int timeout_ms = 2000);

 private:
  SSL_CTX *ctx_ = nullptr;
  SSL *ssl_ = nullptr;
  SSL_SESSION *session_ = nullptr;
  int fd_ = -1;
  bool wait_readable(int timeout_ms);
};

// ---- login bodies ---------------------------------------------------------

enum : uint32_t {
  RAW_BUILD_TIME = 1680277546,
  RAW_PLATFORM = 3,
  RAW_INSTALLATION = 0xA11CE,
};

// The identity items of a first request, in the engine's order.
void raw_identity_items(TlvBuffer *b, const RawToken &t);
// The proof items; `platform_first` writes item 8 before them, as a
// challenge answer does. `ack_owed` (item 5) is the last data frame param
// taken on the previous connection.
void raw_proof_items(TlvBuffer *b, const std::string &proof, uint32_t time_value,
                     bool platform_first, uint32_t installation = RAW_INSTALLATION,
                     uint32_t ack_owed = 0);

// First login frame param: the magic with a build age of 0 weeks.
enum : uint32_t { RAW_LOGIN_PARAM = 0x5530AA00 };

struct RawLogin {
  uint8_t answer = 0xFF;       // op byte of the final answer; 0xFF: none
  uint32_t param = 0;
  int frames = 0;              // login frames sent
  std::vector<uint8_t> body;   // body of the final answer
  std::string ticket;          // item 10 of a successful response
};

// Logs in as `t` on a connected client: with a ticket proof when `ticket`
// is given, answering a challenge if one comes. Devices of one user differ
// by `installation`.
RawLogin raw_login(RawClient *c, const RawToken &t, const std::string &app_name = "",
                   const std::string &ticket = "", uint32_t installation = RAW_INSTALLATION,
                   uint32_t ack_owed = 0);

// ---- bundles ----------------------------------------------------------------

// A record as a client writes it.
struct RawRecord {
  uint32_t id = 0;
  uint32_t uid = 0;
  std::string address;
  uint32_t gid = 0;
  std::string payload = "hi";
  uint32_t expiry = 3600;
  uint64_t flags = 0;
  uint16_t channel = 0;
  uint16_t type = 0;
  uint32_t agesent = 0;
  uint64_t syncid = 0, syncref = 0, refid = 0;
  uint16_t syncext = 0;
};

// The body of a bundle frame with sequence `seq`; empty, and the test
// failed, when a record does not encode.
std::vector<uint8_t> raw_bundle(uint16_t seq, const std::vector<RawRecord> &records);

// A record as the client's decoder reads it from a data frame.
struct RawReceived {
  MessageParams p;
  std::string address;
  std::string payload;
  uint64_t age;
  bool has_age;
  bool is_status;
};

// The records of a data frame's body; a malformed one fails the test and
// ends the list.
std::vector<RawReceived> raw_records(const std::vector<uint8_t> &body);

// Value of the first item of `type` in a TLV body; empty when absent.
std::string raw_item(const std::vector<uint8_t> &body, uint32_t type);
uint64_t raw_item_uint(const std::vector<uint8_t> &body, uint32_t type);
