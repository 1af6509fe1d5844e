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

enum : uint8_t { OP_FINAL_REFUSAL = 0x8B };

// Wait before the next attempt after a transport failure: 1 s per failure
// against this server while there were at most two (and at most 15 in all),
// then 3 s plus up to 20 s less the time since the last frame; 10-60 s after
// the server refused the connection.
int64_t transport_retry_delay_us(uint32_t server_failures, uint32_t persisted_failures, bool refused,
                                 uint64_t since_last_frame_us);
