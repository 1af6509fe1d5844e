// Open-addressing hash table and the text-keyed map: see hashmap.h.
#include "util/hashmap.h"

#include <cstdlib>
#include <cstring>

#include "util/mutex.h"

enum : uint8_t { BUCKET_LIVE = 0, BUCKET_DELETED = 1, BUCKET_EMPTY = 2 };
enum { HASH_MIN_BUCKETS = 4 };

static uint32_t threshold_for(uint32_t buckets) { return (uint32_t)(buckets * 0.77 + 0.5); }

void hashtable_init(HashTable *t, const HashKeyOps *ops) {
  memset(t, 0, sizeof *t);
  t->ops = ops;
}

void hashtable_free(HashTable *t) {
  free(t->state);
  free(t->keys);
  free(t->values);
  hashtable_init(t, t->ops);
}

// Quadratic-style probing: the step grows by one each time. With a
// power-of-two bucket count the triangular offsets visit every bucket once
// before returning to the start.
static uint32_t probe_next(uint32_t i, uint32_t *step, uint32_t mask) {
  *step += 1;
  return (i + *step) & mask;
}

// Finds the bucket holding `key`, or -1.
static int64_t find_bucket(const HashTable *t, uint64_t key) {
  if (t->buckets == 0) return -1;
  uint32_t mask = t->buckets - 1;
  uint32_t start = t->ops->hash(key) & mask;
  uint32_t i = start, step = 0;
  do {
    if (t->state[i] == BUCKET_EMPTY) return -1;
    if (t->state[i] == BUCKET_LIVE && t->ops->equal(t->keys[i], key)) return i;
    i = probe_next(i, &step, mask);
  } while (i != start && step < t->buckets);
  return -1;
}

// Where a new key goes: the first deleted bucket on its chain, else the
// empty bucket that ends the chain. -1 when the table has no room.
static int64_t free_bucket(const HashTable *t, uint64_t key) {
  uint32_t mask = t->buckets - 1;
  uint32_t start = t->ops->hash(key) & mask;
  uint32_t i = start, step = 0;
  do {
    if (t->state[i] != BUCKET_LIVE) return i;
    i = probe_next(i, &step, mask);
  } while (i != start && step < t->buckets);
  return -1;
}

// Re-inserts every live entry into fresh arrays of `buckets` buckets.
static int rebuild(HashTable *t, uint32_t buckets) {
  HashTable n = *t;
  n.buckets = buckets;
  n.state = (uint8_t *)malloc(buckets);
  n.keys = (uint64_t *)malloc(buckets * sizeof(uint64_t));
  n.values = (void **)malloc(buckets * sizeof(void *));
  if (!n.state || !n.keys || !n.values) {
    free(n.state);
    free(n.keys);
    free(n.values);
    return -1;
  }
  memset(n.state, BUCKET_EMPTY, buckets);
  n.live = n.occupied = 0;
  n.threshold = threshold_for(buckets);
  for (uint32_t i = 0; i < t->buckets; i++) {
    if (t->state[i] != BUCKET_LIVE) continue;
    int64_t b = free_bucket(&n, t->keys[i]);
    n.state[b] = BUCKET_LIVE;
    n.keys[b] = t->keys[i];
    n.values[b] = t->values[i];
    n.live++;
    n.occupied++;
  }
  free(t->state);
  free(t->keys);
  free(t->values);
  *t = n;
  return 0;
}

// Rebuilds before an insert that would reach the threshold: at the same
// size when deleted markers are what fills the table, otherwise doubled.
static int make_room(HashTable *t) {
  if (t->buckets != 0 && t->occupied < t->threshold) return 0;
  uint32_t size = t->live < t->buckets / 2 ? t->buckets : t->buckets * 2;
  if (size < HASH_MIN_BUCKETS) size = HASH_MIN_BUCKETS;
  if (size < t->buckets) return -1;  // doubling overflowed
  return rebuild(t, size);
}

int hashtable_put(HashTable *t, uint64_t key, void *value, void **old_value) {
  int64_t b = find_bucket(t, key);
  if (b >= 0) {
    if (old_value) *old_value = t->values[b];
    t->values[b] = value;
    return MAP_PUT_REPLACED;
  }
  if (make_room(t) != 0) return MAP_PUT_FAILED;
  b = free_bucket(t, key);
  if (b < 0) return MAP_PUT_FAILED;
  int result = t->state[b] == BUCKET_DELETED ? MAP_PUT_REUSED : MAP_PUT_NEW;
  if (result == MAP_PUT_NEW) t->occupied++;
  t->state[b] = BUCKET_LIVE;
  t->keys[b] = key;
  t->values[b] = value;
  t->live++;
  return result;
}

void *hashtable_get(const HashTable *t, uint64_t key) {
  int64_t b = find_bucket(t, key);
  return b < 0 ? nullptr : t->values[b];
}

static void delete_bucket(HashTable *t, uint32_t b) {
  t->state[b] = BUCKET_DELETED;
  t->live--;
}

int hashtable_remove(HashTable *t, uint64_t key) {
  int64_t b = find_bucket(t, key);
  if (b < 0) return -1;
  delete_bucket(t, (uint32_t)b);
  return 0;
}

void hashtable_clear(HashTable *t) {
  if (t->buckets) memset(t->state, BUCKET_EMPTY, t->buckets);
  t->live = t->occupied = 0;
}

int hashtable_walk(HashTable *t, HashWalkFn fn, void *ctx) {
  for (uint32_t i = 0; i < t->buckets; i++) {
    if (t->state[i] != BUCKET_LIVE) continue;
    int r = fn(ctx, t->keys[i], t->values[i], false);
    if (r < 0) return r;
    if (r == MAP_WALK_DELETE) delete_bucket(t, i);
  }
  fn(ctx, 0, nullptr, true);
  return 0;
}

int hashtable_values(const HashTable *t, void ***out,
                     int (*compare)(const void *, const void *)) {
  *out = nullptr;
  if (t->live == 0) return 0;
  void **array = (void **)malloc(t->live * sizeof(void *));
  if (!array) return -1;
  uint32_t n = 0;
  for (uint32_t i = 0; i < t->buckets; i++)
    if (t->state[i] == BUCKET_LIVE) array[n++] = t->values[i];
  if (compare) qsort(array, n, sizeof(void *), compare);
  *out = array;
  return (int)n;
}

// ---- StringMap ----

uint32_t string_hash(const char *text) {
  uint32_t h = 0;
  for (const char *p = text; *p; p++) h = h * 31 + (uint32_t)(int32_t)(signed char)*p;
  return h;
}

static uint32_t text_key_hash(uint64_t key) { return string_hash((const char *)(uintptr_t)key); }

static bool text_key_equal(uint64_t a, uint64_t b) {
  return strcmp((const char *)(uintptr_t)a, (const char *)(uintptr_t)b) == 0;
}

static const HashKeyOps TEXT_KEY_OPS = {text_key_hash, text_key_equal};

static uint64_t text_key(const char *key) { return (uint64_t)(uintptr_t)key; }

StringMap::StringMap() {
  pthread_mutex_init(&lock_, nullptr);
  hashtable_init(&table_, &TEXT_KEY_OPS);
}

StringMap::~StringMap() {
  hashtable_free(&table_);
  pthread_mutex_destroy(&lock_);
}

int StringMap::put(const char *key, void *value, void **old_value) {
  if (!key) return MAP_PUT_FAILED;
  MutexGuard g(&lock_);
  return hashtable_put(&table_, text_key(key), value, old_value);
}

void *StringMap::get(const char *key) {
  if (!key) return nullptr;
  MutexGuard g(&lock_);
  return hashtable_get(&table_, text_key(key));
}

int StringMap::remove(const char *key) {
  if (!key) return -1;
  MutexGuard g(&lock_);
  return hashtable_remove(&table_, text_key(key));
}

int StringMap::count() {
  MutexGuard g(&lock_);
  return (int)table_.live;
}

void StringMap::clear() {
  MutexGuard g(&lock_);
  hashtable_clear(&table_);
}

namespace {
struct TextWalk {
  StringMap::WalkFn fn;
  void *ctx;
};
}  // namespace

static int text_walk_step(void *ctx, uint64_t key, void *value, bool end) {
  TextWalk *w = (TextWalk *)ctx;
  return w->fn(w->ctx, end ? nullptr : (const char *)(uintptr_t)key, value);
}

int StringMap::walk(void *ctx, WalkFn fn) {
  if (!fn) return -1;
  TextWalk w = {fn, ctx};
  MutexGuard g(&lock_);
  return hashtable_walk(&table_, text_walk_step, &w);
}

int StringMap::values(void ***out, int (*compare)(const void *, const void *)) {
  MutexGuard g(&lock_);
  return hashtable_values(&table_, out, compare);
}
