// Walks arbitrary bytes as TLV items. Every item read must re-encode in the
// writer's (shortest) form and read back the same; the search and removal
// helpers must stay inside the input.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/tlv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  TlvBuffer t;
  tlv_init(&t, data, (uint32_t)size);
  uint32_t type, len;
  const uint8_t *v;
  uint32_t before = 0;
  std::vector<uint8_t> out;
  while (t.get(&type, &len, &v) == 0) {
    if (v < data || v + len > data + size || t.pos <= before) __builtin_trap();
    out.resize(len + TLV_MAX_HEADER);
    int n = tlv_add(out.data(), (uint32_t)out.size(), type, len, v, false);
    if (n < 0 || (uint32_t)n > t.pos - before) __builtin_trap();
    TlvBuffer r;
    tlv_init(&r, out.data(), (uint32_t)n);
    uint32_t type2, len2;
    const uint8_t *v2;
    if (r.get(&type2, &len2, &v2) != 0 || type2 != type || len2 != len || r.pos != (uint32_t)n)
      __builtin_trap();
    if (len && memcmp(v, v2, len) != 0) __builtin_trap();
    before = t.pos;
  }

  uint32_t want = size ? data[0] & 0x1F : 0;
  int found = tlv_find(data, (uint32_t)size, want, &v);
  if (found >= 0 && (v < data || v + found > data + size)) __builtin_trap();
  found = tlv_find_item(data, (uint32_t)size, want, &v);
  if (found > 0 && (v < data || v + found > data + size)) __builtin_trap();

  std::vector<uint8_t> copy(data, data + size);
  int left = tlv_remove(copy.data(), (int)size, want);
  if (left > (int)size || (left < 0 && size > 1)) __builtin_trap();
  return 0;
}
