// CRC-64 with the ECMA-182 polynomial 0x42F0E1EBA9EA3693, processed most
// significant bit first from an initial value of 0 and with no final XOR
// ("123456789" gives 0x6C40DF5F0B497347). It guards the persisted engine
// settings blob, so the definition must never change.
#pragma once

#include <cstddef>
#include <cstdint>

// Checksum of `length` bytes; passing an earlier result as `crc` continues it.
uint64_t crc64_ecma(const void *data, size_t length, uint64_t crc = 0);
