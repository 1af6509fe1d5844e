#include "util/allocpool.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/capture.h"

TEST(AllocPool, RoundsToSixteenAndFillsFirstChunk) {
  AllocPool *pool = allocpool_create(64, 128);
  ASSERT_NE(pool, nullptr);
  uint8_t *a = (uint8_t *)allocpool_alloc(pool, 1);
  uint8_t *b = (uint8_t *)allocpool_alloc(pool, 17);
  uint8_t *c = (uint8_t *)allocpool_alloc(pool, 16);
  EXPECT_EQ(b - a, 16);
  EXPECT_EQ(c - b, 32);
  EXPECT_EQ((uintptr_t)a % 16, 0u);
  EXPECT_EQ(pool->first.used, 64u);
  EXPECT_EQ(pool->first.next, nullptr);
  EXPECT_EQ(allocpool_alloc(pool, 0), nullptr);
  allocpool_cleanup(pool);
}

TEST(AllocPool, GrowthChunksAndOversizedRequest) {
  AllocPool *pool = allocpool_create(32, 64);
  ASSERT_NE(pool, nullptr);
  allocpool_alloc(pool, 32);                // fills the first chunk
  void *big = allocpool_alloc(pool, 100);   // larger than the growth: 64 + 112
  ASSERT_NE(big, nullptr);
  AllocChunk *second = pool->first.next;
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->capacity, 64u + 112u);
  EXPECT_EQ(second->used, 112u);
  void *small = allocpool_alloc(pool, 48);  // still fits in the second chunk
  EXPECT_EQ((uint8_t *)small, (uint8_t *)big + 112);
  EXPECT_EQ(second->next, nullptr);
  allocpool_alloc(pool, 48);                // a plain growth chunk
  ASSERT_NE(second->next, nullptr);
  EXPECT_EQ(second->next->capacity, 64u);
  memset(big, 0xAB, 100);                   // the whole block is usable (ASan checks)

  allocpool_reset(pool);
  EXPECT_EQ(pool->first.used, 0u);
  EXPECT_EQ(second->used, 0u);
  EXPECT_EQ(allocpool_alloc(pool, 16), pool->first.data);
  allocpool_cleanup(pool);
}

TEST(AllocPool, CopiesAreTerminated) {
  AllocPool *pool = allocpool_create(0, 256);
  ASSERT_NE(pool, nullptr);
  char *c = allocpool_copy(pool, "abcdef", 3);
  EXPECT_STREQ(c, "abc");
  EXPECT_STREQ(allocpool_strdup(pool, "peer@example"), "peer@example");
  EXPECT_STREQ(allocpool_strdup(pool, ""), "");
  EXPECT_EQ(allocpool_strdup(pool, nullptr), nullptr);
  EXPECT_EQ(allocpool_copy(pool, nullptr, 4), nullptr);
  EXPECT_EQ(allocpool_copy(pool, "x", 0), nullptr);
  allocpool_cleanup(pool);
}

TEST(AllocPool, MisuseIsLoggedNotObeyed) {
  {
    StdoutCapture out;
    EXPECT_EQ(allocpool_alloc(nullptr, 8), nullptr);
    EXPECT_EQ(allocpool_strdup(nullptr, "x"), nullptr);
    EXPECT_TRUE(out.contains("*** BUG *** allocation pool null"));
  }
  AllocPool *pool = allocpool_create(32, 32);
  ASSERT_NE(pool, nullptr);
  char *kept = allocpool_strdup(pool, "still here");
  allocpool_alloc(pool, 64);  // a second chunk that must survive too
  pool->signature = 0x12345678;
  {
    StdoutCapture out;
    allocpool_cleanup(pool);
    EXPECT_TRUE(out.contains("*** BUG *** allocpool_cleanup: signature failed"));
  }
  // Nothing was freed: the pool and its chunks are still readable.
  EXPECT_STREQ(kept, "still here");
  ASSERT_NE(pool->first.next, nullptr);
  pool->signature = ALLOCPOOL_SIGNATURE;
  allocpool_cleanup(pool);
}
