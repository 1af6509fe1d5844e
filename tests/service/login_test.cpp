// Logging in to the service: tokens, the challenge round, tickets, refusals.
#include <ctime>

#include "service/service_fixture.h"

ServiceHarness *ServiceTest::svc = nullptr;

class LoginTest : public ServiceTest {};

TEST_F(LoginTest, TokensDecodeWithTheClientRules) {
  std::string text = svc->mint_token(7, "Demo");
  RawToken named, plain, widest;
  ASSERT_TRUE(raw_decode_token(text, &named)) << text;
  EXPECT_GT(text.size(), 38u);
  EXPECT_EQ(named.uid, 7u);
  EXPECT_EQ(named.options & 1, 0u);  // the proof includes the application name
  EXPECT_NE(named.app_id, 0u);
  EXPECT_GT(named.serial, 3823239u);

  ASSERT_TRUE(raw_decode_token(svc->mint_token(7), &plain));
  EXPECT_EQ(plain.options & 1, 1u);
  EXPECT_GT(plain.serial, named.serial);
  EXPECT_NE(plain.app_id, named.app_id);

  ASSERT_TRUE(raw_decode_token(svc->mint_token(0xFFFFFFFF), &widest));
  EXPECT_EQ(widest.uid, 0xFFFFFFFFu);
  EXPECT_EQ(svc->mint_token(0), "");
}

TEST_F(LoginTest, ChallengeRoundThenTicketInOneRound) {
  RawToken t = token(101);
  auto c = client();
  uint8_t buf[1024];
  TlvBuffer b;
  tlv_init(&b, buf, sizeof buf);
  raw_identity_items(&b, t);
  ASSERT_TRUE(c->send_frame(FRAME_LOGIN, 1, RAW_LOGIN_PARAM, {buf, buf + b.pos}));

  FrameHeader h;
  std::vector<uint8_t> body;
  ASSERT_EQ(c->read_frame(&h, &body), 1);
  EXPECT_EQ(h.code, FRAME_LOGIN);
  ASSERT_EQ(h.op, 5);
  EXPECT_NEAR((double)h.param, (double)time(nullptr), 5);
  EXPECT_EQ(raw_item(body, 8), std::string(1, '\0'));
  std::string challenge = raw_item(body, 10);
  EXPECT_EQ(challenge.size(), 32u);

  tlv_init(&b, buf, sizeof buf);
  raw_proof_items(&b, raw_proof(t, h.param, challenge, ""), h.param, true);
  ASSERT_TRUE(c->send_frame(FRAME_LOGIN, 1, h.param, {buf, buf + b.pos}));
  ASSERT_EQ(c->read_frame(&h, &body), 1);
  ASSERT_EQ(h.op, 0);
  EXPECT_EQ(raw_item_uint(body, 19), 101u);
  EXPECT_EQ(raw_item(body, 18), "u101");
  EXPECT_NEAR((double)raw_item_uint(body, 9), (double)time(nullptr) * 1e6, 5e6);
  EXPECT_EQ(raw_item_uint(body, 5), 300u);
  EXPECT_EQ(raw_item_uint(body, 7), 32u);
  EXPECT_EQ(raw_item_uint(body, 13), 2592000u);
  EXPECT_NE(raw_item_uint(body, 20), 0u);
  std::string ticket = raw_item(body, 10);
  EXPECT_EQ(ticket.size(), 32u);

  auto seen = svc->logins(101);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].frames, 2);
  EXPECT_EQ(seen[0].identity, 0);  // the second frame carries no identity
  EXPECT_EQ(seen[0].via, "challenge");
  EXPECT_EQ(seen[0].host, "localhost");

  // Next connection: resumed TLS session, ticket proof, one round.
  c->keep_session();
  c->close();
  ASSERT_TRUE(c->connect(svc->port()));
  EXPECT_TRUE(c->resumed());
  RawLogin again = raw_login(c.get(), t, "", ticket);
  EXPECT_EQ(again.answer, 0);
  EXPECT_EQ(again.frames, 1);
  EXPECT_EQ(again.ticket, "");  // it keeps the one it has
  seen = svc->logins(101);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].via, "ticket");
  EXPECT_EQ(seen[1].frames, 1);
  EXPECT_TRUE(seen[1].resumed);

  // Tickets belong to the host name they were issued for.
  auto other = client("other.localhost");
  RawLogin elsewhere = raw_login(other.get(), t, "", ticket);
  EXPECT_EQ(elsewhere.answer, 0);
  EXPECT_EQ(elsewhere.frames, 2);
}

TEST_F(LoginTest, UnusableTicketsFallBackToTheChallenge) {
  RawToken t = token(102);
  for (const char *ticket : {"0123456789abcdef0123456789abcdef", "x"}) {
    auto c = client();
    RawLogin l = raw_login(c.get(), t, "", ticket);
    EXPECT_EQ(l.answer, 0) << ticket;
    EXPECT_EQ(l.frames, 2) << ticket;
  }

  // A real ticket with a clock far off is not taken either.
  auto c = client();
  std::string ticket = raw_login(c.get(), t).ticket;
  ASSERT_FALSE(ticket.empty());
  c = client();
  uint8_t buf[1024];
  TlvBuffer b;
  tlv_init(&b, buf, sizeof buf);
  raw_identity_items(&b, t);
  uint32_t stale = (uint32_t)time(nullptr) - 7200;
  raw_proof_items(&b, raw_proof(t, stale, ticket, ""), stale, false);
  ASSERT_TRUE(c->send_frame(FRAME_LOGIN, 1, RAW_LOGIN_PARAM, {buf, buf + b.pos}));
  FrameHeader h;
  std::vector<uint8_t> body;
  ASSERT_EQ(c->read_frame(&h, &body), 1);
  EXPECT_EQ(h.op, 5);
}

TEST_F(LoginTest, RefusalsCarryAnAuthenticationFailureOp) {
  struct Case {
    const char *name;
    const char *mint_app;
    const char *proof_app;
    uint64_t serial_shift;
    uint32_t app_id_shift;
    bool flip_key;
    int time_shift;  // item 24 of the challenge answer
    uint8_t expect;
  } cases[] = {
      {"unknown token", "", "", 1000, 0, false, 0, 0xC2},
      {"other application id", "", "", 0, 1, false, 0, 0xC2},
      {"wrong key", "", "", 0, 0, true, 0, 0xC1},
      {"time value not the challenge's", "", "", 0, 0, false, 1, 0xC1},
      {"application name left out", "Demo", "", 0, 0, false, 0, 0xC1},
      {"application name of another", "Demo", "demo2", 0, 0, false, 0, 0xC1},
  };
  uint32_t uid = 110;
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    RawToken t = token(++uid, k.mint_app);
    t.serial += k.serial_shift;
    t.app_id += k.app_id_shift;
    if (k.flip_key) t.key[3] ^= 0x40;
    auto c = client();
    uint8_t buf[1024];
    TlvBuffer b;
    tlv_init(&b, buf, sizeof buf);
    raw_identity_items(&b, t);
    ASSERT_TRUE(c->send_frame(FRAME_LOGIN, 1, RAW_LOGIN_PARAM, {buf, buf + b.pos}));
    FrameHeader h;
    std::vector<uint8_t> body;
    ASSERT_EQ(c->read_frame(&h, &body), 1);
    if (h.op == 5) {
      std::string challenge = raw_item(body, 10);
      tlv_init(&b, buf, sizeof buf);
      raw_proof_items(&b, raw_proof(t, h.param, challenge, k.proof_app), h.param + k.time_shift,
                      true);
      ASSERT_TRUE(c->send_frame(FRAME_LOGIN, 1, h.param, {buf, buf + b.pos}));
      ASSERT_EQ(c->read_frame(&h, &body), 1);
    }
    EXPECT_EQ(h.op, k.expect);
    EXPECT_EQ(h.code, FRAME_LOGIN);
    EXPECT_TRUE(c->wait_closed());
  }
  // The right name, in any case, is accepted.
  RawToken named = token(++uid, "Demo");
  auto c = client();
  EXPECT_EQ(raw_login(c.get(), named, "DEMO").answer, 0);
}

TEST_F(LoginTest, RevokedTokenIsRefused) {
  RawToken t = token(130);
  EXPECT_EQ(svc->admin("revoke serial=" + std::to_string(t.serial)), "ok");
  auto c = client();
  EXPECT_EQ(raw_login(c.get(), t).answer, 0xC2);
}

TEST(ServiceRestartTest, TokensAndTicketsSurviveARestart) {
  ServiceHarness s;
  ASSERT_TRUE(s.start());
  RawToken t;
  ASSERT_TRUE(raw_decode_token(s.mint_token(501), &t));
  RawClient c(s.ca_file());
  ASSERT_TRUE(c.connect(s.port()));
  std::string ticket = raw_login(&c, t).ticket;
  ASSERT_FALSE(ticket.empty());
  c.close();

  uint16_t port = s.port();
  ASSERT_TRUE(s.restart());
  EXPECT_EQ(s.port(), port);
  ASSERT_TRUE(c.connect(s.port()));
  RawLogin l = raw_login(&c, t, "", ticket);
  EXPECT_EQ(l.answer, 0);
  EXPECT_EQ(l.frames, 1);
  EXPECT_TRUE(s.stop());
}
