// Utility containers: the outgoing queue's circular buffer and map lookups.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "util/circular.h"
#include "util/hashmap.h"

// One queue entry written and consumed per iteration; positions wrap.
static void BM_CircularWriteConsume(benchmark::State &state) {
  CircularBuffer cb;
  cb.create(nullptr, 68096);
  std::vector<uint8_t> entry(state.range(0), 0x5A), out(state.range(0));
  for (auto _ : state) {
    cb.write(entry.data(), (uint32_t)entry.size());
    cb.read(out.data(), (uint32_t)out.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * (int64_t)entry.size());
}
BENCHMARK(BM_CircularWriteConsume)->Arg(64)->Arg(512)->Arg(4096);

// Flattening a wrapped queue holding `range` bytes, as the engine does
// before building a bundle.
static void BM_CircularFlattenWrapped(benchmark::State &state) {
  const uint32_t capacity = 68096;
  uint32_t used = (uint32_t)state.range(0);
  CircularBuffer cb;
  cb.create(nullptr, capacity);
  // Wrapping the contents again costs only position updates (commit and
  // consume copy nothing), so no timer pause is needed.
  for (auto _ : state) {
    cb.reset();
    cb.commit(capacity - used / 2);
    cb.consume(capacity - used / 2 - 1);
    cb.commit(used - 1);
    benchmark::DoNotOptimize(cb.flatten());
  }
  state.SetBytesProcessed(state.iterations() * (int64_t)used);
}
BENCHMARK(BM_CircularFlattenWrapped)->Arg(4096)->Arg(32000)->Arg(64000);

static void BM_StringMapLookup(benchmark::State &state) {
  const int n = (int)state.range(0);
  StringMap map;
  std::vector<std::string> keys;
  for (int i = 0; i < n; i++) keys.push_back("user" + std::to_string(i) + "@zalvio");
  for (auto &k : keys) map.put(k.c_str(), &map);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.get(keys[i].c_str()));
    if (++i == keys.size()) i = 0;
  }
}
BENCHMARK(BM_StringMapLookup)->Arg(16)->Arg(1024)->Arg(65536);

static void BM_StringMapMiss(benchmark::State &state) {
  StringMap map;
  std::vector<std::string> keys;
  for (int i = 0; i < 1024; i++) keys.push_back("user" + std::to_string(i));
  for (auto &k : keys) map.put(k.c_str(), &map);
  for (auto _ : state) benchmark::DoNotOptimize(map.get("nobody@zalvio"));
}
BENCHMARK(BM_StringMapMiss);
