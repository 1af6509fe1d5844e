// The engine clock and the wall clock.
//
// All engine timing (retry waits, pings, timers) reads one clock: on first
// use it records the real time and the monotonic time, and afterwards "now"
// is that real time plus the monotonic time elapsed since. It therefore
// reads like wall-clock time but never jumps when the system time is set.
// Message timestamps are different: they are plain wall-clock milliseconds.
//
// Tests that exercise timing can shift the engine clock with
// clock_set_test_offset_us instead of sleeping; the offset is added to every
// engine-clock reading (not to wall_ms) and is 0 unless a test sets it.
#pragma once

#include <cstdint>

uint64_t clock_now_ns();
uint64_t clock_now_us();
uint64_t clock_now_s();

// Wall-clock milliseconds since the epoch (gettimeofday), for message times.
uint64_t wall_ms();

// Test hook: shifts every later engine-clock reading by `offset_us`.
void clock_set_test_offset_us(int64_t offset_us);
