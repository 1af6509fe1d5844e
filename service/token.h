// Access tokens as the service hands them out.
//
// A token is plain ASCII that the client decodes without asking anyone:
//
//   KKKK...K (32 hex)   token key, 16 bytes, used in the login proof
//   F...                d/2 filler characters, d = hex digit at index 11
//   uid field           numeric field (below)
//   options field       numeric field; bit 0: the proof leaves out the
//                       application name
//   serial              hexadecimal, unique per token, increasing per mint
//   'x'                 a letter g-z ends the serial
//   app id field        numeric field
//
// Numeric field: one hex digit k, then w = 15 - k hex digits X, then w hex
// digits Y; the value is X xor Y. The service always writes w = 8, so every
// value fits the client's 32-bit fields.
#pragma once

#include <cstdint>
#include <string>

enum : uint32_t {
  TOKEN_KEY_SIZE = 16,
  TOKEN_OPTION_NO_APP_NAME = 0x1,
};

// Serials the client accepts start above this value.
enum : uint64_t { TOKEN_SERIAL_FIRST = 4000000 };

struct TokenFields {
  uint8_t key[TOKEN_KEY_SIZE];
  uint32_t uid;
  uint32_t options;
  uint64_t serial;
  uint32_t app_id;
};

// Fills `key` from the system's random source; 0 or -1.
int token_new_key(uint8_t key[TOKEN_KEY_SIZE]);

// Writes the token text for `f`; the masks and filler come from the random
// source. Returns an empty string when randomness is unavailable.
std::string token_format(const TokenFields &f);
