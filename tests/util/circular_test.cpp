#include "util/circular.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> pattern(int n, int base) {
  std::vector<uint8_t> v(n);
  for (int i = 0; i < n; i++) v[i] = (uint8_t)(base + i);
  return v;
}

// Leaves `n` (at least 1) bytes of pattern(n, base) in the buffer starting
// at `start`. One pattern byte goes in before the filler is consumed, since
// emptying the buffer would move the positions back to 0.
void place(CircularBuffer &cb, uint32_t start, int n, int base) {
  std::vector<uint8_t> filler(start, 0xEE), p = pattern(n, base);
  cb.reset();
  ASSERT_EQ(cb.write(filler.data(), start), 0);
  ASSERT_EQ(cb.write(p.data(), 1), 0);
  ASSERT_EQ(cb.consume(start), 0);
  ASSERT_EQ(cb.write(p.data() + 1, n - 1), 0);
  ASSERT_EQ(cb.read_pos(), start);
}

}  // namespace

TEST(CircularBuffer, WrappedContentsFlattenInOrder) {
  CircularBuffer cb;
  ASSERT_EQ(cb.create(nullptr, 100), 0);
  // 30 bytes at positions 90..99 and 0..19.
  std::vector<uint8_t> p = pattern(30, 1);
  place(cb, 90, 5, 1);
  ASSERT_EQ(cb.write(p.data() + 5, 25), 0);
  ASSERT_EQ(cb.read_pos(), 90u);
  ASSERT_EQ(cb.write_pos(), 20u);

  uint32_t contiguous, total;
  cb.read_region(&contiguous, &total);
  EXPECT_EQ(contiguous, 10u);
  EXPECT_EQ(total, 30u);

  uint8_t *data = cb.flatten();
  EXPECT_EQ(memcmp(data, p.data(), 30), 0);
  EXPECT_EQ(cb.read_pos(), 0u);
  EXPECT_EQ(cb.write_pos(), 30u);
  EXPECT_EQ(cb.used(), 30u);
  cb.read_region(&contiguous, &total);
  EXPECT_EQ(contiguous, 30u);
  // Still a working buffer after the areas were swapped.
  std::vector<uint8_t> more = pattern(70, 100), all(100);
  ASSERT_EQ(cb.write(more.data(), 70), 0);
  ASSERT_EQ(cb.read(all.data(), 100), 0);
  EXPECT_EQ(memcmp(all.data(), p.data(), 30), 0);
  EXPECT_EQ(memcmp(all.data() + 30, more.data(), 70), 0);
}

TEST(CircularBuffer, FlattenUnwrappedAndFull) {
  CircularBuffer cb;
  ASSERT_EQ(cb.create(nullptr, 100), 0);
  place(cb, 40, 30, 7);
  uint8_t *data = cb.flatten();
  EXPECT_EQ(memcmp(data, pattern(30, 7).data(), 30), 0);
  EXPECT_EQ(cb.write_pos(), 30u);

  // Full and wrapped: the write position ends at 0, not at capacity.
  place(cb, 50, 100, 3);
  EXPECT_EQ(cb.free_space(), 0u);
  data = cb.flatten();
  EXPECT_EQ(memcmp(data, pattern(100, 3).data(), 100), 0);
  EXPECT_EQ(cb.write_pos(), 0u);
  uint32_t contiguous, total;
  cb.write_region(&contiguous, &total);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(contiguous, 0u);
}

TEST(CircularBuffer, CopyHelpersAcrossTheWrap) {
  CircularBuffer cb;
  ASSERT_EQ(cb.create(nullptr, 16), 0);
  place(cb, 10, 2, 0);  // read at 10, write at 12, 2 used

  uint32_t contiguous, total;
  cb.write_region(&contiguous, &total);
  EXPECT_EQ(contiguous, 4u);  // up to the end of the area
  EXPECT_EQ(total, 14u);

  std::vector<uint8_t> p = pattern(10, 50), out(12);
  ASSERT_EQ(cb.write(p.data(), 10), 0);  // 4 at the end, 6 from 0
  EXPECT_EQ(cb.write_pos(), 6u);
  ASSERT_EQ(cb.read(out.data(), 12), 0);  // 2 filler + 10 pattern, wrapping
  EXPECT_EQ(memcmp(out.data(), pattern(2, 0).data(), 2), 0);
  EXPECT_EQ(memcmp(out.data() + 2, p.data(), 10), 0);
  EXPECT_EQ(cb.read_pos(), 0u);  // consuming everything resets both positions
  EXPECT_EQ(cb.write_pos(), 0u);
}

TEST(CircularBuffer, RefusesMoreThanItHolds) {
  CircularBuffer cb;
  ASSERT_EQ(cb.create(nullptr, 8), 0);
  uint8_t bytes[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(cb.write(bytes, 9), -1);
  EXPECT_EQ(cb.used(), 0u);
  ASSERT_EQ(cb.write(bytes, 5), 0);
  EXPECT_EQ(cb.commit(4), -1);
  EXPECT_EQ(cb.consume(6), -1);  // ignored
  EXPECT_EQ(cb.used(), 5u);
  uint8_t out[6];
  EXPECT_EQ(cb.read(out, 6), -1);
  EXPECT_EQ(cb.used(), 5u);
  EXPECT_EQ(cb.read(out, 5), 0);
  EXPECT_EQ(memcmp(out, bytes, 5), 0);
}

TEST(CircularBuffer, CallerMemoryAndResize) {
  uint8_t block[2 * 32];
  CircularBuffer cb;
  ASSERT_EQ(cb.create(block, 32), 0);
  uint32_t contiguous, total;
  EXPECT_EQ(cb.write_region(&contiguous, &total), block);
  EXPECT_EQ(contiguous, 32u);
  uint8_t bytes[4] = {1, 2, 3, 4};
  ASSERT_EQ(cb.write(bytes, 4), 0);
  ASSERT_EQ(cb.resize(nullptr, 64), 0);  // contents dropped, memory now owned
  EXPECT_EQ(cb.used(), 0u);
  EXPECT_EQ(cb.capacity(), 64u);
  EXPECT_EQ(cb.free_space(), 64u);
  EXPECT_NE(cb.read_region(&contiguous, &total), block);
}
