// 64-bit keyed map: see int64map.h.
#include "util/int64map.h"

#include "util/mutex.h"

uint32_t int64_hash(uint64_t key) { return (uint32_t)((key >> 33) ^ key ^ (key << 11)); }

static bool int64_equal(uint64_t a, uint64_t b) { return a == b; }

static const HashKeyOps INT64_KEY_OPS = {int64_hash, int64_equal};

Int64Map::Int64Map() {
  pthread_mutex_init(&lock_, nullptr);
  hashtable_init(&table_, &INT64_KEY_OPS);
}

Int64Map::~Int64Map() {
  hashtable_free(&table_);
  pthread_mutex_destroy(&lock_);
}

int Int64Map::put(int64_t key, void *value, void **old_value) {
  MutexGuard g(&lock_);
  return hashtable_put(&table_, (uint64_t)key, value, old_value);
}

void *Int64Map::get(int64_t key) {
  MutexGuard g(&lock_);
  return hashtable_get(&table_, (uint64_t)key);
}

int Int64Map::remove(int64_t key) {
  MutexGuard g(&lock_);
  return hashtable_remove(&table_, (uint64_t)key);
}

int Int64Map::count() {
  MutexGuard g(&lock_);
  return (int)table_.live;
}

void Int64Map::clear() {
  MutexGuard g(&lock_);
  hashtable_clear(&table_);
}

namespace {
struct Int64Walk {
  Int64Map::WalkFn fn;
  void *ctx;
};

struct Int64Match {
  Int64Map::MatchFn match;
  void *ctx;
  void *found;
};
}  // namespace

static int int64_walk_step(void *ctx, uint64_t key, void *value, bool end) {
  Int64Walk *w = (Int64Walk *)ctx;
  return w->fn(w->ctx, end ? 0 : (int64_t)key, value);
}

int Int64Map::walk(void *ctx, WalkFn fn) {
  if (!fn) return -1;
  Int64Walk w = {fn, ctx};
  MutexGuard g(&lock_);
  return hashtable_walk(&table_, int64_walk_step, &w);
}

int Int64Map::values(void ***out, int (*compare)(const void *, const void *)) {
  MutexGuard g(&lock_);
  return hashtable_values(&table_, out, compare);
}

// Stops the walk at the first match; the end signal is not an entry.
static int int64_match_step(void *ctx, uint64_t key, void *value, bool end) {
  Int64Match *m = (Int64Match *)ctx;
  if (end) return MAP_WALK_KEEP;
  if (m->match(m->ctx, (int64_t)key, value) != 0) return MAP_WALK_KEEP;
  m->found = value;
  return -1;
}

void *Int64Map::find_first(void *ctx, MatchFn match) {
  if (!match) return nullptr;
  Int64Match m = {match, ctx, nullptr};
  MutexGuard g(&lock_);
  hashtable_walk(&table_, int64_match_step, &m);
  return m.found;
}
