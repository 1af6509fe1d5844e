#include "util/hashmap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "util/int64map.h"

namespace {

// Records every walk callback; returns the scripted result for each entry.
struct WalkLog {
  int result = 0;
  int entries = 0;
  int end_signals = 0;
  std::vector<std::string> keys;
};

int record_text(void *ctx, const char *key, void *value) {
  WalkLog *w = (WalkLog *)ctx;
  if (!key) {
    EXPECT_EQ(value, nullptr);
    w->end_signals++;
    return 0;
  }
  w->entries++;
  w->keys.push_back(key);
  return w->result;
}

}  // namespace

TEST(StringMap, PutResultsAndReplace) {
  StringMap m;
  int a = 1, b = 2;
  void *old = nullptr;
  EXPECT_EQ(m.put("alice", &a, &old), MAP_PUT_NEW);
  EXPECT_EQ(m.put("alice", &b, &old), MAP_PUT_REPLACED);
  EXPECT_EQ(old, &a);
  EXPECT_EQ(m.get("alice"), &b);
  EXPECT_EQ(m.get("bob"), nullptr);
  EXPECT_EQ(m.count(), 1);
  EXPECT_EQ(m.put(nullptr, &a), MAP_PUT_FAILED);
  EXPECT_EQ(m.get(nullptr), nullptr);
}

TEST(StringMap, KeysComparedByTextNotPointer) {
  StringMap m;
  int v = 1;
  char key[] = "carol";
  m.put("carol", &v);
  EXPECT_EQ(m.get(key), &v);
  EXPECT_EQ(m.remove(std::string("carol").c_str()), 0);
}

TEST(StringMap, RemoveThenPutReusesDeletedBucket) {
  StringMap m;
  int v = 1;
  m.put("x", &v);
  EXPECT_EQ(m.remove("x"), 0);
  EXPECT_EQ(m.remove("x"), -1);
  EXPECT_EQ(m.get("x"), nullptr);
  EXPECT_EQ(m.put("x", &v), MAP_PUT_REUSED);
  EXPECT_EQ(m.get("x"), &v);
  EXPECT_EQ(m.count(), 1);
}

// Many keys force repeated growth, and interleaved removes leave deleted
// markers that later rebuilds must drop without losing live entries.
TEST(StringMap, GrowthKeepsEveryEntry) {
  StringMap m;
  std::vector<std::string> keys;
  for (int i = 0; i < 2000; i++) keys.push_back("user" + std::to_string(i));
  for (int i = 0; i < 2000; i++) ASSERT_GE(m.put(keys[i].c_str(), (void *)(intptr_t)(i + 1)), 1);
  for (int i = 0; i < 2000; i += 2) ASSERT_EQ(m.remove(keys[i].c_str()), 0);
  for (int round = 0; round < 3; round++)
    for (int i = 0; i < 2000; i += 2) {
      ASSERT_GE(m.put(keys[i].c_str(), (void *)(intptr_t)(i + 1)), 1);
      ASSERT_EQ(m.remove(keys[i].c_str()), 0);
    }
  EXPECT_EQ(m.count(), 1000);
  for (int i = 0; i < 2000; i++)
    ASSERT_EQ(m.get(keys[i].c_str()), i % 2 ? (void *)(intptr_t)(i + 1) : nullptr) << keys[i];
}

TEST(StringMap, WalkDeleteAllEndsWithOneEndSignal) {
  StringMap m;
  const char *keys[] = {"a", "b", "c", "d", "e"};
  for (const char *k : keys) m.put(k, (void *)k);
  WalkLog w;
  w.result = MAP_WALK_DELETE;
  EXPECT_EQ(m.walk(&w, record_text), 0);
  EXPECT_EQ(w.entries, 5);
  EXPECT_EQ(w.end_signals, 1);
  EXPECT_EQ(m.count(), 0);
  for (const char *k : keys) EXPECT_EQ(m.get(k), nullptr);
}

TEST(StringMap, WalkEndSignalRules) {
  struct Case {
    int entries;
    int result;
    int want_visits;
    int want_end;
    int want_return;
  } cases[] = {
      {0, 0, 0, 1, 0},    // empty map still signals the end
      {3, 0, 3, 1, 0},    // all kept
      {3, -1, 1, 0, -1},  // stopped at once: no end signal
      {3, 5, 3, 1, 0},    // other positive results keep the entry
  };
  for (const Case &c : cases) {
    StringMap m;
    std::vector<std::string> keys;
    for (int i = 0; i < c.entries; i++) keys.push_back("k" + std::to_string(i));
    for (auto &k : keys) m.put(k.c_str(), &m);
    WalkLog w;
    w.result = c.result;
    EXPECT_EQ(m.walk(&w, record_text), c.want_return) << c.result;
    EXPECT_EQ(w.entries, c.want_visits) << c.result;
    EXPECT_EQ(w.end_signals, c.want_end) << c.result;
    EXPECT_EQ(m.count(), c.entries) << c.result;
  }
}

static int compare_ints(const void *a, const void *b) {
  int x = **(int *const *)a, y = **(int *const *)b;
  return x < y ? -1 : x > y;
}

TEST(StringMap, ValuesSortedAndClear) {
  StringMap m;
  int v[] = {30, 10, 20};
  m.put("p", &v[0]);
  m.put("q", &v[1]);
  m.put("r", &v[2]);
  void **out = nullptr;
  ASSERT_EQ(m.values(&out, compare_ints), 3);
  EXPECT_EQ(*(int *)out[0], 10);
  EXPECT_EQ(*(int *)out[1], 20);
  EXPECT_EQ(*(int *)out[2], 30);
  free(out);
  m.clear();
  EXPECT_EQ(m.count(), 0);
  EXPECT_EQ(m.get("p"), nullptr);
  EXPECT_EQ(m.values(&out), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(m.put("p", &v[0]), MAP_PUT_NEW);  // cleared buckets are empty, not deleted
}

TEST(StringMap, HashUsesSignedBytes) {
  EXPECT_EQ(string_hash(""), 0u);
  EXPECT_EQ(string_hash("a"), 97u);
  EXPECT_EQ(string_hash("ab"), 97u * 31 + 98);
  // 0xE9 as a signed char is -23.
  EXPECT_EQ(string_hash("a\xE9"), 97u * 31 - 23);
}

// The growth points: 4 buckets on the first insert, 8 once a fourth entry
// would pass 3 occupied buckets. Observed through the shared core.
TEST(HashTable, GrowsToFourThenEight) {
  static const HashKeyOps ops = {int64_hash, [](uint64_t a, uint64_t b) { return a == b; }};
  HashTable t;
  hashtable_init(&t, &ops);
  EXPECT_EQ(t.buckets, 0u);
  int v = 0;
  hashtable_put(&t, 1, &v, nullptr);
  EXPECT_EQ(t.buckets, 4u);
  EXPECT_EQ(t.threshold, 3u);
  hashtable_put(&t, 2, &v, nullptr);
  hashtable_put(&t, 3, &v, nullptr);
  EXPECT_EQ(t.buckets, 4u);
  hashtable_put(&t, 4, &v, nullptr);
  EXPECT_EQ(t.buckets, 8u);
  // Deleted markers filling the table cause a same-size rebuild.
  hashtable_free(&t);
  hashtable_put(&t, 1, &v, nullptr);
  hashtable_put(&t, 2, &v, nullptr);
  hashtable_put(&t, 3, &v, nullptr);
  hashtable_remove(&t, 2);
  hashtable_remove(&t, 3);
  EXPECT_EQ(t.occupied, 3u);
  EXPECT_EQ(hashtable_put(&t, 5, &v, nullptr), MAP_PUT_NEW);
  EXPECT_EQ(t.buckets, 4u);
  EXPECT_EQ(t.occupied, 2u);
  hashtable_free(&t);
}

namespace {
int match_value(void *ctx, int64_t, void *value) { return *(int *)value == *(int *)ctx ? 0 : 1; }

int sum_keys(void *ctx, int64_t key, void *value) {
  if (value) *(int64_t *)ctx += key;
  return 0;
}
}  // namespace

TEST(Int64Map, OperationsAndFindFirst) {
  Int64Map m;
  int v[] = {7, 8, 9};
  // Keys that differ only in high bits must stay apart.
  int64_t keys[] = {1, 1LL << 40, -5};
  for (int i = 0; i < 3; i++) EXPECT_EQ(m.put(keys[i], &v[i]), MAP_PUT_NEW);
  for (int i = 0; i < 3; i++) EXPECT_EQ(m.get(keys[i]), &v[i]);
  EXPECT_EQ(m.get(2), nullptr);
  int want = 9;
  EXPECT_EQ(m.find_first(&want, match_value), &v[2]);
  want = 4;
  EXPECT_EQ(m.find_first(&want, match_value), nullptr);
  int64_t sum = 0;
  EXPECT_EQ(m.walk(&sum, sum_keys), 0);
  EXPECT_EQ(sum, 1 + (1LL << 40) - 5);
  EXPECT_EQ(m.remove(1), 0);
  EXPECT_EQ(m.remove(1), -1);
  // The table is at its threshold, so this insert rebuilds it first and
  // lands in a fresh bucket.
  EXPECT_EQ(m.put(1, &v[0]), MAP_PUT_NEW);
  EXPECT_EQ(m.get(1), &v[0]);
  EXPECT_EQ(m.count(), 3);
}
