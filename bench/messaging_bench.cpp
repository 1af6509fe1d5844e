// Two engines through the stand-in service on loopback:
//
//   EngineThroughput  20,000 messages of 100 bytes from A to B, counted
//                     when B's listener has them (messages/s), with the
//                     process CPU time per message (both engines; the
//                     service runs in its own process)
//   EngineLatency     1,000 messages sent one at a time on an idle
//                     connection: one-way time from A's send to B's
//                     listener, p50 and p99 in microseconds
//   AppThroughput     the same 20,000 messages between two application
//                     engines, each storing every message in its own
//                     database (A its outbox and statuses, B what arrives)
//   AppReceive        the same again with only B storing: what the
//                     receiving side sustains, one transaction a bundle
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <thread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "app/app.h"
#include "core/api.h"
#include "support/tempdir.h"
#include "support/service_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

class Counter : public INotify {
 public:
  int on_message(MessageParams *, const char *, const uint8_t *payload, uint32_t len) override {
    if (len >= sizeof(int64_t)) {
      int64_t sent;
      memcpy(&sent, payload, sizeof sent);
      int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
      std::lock_guard<std::mutex> lock(mu);
      latencies_ns.push_back(now - sent);
    }
    received.fetch_add(1);
    cv.notify_all();
    return 0;
  }
  int on_status(int status, uint32_t, uint32_t, uint32_t) override {
    if (status == STATUS_ONLINE) online.store(true);
    cv.notify_all();
    return 0;
  }
  bool wait_count(int n, int ms) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return received.load() >= n; });
  }
  bool wait_online(int ms) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return online.load(); });
  }
  std::atomic<int> received{0};
  std::atomic<bool> online{false};
  std::vector<int64_t> latencies_ns;
  std::mutex mu;
  std::condition_variable cv;
};

struct Pair {
  ServiceHarness svc;
  TempDir dir;
  Counter a_events, b_events;
  CAPI *a = nullptr, *b = nullptr;
  bool ok = false;
  // Which engines are application engines with a database: bit 0 A, bit 1 B.
  int stores;

  explicit Pair(int store_mask = 0) : stores(store_mask) {
    if (!svc.start()) return;
    a = make(1, &a_events);
    b = make(2, &b_events);
    ok = a && b && a_events.wait_online(10000) && b_events.wait_online(10000);
  }
  CAPI *make(uint32_t uid, Counter *events) {
    std::string home = dir.file("u" + std::to_string(uid));
    bool with_store = stores & (1 << (uid - 1));
    CAPI *e = with_store ? new DBApp(home.c_str(), 400000) : new CAPI(home.c_str(), 400000);
    e->register_listener(0, events, 1);
    e->set_server(("127.0.0.1:" + std::to_string(svc.port())).c_str());
    e->set_paths(home.c_str(), nullptr);
    e->set_trusted_ca(svc.ca_file().c_str());
    if (e->set_credentials(svc.mint_token(uid).c_str()) != 0) return nullptr;
    if (with_store && e->open_database("bench.db") != 0) return nullptr;
    if (e->start() != 0) return nullptr;
    return e;
  }
  ~Pair() {
    for (CAPI *e : {a, b}) {
      if (!e) continue;
      e->stop();
      e->wait();
      delete e;
    }
  }
  int send(uint32_t id) {
    uint8_t payload[100] = {};
    int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    memcpy(payload, &now, sizeof now);
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = id;
    p.uid = 2;
    p.expiry = UINT32_MAX;
    bool a_stores = stores & 1;
    p.flags = a_stores ? 0ull : (uint64_t)MSG_FLAG_NO_ECHO;  // the application layer stores the echo
    return a->message(&p, a_stores ? "u2" : nullptr, payload, sizeof payload);
  }
};

double cpu_seconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

void Throughput(benchmark::State &state, int store_mask) {
  const int n = 20000;
  for (auto _ : state) {
    state.PauseTiming();
    Pair pair(store_mask);
    if (!pair.ok) {
      state.SkipWithError("service or engines did not come up");
      return;
    }
    double cpu0 = cpu_seconds();
    state.ResumeTiming();
    auto t0 = Clock::now();
    for (int i = 1; i <= n; i++) {
      while (pair.send((uint32_t)i) == SEND_FULL) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    bool done = pair.b_events.wait_count(n, 60000);
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    state.PauseTiming();
    if (!done) state.SkipWithError("not every message arrived");
    state.counters["msgs_per_s"] = n / secs;
    state.counters["cpu_us_per_msg"] = (cpu_seconds() - cpu0) * 1e6 / n;
    state.ResumeTiming();
  }
}
void EngineThroughput(benchmark::State &state) { Throughput(state, 0); }
void AppThroughput(benchmark::State &state) { Throughput(state, 3); }
void AppReceive(benchmark::State &state) { Throughput(state, 2); }
BENCHMARK(EngineThroughput)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(AppThroughput)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(AppReceive)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void EngineLatency(benchmark::State &state) {
  const int n = 1000, warmup = 20;
  for (auto _ : state) {
    state.PauseTiming();
    Pair pair;
    if (!pair.ok) {
      state.SkipWithError("service or engines did not come up");
      return;
    }
    state.ResumeTiming();
    for (int i = 1; i <= n + warmup; i++) {
      pair.send((uint32_t)i);
      if (!pair.b_events.wait_count(i, 5000)) {
        state.SkipWithError("a message did not arrive");
        return;
      }
    }
    state.PauseTiming();
    std::vector<int64_t> l(pair.b_events.latencies_ns.begin() + warmup, pair.b_events.latencies_ns.end());
    std::sort(l.begin(), l.end());
    state.counters["p50_us"] = l[l.size() / 2] / 1000.0;
    state.counters["p99_us"] = l[l.size() * 99 / 100] / 1000.0;
    state.ResumeTiming();
  }
}
BENCHMARK(EngineLatency)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

namespace {

// Time from start() to STATUS_ONLINE for a new engine (TLS handshake,
// login with a challenge), median over the iterations.
void EngineLogin(benchmark::State &state) {
  ServiceHarness svc;
  if (!svc.start()) {
    state.SkipWithError("service did not start");
    return;
  }
  TempDir dir;
  std::vector<double> ms;
  uint32_t uid = 100;
  for (auto _ : state) {
    state.PauseTiming();
    Counter events;
    CAPI engine(dir.file(std::to_string(uid)).c_str(), 0);
    engine.register_listener(0, &events, 1);
    engine.set_server(("127.0.0.1:" + std::to_string(svc.port())).c_str());
    engine.set_trusted_ca(svc.ca_file().c_str());
    engine.set_credentials(svc.mint_token(uid++).c_str());
    state.ResumeTiming();
    auto t0 = Clock::now();
    engine.start();
    bool ok = events.wait_online(10000);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    state.PauseTiming();
    engine.stop();
    engine.wait();
    if (!ok) state.SkipWithError("no login");
    state.ResumeTiming();
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
}
BENCHMARK(EngineLogin)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

}  // namespace
