// Login rules set through the admin channel: redirects, hold-offs,
// refusals and unanswered logins.
#include <arpa/inet.h>

#include "service/service_fixture.h"

class RuleTest : public ServiceTest {
 protected:
  void TearDown() override { svc->admin("clear"); }
};

TEST_F(RuleTest, RedirectIsAnsweredOnceWithItsBody) {
  RawToken t = token(301);
  std::string port = std::to_string(svc->port());
  ASSERT_EQ(svc->admin("redirect uid=301 host=localhost addr=127.0.0.1 port=" + port +
                       ",5223 sleep=2 mode=10 validity=600 attempts=3 value=77 ticket=1"),
            "ok");
  auto c = client();
  RawLogin l = raw_login(c.get(), t);
  ASSERT_EQ(l.answer, 0x91);
  EXPECT_EQ(raw_item(l.body, 7), "localhost");
  EXPECT_EQ(raw_item(l.body, 14), std::string("\x7f\x00\x00\x01", 4));  // network order
  EXPECT_EQ(raw_item_uint(l.body, 11), svc->port());
  EXPECT_EQ(raw_item_uint(l.body, 5), 2u);
  EXPECT_EQ(raw_item_uint(l.body, 10), 10u);
  EXPECT_EQ(raw_item_uint(l.body, 3), 600u);
  EXPECT_EQ(raw_item_uint(l.body, 9), 3u);
  EXPECT_EQ(raw_item_uint(l.body, 13), 77u);
  std::string ticket = raw_item(l.body, 6);
  EXPECT_EQ(ticket.size(), 32u);
  EXPECT_TRUE(c->wait_closed());

  // At the redirect host the rule is used up and the redirect's ticket
  // logs the client in at once.
  c = client("localhost");
  RawLogin there = raw_login(c.get(), t, "", ticket);
  EXPECT_EQ(there.answer, 0);
  EXPECT_EQ(there.frames, 1);
}

TEST_F(RuleTest, LoginsAreAnsweredAsTold) {
  struct Case {
    const char *rule;
    uint8_t op;
    uint32_t param;
    const char *body;
  } cases[] = {
      {"answer op=0x85 param=0x0800FFFF text=back soon", 0x85, 0x0800FFFF, "back soon"},
      {"answer op=0x89", 0x89, 0, ""},
      {"answer op=0x8B", 0x8B, 0, ""},
      {"refuse", 0xC0, 0, ""},
      {"refuse op=0xC7", 0xC7, 0, ""},
      {"redirect param=120", 0x91, 120, ""},  // empty body: back to the normal host
  };
  RawToken t = token(310);
  for (const Case &k : cases) {
    SCOPED_TRACE(k.rule);
    ASSERT_EQ(svc->admin(for_uid(k.rule, 310)), "ok");
    auto c = client();
    RawLogin l = raw_login(c.get(), t);
    EXPECT_EQ(l.answer, k.op);
    EXPECT_EQ(l.param, k.param);
    EXPECT_EQ(std::string(l.body.begin(), l.body.end()), k.body);
    EXPECT_TRUE(c->wait_closed());
  }
  // Rules are used up, and rules for others leave this user alone.
  ASSERT_EQ(svc->admin("refuse uid=999 count=0"), "ok");
  auto c = client();
  EXPECT_EQ(raw_login(c.get(), t).answer, 0);
  auto seen = svc->logins(310);
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[3].answer, 0xC0);
}

TEST_F(RuleTest, RuleForEveryoneCountsDown) {
  ASSERT_EQ(svc->admin("refuse count=2"), "ok");
  RawToken a = token(320), b = token(321);
  auto c = client();
  EXPECT_EQ(raw_login(c.get(), a).answer, 0xC0);
  c = client();
  EXPECT_EQ(raw_login(c.get(), b).answer, 0xC0);
  c = client();
  EXPECT_EQ(raw_login(c.get(), a).answer, 0);
}

TEST_F(RuleTest, StalledLoginGetsNoAnswer) {
  RawToken t = token(330);
  ASSERT_EQ(svc->admin("stall-login uid=330"), "ok");
  auto c = client();
  uint8_t buf[1024];
  TlvBuffer b;
  tlv_init(&b, buf, sizeof buf);
  raw_identity_items(&b, t);
  ASSERT_TRUE(c->send_frame(FRAME_LOGIN, 1, RAW_LOGIN_PARAM, {buf, buf + b.pos}));
  FrameHeader h;
  std::vector<uint8_t> body;
  EXPECT_EQ(c->read_frame(&h, &body, 300), 0);
  auto conns = svc->connections(330);
  ASSERT_EQ(conns.size(), 1u);
  EXPECT_TRUE(conns[0].stalled);
}

TEST_F(RuleTest, BadCommandsAreRefused) {
  for (const char *bad : {"bogus", "answer uid=1", "answer op=0x1FF", "refuse op=0x85",
                          "send op=zz", "redirect host=h port=0", "redirect addr=300.1.1.1",
                          "pace ms=40000", "revoke serial=1", "conns uid=-1", "stats x",
                          "group-create", "group-create gid=5 members=1,x", "group-add gid=5",
                          "group-add gid=999 members=1", "group-remove gid=999 members=1",
                          "group-delete gid=999", "drop-random uid=1", "stored uid=-2"}) {
    EXPECT_EQ(svc->admin(bad).compare(0, 5, "error"), 0) << bad;
  }
  EXPECT_EQ(svc->admin("stats").compare(0, 3, "ok "), 0);
}
