// Access tokens in the layout the engine decodes, built field by field so
// tests can reach the edges (field widths, serials, malformed variants).
#pragma once

#include <cstdint>
#include <string>

// Field digit k gives fields of 2 x (15 - k) + 1 characters.
struct TokenSpec {
  std::string key = "00112233445566778899aabbccddeeff";
  uint32_t uid = 77, options = 0;
  uint64_t serial = 0x500000;
  uint32_t app_id = 5, identity3 = 0;
  bool with_identity3 = false;
  int k = 7;
};

// One numeric field holding `value` as X ^ Y.
std::string token_field(uint64_t value, int k, uint64_t mask = 0x1234567890ABCDEFull);
std::string make_token(const TokenSpec &s);
