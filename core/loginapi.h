// The login: request and response of the login frame, the challenge round,
// session tickets per host, redirects to an on-premise server, the server
// control check run on every received frame, and the retry delays after a
// failed attempt.
#pragma once

#include <cstdint>

// Answers of a login round (op bytes of the server's answer, and our own).
enum : int {
  LOGIN_OK = 0,
  LOGIN_CHALLENGE = 5,
  LOGIN_HOLDOFF = 134,
  LOGIN_ONPREMISE_DOWN = 0x89,
  LOGIN_FINAL_REFUSAL = 0x8B,
  LOGIN_REDIRECT = 0x91,
  LOGIN_SERVICE_ENDED = 0x93,
  LOGIN_TRANSPORT_FAILED = 155,
};

enum : uint8_t {
  OP_HOLDOFF_81 = 0x81,
  OP_HOLDOFF_85 = 0x85,
  OP_HOLDOFF_86 = 0x86,
  OP_FINAL_REFUSAL = 0x8B,
};

enum : uint32_t {
  LOGIN_MAGIC = 0x5530AA00,       // first request param, or-ed with the build age in weeks
  LOGIN_FRAME_CAPACITY = 1032,
  LOGIN_MAX_ROUNDS = 6,           // redirects followed per attempt
  LOGIN_TICKET_MAX = 127,
  LOGIN_PING_FALLBACK_S = 7200,
  REDIRECT_MAX_SLEEP_S = 7200,
  LOGIN_PROOF_SIZE = 32,
};

// Login flag bits (login response item 8).
enum : uint32_t {
  LOGIN_FLAG_QUERY = 1u << 6,
  LOGIN_FLAG_LONG_FIRST_PING = 1u << 8,
  LOGIN_FLAG_CALLS = 1u << 14,
  LOGIN_FLAG_SFU = 1u << 16,
  LOGIN_FLAG_NOTICE2 = 1u << 28,
};

// An on-premise redirect as parsed from its body. Expiry, attempts, the
// time it arrived and the raw body are persisted with the settings.
struct RedirectRecord {
  char host[65];
  uint32_t ipv4;              // network byte order, 0 when none
  uint16_t ports[8];
  int port_count;
  uint32_t max_attempts;
  uint16_t mode;              // 10 and 11: on-premise mode
  uint32_t penalty_s;
  uint32_t sleep_s;           // before reconnecting
  uint32_t value13;           // echoed as login item 60
  uint8_t blob[256];          // echoed as login item 16
  uint32_t blob_len;
};

// Values of the current or last login.
struct LoginState {
  uint32_t time_value;        // the time the proof was computed with
  uint8_t ticket[LOGIN_TICKET_MAX];
  uint32_t ticket_len;
  bool ticket_loaded;
  uint16_t challenge_options; // bit 0: send the redirect blob (item 16)
  int requests;               // login frames sent in this login
  uint64_t start_us;
  uint64_t local_time_ref_us; // local time the server time arrived
  bool has_last_seq;
  uint16_t last_seq;          // last bundle the server received
  uint32_t server_value;      // response item 3
  uint32_t account_notice;    // response item 39
  uint32_t call_restrictions; // item 17
  uint32_t max_call_s;        // item 46
  uint16_t extra_ack_delay_s; // item 23
  char own_address[256];
  char ice_companion[256];    // item 25
  uint32_t logins;
  bool first_on_server;       // first login to this server since start
  uint8_t network_type;       // used for this login
  uint64_t redirect_received_us;
  RedirectRecord redirect;
};

// Wait before the next attempt after a transport failure: 1 s per failure
// against this server while there were at most two (and at most 15 in all),
// then 3 s plus up to 20 s less the time since the last frame; 10-60 s after
// the server refused the connection.
int64_t transport_retry_delay_us(uint32_t server_failures, uint32_t persisted_failures, bool refused,
                                 uint64_t since_last_frame_us);

// Response timeout from the time a login took: 5 × elapsed, doubled when
// one request was enough, clamped to 10..30 s.
uint64_t login_response_timeout_us(uint64_t elapsed_us, int requests);

// Hold time of a control frame's param: bits 0-15 seconds, scaled by 4,096
// (all ones) or 64 when flag 0x800 (param bit 27) is set.
uint64_t control_hold_seconds(uint32_t param);
