// Pseudo-random generators: see random.h.
#include "util/random.h"

#include <atomic>
#include <cstdlib>

#include "util/time.h"

enum { RANDOM_STREAMS = 64 };

static const uint64_t RANDOM_PCG_MULT = 6364136223846793005ULL;
static const uint64_t RANDOM_STREAM_STEP = 0xFFFFFFFFFFFFFFULL;
static const uint32_t RANDOM_MS_MODULUS = 0x7FFFFFFF;  // 2^31 - 1
static const uint32_t RANDOM_MS_MULT = 16807;

static std::atomic<uint64_t> g_pcg_state{0};
static std::atomic<uint32_t> g_pcg_counter{0};
static uint64_t g_pcg_increment[RANDOM_STREAMS];
static std::atomic<uint32_t> g_ms_state{0};

// ---- stream generator ----

static uint32_t pcg_output(uint64_t old) {
  uint32_t x = (uint32_t)(((old >> 18) ^ old) >> 27);
  uint32_t r = (uint32_t)(old >> 59);
  return (x >> r) | (x << ((32 - r) & 31));
}

// One step. The counter picks the increment; the state moves by
// compare-and-swap so every caller consumes a state of its own.
static uint32_t pcg_step() {
  uint32_t k = g_pcg_counter.fetch_add(1, std::memory_order_relaxed);
  uint64_t inc = g_pcg_increment[k % RANDOM_STREAMS] | 1;
  uint64_t old = g_pcg_state.load(std::memory_order_relaxed);
  while (!g_pcg_state.compare_exchange_weak(old, old * RANDOM_PCG_MULT + inc,
                                            std::memory_order_relaxed)) {
  }
  return pcg_output(old);
}

void random_seed(uint64_t seed) {
  // Restarting the counter makes equal seeds give equal sequences.
  g_pcg_counter.store(0, std::memory_order_relaxed);
  for (uint64_t i = 0; i < RANDOM_STREAMS; i++) g_pcg_increment[i] = (i * RANDOM_STREAM_STEP) | 1;
  g_pcg_state.store(0, std::memory_order_relaxed);
  pcg_step();
  g_pcg_state.fetch_add(seed, std::memory_order_relaxed);
  pcg_step();
}

uint32_t random32() { return pcg_step(); }

uint32_t random_below(uint32_t n) {
  if (n == 0) return 0;
  uint32_t r = random32();
  return r < n ? r : r % n;
}

uint32_t random_range(uint32_t a, uint32_t b) { return b <= a ? a : a + random_below(b - a); }

uint64_t random64() {
  uint64_t a = random32();
  uint64_t b = random32();
  int shift = b > 0xFFFFFF ? 32 : b > 0xFFFF ? 24 : b > 0xFF ? 16 : 8;
  uint64_t c = b | (a << shift);
  if (c > 0xFFFFFFFFULL) return c;
  return c | ((uint64_t)random32() << 32);
}

uint64_t random52() { return random64() & 0xFFFFFFFFFFFFFULL; }

// ---- minimal-standard generator ----

// 16807 × state mod (2^31 - 1) without division: the product is split at
// bit 16 and the part above bit 31 folded back, since 2^31 ≡ 1.
static uint32_t ms_advance(uint32_t state) {
  uint32_t hi = (state >> 16) * RANDOM_MS_MULT;
  uint32_t v = (state & 0xFFFF) * RANDOM_MS_MULT + ((hi << 16) & 0x7FFF0000) + (hi >> 15);
  if ((int32_t)v < 0) v -= RANDOM_MS_MODULUS;
  return v;
}

// A state that is a multiple of the modulus would stay at 0 for ever.
static uint32_t ms_seed_value(uint64_t clock_us) {
  uint32_t s = (uint32_t)clock_us;
  return s % RANDOM_MS_MODULUS == 0 ? 1 : s;
}

void random_seed31(uint32_t state) { g_ms_state.store(state, std::memory_order_relaxed); }

uint32_t random_next() {
  uint32_t old = g_ms_state.load(std::memory_order_relaxed);
  for (;;) {
    if (old == 0) {
      uint32_t seed = ms_seed_value(clock_now_us());
      // Another thread may seed first; then continue from its state.
      if (!g_ms_state.compare_exchange_strong(old, seed, std::memory_order_relaxed)) continue;
      old = seed;
    }
    uint32_t next = ms_advance(old);
    if (g_ms_state.compare_exchange_weak(old, next, std::memory_order_relaxed)) return next;
  }
}

uint32_t random_below31(uint32_t n) {
  if (n == 0) return 0;
  return random_next() % n;
}

uint32_t random_range31(uint32_t a, uint32_t b) { return b <= a ? a : a + random_below31(b - a); }

uint64_t random_delay(uint64_t a_us, uint64_t b_us) {
  if (b_us <= a_us) return a_us;
  uint64_t steps = (b_us - a_us) / 1000;
  if (steps > 0xFFFFFFFFULL) steps = 0xFFFFFFFFULL;
  return a_us + (uint64_t)random_below31((uint32_t)steps) * 1000;
}

void random_init() {
  uint32_t seed = (uint32_t)(clock_now_us() + clock_now_s());
  srand(seed);
  srandom(seed);
  random_seed(seed);
  random_next();
}
