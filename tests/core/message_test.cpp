// The message paths of the engine without a server: the engine writes to
// one end of a socket pair, the test reads and decodes the frames at the
// other end and feeds received bundles straight into message_decode.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/api.h"
#include "support/token_helper.h"
#include "support/capture.h"
#include "util/time.h"

namespace {

// Remembers messages and status reports as they arrive.
class Inbox : public INotify {
 public:
  struct Item {
    MessageParams p;
    std::string peer;
    std::string payload;
    int last;
  };
  int on_message(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) override {
    messages.push_back({*p, peer ? peer : "", std::string((const char *)payload, len), 0});
    return 0;
  }
  int on_message_status(MessageParams *p, const char *peer, int last) override {
    statuses.push_back({*p, peer ? peer : "", "", last});
    return 0;
  }
  int on_status(int status, uint32_t, uint32_t, uint32_t) override {
    connection.push_back(status);
    return 0;
  }
  std::vector<Item> messages, statuses;
  std::vector<int> connection;
};


class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    engine.register_listener(0, &inbox, 1);
    ASSERT_EQ(engine.set_credentials(make_token(TokenSpec()).c_str()), 0);
    ASSERT_NE(engine.get_uid(), 0u);
    engine.sock.store(pair[0]);
    engine.logged_in.store(true);
    engine.batch_delay_us = 0;
  }
  void TearDown() override {
    engine.sock.store(-1);
    close(pair[0]);
    close(pair[1]);
  }
  // Sends a text message with id `id` to uid 42.
  int send(uint32_t id, const std::string &text, uint32_t to = 42) {
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = id;
    p.uid = to;
    p.expiry = UINT32_MAX;
    return engine.message(&p, nullptr, (const uint8_t *)text.data(), (uint32_t)text.size());
  }
  // Reads one frame the engine wrote.
  bool read_frame(FrameHeader *h, std::string *body) {
    uint8_t head[FRAME_HEADER_SIZE];
    if (recv(pair[1], head, sizeof head, MSG_WAITALL) != (ssize_t)sizeof head) return false;
    frame_decode(head, h);
    body->resize(h->length);
    return h->length == 0 || recv(pair[1], &(*body)[0], h->length, MSG_WAITALL) == (ssize_t)h->length;
  }
  static uint16_t sequence_of(const std::string &body) {
    const uint8_t *v;
    int n = tlv_find(body.data(), (uint32_t)body.size(), REC_BUNDLE_SEQ, &v);
    return n > 0 ? (uint16_t)tlv_uint(v, (uint32_t)n, 2) : 0;
  }
  void acknowledge() {
    FrameHeader ack = {FRAME_BUNDLE, 0, 0, 0};
    engine.handle_ack(ack);
  }

  CAPI engine{"", 0};
  Inbox inbox;
  int pair[2];
};

TEST_F(MessageTest, FortyMessagesLeaveInTwoBundlesWithTheirOwnSequences) {
  for (uint32_t i = 1; i <= 40; i++) ASSERT_EQ(send(i, "m" + std::to_string(i)), SEND_OK);
  EXPECT_EQ(inbox.messages.size(), 40u);  // local echo

  engine.send_pending(true);
  FrameHeader h;
  std::string body;
  ASSERT_TRUE(read_frame(&h, &body));
  EXPECT_EQ(h.code, FRAME_BUNDLE);
  EXPECT_EQ(h.op, 32);
  uint16_t first = sequence_of(body);

  engine.send_pending(true);  // nothing more leaves before the acknowledgement
  acknowledge();
  ASSERT_EQ(inbox.statuses.size(), 32u);
  for (size_t i = 0; i < 32; i++) {
    EXPECT_EQ(inbox.statuses[i].p.status, MSG_STATUS_SENT);
    EXPECT_EQ(inbox.statuses[i].p.id, i + 1);
  }
  EXPECT_EQ(inbox.connection.back(), STATUS_SENT);

  engine.send_pending(true);
  ASSERT_TRUE(read_frame(&h, &body));
  EXPECT_EQ(h.op, 8);
  EXPECT_NE(sequence_of(body), first);
}

TEST_F(MessageTest, PendingBundleIsResentUnchangedWithTheAckOwedNow) {
  ASSERT_EQ(send(7, "hello"), SEND_OK);
  engine.ack_owed = 11;
  engine.send_pending(true);
  FrameHeader h1, h2;
  std::string b1, b2;
  ASSERT_TRUE(read_frame(&h1, &b1));
  EXPECT_EQ(h1.param, 11u);

  // The connection broke; after the next login the same bundle goes again.
  engine.pending_acks = 0;
  engine.ack_owed = 99;
  engine.send_pending(true);
  ASSERT_TRUE(read_frame(&h2, &b2));
  EXPECT_EQ(b1, b2);
  EXPECT_EQ(h2.op, h1.op);
  EXPECT_EQ(h2.param, 99u);

  // The server reports at login that it has it: acknowledged, not resent.
  engine.login.has_last_seq = true;
  engine.login.last_seq = sequence_of(b1);
  engine.bundle_acknowledged();
  ASSERT_EQ(inbox.statuses.size(), 1u);
  EXPECT_EQ(inbox.statuses[0].p.id, 7u);
  EXPECT_EQ(engine.bundle_len, 0u);
}

TEST_F(MessageTest, SendChecks) {
  std::string max(MESSAGE_MAX_PAYLOAD, 'x');
  EXPECT_EQ(send(1, max + "x"), SEND_BAD_ARGS);
  EXPECT_EQ(send(2, max), SEND_OK);
  EXPECT_EQ(send(3, ""), SEND_BAD_ARGS);

  MessageParams p;
  memset(&p, 0, sizeof p);
  EXPECT_EQ(engine.message(&p, nullptr, (const uint8_t *)"x", 1), SEND_BAD_ARGS);  // no destination
  p.uid = 5;
  p.flags = MSG_FLAG_ID32;
  p.id = 1ull << 32;
  EXPECT_EQ(engine.message(&p, nullptr, (const uint8_t *)"x", 1), SEND_BAD_ARGS);

  // A non-blocking send finds the queue busy.
  pthread_mutex_lock(&engine.queue_lock);
  memset(&p, 0, sizeof p);
  p.uid = 5;
  p.flags = MSG_FLAG_NONBLOCKING;
  EXPECT_EQ(engine.message(&p, nullptr, (const uint8_t *)"x", 1), SEND_BUSY);
  pthread_mutex_unlock(&engine.queue_lock);
}

TEST_F(MessageTest, ExpiryZeroWhileOfflineReportsExpired) {
  engine.logged_in.store(false);
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.id = 9;
  p.uid = 42;
  p.expiry = 0;
  EXPECT_EQ(engine.message(&p, nullptr, (const uint8_t *)"x", 1), SEND_OK);
  ASSERT_EQ(inbox.statuses.size(), 1u);
  EXPECT_EQ(inbox.statuses[0].p.status, MSG_STATUS_EXPIRED);
  EXPECT_EQ(inbox.statuses[0].p.id, 9u);
}

TEST_F(MessageTest, FullQueueRefusesWithoutCorruption) {
  ASSERT_EQ(engine.set_queue_size(64001), 0);
  EXPECT_EQ(engine.queue.capacity(), 64008u);
  std::string big(10000, 'b');
  int queued = 0, r;
  while ((r = send((uint32_t)queued + 1, big)) == SEND_OK) queued++;
  EXPECT_EQ(r, SEND_FULL);
  EXPECT_GT(queued, 0);
  // Everything queued before the refusal still leaves intact.
  int seen = 0;
  while (seen < queued) {
    engine.send_pending(true);
    FrameHeader h;
    std::string body;
    ASSERT_TRUE(read_frame(&h, &body));
    seen += h.op;
    acknowledge();
  }
  EXPECT_EQ(seen, queued);
  EXPECT_EQ((int)inbox.statuses.size(), queued);
}

TEST_F(MessageTest, RecordThatNeverFitsIsReportedAndSkipped) {
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.id = 1;
  p.expiry = UINT32_MAX;
  std::string address(QUEUE_ADDRESS_MAX, 'a');
  std::string max(MESSAGE_MAX_PAYLOAD, 'x');
  ASSERT_EQ(engine.message(&p, address.c_str(), (const uint8_t *)max.data(), (uint32_t)max.size()),
            SEND_OK);
  ASSERT_EQ(send(2, "after"), SEND_OK);
  engine.send_pending(true);
  ASSERT_GE(inbox.statuses.size(), 1u);
  EXPECT_EQ(inbox.statuses[0].p.id, 1u);
  EXPECT_EQ(inbox.statuses[0].p.status, 158);
  FrameHeader h;
  std::string body;
  ASSERT_TRUE(read_frame(&h, &body));
  EXPECT_EQ(h.op, 1);  // the message behind it was not blocked
}

// ---- received bundles ----------------------------------------------------------

// Builds the body of an "A" frame from records.
struct BundleBuilder {
  uint8_t buf[4096];
  TlvBuffer t;
  BundleBuilder() { tlv_init(&t, buf, sizeof buf); }
  BundleBuilder &record(uint32_t id, uint32_t from, const char *address, const char *payload,
                        uint64_t flags = 0, int status = -1, uint32_t age = 0) {
    t.put_empty(REC_START);
    t.put_u32(REC_ID, id);
    if (flags) t.put_u64(REC_FLAGS, flags);
    if (from) t.put_u32(REC_UID, from);
    if (address) t.put_text(REC_ADDRESS, address);
    if (status >= 0) t.put_u16_fixed(REC_STATUS, (uint16_t)status);
    if (age) t.put_u32(REC_AGE, age);
    if (payload) t.put_text(REC_PAYLOAD, payload);
    return *this;
  }
};

TEST_F(MessageTest, OnlyTheFirstRecordCarriesTheSender) {
  BundleBuilder b;
  b.record(5, 77, "alice", "one").record(6, 0, nullptr, "two").record(7, 0, nullptr, "three");
  ASSERT_EQ(engine.message_decode(OP_DATA, b.buf, b.t.pos, false), 0);
  ASSERT_EQ(inbox.messages.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(inbox.messages[i].p.uid, 77u);
    EXPECT_EQ(inbox.messages[i].p.id, (77ull << 32) | (5 + i));
    EXPECT_EQ(inbox.messages[i].peer, "alice");
    EXPECT_EQ(inbox.messages[i].p.status, MSG_STATUS_UNREAD);
    EXPECT_EQ(inbox.messages[i].p.realtime, 1);
  }
  EXPECT_EQ(inbox.messages[2].payload, "three");
}

TEST_F(MessageTest, StatusReportsAndSkippedRecords) {
  BundleBuilder b;
  b.record(5, 77, "alice", nullptr, 0, MSG_STATUS_READ)
      .record(6, 0, nullptr, "hidden", MSG_FLAG_NOT_DELIVERED)
      .record(7, 0, nullptr, "stored", MSG_FLAG_STORED)
      .record(8, 0, nullptr, "also stored");
  ASSERT_EQ(engine.message_decode(OP_DATA, b.buf, b.t.pos, false), 0);
  ASSERT_EQ(inbox.statuses.size(), 1u);
  EXPECT_EQ(inbox.statuses[0].p.status, MSG_STATUS_READ);
  EXPECT_EQ(inbox.statuses[0].p.id, 5u);  // our own id, not composed
  PeerEntry *alice = engine.get_peer("alice", false);
  ASSERT_NE(alice, nullptr);
  EXPECT_GT(alice->last_read_ms, 0u);
  ASSERT_EQ(inbox.messages.size(), 2u);
  for (auto &m : inbox.messages) {
    EXPECT_TRUE(m.p.flags & MSG_FLAG_STORED);
    EXPECT_EQ(m.p.realtime, 0);
  }
}

TEST_F(MessageTest, ReceiveTimes) {
  StdoutCapture out;
  BundleBuilder b;
  uint64_t before = wall_ms();
  b.record(1, 77, "alice", "now").record(2, 0, nullptr, "an hour ago", 0, -1, 3600);
  b.record(3, 0, nullptr, "before the epoch", 0, -1, 0xFFFFFFFF);
  ASSERT_EQ(engine.message_decode(OP_DATA, b.buf, b.t.pos, false), 0);
  ASSERT_EQ(inbox.messages.size(), 3u);
  EXPECT_GE(inbox.messages[0].p.when, before);
  EXPECT_NEAR((double)inbox.messages[1].p.when, (double)(before - 3600000), 2000);
  EXPECT_GE(inbox.messages[2].p.when, before);  // replaced by the receive time
  EXPECT_TRUE(out.contains("has bad value in incoming"));
}

TEST_F(MessageTest, RecordWithoutSenderAtConnectionStartFailsTheBundle) {
  StdoutCapture out;
  BundleBuilder b;
  b.record(1, 0, nullptr, "who?").record(2, 77, "alice", "dropped with the rest");
  EXPECT_EQ(engine.message_decode(OP_DATA, b.buf, b.t.pos, false), -1);
  EXPECT_TRUE(inbox.messages.empty());
  EXPECT_TRUE(out.contains("*** BUG *** missing address and uid"));
}

}  // namespace
