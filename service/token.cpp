// Access token text: see token.h for the layout.
#include "service/token.h"

#include <openssl/rand.h>

#include <cstdio>

static const char HEX_DIGITS[] = "0123456789abcdef";

// The field width the service writes: k = 7 gives w = 8 hex digits per half.
enum { TOKEN_FIELD_K = 7, TOKEN_FIELD_W = 15 - TOKEN_FIELD_K };

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int token_new_key(uint8_t key[TOKEN_KEY_SIZE]) {
  return RAND_bytes(key, TOKEN_KEY_SIZE) == 1 ? 0 : -1;
}

// The value travels as mask xor value next to the mask, so equal values in
// two tokens do not show as equal text.
static int append_field(std::string *out, uint32_t value) {
  uint32_t mask;
  if (RAND_bytes((unsigned char *)&mask, sizeof mask) != 1) return -1;
  char text[2 + 2 * TOKEN_FIELD_W];
  snprintf(text, sizeof text, "%x%08x%08x", TOKEN_FIELD_K, mask, mask ^ value);
  out->append(text);
  return 0;
}

std::string token_format(const TokenFields &f) {
  std::string t;
  for (uint32_t i = 0; i < TOKEN_KEY_SIZE; i++) {
    t += HEX_DIGITS[f.key[i] >> 4];
    t += HEX_DIGITS[f.key[i] & 15];
  }
  // The digit at index 11 says where the numeric fields start.
  int filler = hex_value(t[11]) / 2;
  uint8_t pad[8];
  if (RAND_bytes(pad, sizeof pad) != 1) return std::string();
  for (int i = 0; i < filler; i++) t += HEX_DIGITS[pad[i] & 15];

  if (append_field(&t, f.uid) != 0 || append_field(&t, f.options) != 0) return std::string();
  char serial[24];
  snprintf(serial, sizeof serial, "%llxx", (unsigned long long)f.serial);
  t.append(serial);
  if (append_field(&t, f.app_id) != 0) return std::string();
  return t;
}
