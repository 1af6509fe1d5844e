// The application layer end to end: two DBApp engines with their own
// databases exchange messages through the stand-in service; nothing is
// lost or doubled across dropped connections, an engine restarted halfway,
// or a sender killed outright.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "app/app.h"
#include "support/service_harness.h"
#include "support/tempdir.h"

namespace {

using std::chrono::milliseconds;

// The application's listener: what DBApp forwards.
class AppListener : public INotify {
 public:
  int on_message(MessageParams *p, const char *, const uint8_t *, uint32_t) override {
    std::lock_guard<std::mutex> lock(mu);
    if (p->status == MSG_STATUS_UNREAD) messages++;
    cv.notify_all();
    return 0;
  }
  int on_message_status(MessageParams *p, const char *, int) override {
    std::lock_guard<std::mutex> lock(mu);
    statuses.push_back(p->status);
    return 0;
  }
  int on_status(int status, uint32_t, uint32_t, uint32_t) override {
    std::lock_guard<std::mutex> lock(mu);
    connection.push_back(status);
    cv.notify_all();
    return 0;
  }
  bool wait_status(int status, int ms = 10000) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, milliseconds(ms), [&] {
      for (int s : connection)
        if (s == status) return true;
      return false;
    });
  }
  std::mutex mu;
  std::condition_variable cv;
  int messages = 0;
  std::vector<int> statuses, connection;
};

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(svc.start()); }
  void TearDown() override {
    a.reset();
    b.reset();
    if (HasFailure()) printf("%s\n", svc.log().c_str());
    EXPECT_TRUE(svc.stop());
  }
  std::unique_ptr<DBApp> make(uint32_t uid, const std::string &token, AppListener *listener,
                              bool start = true) {
    std::unique_ptr<DBApp> e(new DBApp(dir.file("u" + std::to_string(uid)).c_str(), 400000));
    e->register_listener(0, listener, 1);
    e->set_server(("127.0.0.1:" + std::to_string(svc.port())).c_str());
    e->set_trusted_ca(svc.ca_file().c_str());
    EXPECT_EQ(e->set_credentials(token.c_str()), 0);
    EXPECT_EQ(e->open_database("messages.db"), 0);
    if (start) {
      EXPECT_EQ(e->start(), 0);
    }
    return e;
  }
  // Sends to the peer's address: a stored message names its peer by address,
  // which is what the outbox needs to send it again after a restart.
  static int send(DBApp *e, uint32_t id, uint32_t to, const std::string &text) {
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = id;
    p.expiry = UINT32_MAX;
    p.flags = MSG_FLAG_DELIVERY_RECEIPT;
    std::string peer = "u" + std::to_string(to);
    return e->message(&p, peer.c_str(), (const uint8_t *)text.data(), (uint32_t)text.size());
  }
  static int64_t count(DBApp *e, const std::string &where) {
    return e->db.getInt64Value(("select count(*) from messages where " + where).c_str(), 0, -1);
  }
  // Waits until `e`'s store answers `where` with `n` rows.
  static bool wait_rows(DBApp *e, const std::string &where, int64_t n, int ms) {
    auto end = std::chrono::steady_clock::now() + milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      if (count(e, where) == n) return true;
      std::this_thread::sleep_for(milliseconds(50));
    }
    return count(e, where) == n;
  }

  ServiceHarness svc;
  TempDir dir;
  AppListener a_app, a2_app, b_app;  // outlive the engines below
  std::unique_ptr<DBApp> a, b;
};

TEST_F(FlowTest, BothSidesStoreWhatTheyExchange) {
  a = make(4001, svc.mint_token(4001), &a_app);
  b = make(4002, svc.mint_token(4002), &b_app);
  for (uint32_t i = 1; i <= 20; i++) ASSERT_EQ(send(a.get(), i, 4002, "m" + std::to_string(i)), SEND_OK);
  ASSERT_TRUE(wait_rows(b.get(), "sender='u4001' and status=18", 20, 10000));
  ASSERT_TRUE(wait_rows(a.get(), "status=2", 20, 10000));
  EXPECT_EQ(a->db_count_pending_messages(), 0);
  // Status 11 (a bundle acknowledged) never reaches the application.
  std::lock_guard<std::mutex> lock(a_app.mu);
  for (int s : a_app.connection) EXPECT_NE(s, STATUS_SENT);
  EXPECT_EQ(b_app.messages, 20);
}

TEST_F(FlowTest, NothingLostNothingDoubledAcrossDropsAndARestart) {
  const uint32_t n = 2000;
  std::string token_a = svc.mint_token(4001);
  a = make(4001, token_a, &a_app);
  b = make(4002, svc.mint_token(4002), &b_app);
  ASSERT_TRUE(a_app.wait_status(STATUS_ONLINE) && b_app.wait_status(STATUS_ONLINE));
  // Both users' connections end at random points, and at a few set ones.
  ASSERT_TRUE(svc.drop_random(0, 40));

  for (uint32_t i = 1; i <= n; i++) {
    while (send(a.get(), i, 4002, "m" + std::to_string(i)) != SEND_OK)
      std::this_thread::sleep_for(milliseconds(5));
    if (i % 400 == 200) svc.admin("drop");
    std::this_thread::sleep_for(std::chrono::microseconds(1500));  // spread the sends over the drops
    if (i == n / 2) {
      // The sender goes away with messages still waiting, and comes back
      // on the same database.
      a.reset();
      a = make(4001, token_a, &a2_app);
    }
  }
  ASSERT_TRUE(wait_rows(b.get(), "sender='u4001'", n, 120000)) << count(b.get(), "sender='u4001'");
  ASSERT_TRUE(svc.drop_random(0, 0));
  ASSERT_TRUE(wait_rows(a.get(), "status=0", 0, 60000)) << count(a.get(), "status=0");
  EXPECT_EQ(count(b.get(), "sender='u4001'"), (int64_t)n);  // each exactly once
  EXPECT_EQ(count(a.get(), "status in (1, 2)"), (int64_t)n);
  std::lock_guard<std::mutex> lock(b_app.mu);
  EXPECT_GE(std::count(b_app.connection.begin(), b_app.connection.end(), (int)STATUS_OFFLINE), 2);
}

TEST_F(FlowTest, SenderKilledMidwayLosesNothing) {
  const uint32_t n = 1000;
  std::string token_a = svc.mint_token(4001);
  std::string token_b = svc.mint_token(4002);
  // Forked while this process has no other thread yet: a lock another
  // thread held at the fork would stay taken in the child for good.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    AppListener listener;
    std::unique_ptr<DBApp> sender = make(4001, token_a, &listener);
    for (uint32_t i = 1; i <= n; i++) {
      while (send(sender.get(), i, 4002, "k" + std::to_string(i)) != SEND_OK) usleep(2000);
      usleep(300);
    }
    pause();  // killed before it can finish on its own terms
    _exit(0);
  }
  b = make(4002, token_b, &b_app);
  // Kill it while it is sending.
  for (int i = 0; i < 1000 && count(b.get(), "sender='u4001'") < 100; i++) std::this_thread::sleep_for(milliseconds(20));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  int64_t before = count(b.get(), "sender='u4001'");
  EXPECT_LT(before, (int64_t)n);

  // The sender starts again on the same database and sends the rest.
  a = make(4001, token_a, &a_app);
  uint32_t sent_before = 0;
  for (uint32_t i = 1; i <= n; i++) {
    // What the killed process already stored (as sent or still in its
    // outbox) is not sent a second time by the application.
    if (a->db.messageExists(i)) {
      sent_before++;
      continue;
    }
    while (send(a.get(), i, 4002, "k" + std::to_string(i)) != SEND_OK) std::this_thread::sleep_for(milliseconds(2));
  }
  ASSERT_TRUE(wait_rows(b.get(), "sender='u4001'", n, 60000)) << count(b.get(), "sender='u4001'");
  ASSERT_TRUE(wait_rows(a.get(), "status=0", 0, 60000));
  EXPECT_GT(sent_before, 0u);
}

}  // namespace
