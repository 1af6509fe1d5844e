#include "util/time.h"

#include <gtest/gtest.h>


TEST(Clock, TracksWallClockAndMovesForward) {
  uint64_t wall = wall_ms();
  uint64_t us = clock_now_us();
  // Started from the real time, so it reads like the wall clock.
  EXPECT_NEAR((double)(us / 1000), (double)wall, 1000.0);
  EXPECT_EQ(clock_now_s(), clock_now_us() / 1000000);
  uint64_t a = clock_now_ns(), b = clock_now_ns();
  EXPECT_LE(a, b);
}

TEST(Clock, TestOffsetShiftsEngineClockOnly) {
  uint64_t before = clock_now_us();
  uint64_t wall = wall_ms();
  clock_set_test_offset_us(3600LL * 1000000);
  uint64_t shifted = clock_now_us();
  uint64_t wall_after = wall_ms();
  clock_set_test_offset_us(0);
  EXPECT_GE(shifted - before, 3600ULL * 1000000);
  EXPECT_LT(shifted - before, 3601ULL * 1000000);
  EXPECT_LT(wall_after - wall, 1000u);
}
