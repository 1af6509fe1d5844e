// Append-only allocation pool for strings and blocks that live exactly as
// long as their owner (the engine, a message object, a file transfer).
//
// Allocations are carved from chunks in 16-byte steps and never returned
// one by one: reset empties every chunk for reuse and cleanup frees them all
// at once. The first chunk sits in the pool's own allocation; later chunks
// have the growth size, or growth + n for a request larger than the growth.
// A signature guards cleanup against freeing something that is not a pool.
// Thread-safe: the pool has its own mutex.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

enum : uint32_t { ALLOCPOOL_SIGNATURE = 0xAA554021 };
enum { ALLOCPOOL_ALIGN = 16 };

struct AllocChunk {
  uint8_t *data;
  size_t capacity;
  size_t used;
  AllocChunk *next;
};

struct AllocPool {
  uint32_t signature;
  size_t growth;
  pthread_mutex_t lock;
  AllocChunk first;  // its data follows the pool in the same allocation
};

// Null when allocating the pool failed.
AllocPool *allocpool_create(size_t first_capacity, size_t growth);
// n rounded up to a multiple of 16; null for n = 0, for a null pool (logged
// as a bug) or when no memory is left. The memory is not zeroed.
void *allocpool_alloc(AllocPool *pool, size_t n);
// n bytes plus a terminating zero; null for null bytes or n = 0.
char *allocpool_copy(AllocPool *pool, const void *bytes, size_t n);
// A copy of text ("" gives ""); null for null text.
char *allocpool_strdup(AllocPool *pool, const char *text);
// Empties every chunk; everything handed out before becomes invalid.
void allocpool_reset(AllocPool *pool);
// Frees every chunk and the pool; refuses (and logs) when the signature
// does not match.
void allocpool_cleanup(AllocPool *pool);
