// Allocation pool: see allocpool.h.
#include "util/allocpool.h"

#include <cstdlib>
#include <cstring>

#include "util/logs.h"
#include "util/mutex.h"

static size_t round_up(size_t n) { return (n + ALLOCPOOL_ALIGN - 1) & ~(size_t)(ALLOCPOOL_ALIGN - 1); }

// Chunk headers are padded so that chunk data starts 16-byte aligned.
static const size_t POOL_HEADER = round_up(sizeof(AllocPool));
static const size_t CHUNK_HEADER = round_up(sizeof(AllocChunk));

AllocPool *allocpool_create(size_t first_capacity, size_t growth) {
  if (first_capacity > SIZE_MAX - POOL_HEADER) return nullptr;
  uint8_t *block = (uint8_t *)malloc(POOL_HEADER + first_capacity);
  if (!block) return nullptr;
  AllocPool *pool = (AllocPool *)block;
  pool->signature = ALLOCPOOL_SIGNATURE;
  pool->growth = growth;
  pthread_mutex_init(&pool->lock, nullptr);
  pool->first.data = block + POOL_HEADER;
  pool->first.capacity = first_capacity;
  pool->first.used = 0;
  pool->first.next = nullptr;
  return pool;
}

static AllocChunk *chunk_new(size_t capacity) {
  if (capacity > SIZE_MAX - CHUNK_HEADER) return nullptr;
  uint8_t *block = (uint8_t *)malloc(CHUNK_HEADER + capacity);
  if (!block) return nullptr;
  AllocChunk *c = (AllocChunk *)block;
  c->data = block + CHUNK_HEADER;
  c->capacity = capacity;
  c->used = 0;
  c->next = nullptr;
  return c;
}

void *allocpool_alloc(AllocPool *pool, size_t n) {
  if (!pool) {
    LOGE("*** BUG *** allocation pool null");
    return nullptr;
  }
  if (n == 0 || n > SIZE_MAX - ALLOCPOOL_ALIGN) return nullptr;
  n = round_up(n);
  MutexGuard g(&pool->lock);
  AllocChunk *last = nullptr;
  for (AllocChunk *c = &pool->first; c; c = c->next) {
    if (c->capacity - c->used >= n) {
      void *p = c->data + c->used;
      c->used += n;
      return p;
    }
    last = c;
  }
  size_t size = pool->growth < n ? pool->growth + n : pool->growth;
  AllocChunk *c = chunk_new(size);
  if (!c) return nullptr;
  last->next = c;
  c->used = n;
  return c->data;
}

char *allocpool_copy(AllocPool *pool, const void *bytes, size_t n) {
  if (!bytes || n == 0 || n == SIZE_MAX) return nullptr;
  char *p = (char *)allocpool_alloc(pool, n + 1);
  if (!p) return nullptr;
  memcpy(p, bytes, n);
  p[n] = 0;
  return p;
}

// Unlike copy, an empty text gives an empty text, not null.
char *allocpool_strdup(AllocPool *pool, const char *text) {
  if (!text) return nullptr;
  size_t n = strlen(text);
  char *p = (char *)allocpool_alloc(pool, n + 1);
  if (p) memcpy(p, text, n + 1);
  return p;
}

void allocpool_reset(AllocPool *pool) {
  if (!pool) return;
  MutexGuard g(&pool->lock);
  for (AllocChunk *c = &pool->first; c; c = c->next) c->used = 0;
}

void allocpool_cleanup(AllocPool *pool) {
  if (!pool) return;
  if (pool->signature != ALLOCPOOL_SIGNATURE) {
    LOGE("*** BUG *** allocpool_cleanup: signature failed");
    return;
  }
  AllocChunk *c = pool->first.next;
  while (c) {
    AllocChunk *next = c->next;
    free(c);
    c = next;
  }
  pool->signature = 0;
  pthread_mutex_destroy(&pool->lock);
  free(pool);
}
