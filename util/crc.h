// CRC-32 as in IEEE 802.3 (the reflected polynomial 0xEDB88320, initial
// value and final XOR all ones): push-token registrations carry it and the
// ICE server cache keys its entries by it.
#pragma once

#include <cstddef>
#include <cstdint>

// Checksum of `length` bytes. Passing an earlier result as `crc` continues
// it, so a checksum can be built piece by piece; 0 starts a new one.
uint32_t crc32_ieee(const void *data, size_t length, uint32_t crc = 0);
