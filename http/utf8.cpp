// UTF-8 validity test. See utf8.h.
#include "http/utf8.h"

// Smallest code point each sequence length may carry; anything below is an
// overlong form, which decoders disagree on and attackers use to smuggle
// characters past filters.
static const uint32_t kMinValue[5] = {0, 0, 0x80, 0x800, 0x10000};

enum : uint32_t {
  UTF8_MAX_CODE_POINT = 0x10FFFF,
  UTF8_SURROGATE_FIRST = 0xD800,
  UTF8_SURROGATE_LAST = 0xDFFF,
};

static bool ascii_allowed(uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7F); }

// Length of the sequence a lead byte starts, 0 when it cannot start one.
static uint32_t sequence_length(uint8_t lead) {
  if (lead >= 0xC0 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  return 0;
}

int utf8_is_valid(const char *text, uint32_t len) {
  if (!text) return 0;
  const uint8_t *s = (const uint8_t *)text;
  uint32_t n = len ? len : UTF8_DEFAULT_LIMIT;
  uint32_t i = 0;
  while (i < n) {
    uint8_t c = s[i];
    if (c == 0) return 1;
    if (c < 0x80) {
      if (!ascii_allowed(c)) return 0;
      i++;
      continue;
    }
    uint32_t need = sequence_length(c);
    if (need == 0 || need > n - i) return 0;
    uint32_t value = c & (0x7F >> need);
    for (uint32_t k = 1; k < need; k++) {
      uint8_t cont = s[i + k];
      if ((cont & 0xC0) != 0x80) return 0;
      value = value << 6 | (cont & 0x3F);
    }
    if (value < kMinValue[need] || value > UTF8_MAX_CODE_POINT) return 0;
    if (value >= UTF8_SURROGATE_FIRST && value <= UTF8_SURROGATE_LAST) return 0;
    i += need;
  }
  return 1;
}
