// Bundle encode and decode: 32 records per bundle, as the engine sends them,
// beside a plain memcpy of the same bytes as the physical limit.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "core/tlv.h"

namespace {

struct BundleFixture {
  std::vector<uint8_t> payload;
  MessageParams params[BUNDLE_MAX_RECORDS];
  RecordExtras extras[BUNDLE_MAX_RECORDS];
  std::vector<uint8_t> body;

  explicit BundleFixture(uint32_t payload_len) : payload(payload_len), body(BUNDLE_MAX_BODY + 256) {
    for (uint32_t i = 0; i < payload_len; i++) payload[i] = (uint8_t)(i * 31 + 7);
    for (uint32_t i = 0; i < BUNDLE_MAX_RECORDS; i++) {
      MessageParams p{};
      p.id = 0x5A000000u + i;
      p.type = 1;
      p.flags = 0x3;
      p.uid = 1000 + i;
      p.expiry = 2592000;
      p.tid = 0x0123456789ull + i;
      p.refid = i ? 0x5A000000u + i - 1 : 0;
      p.peerversion = 2010000;
      params[i] = p;
      RecordExtras x{};
      x.payload = payload.data();
      x.payload_len = payload_len;
      extras[i] = x;
    }
    body.resize(encode(body.data(), (uint32_t)body.size()));
  }

  uint32_t encode(uint8_t *out, uint32_t cap) const {
    TlvBuffer t;
    tlv_init(&t, out, cap);
    bundle_begin(&t, 0x1234);
    for (uint32_t i = 0; i < BUNDLE_MAX_RECORDS; i++) record_encode(&t, params[i], extras[i]);
    return t.pos;
  }
};

void set_counters(benchmark::State &state, size_t bytes) {
  state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
  state.counters["records"] = (double)BUNDLE_MAX_RECORDS;
  state.counters["body_bytes"] = (double)bytes;
  // Seconds per record, printed with an SI prefix (n = nanoseconds).
  state.counters["per_record"] =
      benchmark::Counter((double)(state.iterations() * BUNDLE_MAX_RECORDS),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_BundleEncode(benchmark::State &state) {
  BundleFixture f((uint32_t)state.range(0));
  std::vector<uint8_t> out(BUNDLE_MAX_BODY + 256);
  for (auto _ : state) {
    uint32_t n = f.encode(out.data(), (uint32_t)out.size());
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  set_counters(state, f.body.size());
}

void BM_BundleDecode(benchmark::State &state) {
  BundleFixture f((uint32_t)state.range(0));
  for (auto _ : state) {
    TlvBuffer t;
    tlv_init(&t, f.body.data(), (uint32_t)f.body.size());
    MessageParams p;
    RecordExtras x;
    int records = 0;
    while (record_decode(&t, &p, &x, false) == 0) {
      benchmark::DoNotOptimize(p);
      records++;
      if (x.last) break;
    }
    if (records != BUNDLE_MAX_RECORDS) state.SkipWithError("bundle did not decode");
  }
  set_counters(state, f.body.size());
}

void BM_BundleMemcpy(benchmark::State &state) {
  BundleFixture f((uint32_t)state.range(0));
  std::vector<uint8_t> out(f.body.size());
  for (auto _ : state) {
    memcpy(out.data(), f.body.data(), f.body.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_counters(state, f.body.size());
}

// Payloads of a short text and of one that nearly fills the 32,000 bytes.
BENCHMARK(BM_BundleEncode)->Arg(64)->Arg(900);
BENCHMARK(BM_BundleDecode)->Arg(64)->Arg(900);
BENCHMARK(BM_BundleMemcpy)->Arg(64)->Arg(900);

}  // namespace
