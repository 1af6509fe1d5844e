// The library's two small pseudo-random generators.
//
// Stream generator: a 64-bit permuted congruential generator that cycles
// through 64 increments, one per call. Used for key ids, session values,
// salts, key lifetimes and jitter of the end-to-end module.
//
// Minimal-standard generator: 31-bit multiplicative congruential
// (16807 × state mod 2^31 - 1). Used for message ids, call ids,
// subscription keys, random delays and random texts.
//
// Both are process-wide and callable from any thread: each call advances the
// state with a compare-and-swap, so two concurrent callers never draw from
// the same state (two messages would otherwise share an id). Neither is fit
// for key material; keys come from the crypto library.
#pragma once

#include <cstdint>

// Seeds both generators and the C library's from the engine clock. Called
// once when the library is loaded.
void random_init();

// Stream generator.
void random_seed(uint64_t seed);
uint32_t random32();
uint32_t random_below(uint32_t n);              // in [0, n); 0 when n is 0
uint32_t random_range(uint32_t a, uint32_t b);  // in [a, b); a when b <= a
uint64_t random64();
uint64_t random52();

// Minimal-standard generator. random_next seeds itself from the engine clock
// on first use; random_seed31 sets its state directly (0 means unseeded).
uint32_t random_next();
void random_seed31(uint32_t state);
uint32_t random_below31(uint32_t n);              // in [0, n); 0 when n is 0
uint32_t random_range31(uint32_t a, uint32_t b);  // in [a, b); a when b <= a
// Microseconds in [a_us, b_us) on a whole-millisecond grid above a_us.
uint64_t random_delay(uint64_t a_us, uint64_t b_us);
