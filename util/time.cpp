// Engine clock: see time.h.
#include "util/time.h"

#include <atomic>
#include <ctime>
#include <sys/time.h>

namespace {

struct ClockBase {
  uint64_t real_ns;
  uint64_t mono_ns;
};

uint64_t read_ns(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return (uint64_t)ts.tv_sec * 1000000000ULL + (uint64_t)ts.tv_nsec;
}

// A function-local static is initialised exactly once even when several
// threads make the first call together.
const ClockBase &clock_base() {
  static const ClockBase base = {read_ns(CLOCK_REALTIME), read_ns(CLOCK_MONOTONIC)};
  return base;
}

std::atomic<int64_t> g_test_offset_ns{0};

}  // namespace

uint64_t clock_now_ns() {
  const ClockBase &base = clock_base();
  uint64_t now = base.real_ns + (read_ns(CLOCK_MONOTONIC) - base.mono_ns);
  return now + (uint64_t)g_test_offset_ns.load(std::memory_order_relaxed);
}

uint64_t clock_now_us() { return clock_now_ns() / 1000; }

uint64_t clock_now_s() { return clock_now_ns() / 1000000000ULL; }

uint64_t wall_ms() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
}

void clock_set_test_offset_us(int64_t offset_us) {
  g_test_offset_ns.store(offset_us * 1000, std::memory_order_relaxed);
}
