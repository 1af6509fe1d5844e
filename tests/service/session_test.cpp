// A logged-in connection: pings, bundle acknowledgements, and the frames an
// operator pushes through the admin channel.
#include "service/service_fixture.h"

class SessionTest : public ServiceTest {};

static std::vector<uint8_t> bundle(uint16_t seq) {
  uint8_t buf[256];
  TlvBuffer b;
  tlv_init(&b, buf, sizeof buf);
  bundle_begin(&b, seq);
  b.put_empty(REC_START);
  b.put_u32(REC_UID, 9);
  b.put_text(REC_PAYLOAD, "hello");
  return std::vector<uint8_t>(buf, buf + b.pos);
}

TEST_F(SessionTest, PingsAndBundlesAreAcknowledged) {
  RawToken t = token(201);
  auto c = online(t);
  FrameHeader h;
  std::vector<uint8_t> body;

  ASSERT_TRUE(c->send_frame(FRAME_PING, 0, 0));
  ASSERT_EQ(c->read_frame(&h, &body), 1);
  EXPECT_EQ(h.code, FRAME_PING);
  EXPECT_LT(h.op, 0x40);

  ASSERT_TRUE(c->send_frame(FRAME_BUNDLE, 1, 0, bundle(0x1234)));
  ASSERT_EQ(c->read_frame(&h, &body), 1);
  EXPECT_EQ(h.code, FRAME_BUNDLE);
  EXPECT_LT(h.op, 0x40);
  EXPECT_EQ(h.param, 0u);

  // A bundle that cannot be read is acknowledged all the same, or the
  // client would send it forever.
  std::vector<uint8_t> broken = bundle(0x4321);
  broken.push_back(0xA7);  // an item claiming 5 more bytes than there are
  ASSERT_TRUE(c->send_frame(FRAME_BUNDLE, 1, 0, broken));
  ASSERT_EQ(c->read_frame(&h, &body), 1);
  EXPECT_EQ(h.code, FRAME_BUNDLE);

  // Acknowledgements carry the pacing an operator sets.
  EXPECT_EQ(svc->admin("pace uid=201 ms=250"), "ok 1");
  ASSERT_TRUE(c->send_frame(FRAME_BUNDLE, 1, 0, bundle(0x1235)));
  ASSERT_EQ(c->read_frame(&h, &body), 1);
  EXPECT_EQ(h.param, 250u);
  EXPECT_EQ(svc->admin("pace uid=201 ms=0"), "ok 1");

  // The next login of this device learns the last bundle that arrived.
  c = client();
  RawLogin l = raw_login(c.get(), t);
  ASSERT_EQ(l.answer, 0);
  EXPECT_EQ(raw_item_uint(l.body, 15), 0x1235u);
}

TEST_F(SessionTest, OperatorFramesReachTheClient) {
  const uint32_t ANY_PARAM = 0xFFFFFFFF;
  struct Case {
    const char *command;
    uint8_t code, op;
    uint32_t param;
    const char *body;
    bool closes;
  } cases[] = {
      {"signout", FRAME_LOGIN, 0x4F, 0, "", false},
      {"pingreq", FRAME_LOGIN, 0x4A, 0, "", false},
      {"send op=0x85 param=0x0800003c text=back in a minute", FRAME_LOGIN, 0x85, 0x0800003c,
       "back in a minute", false},
      {"send op=0xC3", FRAME_LOGIN, 0xC3, 0, "", false},
      {"send op=0x41 hex=0102", FRAME_BUNDLE, 0x41, ANY_PARAM, "\x01\x02", false},
      {"close", FRAME_LOGIN, 0x4B, 0, "", true},
  };
  RawToken t = token(210);
  auto c = online(t);
  for (const Case &k : cases) {
    SCOPED_TRACE(k.command);
    EXPECT_EQ(svc->admin(for_uid(k.command, 210)), "ok 1");
    FrameHeader h;
    std::vector<uint8_t> body;
    ASSERT_EQ(c->read_frame(&h, &body), 1);
    EXPECT_EQ(h.code, k.code);
    EXPECT_EQ(h.op, k.op);
    if (k.param == ANY_PARAM) EXPECT_NE(h.param, 0u);  // data params are the service's own
    else EXPECT_EQ(h.param, k.param);
    EXPECT_EQ(std::string(body.begin(), body.end()), k.body);
    if (k.closes) {
      EXPECT_TRUE(c->wait_closed());
    }
  }
}

TEST_F(SessionTest, DataFrameParamsAreEchoedBack) {
  RawToken t = token(220);
  auto c = online(t);
  FrameHeader h;
  std::vector<uint8_t> body;
  uint32_t last = 0;
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(svc->admin("send uid=220 op=0x41 hex=01"), "ok 1");
    ASSERT_EQ(c->read_frame(&h, &body), 1);
    EXPECT_GT(h.param, last);  // every data frame has a param of its own
    last = h.param;
  }
  ASSERT_TRUE(c->send_frame(FRAME_PING, 0, last));
  ASSERT_EQ(c->read_frame(&h, &body), 1);
  auto conns = svc->connections(220);
  ASSERT_EQ(conns.size(), 1u);
  EXPECT_EQ(conns[0].acked, last);
}

TEST_F(SessionTest, StallAndDrop) {
  RawToken t = token(230);
  auto stalled = online(t);
  auto dropped = online(t);
  auto conns = svc->connections(230);
  ASSERT_EQ(conns.size(), 2u);  // two devices of one user

  EXPECT_EQ(svc->admin("stall conn=" + std::to_string(conns[0].id)), "ok 1");
  ASSERT_TRUE(stalled->send_frame(FRAME_PING, 0, 0));
  FrameHeader h;
  std::vector<uint8_t> body;
  EXPECT_EQ(stalled->read_frame(&h, &body, 300), 0);
  EXPECT_TRUE(svc->connections(230)[0].stalled);

  EXPECT_EQ(svc->admin("drop conn=" + std::to_string(conns[1].id)), "ok 1");
  EXPECT_TRUE(dropped->wait_closed());
  EXPECT_EQ(svc->connections(230).size(), 1u);
}
