// Reading stored messages back through read sessions, on a file of 200,000
// messages over 1,000 one-to-one conversations (about 3% unread, the shape
// /work/shared/peers/sqlite_read.sh uses; run it beside these): the first
// page of 50 of a conversation, a deep page of 50 (the fourth, read after
// the three before it as a user scrolling back would: its rows are rarely
// in the page cache), the summary of all conversations, and an unread
// count. Each figure is the time of the read call alone, log lines
// included (sent to /dev/null).
#include <benchmark/benchmark.h>
#include <ftw.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/readdb.h"
#include "app/zalviodb.h"
#include "support/capture.h"

namespace {

enum { ROWS = 200000, CONVERSATIONS = 1000, PAGE = 50, DEEP_PAGE = 4 };

class Host : public DbHost, public ReadHost {
 public:
  uint64_t now = 1700000000000ull + (uint64_t)ROWS * 1000;
  SessionCounters counters = {0, 0, 0};
  uint64_t db_now_ms() override { return now; }
  uint32_t db_uid() override { return 42; }
  Paths *db_paths() override { return nullptr; }
  SessionCounters *read_counters(uint32_t, const char *) override { return &counters; }
  void read_receipt_owed(uint32_t, const char *) override {}
  void read_presence_reset(const char *) override {}
  void read_presence_query(const char *) override {}
  bool read_sync_enabled() override { return false; }
  int read_send_control(MessageParams *, const char *, const uint8_t *, uint32_t) override {
    return 0;
  }
};

// Counts what it is given, as an application's list would take it.
struct Sink : INotify {
  int rows = 0;
  int on_message(MessageParams *p, const char *peer, const uint8_t *payload,
                 uint32_t len) override {
    benchmark::DoNotOptimize(p->id + (uint64_t)peer[0] + len + payload[0]);
    rows++;
    return 0;
  }
};

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

uint64_t rng_state = 88172645463325252ull;
uint64_t rng() {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 7;
  rng_state ^= rng_state << 17;
  return rng_state;
}

void sender_name(char *out, size_t cap, uint64_t i) {
  snprintf(out, cap, "user%08d", (int)(i % CONVERSATIONS));
}

// Built once per run: two thirds incoming (5% of those unread), one third
// sent, about 100 bytes each.
struct BigFile {
  char dir[32] = "/tmp/zalvio-read-XXXXXX";
  std::string file;
  BigFile() {
    mkdtemp(dir);
    file = std::string(dir) + "/read.db";
    Host host;
    QuietStdout quiet;
    ZalvioDB db(&host);
    db.createDB(file.c_str());
    db.executeSQL("begin");
    uint64_t ts = 1700000000000ull;
    for (uint64_t i = 0; i < ROWS; i++) {
      ts += 1 + rng() % 1000;
      char sender[32], body[100];
      sender_name(sender, sizeof sender, i);
      for (char &c : body) c = (char)('a' + rng() % 26);
      MessageParams p;
      memset(&p, 0, sizeof p);
      bool incoming = i % 3 != 0;
      p.id = incoming ? (uint64_t)(1000 + i % CONVERSATIONS) << 32 | (i + 1) : i + 1;
      p.status = incoming ? (rng() % 20 == 0 ? MSG_STATUS_UNREAD : MSG_STATUS_RECEIVED_READ)
                          : MSG_STATUS_READ;
      p.when = ts;
      p.expiry = 2592000;
      p.type = (uint16_t)(rng() % 4);
      db.saveMessage(&p, sender, (const uint8_t *)body, sizeof body);
    }
    db.executeSQL("commit");
  }
  ~BigFile() { nftw(dir, remove_entry, 8, FTW_DEPTH | FTW_PHYS); }
};

BigFile &big_file() {
  static BigFile f;
  return f;
}

// One open store with a session list, per benchmark.
struct Reader {
  Host host;
  ZalvioDB db{&host};
  ReadSessionList list;
  Sink sink;
  Reader() {
    db.createDB(big_file().file.c_str());
    read_sessions_init(&list);
  }
  ~Reader() { read_sessions_destroy(&list); }
  int open(uint32_t flags, const char *peer) {
    return read_session_create(&list, &db, &host, 0, flags, 0, peer, 0, nullptr, &sink);
  }
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Page `page` (1 = newest) of a random conversation; only that page's read
// is timed.
void read_page_bench(benchmark::State &state, int page) {
  QuietStdout quiet;
  Reader r;
  int64_t rows = 0;
  for (auto _ : state) {
    char sender[32];
    sender_name(sender, sizeof sender, rng());
    int id = r.open(0, sender);
    for (int i = 1; i < page; i++) read_session_read(&r.list, &r.db, &r.host, &r.sink, id, PAGE);
    auto t0 = std::chrono::steady_clock::now();
    int n = read_session_read(&r.list, &r.db, &r.host, &r.sink, id, PAGE);
    state.SetIterationTime(seconds_since(t0));
    if (n != PAGE) state.SkipWithError("short page");
    rows += n;
    read_session_close(&r.list, id);
  }
  state.counters["rows_per_page"] = (double)rows / (double)state.iterations();
}

void BM_ReadFirstPage(benchmark::State &state) { read_page_bench(state, 1); }
void BM_ReadDeepPage(benchmark::State &state) { read_page_bench(state, DEEP_PAGE); }
BENCHMARK(BM_ReadFirstPage)->UseManualTime()->Unit(benchmark::kMicrosecond)->Repetitions(3);
BENCHMARK(BM_ReadDeepPage)->UseManualTime()->Unit(benchmark::kMicrosecond)->Repetitions(3);

void BM_ReadSummary(benchmark::State &state) {
  QuietStdout quiet;
  Reader r;
  int64_t rows = 0;
  for (auto _ : state) {
    int id = r.open(READ_SUMMARY, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    int n = read_session_read(&r.list, &r.db, &r.host, &r.sink, id, 0);
    state.SetIterationTime(seconds_since(t0));
    if (n != CONVERSATIONS) state.SkipWithError("summary misses conversations");
    rows += n;
    read_session_close(&r.list, id);
  }
  state.counters["rows"] = (double)rows / (double)state.iterations();
}
BENCHMARK(BM_ReadSummary)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(3);

void BM_ReadUnreadCount(benchmark::State &state) {
  QuietStdout quiet;
  Reader r;
  for (auto _ : state) {
    char sender[32];
    sender_name(sender, sizeof sender, rng());
    benchmark::DoNotOptimize(read_count_conversation(&r.db, 0, sender, 0, MSG_STATUS_UNREAD));
  }
}
BENCHMARK(BM_ReadUnreadCount)->Unit(benchmark::kMicrosecond)->Repetitions(3);

}  // namespace
