// Byte-at-a-time table CRC-64; the settings blob it covers is a few KiB.
#include "util/crc64.h"

namespace {

constexpr uint64_t kPoly = 0x42F0E1EBA9EA3693ull;

struct Crc64Table {
  uint64_t v[256];
  constexpr Crc64Table() : v() {
    for (uint64_t i = 0; i < 256; i++) {
      uint64_t c = i << 56;
      for (int k = 0; k < 8; k++) c = (c >> 63) ? (c << 1) ^ kPoly : c << 1;
      v[i] = c;
    }
  }
};

constexpr Crc64Table kTable;

}  // namespace

uint64_t crc64_ecma(const void *data, size_t length, uint64_t crc) {
  const uint8_t *p = (const uint8_t *)data;
  for (size_t i = 0; i < length; i++) crc = kTable.v[(crc >> 56) ^ p[i]] ^ (crc << 8);
  return crc;
}
