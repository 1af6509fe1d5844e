// Hostile and broken clients: each is dropped, and the service goes on
// serving everyone else.
#include <chrono>
#include <thread>

#include "service/service_fixture.h"

class RobustnessTest : public ServiceTest {};

static std::vector<uint8_t> header(uint8_t code, uint8_t op, uint32_t len, uint32_t param) {
  std::vector<uint8_t> h(FRAME_HEADER_SIZE);
  frame_encode(h.data(), FrameHeader{code, op, len, param});
  return h;
}

TEST_F(RobustnessTest, BrokenClientsAreDroppedAndOthersServed) {
  // A client that connects and never speaks is dropped at the login timeout.
  RawClient silent(svc->ca_file());
  ASSERT_TRUE(silent.connect_tcp(svc->port()));

  std::vector<uint8_t> bad_tlv = {0xA7, 0x01};  // claims 5 bytes, has 1
  std::vector<uint8_t> login_head = header(FRAME_LOGIN, 1, 2, 0x5530AA00);
  bad_tlv.insert(bad_tlv.begin(), login_head.begin(), login_head.end());
  std::vector<uint8_t> cut = header(FRAME_LOGIN, 1, 100, 0x5530AA00);
  cut.resize(cut.size() + 10, 0x11);  // 10 of 100 bytes, then nothing

  struct Case {
    const char *name;
    bool tls;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"plain bytes where TLS is expected", false, std::vector<uint8_t>(300, 0x5A)},
      {"bundle before login", true, header(FRAME_BUNDLE, 1, 0, 0)},
      {"login without the magic", true, header(FRAME_LOGIN, 1, 0, 0x12345678)},
      {"login body over 1,024 bytes", true, header(FRAME_LOGIN, 1, 1025, 0x5530AA00)},
      {"header declaring 1 MB", true, header(FRAME_LOGIN, 1, 0xFFFFF, 0x5530AA00)},
      {"malformed login items", true, bad_tlv},
      {"frame body that stalls", true, cut},
      {"unknown frame code", true, header(9, 0, 0, 0)},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    RawClient c(svc->ca_file());
    if (k.tls) ASSERT_TRUE(c.connect(svc->port()));
    else ASSERT_TRUE(c.connect_tcp(svc->port()));
    ASSERT_TRUE(c.write_raw(k.bytes.data(), k.bytes.size()));
    EXPECT_TRUE(c.wait_closed(2000));
  }

  // Clients that vanish halfway: in the handshake, and in a frame.
  for (int i = 0; i < 20; i++) {
    RawClient c(svc->ca_file());
    ASSERT_TRUE(c.connect_tcp(svc->port()));
    const uint8_t hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01};
    c.write_raw(hello, sizeof hello);
  }
  for (int i = 0; i < 20; i++) {
    RawClient c(svc->ca_file());
    ASSERT_TRUE(c.connect(svc->port()));
    c.write_raw(cut.data(), cut.size() - 5);
  }

  EXPECT_TRUE(silent.wait_closed(3000));
  RawToken t = token(401);
  auto c = online(t);
  ASSERT_TRUE(c->send_frame(FRAME_PING, 0, 0));
  FrameHeader h;
  std::vector<uint8_t> body;
  EXPECT_EQ(c->read_frame(&h, &body), 1);

  // Nothing of the broken clients stays behind.
  size_t connections = 0;
  for (int waited = 0; waited < 3000; waited += 50) {
    connections = svc->connections().size();
    if (connections == 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(connections, 1u);
  EXPECT_TRUE(svc->running());
}

TEST_F(RobustnessTest, FramesNotAllowedOnlineCloseTheConnection) {
  RawToken t = token(402);
  for (auto frame : {header(FRAME_LOGIN, 1, 0, 0x5530AA00), header(FRAME_BUNDLE, 1, 65535, 0),
                     header(FRAME_DEBUG, 0, 247, 0)}) {
    auto c = online(t);
    if (frame[2] == 0xFF) {  // a full-size bundle is allowed; send it whole
      frame.resize(frame.size() + 65535, 0);
      ASSERT_TRUE(c->write_raw(frame.data(), frame.size()));
      FrameHeader h;
      std::vector<uint8_t> body;
      EXPECT_EQ(c->read_frame(&h, &body), 1);
      EXPECT_EQ(h.code, FRAME_BUNDLE);
      continue;
    }
    ASSERT_TRUE(c->write_raw(frame.data(), frame.size()));
    EXPECT_TRUE(c->wait_closed());
  }
}
