// Two engines exchange messages through the stand-in service: statuses,
// groups, nothing lost across dropped connections, and the offline store
// across a restart of the service.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "core/engine_helper.h"

namespace {

// Records statuses, received messages (by id) and status reports.
class Mailbox : public StatusRecorder {
 public:
  int on_message(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (p->status == MSG_STATUS_UNREAD) {
      received[p->id]++;
      last_peer = peer ? peer : "";
      last_payload.assign((const char *)payload, len);
      stored_flag += (p->flags & MSG_FLAG_STORED) ? 1 : 0;
    }
    cv_.notify_all();
    return 0;
  }
  int on_message_status(MessageParams *p, const char *, int) override {
    std::lock_guard<std::mutex> lock(mu_);
    reports[p->status].insert(p->id);
    cv_.notify_all();
    return 0;
  }
  bool wait_received(size_t n, int ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return received.size() >= n; });
  }
  bool wait_reports(int status, size_t n, int ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return reports[status].size() >= n; });
  }
  std::map<uint64_t, int> received;
  std::map<int, std::set<uint64_t>> reports;
  std::string last_peer, last_payload;
  int stored_flag = 0;
};

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(svc.start()); }
  void TearDown() override {
    for (auto &e : engines) {
      e->stop();
      e->wait();
    }
    engines.clear();
    if (HasFailure()) printf("%s\n", svc.log().c_str());
    EXPECT_TRUE(svc.stop());
  }
  CAPI *engine(uint32_t uid, Mailbox *box, bool start = true) {
    engines.emplace_back(new CAPI("", 400000));
    CAPI *e = engines.back().get();
    e->register_listener(0, box, 1);
    EngineSetup::configure(e, svc, svc.mint_token(uid));
    if (start) {
      EXPECT_EQ(e->start(), 0);
    }
    return e;
  }
  static int send(CAPI *e, uint32_t id, uint32_t to, uint32_t gid = 0, const std::string &text = "hi") {
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = id;
    p.uid = to;
    p.groupid = gid;
    p.expiry = UINT32_MAX;
    p.flags = MSG_FLAG_DELIVERY_RECEIPT;
    return e->message(&p, nullptr, (const uint8_t *)text.data(), (uint32_t)text.size());
  }
  ServiceHarness svc;
  Mailbox a_box, b_box, c_box;
  std::vector<std::unique_ptr<CAPI>> engines;
};

TEST_F(RelayTest, MessagesAndStatusesBetweenTwoEngines) {
  CAPI *a = engine(3001, &a_box);
  engine(3002, &b_box);
  ASSERT_TRUE(a_box.wait_for(STATUS_ONLINE));
  ASSERT_TRUE(b_box.wait_for(STATUS_ONLINE));
  for (uint32_t i = 1; i <= 10; i++) ASSERT_EQ(send(a, i, 3002, 0, "hello " + std::to_string(i)), SEND_OK);

  ASSERT_TRUE(b_box.wait_received(10, 5000));
  EXPECT_EQ(b_box.received.count((3001ull << 32) | 10), 1u);  // the sender's uid composes the id
  EXPECT_EQ(b_box.last_peer, "u3001");
  EXPECT_EQ(b_box.last_payload, "hello 10");
  ASSERT_TRUE(a_box.wait_reports(MSG_STATUS_SENT, 10, 5000));
  ASSERT_TRUE(a_box.wait_reports(MSG_STATUS_DELIVERED, 10, 5000));
  EXPECT_GE(a_box.count(STATUS_SENT), 1);
}

TEST_F(RelayTest, GroupMessagesReachEveryOtherMember) {
  ASSERT_TRUE(svc.create_group(77, {3001, 3002, 3003}));
  CAPI *a = engine(3001, &a_box);
  engine(3002, &b_box);
  engine(3003, &c_box);
  ASSERT_TRUE(a_box.wait_for(STATUS_ONLINE) && b_box.wait_for(STATUS_ONLINE) && c_box.wait_for(STATUS_ONLINE));
  ASSERT_EQ(send(a, 1, 0, 77), SEND_OK);
  EXPECT_TRUE(b_box.wait_received(1, 5000));
  EXPECT_TRUE(c_box.wait_received(1, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(a_box.received.empty());  // not back to the sender
}

TEST_F(RelayTest, NothingIsLostWhenConnectionsDrop) {
  uint32_t n = 5000;
  CAPI *a = engine(3001, &a_box);
  engine(3002, &b_box);
  ASSERT_TRUE(a_box.wait_for(STATUS_ONLINE) && b_box.wait_for(STATUS_ONLINE));
  ASSERT_TRUE(svc.drop_random(3001, 10));  // A's connection ends at random points
  auto send_next = [&](uint32_t i) {
    while (send(a, i, 3002) == SEND_FULL) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  for (uint32_t i = 1; i <= n; i++) {
    send_next(i);
    if (i % 400 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  // Drops come with A's frames: on a loaded machine a burst packs into
  // fewer bundles, so keep sending until there were at least ten.
  for (int i = 0; i < 600 && svc.stats()["drops"] < 10; i++) {
    send_next(++n);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(svc.drop_random(3001, 0));
  ASSERT_TRUE(b_box.wait_received(n, 120000)) << b_box.received.size();
  ASSERT_TRUE(a_box.wait_reports(MSG_STATUS_SENT, n, 60000)) << a_box.reports[MSG_STATUS_SENT].size();
  EXPECT_GE(svc.stats()["drops"], 10u);
  EXPECT_GE(a_box.count(STATUS_OFFLINE), 10);
  EXPECT_EQ(svc.stored(3002), 0);
}

TEST_F(RelayTest, OfflineRecipientGetsEverythingAfterAServiceRestart) {
  CAPI *a = engine(3001, &a_box);
  CAPI *b = engine(3002, &b_box, false);
  ASSERT_TRUE(a_box.wait_for(STATUS_ONLINE));
  for (uint32_t i = 1; i <= 50; i++) ASSERT_EQ(send(a, i, 3002), SEND_OK);
  ASSERT_TRUE(a_box.wait_reports(MSG_STATUS_SENT, 50, 10000));
  EXPECT_EQ(svc.stored(3002), 50);

  a->stop();
  a->wait();
  ASSERT_TRUE(svc.restart());
  ASSERT_EQ(b->start(), 0);
  ASSERT_TRUE(b_box.wait_received(50, 10000)) << b_box.received.size();
  EXPECT_EQ(b_box.stored_flag, 50);  // each marked as delivered from storage
  EXPECT_EQ(svc.stored(3002), 0);
}

}  // namespace
