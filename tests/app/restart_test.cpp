// The engine's protocol state survives a restart of the application: the
// ticket, the TLS session, a refused token and a hold-off deadline are read
// back from the database the next engine opens.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "app/app.h"
#include "support/service_harness.h"
#include "support/tempdir.h"

namespace {

class Statuses : public INotify {
 public:
  int on_status(int status, uint32_t, uint32_t, uint32_t) override {
    std::lock_guard<std::mutex> lock(mu);
    seen.push_back(status);
    cv.notify_all();
    return 0;
  }
  bool wait_for(int status, int ms = 10000) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (int s : seen)
        if (s == status) return true;
      return false;
    });
  }
  std::mutex mu;
  std::condition_variable cv;
  std::vector<int> seen;
};

class RestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(svc.start());
    token = svc.mint_token(5001);
  }
  void TearDown() override {
    engine.reset();
    EXPECT_TRUE(svc.stop());
  }
  // A fresh engine object on the same data directory.
  DBApp *open(Statuses *listener) {
    engine.reset();
    engine.reset(new DBApp(dir.path().c_str(), 0));
    engine->register_listener(0, listener, 1);
    engine->set_server(("127.0.0.1:" + std::to_string(svc.port())).c_str());
    engine->set_trusted_ca(svc.ca_file().c_str());
    EXPECT_EQ(engine->set_credentials(token.c_str()), 0);
    EXPECT_EQ(engine->open_database("state.db"), 0);
    return engine.get();
  }

  ServiceHarness svc;
  TempDir dir;
  std::string token;
  Statuses first, second;  // outlive the engines that report to them
  std::unique_ptr<DBApp> engine;
};

TEST_F(RestartTest, TicketAndSessionAreUsedAfterARestart) {
  ASSERT_EQ(open(&first)->start(), 0);
  ASSERT_TRUE(first.wait_for(STATUS_ONLINE));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the TLS session ticket arrives
  ASSERT_EQ(open(&second)->start(), 0);
  ASSERT_TRUE(second.wait_for(STATUS_ONLINE));
  auto logins = svc.logins(5001);
  ASSERT_EQ(logins.size(), 2u);
  EXPECT_EQ(logins[0].via, "challenge");
  EXPECT_EQ(logins[1].via, "ticket");  // no challenge after the restart
  EXPECT_EQ(logins[1].frames, 1);
  EXPECT_TRUE(logins[1].resumed);
}

TEST_F(RestartTest, RefusedTokenStaysRefused) {
  ASSERT_EQ(svc.admin("refuse uid=5001").substr(0, 2), "ok");
  ASSERT_EQ(open(&first)->start(), 0);
  ASSERT_TRUE(first.wait_for(STATUS_AUTHFAIL));
  ASSERT_TRUE(first.wait_for(STATUS_STOPPED));
  size_t attempts = svc.logins(5001).size();

  EXPECT_EQ(open(&second)->start(), -1);
  EXPECT_TRUE(second.wait_for(STATUS_AUTHFAIL, 1000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(svc.logins(5001).size(), attempts);  // nothing reached the service
}

TEST_F(RestartTest, HoldOffDeadlineIsHonouredAfterARestart) {
  ASSERT_EQ(svc.admin("answer uid=5001 op=0x85 param=60").substr(0, 2), "ok");  // keep away 60 s
  ASSERT_EQ(open(&first)->start(), 0);
  ASSERT_TRUE(first.wait_for(STATUS_CONNECTFAILED));
  size_t attempts = svc.logins(5001).size();
  ASSERT_EQ(attempts, 1u);

  ASSERT_EQ(open(&second)->start(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  EXPECT_EQ(svc.logins(5001).size(), attempts);  // the restarted engine waits
  EXPECT_FALSE(second.wait_for(STATUS_ONLINE, 10));
}

}  // namespace
