// History back from the service, end to end: two DBApp engines exchange
// messages through the stand-in service; one of them starts again on an
// empty data directory and pulls the conversation back page by page, with
// the end of each batch reported to the application and nothing stored
// twice.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "support/service_harness.h"
#include "support/tempdir.h"
#include "util/time.h"

namespace {

using std::chrono::milliseconds;

struct SyncDone {
  uint64_t session;
  int count;
  uint32_t flags;
};

class AppListener : public INotify {
 public:
  int on_status(int status, uint32_t, uint32_t, uint32_t) override {
    std::lock_guard<std::mutex> lock(mu);
    if (status == STATUS_ONLINE) online = true;
    cv.notify_all();
    return 0;
  }
  int on_sync_done(uint64_t session, int count, uint32_t flags) override {
    std::lock_guard<std::mutex> lock(mu);
    done.push_back({session, count, flags});
    cv.notify_all();
    return 0;
  }
  bool wait_online() {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, milliseconds(10000), [&] { return online; });
  }
  // The next end of a batch, or a zeroed one when none came.
  SyncDone next_done() {
    std::unique_lock<std::mutex> lock(mu);
    if (!cv.wait_for(lock, milliseconds(10000), [&] { return taken < done.size(); }))
      return SyncDone{0, -1, 0};
    return done[taken++];
  }
  std::mutex mu;
  std::condition_variable cv;
  bool online = false;
  std::vector<SyncDone> done;
  size_t taken = 0;
};

class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(svc.start()); }
  void TearDown() override {
    a.reset();
    b.reset();
    if (HasFailure()) printf("%s\n", svc.log().c_str());
    EXPECT_TRUE(svc.stop());
  }
  std::unique_ptr<DBApp> make(const std::string &name, const std::string &token,
                              AppListener *listener) {
    std::unique_ptr<DBApp> e(new DBApp(dir.file(name).c_str(), 4000));
    e->register_listener(0, listener, 1);
    e->set_server(("127.0.0.1:" + std::to_string(svc.port())).c_str());
    e->set_trusted_ca(svc.ca_file().c_str());
    EXPECT_EQ(e->set_credentials(token.c_str()), 0);
    EXPECT_EQ(e->open_database("messages.db"), 0);
    EXPECT_EQ(e->start(), 0);
    EXPECT_TRUE(listener->wait_online());
    return e;
  }
  static int send(DBApp *e, uint32_t id, const char *peer, uint32_t gid, const std::string &text) {
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = id;
    p.groupid = gid;
    p.expiry = UINT32_MAX;
    p.flags = MSG_FLAG_DELIVERY_RECEIPT;
    return e->message(&p, peer, (const uint8_t *)text.data(), (uint32_t)text.size());
  }
  static int64_t count(DBApp *e, const std::string &where) {
    return e->db.getInt64Value(("select count(*) from messages where " + where).c_str(), 0, -1);
  }
  static bool wait_rows(DBApp *e, const std::string &where, int64_t n) {
    for (int i = 0; i < 2000; i++) {
      if (count(e, where) == n) return true;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
  }
  // Rows as "mid/gid/sender/status/text" (or the columns given), by id.
  static std::string rows(DBApp *e, const std::string &where,
                          const std::string &columns = "mid, gid, sender, status, message",
                          const char *order = "mid") {
    std::string out;
    sqlite3_stmt *st = nullptr;
    std::string sql = "select " + columns + " from messages where " + where + " order by " + order;
    if (sqlite3_prepare_v2(e->db.handle(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return "?";
    int n = sqlite3_column_count(st);
    while (sqlite3_step(st) == SQLITE_ROW) {
      for (int c = 0; c < n; c++) {
        const unsigned char *t = sqlite3_column_text(st, c);
        out += std::string(t ? (const char *)t : "") + (c < n - 1 ? "/" : "\n");
      }
    }
    sqlite3_finalize(st);
    return out;
  }

  ServiceHarness svc;
  TempDir dir;
  AppListener a_app, b_app, b_again;
  std::unique_ptr<DBApp> a, b;
};

TEST_F(SyncTest, AnEmptyStoreGetsTheConversationBackPageByPage) {
  const uint32_t A = 4101, B = 4102, G = 4150;
  ASSERT_TRUE(svc.create_group(G, {A, B}));
  std::string token_b = svc.mint_token(B);
  a = make("a", svc.mint_token(A), &a_app);
  b = make("b", token_b, &b_app);
  // 25 one-to-one messages, every third from B, each stored on the other
  // side before the next leaves, so the service sees them in this order;
  // then three to the group, the last from B: its bundle acknowledges all
  // B took, so nothing comes back to B's next device from the offline
  // store (with times of its own).
  for (uint32_t i = 1; i <= 25; i++) {
    bool from_b = i % 3 == 0;
    DBApp *from = from_b ? b.get() : a.get();
    ASSERT_EQ(send(from, i, from_b ? "u4101" : "u4102", 0, "m" + std::to_string(i)), SEND_OK);
    ASSERT_TRUE(wait_rows(from_b ? a.get() : b.get(), "gid=0", i)) << i;
  }
  for (uint32_t i = 26; i <= 28; i++) {
    ASSERT_EQ(send(i == 28 ? b.get() : a.get(), i, nullptr, G, "g" + std::to_string(i)), SEND_OK);
    ASSERT_TRUE(wait_rows(i == 28 ? a.get() : b.get(), "gid>0", i - 25)) << i;
  }
  // Everything B sent to A is delivered, so both sides agree on its
  // status; B's g28 waits for A's next bundle to be acknowledged, which
  // comes later, so the group is compared without statuses. (B's own
  // times are no reference for the order: a status report may move them.)
  ASSERT_TRUE(wait_rows(b.get(), "gid=0 and status=2", 8));
  std::string before = rows(b.get(), "gid=0");
  const char *group_columns = "mid, gid, sender, message";
  std::string before_group = rows(b.get(), "gid>0", group_columns);
  uint64_t exchanged = wall_ms();

  // B again, on an empty data directory. A new message arrives first.
  b.reset();
  b = make("b-again", token_b, &b_again);
  ASSERT_EQ(send(a.get(), 29, "u4102", 0, "m29"), SEND_OK);
  ASSERT_TRUE(wait_rows(b.get(), "gid=0", 1));

  int id = b->db_create_read_session(0, 0, 0, "u4101", 0, nullptr, nullptr);
  ASSERT_GT(id, 0);
  struct Page {
    int rows_after;  // in B's store
    int count;       // in the batch
    uint32_t flags;  // of its end
  } pages[] = {{11, 10, 0x800000}, {21, 10, 0x800000}, {26, 5, 0x4800000}};
  for (const Page &page : pages) {
    SCOPED_TRACE(page.rows_after);
    ASSERT_EQ(b->db_sync_from_server(id, 10), 1);
    SyncDone done = b_again.next_done();
    EXPECT_EQ(done.session, (uint64_t)id);
    EXPECT_EQ(done.count, page.count);
    EXPECT_EQ(done.flags & 0x4800000, page.flags);
    EXPECT_EQ(count(b.get(), "gid=0"), page.rows_after);
  }
  EXPECT_EQ(b->db_sync_from_server(id, 10), 0) << "nothing more exists";
  // The conversation as B had it, each message once, in the order sent.
  std::string synced = "gid=0 and mid!=" + std::to_string((uint64_t)A << 32 | 29);
  EXPECT_EQ(rows(b.get(), synced), before);
  std::string order;
  for (int i = 1; i <= 25; i++) order += "m" + std::to_string(i) + "\n";
  EXPECT_EQ(rows(b.get(), synced, "message", "ts, mid"), order) << "the order the service saw";
  EXPECT_EQ(b->db_read_messages(id, 50), 26);
  // Their times are the service's, not when they came back.
  EXPECT_EQ(count(b.get(), synced + " and ts > " + std::to_string(exchanged)), 0);

  // The group, from a session of its own.
  int gs = b->db_create_read_session(0, 0, 0, nullptr, G, nullptr, nullptr);
  ASSERT_EQ(b->db_sync_from_server(gs, 10), 1);
  SyncDone done = b_again.next_done();
  EXPECT_EQ(done.count, 3);
  EXPECT_EQ(done.flags & 0x4800000, 0x4800000u);
  EXPECT_EQ(rows(b.get(), "gid>0", group_columns), before_group);

  // A note of B's own, older than everything, is no message the service
  // knows: the next request goes by its time, and the rows around it that
  // B already holds are not stored again.
  MessageParams note;
  memset(&note, 0, sizeof note);
  note.status = 32;
  note.flags = MSG_FLAG_NO_ECHO;
  note.when = (uint64_t)b->db.getInt64Value("select min(ts) from messages where gid=0", 0, 0) - 1;
  ASSERT_EQ(b->save_local_message(&note, "u4101", (const uint8_t *)"note", 4), 0);
  int again = b->db_create_read_session(0, 0, 0, "u4101", 0, nullptr, nullptr);
  ASSERT_EQ(b->db_sync_from_server(again, 10), 1);
  done = b_again.next_done();
  EXPECT_GE(done.count, 1);
  EXPECT_EQ(done.flags & 0x4800000, 0x4800000u);
  EXPECT_EQ(count(b.get(), "gid=0"), 27);
}

}  // namespace
