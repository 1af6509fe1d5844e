// Circular byte buffer: see circular.h.
#include "util/circular.h"

#include <cstdlib>
#include <cstring>

CircularBuffer::~CircularBuffer() { release(); }

void CircularBuffer::release() {
  free(owned_);
  owned_ = data_ = spare_ = nullptr;
  capacity_ = 0;
  reset();
}

int CircularBuffer::create(void *memory, uint32_t capacity) {
  release();
  uint8_t *block = (uint8_t *)memory;
  if (!block && capacity > 0) {
    block = (uint8_t *)malloc((size_t)capacity * 2);
    if (!block) return -1;
    owned_ = block;
  }
  data_ = block;
  spare_ = block ? block + capacity : nullptr;
  capacity_ = capacity;
  return 0;
}

int CircularBuffer::resize(void *memory, uint32_t capacity) { return create(memory, capacity); }

void CircularBuffer::reset() { used_ = read_ = write_ = 0; }

uint8_t *CircularBuffer::read_region(uint32_t *contiguous, uint32_t *total) {
  uint32_t to_end = capacity_ - read_;
  if (contiguous) *contiguous = used_ < to_end ? used_ : to_end;
  if (total) *total = used_;
  return data_ ? data_ + read_ : nullptr;
}

uint8_t *CircularBuffer::write_region(uint32_t *contiguous, uint32_t *total) {
  uint32_t avail = free_space();
  uint32_t to_end = capacity_ - write_;
  if (contiguous) *contiguous = avail < to_end ? avail : to_end;
  if (total) *total = avail;
  return data_ ? data_ + write_ : nullptr;
}

static uint32_t advance(uint32_t pos, uint32_t n, uint32_t capacity) {
  uint32_t to_end = capacity - pos;
  return n < to_end ? pos + n : n - to_end;
}

int CircularBuffer::commit(uint32_t n) {
  if (n > free_space()) return -1;
  used_ += n;
  write_ = advance(write_, n, capacity_);
  return 0;
}

int CircularBuffer::consume(uint32_t n) {
  if (n > used_) return -1;
  used_ -= n;
  read_ = advance(read_, n, capacity_);
  if (used_ == 0) read_ = write_ = 0;
  return 0;
}

uint8_t *CircularBuffer::flatten() {
  if (read_ == 0) return data_;
  uint32_t to_end = capacity_ - read_;
  if (used_ <= to_end) {
    memmove(data_, data_ + read_, used_);
  } else {
    memcpy(spare_, data_ + read_, to_end);
    memcpy(spare_ + to_end, data_, used_ - to_end);
    uint8_t *t = data_;
    data_ = spare_;
    spare_ = t;
  }
  read_ = 0;
  write_ = used_ == capacity_ ? 0 : used_;
  return data_;
}

int CircularBuffer::read(void *dst, uint32_t n) {
  if (n > used_) return -1;
  if (n == 0) return 0;
  uint32_t first;
  const uint8_t *p = read_region(&first, nullptr);
  if (first > n) first = n;
  memcpy(dst, p, first);
  memcpy((uint8_t *)dst + first, data_, n - first);
  return consume(n);
}

int CircularBuffer::write(const void *src, uint32_t n) {
  if (n > free_space()) return -1;
  if (n == 0) return 0;
  uint32_t first;
  uint8_t *p = write_region(&first, nullptr);
  if (first > n) first = n;
  memcpy(p, src, first);
  memcpy(data_, (const uint8_t *)src + first, n - first);
  return commit(n);
}
