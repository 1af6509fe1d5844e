// Frame headers: every 8-byte header decodes to fields that encode back to
// the same bytes, and every op byte has a class.
#include <cstdint>
#include <cstring>

#include "core/tlv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < FRAME_HEADER_SIZE) return 0;
  FrameHeader h;
  frame_decode(data, &h);
  if (h.code > 0xF || h.length > FRAME_MAX_BODY) __builtin_trap();
  uint8_t out[FRAME_HEADER_SIZE];
  if (frame_encode(out, h) != 0 || memcmp(out, data, FRAME_HEADER_SIZE) != 0) __builtin_trap();
  if ((unsigned)frame_class(h.op) > FRAME_CLASS_AUTHFAIL) __builtin_trap();
  return 0;
}
