// Decodes arbitrary bytes as a rich payload. Every text the decoder keeps
// must end with its zero byte inside the input, the thumbnail must lie
// inside it, and a decoded bundle must encode and decode back to the same
// fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "api/richmessage.h"

static bool inside(const void *p, size_t n, const uint8_t *data, size_t size) {
  const uint8_t *b = (const uint8_t *)p;
  return b >= data && n <= size && b + n <= data + size;
}

static bool text_ok(const char *s, const uint8_t *data, size_t size) {
  if (s == nullptr) return true;
  if (!inside(s, 1, data, size)) return false;
  return memchr(s, 0, data + size - (const uint8_t *)s) != nullptr;
}

static bool same_text(const char *a, const char *b) {
  if (a == nullptr || *a == 0) return b == nullptr || *b == 0;
  return b && strcmp(a, b) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  MessageBundle b;
  if (rich_decode(data, (uint32_t)size, &b) != 0) return 0;
  const char *texts[] = {b.message, b.title, b.subtitle, b.footer, b.fileurl,
                         b.filename, b.mimetype, b.custom, b.item14};
  for (const char *t : texts)
    if (!text_ok(t, data, size)) __builtin_trap();
  if (b.thumbnail && !inside(b.thumbnail, b.thumbnail_len, data, size)) __builtin_trap();

  uint8_t *out = nullptr;
  uint32_t len = 0;
  if (rich_encode(&b, &out, &len) != 0) return 0;
  MessageBundle d;
  if (rich_decode(out, len, &d) != 0) __builtin_trap();
  if (!same_text(b.title, d.title) || !same_text(b.message, d.message) ||
      !same_text(b.fileurl, d.fileurl) || !same_text(b.custom, d.custom) ||
      b.filesize != d.filesize || b.fileflags != d.fileflags || b.filetype != d.filetype ||
      b.item26 != d.item26 || b.item30 != d.item30)
    __builtin_trap();
  if ((b.thumbnail && b.thumbnail_len) &&
      (d.thumbnail_len != b.thumbnail_len || memcmp(d.thumbnail, b.thumbnail, b.thumbnail_len)))
    __builtin_trap();
  free(out);
  return 0;
}
