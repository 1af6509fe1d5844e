// Checks the UTF-8 validity test on arbitrary bytes against a decoder
// written the other way round: a text is valid exactly when it can be cut
// into allowed characters that re-encode to the same bytes. The sanitizers
// catch any read past the given length.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/utf8.h"

static int encode(uint32_t cp, uint8_t out[4]) {
  if (cp < 0x80) {
    out[0] = (uint8_t)cp;
    return 1;
  }
  if (cp < 0x800) {
    out[0] = (uint8_t)(0xC0 | cp >> 6);
    out[1] = (uint8_t)(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = (uint8_t)(0xE0 | cp >> 12);
    out[1] = (uint8_t)(0x80 | (cp >> 6 & 0x3F));
    out[2] = (uint8_t)(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = (uint8_t)(0xF0 | cp >> 18);
  out[1] = (uint8_t)(0x80 | (cp >> 12 & 0x3F));
  out[2] = (uint8_t)(0x80 | (cp >> 6 & 0x3F));
  out[3] = (uint8_t)(0x80 | (cp & 0x3F));
  return 4;
}

static bool allowed(uint32_t cp) {
  if (cp < 0x80) return cp == '\t' || cp == '\n' || cp == '\r' || (cp >= 0x20 && cp < 0x7F);
  return cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

// Valid when every position starts the encoding of some allowed code
// point: try the one each length could carry.
static int reference(const uint8_t *s, size_t n) {
  size_t i = 0;
  while (i < n) {
    if (s[i] == 0) return 1;
    bool matched = false;
    for (int len = 1; len <= 4 && !matched && i + (size_t)len <= n; len++) {
      uint32_t cp = len == 1 ? s[i] : (uint32_t)(s[i] & (0x7F >> len));
      for (int k = 1; k < len; k++) cp = cp << 6 | (s[i + k] & 0x3F);
      uint8_t enc[4];
      if (allowed(cp) && encode(cp, enc) == len && memcmp(enc, s + i, (size_t)len) == 0) {
        i += (size_t)len;
        matched = true;
      }
    }
    if (!matched) return 0;
  }
  return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 1 << 16) return 0;
  // An exact-size copy so that any read past the length is caught.
  uint8_t *copy = (uint8_t *)malloc(size);
  memcpy(copy, data, size);
  if (utf8_is_valid((const char *)copy, (uint32_t)size) != reference(copy, size)) __builtin_trap();
  free(copy);
  return 0;
}
