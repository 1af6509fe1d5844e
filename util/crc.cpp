// Byte-at-a-time table CRC-32; the inputs (tokens, URLs) are short.
#include "util/crc.h"

namespace {

struct Crc32Table {
  uint32_t v[256];
  constexpr Crc32Table() : v() {
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = i;
      for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      v[i] = c;
    }
  }
};

constexpr Crc32Table kTable;

}  // namespace

uint32_t crc32_ieee(const void *data, size_t length, uint32_t crc) {
  const uint8_t *p = (const uint8_t *)data;
  crc = ~crc;
  for (size_t i = 0; i < length; i++) crc = kTable.v[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}
