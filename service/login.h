// The service's side of the login: reading login request bodies, the proof,
// and the bodies of the answers (challenge, login response, redirect).
//
// A client proves it holds the token key without sending it: the proof is
// SHA-256 over uid (LE32), a time value (LE32), the 16-byte token key, the
// ticket or challenge text, and the application name unless the token says
// to leave it out. With a ticket the time value is the client's clock (the
// first request carries it in item 24); after a challenge it is the
// challenge frame's param, which the second request repeats in item 24.
//
// Nothing here does I/O: the connection code feeds bodies in and sends
// what comes out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/registry.h"

enum : uint32_t {
  LOGIN_PROOF_SIZE = 32,
  LOGIN_MAGIC_MASK = 0xFFFFFF00,
  LOGIN_MAGIC = 0x5530AA00,       // first request param, low byte = build age
  LOGIN_SECRET_TEXT = 32,         // tickets and challenges: hex text of 16 bytes
  LOGIN_TICKET_MAX = 127,
  LOGIN_TICKET_WINDOW = 900,      // seconds a ticket login's clock may be off
};

// Answer op bytes of a login (code 1 frames).
enum : uint8_t {
  LOGIN_OK = 0,
  LOGIN_CHALLENGE = 5,
  LOGIN_ONPREMISE_DOWN = 0x89,
  LOGIN_REFUSED = 0x8B,
  LOGIN_REDIRECT = 0x91,
  LOGIN_ENDED = 0x93,
  LOGIN_AUTHFAIL = 0xC0,          // refused by an operator
  LOGIN_AUTHFAIL_PROOF = 0xC1,    // proof does not match
  LOGIN_AUTHFAIL_TOKEN = 0xC2,    // unknown or revoked token
};

// Login request items.
enum : uint32_t {
  LREQ_SERIAL = 3,
  LREQ_INSTALLATION = 4,
  LREQ_ACK_OWED = 5,
  LREQ_ZERO = 6,
  LREQ_NETWORK = 7,
  LREQ_PLATFORM = 8,
  LREQ_FLAGS = 10,
  LREQ_PROOF = 11,
  LREQ_TLS = 12,
  LREQ_PROTOCOL = 14,
  LREQ_API = 15,
  LREQ_APP_ID = 17,
  LREQ_TIME = 24,
  LREQ_DEVICE = 25,
  LREQ_OS = 26,
  LREQ_BUILD = 29,
  LREQ_CHECK = 30,
};

// Login response items the service writes.
enum : uint32_t {
  LRSP_PING = 5,
  LRSP_BATCH = 6,          // units of 20 ms
  LRSP_RECORDS = 7,
  LRSP_FLAGS = 8,
  LRSP_SERVER_TIME = 9,    // microseconds
  LRSP_TICKET = 10,
  LRSP_DETAIL = 11,
  LRSP_EXPIRY = 13,
  LRSP_LAST_SEQ = 15,
  LRSP_ADDRESS = 18,
  LRSP_UID = 19,
  LRSP_KA_IDLE = 20,
  LRSP_KA_INTERVAL = 21,
  LRSP_KA_COUNT = 22,
  LRSP_APP_NAME = 28,
};

// Login flags (item 8) the service sets.
enum : uint32_t {
  LOGIN_FLAG_HISTORY = 1u << 12,  // the service answers synchronisation requests
};

// Challenge body items.
enum : uint32_t {
  LCHAL_OPTIONS = 8,
  LCHAL_BYTES = 10,
};

// Redirect body items.
enum : uint32_t {
  LRED_VALIDITY = 3,
  LRED_BLOB = 4,
  LRED_SLEEP = 5,
  LRED_TICKET = 6,
  LRED_HOST = 7,
  LRED_ATTEMPTS = 9,
  LRED_MODE = 10,
  LRED_PORT = 11,
  LRED_PENALTY = 12,
  LRED_VALUE = 13,
  LRED_ADDRESS = 14,
};

struct LoginRequest {
  bool has_serial;
  uint64_t serial;
  uint32_t app_id;
  uint32_t platform;
  uint32_t build_time;
  uint32_t protocol_version;
  uint32_t api_version;
  uint32_t os_version;
  bool has_check;
  uint64_t check;
  uint32_t identity_flags;  // item 10 among the identity items
  uint32_t session_flags;   // item 10 among the proof items
  bool has_time;
  uint32_t time;
  uint32_t proof_len;       // 0 when absent
  uint8_t proof[LOGIN_PROOF_SIZE];
  uint32_t installation;
  uint32_t network_type;
  uint32_t ack_owed;
  uint32_t device_type;
  uint32_t identity_items;  // how many identity-only items were present
};

// Reads a login request body; 0, or -1 on malformed TLV data.
int login_read_request(const uint8_t *body, uint32_t len, LoginRequest *r);

// Whether the check value (item 30) agrees with the identity items; a
// request without it passes.
bool login_check_value_ok(const LoginRequest &r);

void login_proof(const TokenRecord &t, uint32_t time_value, const std::string &secret,
                 uint8_t out[LOGIN_PROOF_SIZE]);
// Whether the request's proof is the one for `secret` at its time value.
bool login_proof_matches(const LoginRequest &r, const TokenRecord &t, uint32_t time_value,
                         const std::string &secret);

// A fresh ticket or challenge text (32 hex characters); empty on failure.
std::string login_new_secret();

struct LoginGrant {
  uint32_t ping_s;
  uint32_t batch_units;
  uint32_t records_per_bundle;
  uint32_t login_flags;
  uint64_t server_time_us;
  std::string ticket;        // empty: none sent
  uint32_t detail;
  uint32_t expiry_s;
  bool has_last_seq;
  uint16_t last_seq;
  std::string address;
  uint32_t uid;
  uint32_t ka_idle, ka_interval, ka_count;
  std::string app_name;
};

struct RedirectOrder {
  std::string host;
  bool has_ipv4;
  uint8_t ipv4[4];                // network byte order
  std::vector<uint16_t> ports;
  uint32_t validity_s;
  uint32_t sleep_s;
  uint32_t attempts;
  uint32_t mode;
  uint32_t penalty_s;
  uint32_t value;                 // echoed by the client as login item 60
  std::string blob;
  std::string ticket;             // for the redirect host; empty: none
  uint32_t param;                 // frame param (sleep for an empty body)
};

// Body builders: return the body length, or -1 when it does not fit `cap`.
int login_write_challenge(uint8_t *buf, uint32_t cap, const std::string &challenge);
int login_write_response(uint8_t *buf, uint32_t cap, const LoginGrant &g);
int login_write_redirect(uint8_t *buf, uint32_t cap, const RedirectOrder &r);
