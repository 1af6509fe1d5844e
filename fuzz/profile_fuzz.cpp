// Profile records from the server and from peers: decoding reads nothing
// outside its input, reports a length inside it, and whatever decoded
// encodes again and decodes to the same fields.
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/profile.h"

static bool same(const ProfileBytes &a, const ProfileBytes &b) {
  return a.len == b.len && (a.len == 0 || memcmp(a.p, b.p, a.len) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 0x10000) return 0;
  std::vector<uint8_t> in(data, data + size);  // exact bounds for the sanitizer
  ProfileBytes items[16];
  ProfileAddressList list = {items, 16, 0, 0};
  ProfileRecord r;
  int n = profile_decode(in.data(), (uint32_t)in.size(), &r, &list, size & 1);
  if (n > (int)size || list.count > 16) __builtin_trap();
  if (n <= 0) return 0;
  std::vector<uint8_t> out(profile_encode_size(&r, nullptr, 0, true));
  int m = profile_encode(&r, nullptr, 0, true, out.data(), (uint32_t)out.size());
  if (m <= 0) __builtin_trap();
  ProfileRecord d;
  if (profile_decode(out.data(), (uint32_t)m, &d, nullptr, false) != m) __builtin_trap();
  if (d.uid != r.uid || d.gid != r.gid || d.revision != r.revision || d.flags != r.flags ||
      d.value59 != r.value59 || memcmp(d.settings, r.settings, sizeof r.settings) != 0 ||
      !same(d.text8, r.text8) || !same(d.thumbnail, r.thumbnail) || !same(d.address, r.address) ||
      !same(d.extra259, r.extra259))
    __builtin_trap();
  return 0;
}
