#include "support/token_helper.h"

#include <cstdio>

std::string token_field(uint64_t value, int k, uint64_t mask) {
  int w = 15 - k;
  uint64_t limit = w >= 16 ? ~0ull : (1ull << (4 * w)) - 1;
  uint64_t x = mask & limit, y = (mask ^ value) & limit;
  auto hex = [w](uint64_t v) {
    std::string out(w, '0');
    for (int i = w - 1; i >= 0; i--, v >>= 4) out[i] = "0123456789abcdef"[v & 15];
    return out;
  };
  return std::string(1, "0123456789abcdef"[k]) + hex(x) + hex(y);
}

std::string make_token(const TokenSpec &s) {
  std::string t = s.key;
  int d = std::stoi(std::string(1, t[11]), nullptr, 16);
  t += std::string(d / 2, 'a');
  t += token_field(s.uid, s.k) + token_field(s.options, s.k);
  char serial[24];
  snprintf(serial, sizeof serial, "%llxq", (unsigned long long)s.serial);
  t += serial;
  t += token_field(s.app_id, s.k);
  if (s.with_identity3) t += token_field(s.identity3, s.k);
  return t;
}

