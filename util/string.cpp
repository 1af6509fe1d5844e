#include "util/string.h"

// Reads a run of decimal digits; false when there is none or it exceeds
// `limit`. Digits past the limit are consumed so the caller sees one field.
static bool read_field(const char **s, uint32_t limit, uint32_t *out) {
  const char *p = *s;
  if (*p < '0' || *p > '9') return false;
  uint64_t v = 0;
  bool over = false;
  for (; *p >= '0' && *p <= '9'; p++) {
    v = v * 10 + (uint64_t)(*p - '0');
    if (v > limit) {
      over = true;
      v = limit + 1ull;  // stays small however long the run is
    }
  }
  *s = p;
  *out = (uint32_t)v;
  return !over;
}

uint32_t version_number(const char *text) {
  if (text == nullptr) return 0;
  const char *s = text;
  uint32_t major = 0, minor = 0, patch = 0;
  if (!read_field(&s, 4294, &major)) return 0;
  if (*s == '.' && s[1] >= '0' && s[1] <= '9') {
    s++;
    if (!read_field(&s, 99, &minor)) return 0;
    if (*s == '.' && s[1] >= '0' && s[1] <= '9') {
      s++;
      if (!read_field(&s, 100, &patch)) return 0;
    }
  }
  uint64_t n = (uint64_t)major * 1000000 + minor * 10000 + patch * 100;
  return n > UINT32_MAX ? 0 : (uint32_t)n;
}
