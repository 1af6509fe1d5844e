// The local store: saving messages one statement each (the journal the
// store uses against SQLite's default), reading the newest page of one
// conversation, and opening a large file. Run
// /work/shared/peers/sqlite_write.sh and sqlite_read.sh beside these for
// plain SQLite on the same table shape.
#include <benchmark/benchmark.h>
#include <ftw.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/paths.h"
#include "app/zalviodb.h"
#include "support/capture.h"

namespace {

enum { SAVE_ROWS = 10000, BIG_ROWS = 200000, SENDERS = 1000, PAGE = 50 };

class BenchHost : public DbHost {
 public:
  uint64_t now = 1700000000000ull;
  uint64_t db_now_ms() override { return now; }
  uint32_t db_uid() override { return 42; }
  Paths *db_paths() override { return nullptr; }
};

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

struct ScratchDir {
  std::string path;
  ScratchDir() {
    char pattern[] = "/tmp/zalvio-bench-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~ScratchDir() { nftw(path.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS); }
};

uint64_t rng_state = 88172645463325252ull;
uint64_t rng() {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 7;
  rng_state ^= rng_state << 17;
  return rng_state;
}

// One message of about 200 bytes, as the peer benchmark writes them: two
// thirds incoming (ids with the sender's half, ~3% unread), one third sent.
int save_one(ZalvioDB &db, uint64_t i, uint64_t ts) {
  char sender[32], body[100];
  snprintf(sender, sizeof sender, "user%08d", (int)(i % SENDERS));
  for (char &c : body) c = (char)('a' + rng() % 26);
  MessageParams p;
  memset(&p, 0, sizeof p);
  bool incoming = i % 3 != 0;
  p.id = incoming ? (uint64_t)(1000 + i % SENDERS) << 32 | (i + 1) : i + 1;
  p.status = incoming ? (rng() % 20 == 0 ? MSG_STATUS_UNREAD : MSG_STATUS_RECEIVED_READ)
                      : MSG_STATUS_READ;
  p.when = ts;
  p.expiry = 2592000;
  p.type = (uint16_t)(rng() % 4);
  p.flags = rng() % 8;
  return db.saveMessage(&p, sender, (const uint8_t *)body, sizeof body);
}

void BM_StoreSaveOneEach(benchmark::State &state) {
  bool wal = state.range(0) != 0;
  for (auto _ : state) {
    state.PauseTiming();
    ScratchDir dir;
    BenchHost host;
    QuietStdout quiet;
    {
      ZalvioDB db(&host);
      db.createDB((dir.path + "/store.db").c_str());
      if (!wal) {
        db.executeSQL("pragma journal_mode=DELETE");
        db.executeSQL("pragma synchronous=FULL");
      }
      uint64_t ts = host.now;
      state.ResumeTiming();
      for (uint64_t i = 0; i < SAVE_ROWS; i++) {
        ts += 1 + rng() % 1000;
        if (save_one(db, i, ts) != 0) state.SkipWithError("save failed");
      }
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * SAVE_ROWS);
}
BENCHMARK(BM_StoreSaveOneEach)
    ->ArgName("wal")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// A 200,000-message file over 1,000 conversations, built once and closed
// once (as after an application's first session).
struct BigStore {
  ScratchDir dir;
  std::string file = dir.path + "/big.db";
  BigStore() {
    BenchHost host;
    QuietStdout quiet;
    ZalvioDB db(&host);
    db.createDB(file.c_str());
    db.executeSQL("begin");
    uint64_t ts = host.now;
    for (uint64_t i = 0; i < BIG_ROWS; i++) {
      ts += 1 + rng() % 1000;
      save_one(db, i, ts);
    }
    db.executeSQL("commit");
  }
};

BigStore &big_store() {
  static BigStore store;
  return store;
}

// The read session's page query for one conversation, newest first.
const char PAGE_SQL[] =
    "select mid, gid, channel, type, ts, status, expiry, flag, refid, sender, message, thumbnail, "
    "filepath, rts, uflags, tid, ud, sens, ages, ager, agerd from messages where channel <= 63 "
    "and gid=? and sender=? order by ts DESC limit ?";

void BM_StoreNewestPage(benchmark::State &state) {
  BigStore &big = big_store();
  BenchHost host;
  QuietStdout quiet;
  ZalvioDB db(&host);
  db.createDB(big.file.c_str());
  int64_t rows = 0;
  for (auto _ : state) {
    char sender[32];
    snprintf(sender, sizeof sender, "user%08d", (int)(rng() % SENDERS));
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db.handle(), PAGE_SQL, -1, &st, nullptr);
    db_bind(st, {db_int(0), db_text(sender), db_int(PAGE)});
    while (sqlite3_step(st) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_text(st, 0));
      benchmark::DoNotOptimize(sqlite3_column_blob(st, 10));
      benchmark::DoNotOptimize(sqlite3_column_int64(st, 4));
      rows++;
    }
    sqlite3_finalize(st);
  }
  state.counters["rows_per_page"] = (double)rows / (double)state.iterations();
}
BENCHMARK(BM_StoreNewestPage)->Unit(benchmark::kMicrosecond)->Repetitions(3);

// What an application start costs: open and check the file, the schema
// pass, the uid, and the startup sweep.
void BM_StoreOpenLarge(benchmark::State &state) {
  BigStore &big = big_store();
  BenchHost host;
  QuietStdout quiet;
  for (auto _ : state) {
    ZalvioDB db(&host);
    if (db.createDB(big.file.c_str()) != 0) state.SkipWithError("open failed");
    db.startupSweep();
    db.deleteTransient();
  }
}
BENCHMARK(BM_StoreOpenLarge)->Unit(benchmark::kMillisecond)->Repetitions(3);

}  // namespace
