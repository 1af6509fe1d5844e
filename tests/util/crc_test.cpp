// Checksums: the standard check values, and piecewise use.
#include "util/crc.h"
#include "util/crc64.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const char kCheck[] = "123456789";
const char kFox[] = "The quick brown fox jumps over the lazy dog";

TEST(Crc, CheckValues) {
  EXPECT_EQ(crc32_ieee(kCheck, 9), 0xCBF43926u);
  EXPECT_EQ(crc32_ieee(kFox, strlen(kFox)), 0x414FA339u);
  EXPECT_EQ(crc32_ieee("", 0), 0u);
  EXPECT_EQ(crc64_ecma(kCheck, 9), 0x6C40DF5F0B497347ull);
  EXPECT_EQ(crc64_ecma("", 0), 0u);
  // No initial or final inversion: leading zero bytes do not change it.
  const uint8_t zeros_then_check[] = {0, 0, '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc64_ecma(zeros_then_check, sizeof zeros_then_check), 0x6C40DF5F0B497347ull);
}

TEST(Crc, ContinuesAcrossPieces) {
  const size_t n = strlen(kFox);
  const uint32_t whole32 = crc32_ieee(kFox, n);
  const uint64_t whole64 = crc64_ecma(kFox, n);
  for (size_t cut = 0; cut <= n; cut++) {
    EXPECT_EQ(crc32_ieee(kFox + cut, n - cut, crc32_ieee(kFox, cut)), whole32) << cut;
    EXPECT_EQ(crc64_ecma(kFox + cut, n - cut, crc64_ecma(kFox, cut)), whole64) << cut;
  }
}

}  // namespace
