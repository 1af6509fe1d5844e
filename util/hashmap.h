// Locked hash maps with text keys (StringMap), and the open-addressing table
// both maps share (Int64Map in int64map.h uses the same core).
//
// The table keeps a power-of-two bucket count (at least 4 once anything was
// inserted), a state per bucket (empty, deleted or live), and parallel key
// and value arrays. Removal leaves a deleted marker so that probe chains stay
// intact; an insert reuses the first deleted bucket on its chain, and a
// rebuild drops the markers. The table grows when the occupied buckets
// (live plus deleted) reach 0.77 of the bucket count.
//
// Neither keys nor values are copied: a text key must stay valid while it is
// in the map. Every operation takes the map's mutex; walk callbacks run with
// it held and must not call back into the same map.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

// Results of put.
enum {
  MAP_PUT_FAILED = -1,    // growing the table failed
  MAP_PUT_REPLACED = 0,   // the key existed; its old value was replaced
  MAP_PUT_NEW = 1,        // stored in a never-used bucket
  MAP_PUT_REUSED = 2,     // stored in a bucket freed by an earlier remove
};

// Walk callback results.
enum {
  MAP_WALK_KEEP = 0,
  MAP_WALK_DELETE = 1,  // any negative result stops the walk
};

// Keys are held as 64-bit words (a text key is its pointer); the operations
// table says how to hash and compare them.
struct HashKeyOps {
  uint32_t (*hash)(uint64_t key);
  bool (*equal)(uint64_t a, uint64_t b);
};

// The table itself: no lock, no allocation until the first insert.
struct HashTable {
  const HashKeyOps *ops;
  uint32_t buckets;
  uint32_t live;
  uint32_t occupied;   // live + deleted
  uint32_t threshold;  // rebuild when occupied reaches this
  uint8_t *state;
  uint64_t *keys;
  void **values;
};

// Core walk callback: `end` is set for the single end-signal call.
typedef int (*HashWalkFn)(void *ctx, uint64_t key, void *value, bool end);

void hashtable_init(HashTable *t, const HashKeyOps *ops);
void hashtable_free(HashTable *t);
int hashtable_put(HashTable *t, uint64_t key, void *value, void **old_value);
void *hashtable_get(const HashTable *t, uint64_t key);
int hashtable_remove(HashTable *t, uint64_t key);
void hashtable_clear(HashTable *t);
int hashtable_walk(HashTable *t, HashWalkFn fn, void *ctx);
int hashtable_values(const HashTable *t, void ***out, int (*compare)(const void *, const void *));

// Map from zero-terminated text to pointer.
class StringMap {
 public:
  // Walk callback: key and value are null for the end signal.
  typedef int (*WalkFn)(void *ctx, const char *key, void *value);

  StringMap();
  ~StringMap();
  StringMap(const StringMap &) = delete;
  StringMap &operator=(const StringMap &) = delete;

  // MAP_PUT_*; `old_value` (may be null) receives the replaced value.
  // A null key is refused with MAP_PUT_FAILED.
  int put(const char *key, void *value, void **old_value = nullptr);
  void *get(const char *key);
  int remove(const char *key);  // 0, or -1 when absent
  int count();
  void clear();
  // Calls fn for each live entry in bucket order. A result of 1 deletes the
  // entry, a negative result stops the walk and is returned. Unless stopped,
  // fn is called once more with null key and value, and 0 is returned.
  int walk(void *ctx, WalkFn fn);
  // Stores a malloc'ed array of every value in *out (null when empty),
  // sorted by `compare` (which receives pointers to the array's elements)
  // when given. Returns the count, or -1 when allocating failed. The caller
  // frees the array.
  int values(void ***out, int (*compare)(const void *, const void *) = nullptr);

 private:
  pthread_mutex_t lock_;
  HashTable table_;
};

// Hash of a text: h = h × 31 + c over its bytes taken as signed chars.
uint32_t string_hash(const char *text);
