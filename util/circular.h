// A circular byte buffer; the engine's outgoing message queue.
//
// Writers fill it through write_region + commit (or write), the reader
// drains it through read_region + consume (or read). flatten makes the used
// bytes contiguous from offset 0 so that a whole run of queued entries can
// be parsed in place; when the used bytes wrap it copies them into a spare
// area of the same capacity and swaps the two areas, so the buffer needs
// 2 × capacity bytes in all.
//
// No lock of its own: the owner guards it (the engine's queue lock).
#pragma once

#include <cstdint>

class CircularBuffer {
 public:
  CircularBuffer() = default;
  ~CircularBuffer();
  CircularBuffer(const CircularBuffer &) = delete;
  CircularBuffer &operator=(const CircularBuffer &) = delete;

  // Sets up an empty buffer of `capacity` bytes. `memory`, when given, is a
  // caller-owned block of 2 × capacity bytes (data area, then spare area);
  // otherwise the buffer allocates and owns one. Returns 0, or -1 when
  // allocating failed (the buffer is then empty with capacity 0).
  int create(void *memory, uint32_t capacity);
  // Same as create, for a buffer already in use: the contents are dropped.
  int resize(void *memory, uint32_t capacity);
  void reset();  // empties the buffer; both positions back to 0

  uint32_t capacity() const { return capacity_; }
  uint32_t used() const { return used_; }
  uint32_t free_space() const { return capacity_ - used_; }

  // Pointer at the read position; *contiguous is how many bytes can be read
  // there without wrapping, *total the bytes used.
  uint8_t *read_region(uint32_t *contiguous, uint32_t *total);
  // Pointer at the write position; *contiguous is how many bytes can be
  // written there without wrapping, *total the free space.
  uint8_t *write_region(uint32_t *contiguous, uint32_t *total);

  int commit(uint32_t n);   // -1 when n exceeds the free space
  int consume(uint32_t n);  // -1 (and nothing done) when n exceeds the used bytes
  // Moves the used bytes to offset 0 in order; returns the data area.
  uint8_t *flatten();

  // Copying forms that handle the wrap. -1 (and nothing done) when fewer
  // than n bytes are used / free.
  int read(void *dst, uint32_t n);
  int write(const void *src, uint32_t n);

  uint32_t read_pos() const { return read_; }
  uint32_t write_pos() const { return write_; }

 private:
  uint8_t *data_ = nullptr;
  uint8_t *spare_ = nullptr;
  uint8_t *owned_ = nullptr;  // the block to free, when the buffer owns one
  uint32_t capacity_ = 0;
  uint32_t used_ = 0;
  uint32_t read_ = 0;
  uint32_t write_ = 0;

  void release();
};
