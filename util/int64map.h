// Locked hash map from 64-bit keys to pointers (message ids, user ids).
//
// Same table, result codes and walk protocol as StringMap (hashmap.h); the
// values are not copied. Every operation takes the map's mutex; callbacks
// run with it held and must not call back into the same map.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "util/hashmap.h"

class Int64Map {
 public:
  // Walk callback: value is null (and key 0) for the end signal.
  typedef int (*WalkFn)(void *ctx, int64_t key, void *value);
  // find_first predicate: 0 selects the entry.
  typedef int (*MatchFn)(void *ctx, int64_t key, void *value);

  Int64Map();
  ~Int64Map();
  Int64Map(const Int64Map &) = delete;
  Int64Map &operator=(const Int64Map &) = delete;

  int put(int64_t key, void *value, void **old_value = nullptr);  // MAP_PUT_*
  void *get(int64_t key);
  int remove(int64_t key);  // 0, or -1 when absent
  int count();
  void clear();
  int walk(void *ctx, WalkFn fn);  // as StringMap::walk
  int values(void ***out, int (*compare)(const void *, const void *) = nullptr);
  // The first value in bucket order for which `match` returns 0, or null.
  void *find_first(void *ctx, MatchFn match);

 private:
  pthread_mutex_t lock_;
  HashTable table_;
};

// (k >> 33) ^ k ^ (k << 11), truncated to 32 bits.
uint32_t int64_hash(uint64_t key);
