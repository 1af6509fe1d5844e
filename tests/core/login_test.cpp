// The engine against the real stand-in service on loopback: login with a
// challenge and with a ticket, TLS resumption, redirects, hold-offs,
// authentication failures and the server's "O", "K" and "J" frames.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/engine_helper.h"
#include "core/loginapi.h"
#include "support/capture.h"

namespace {

using std::chrono::milliseconds;

class LoginTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(svc.start()); }
  void TearDown() override {
    for (auto &e : engines) {
      e->stop();
      e->wait();
    }
    engines.clear();
    recorders.clear();
    if (HasFailure()) printf("%s\n", svc.log().c_str());
    EXPECT_TRUE(svc.stop());
  }
  // Recorders live in the fixture: they must outlive the engines.
  StatusRecorder &recorder() {
    recorders.emplace_back(new StatusRecorder);
    return *recorders.back();
  }
  CAPI *engine(uint32_t uid, StatusRecorder *rec) {
    engines.emplace_back(new CAPI("", 0));
    CAPI *e = engines.back().get();
    e->register_listener(0, rec, 1);
    EngineSetup::configure(e, svc, svc.mint_token(uid));
    return e;
  }
  ServiceHarness svc;
  std::vector<std::unique_ptr<StatusRecorder>> recorders;
  std::vector<std::unique_ptr<CAPI>> engines;
};

TEST_F(LoginTest, ChallengeThenTicketWithResumedSession) {
  StatusRecorder &rec = recorder();
  CAPI *e = engine(1001, &rec);
  ASSERT_EQ(e->start(), 0);
  ASSERT_TRUE(rec.wait_for(STATUS_ONLINE));
  auto first = svc.logins(1001);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].via, "challenge");
  EXPECT_EQ(first[0].frames, 2);    // exactly two login frames
  EXPECT_EQ(first[0].identity, 0);  // the second carries no identity items
  EXPECT_EQ(first[0].answer, 0);

  // Reconnect: the ticket logs in at once, over a resumed TLS session.
  e->stop();
  e->wait();
  ASSERT_EQ(e->start(), 0);
  ASSERT_TRUE(rec.wait_for(STATUS_ONLINE, 2));
  auto second = svc.logins(1001);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[1].via, "ticket");
  EXPECT_EQ(second[1].frames, 1);
  EXPECT_TRUE(second[1].resumed);
}

TEST_F(LoginTest, TwoEnginesStayOnlineAcrossPings) {
  svc.stop();
  ASSERT_TRUE(svc.start("", {"--ping", "1"}));
  StatusRecorder &a = recorder(), &b = recorder();
  ASSERT_EQ(engine(2001, &a)->start(), 0);
  ASSERT_EQ(engine(2002, &b)->start(), 0);
  ASSERT_TRUE(a.wait_for(STATUS_ONLINE));
  ASSERT_TRUE(b.wait_for(STATUS_ONLINE));
  std::this_thread::sleep_for(milliseconds(3500));  // several ping rounds
  EXPECT_EQ(a.count(STATUS_OFFLINE), 0);
  EXPECT_EQ(b.count(STATUS_OFFLINE), 0);
  EXPECT_TRUE(svc.wait_online(2001));
  EXPECT_TRUE(svc.wait_online(2002));
}

TEST_F(LoginTest, RedirectIsFollowed) {
  StatusRecorder &rec = recorder();
  CAPI *e = engine(1002, &rec);
  std::string port = std::to_string(svc.port());
  ASSERT_EQ(svc.admin("redirect uid=1002 host=127.0.0.1 port=" + port + " validity=600").substr(0, 2),
            "ok");
  ASSERT_EQ(e->start(), 0);
  ASSERT_TRUE(rec.wait_for(STATUS_ONLINE));
  auto logins = svc.logins(1002);
  ASSERT_GE(logins.size(), 2u);
  EXPECT_EQ(logins[0].answer, LOGIN_REDIRECT);
  EXPECT_EQ(logins.back().answer, 0);
  EXPECT_EQ(rec.count(STATUS_CONNECTFAILED), 0);  // followed within one attempt
}

TEST_F(LoginTest, HoldOffDelaysTheNextAttempt) {
  StatusRecorder &rec = recorder();
  CAPI *e = engine(1003, &rec);
  // Hold off for 3 s.
  ASSERT_EQ(svc.admin("answer uid=1003 op=0x85 param=3").substr(0, 2), "ok");
  ASSERT_EQ(e->start(), 0);
  ASSERT_TRUE(rec.wait_for(STATUS_CONNECTFAILED));
  ASSERT_TRUE(rec.wait_for(STATUS_ONLINE));
  auto gap = rec.when(STATUS_CONNECTING, 1) - rec.when(STATUS_CONNECTFAILED, 0);
  EXPECT_GE(gap, milliseconds(2500));
}

TEST_F(LoginTest, AuthenticationFailureStopsAndIsRemembered) {
  StatusRecorder &rec = recorder();
  CAPI *e = engine(1004, &rec);
  ASSERT_EQ(svc.admin("refuse uid=1004").substr(0, 2), "ok");
  ASSERT_EQ(e->start(), 0);
  ASSERT_TRUE(rec.wait_for(STATUS_STOPPED));
  EXPECT_GE(rec.count(STATUS_AUTHFAIL), 1);
  e->wait();
  rec.clear();
  EXPECT_EQ(e->start(), -1);  // this engine never starts again
}

TEST_F(LoginTest, ServerFramesSignOutCloseAndPingRequest) {
  StatusRecorder &rec = recorder();
  CAPI *e = engine(1005, &rec);
  ASSERT_EQ(e->start(), 0);
  ASSERT_TRUE(rec.wait_for(STATUS_ONLINE));

  ASSERT_EQ(svc.admin("pingreq uid=1005").substr(0, 2), "ok");  // answered, stays online
  ASSERT_EQ(svc.admin("close uid=1005").substr(0, 2), "ok");    // "K": reconnect
  ASSERT_TRUE(rec.wait_for(STATUS_OFFLINE));
  ASSERT_TRUE(rec.wait_for(STATUS_ONLINE, 2));

  ASSERT_EQ(svc.admin("signout uid=1005").substr(0, 2), "ok");  // "O": the engine stops
  ASSERT_TRUE(rec.wait_for(STATUS_SIGNOUT));
  ASSERT_TRUE(rec.wait_for(STATUS_STOPPED));
}

TEST_F(LoginTest, UntrustedServiceFailsTheHandshake) {
  StatusRecorder &rec = recorder();
  engines.emplace_back(new CAPI("", 0));
  CAPI *e = engines.back().get();
  e->register_listener(0, &rec, 1);
  e->set_server(("127.0.0.1:" + std::to_string(svc.port())).c_str());
  e->set_credentials(svc.mint_token(1006).c_str());  // no trusted CA added
  StdoutCapture out;
  ASSERT_EQ(e->start(), 0);
  ASSERT_TRUE(rec.wait_for(STATUS_CONNECTFAILED));
  e->stop();
  e->wait();
  EXPECT_TRUE(out.contains("Certificate verification error"));
  EXPECT_EQ(rec.count(STATUS_ONLINE), 0);
}

}  // namespace
