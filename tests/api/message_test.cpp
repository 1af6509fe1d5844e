// The message object: defaults, predicates, what send hands the engine
// (and that it survives the rich payload), forwards, receipt times, the
// delete actions, copies, and life without a facade.
#include "api/message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "api/presence.h"
#include "api/richmessage.h"
#include "fake_engine_helper.h"
#include "support/capture.h"

static uint64_t BIT(int n) { return 1ull << n; }

static MessageParams params(uint64_t flags, uint16_t status, uint16_t type = 0, uint8_t origin = 0) {
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.id = 1;
  p.flags = flags;
  p.status = status;
  p.type = type;
  p.origin = origin;
  return p;
}

// ---- without a facade (a fresh process) -------------------------------------

static void use_without_facade() {
  bool ok;
  {
    StdoutCapture log;
    ZalvioMessage *m = ZalvioMessageInstance("alice", 0);
    m->setMessage("hi");
    ZalvioPresenceImpl presence("alice", 0);
    ZalvioDateTime *date = m->getTimestampObject();
    ok = m->id == 0 && m->send() == -1 && m->resend() == -1 && m->deleteForMe() == -1 &&
         m->wipeForMe() == -1 && m->deleteForEveryone() == -1 && m->removeForEveryone() == -1 &&
         m->canDeleteForEveryone() == 0 && m->getDeliveredTime("alice") == nullptr &&
         date && date->getDate(1) == nullptr && presence.sendTyping() == -1 &&
         log.contains("zalvio is not initialized");
    m->release();
  }
  exit(ok ? 0 : 1);
}

TEST(MessageWithoutFacade, OperationsFailInsteadOfCrashing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(use_without_facade(), testing::ExitedWithCode(0), "");
}

// ---- over the process's facade ----------------------------------------------

class Message : public testing::Test {
 protected:
  void SetUp() override {
    z = test_facade();
    engine().clear();
  }
  Zalvio *z = nullptr;
};

TEST_F(Message, NewMessageDefaults) {
  ZalvioMessage *m = z->newMessage("alice", 0u);
  EXPECT_NE(m->id, 0u);
  EXPECT_EQ(m->flags, 3u);
  EXPECT_EQ(m->expiry, 5184000u);
  EXPECT_EQ(m->status, 0);
  EXPECT_EQ(m->isInOutbox(), 1);
  EXPECT_EQ(m->localflags, 0x100f0cu);
  EXPECT_EQ(m->forwardOf, 0u);
  EXPECT_EQ(m->file.reset, 1);
  EXPECT_STREQ(m->peer, "alice");
  m->release();
}

TEST(MessagePredicates, Table) {
  typedef int (ZalvioMessageProperties::*Predicate)();
  struct Case {
    const char *what;
    uint64_t flags;
    uint16_t status, type;
    uint8_t origin;
    Predicate test;
    int expected;
  } cases[] = {
      {"deleted by bit 55", BIT(55), 1, 0, 0, &ZalvioMessageProperties::isDeleted, 1},
      {"deleted by bit 57", BIT(57), 1, 0, 0, &ZalvioMessageProperties::isDeleted, 1},
      {"bit 55 is not wiped", BIT(55), 1, 0, 0, &ZalvioMessageProperties::isWiped, 0},
      {"bit 57 is wiped", BIT(57), 1, 0, 0, &ZalvioMessageProperties::isWiped, 1},
      {"rich", 0x100, 1, 0, 0, &ZalvioMessageProperties::isRichMessage, 1},
      {"deleted is not rich", 0x100 | BIT(55), 1, 0, 0, &ZalvioMessageProperties::isRichMessage, 0},
      {"edit is modified", BIT(18), 18, 0, 0, &ZalvioMessageProperties::isModified, 1},
      {"update is modified", BIT(43), 18, 0, 0, &ZalvioMessageProperties::isModified, 1},
      {"file failed needs rich", BIT(59), 1, 0, 0, &ZalvioMessageProperties::isFileFailed, 0},
      {"rich file failed", 0x100 | BIT(59), 1, 0, 0, &ZalvioMessageProperties::isFileFailed, 1},
      {"sent is outgoing", 0, 1, 0, 0, &ZalvioMessageProperties::isOutgoing, 1},
      {"failed is outgoing", 0, 0x84, 0, 0, &ZalvioMessageProperties::isOutgoing, 1},
      {"unread is not outgoing", 0, 18, 0, 0, &ZalvioMessageProperties::isOutgoing, 0},
      {"status 10 is not outgoing", 0, 10, 0, 0, &ZalvioMessageProperties::isOutgoing, 0},
      {"status 37 is not outgoing", 0, 37, 0, 0, &ZalvioMessageProperties::isOutgoing, 0},
      {"call record is not outgoing", 0, 23, 0, 0, &ZalvioMessageProperties::isOutgoing, 0},
      {"local is not a message", 0, 32, 0, 0, &ZalvioMessageProperties::isMessage, 0},
      {"status 36 is not a message", 0, 36, 0, 0, &ZalvioMessageProperties::isMessage, 0},
      {"call is not a message", 0, 21, 0, 0, &ZalvioMessageProperties::isMessage, 0},
      {"video call", 0, 22, 1, 0, &ZalvioMessageProperties::isVideoCall, 1},
      {"voice call", 0, 22, 0, 0, &ZalvioMessageProperties::isVoiceCall, 1},
      {"checkCall on a call", 0, 21, 0, 0, &ZalvioMessageProperties::checkCall, 0},
      {"checkCall on a message", 0, 1, 0, 0, &ZalvioMessageProperties::checkCall, -1},
      {"incoming read", 0, 19, 0, 0, &ZalvioMessageProperties::isIncoming, 1},
      {"summary row", 0, 19, 0, 2, &ZalvioMessageProperties::isSummary, 1},
      {"outbox resend", 0, 0, 0, 3, &ZalvioMessageProperties::isFromOutbox, 1},
      {"last of a page", BIT(23), 19, 0, 1, &ZalvioMessageProperties::isLastInBatch, 1},
  };
  for (const Case &c : cases) {
    MessageParams p = params(c.flags, c.status, c.type, c.origin);
    ZalvioMessageImpl m(&p, nullptr, "alice");
    EXPECT_EQ((m.*c.test)(), c.expected) << c.what;
  }
}

TEST(MessagePredicates, SameConversation) {
  MessageParams p = params(0, 18);
  ZalvioMessageImpl one(&p, nullptr, "a");
  p.groupid = 5;
  ZalvioMessageImpl group(&p, nullptr, nullptr);
  MessageParams q = params(0, 18);
  ZalvioMessageImpl nobody(&q, nullptr, nullptr);
  EXPECT_EQ(one.isSameConversation("a", 0), 1);
  EXPECT_EQ(one.isSameConversation("b", 0), 0);
  EXPECT_EQ(one.isSameConversation(nullptr, 0), 0);
  EXPECT_EQ(group.isSameConversation(nullptr, 5), 1);
  EXPECT_EQ(group.isSameConversation("a", 0), 0);
  EXPECT_EQ(nobody.isSameConversation(nullptr, 0), 0);
  EXPECT_EQ(one.isSameConversation(&group), 0);
  EXPECT_EQ(one.isSameConversation((ZalvioMessageProperties *)nullptr), 0);
}

TEST(MessagePredicates, FlagSettersHitTheirBits) {
  typedef void (ZalvioMessageProperties::*Setter)(int);
  struct Case {
    Setter set;
    uint64_t bit;
  } cases[] = {
      {&ZalvioMessageProperties::setDeliveryReceipt, BIT(0)},
      {&ZalvioMessageProperties::setReadReceipt, BIT(1)},
      {&ZalvioMessageProperties::setFlagBit2, BIT(2)},
      {&ZalvioMessageProperties::setBroadcast, BIT(3)},
      {&ZalvioMessageProperties::setEdit, BIT(18)},
      {&ZalvioMessageProperties::setFlagBit19, BIT(19)},
      {&ZalvioMessageProperties::setDeleted, BIT(55)},
      {&ZalvioMessageProperties::setLocalOnly, BIT(56)},
      {&ZalvioMessageProperties::setWiped, BIT(57)},
  };
  for (const Case &c : cases) {
    MessageParams p = params(0, 0);
    ZalvioMessageImpl m(&p, nullptr, "a");
    (m.*c.set)(1);
    EXPECT_EQ(m.flags, c.bit);
    (m.*c.set)(0);
    EXPECT_EQ(m.flags, 0u);
  }
}

// ---- sending ----------------------------------------------------------------

TEST_F(Message, SendWithDataSendsOnlyTheData) {
  ZalvioMessage *m = z->newMessage("alice");
  MessageData d = {(const uint8_t *)"x", 1};
  m->setData(&d);
  m->setTitle("ignored");
  EXPECT_EQ(m->send(), 0);
  ASSERT_EQ(engine().sends.size(), 1u);
  const RecordedSend &s = engine().sends[0];
  EXPECT_EQ(s.data, "x");
  EXPECT_FALSE(s.has_title);
  EXPECT_EQ(s.localflags, 0u);
  EXPECT_EQ(s.peer, "alice");
  EXPECT_EQ(s.p.id, m->id);
  EXPECT_EQ(s.p.expiry, 5184000u);
  delete m;
}

TEST_F(Message, SendKeepsLocalOnlyAndDropsEditAndBroadcast) {
  ZalvioMessage *m = z->newMessage("alice");
  m->setMessage("hi");
  m->setEdit(1);
  m->setBroadcast(1);
  m->setLocalOnly(1);
  m->id = 0;  // an application that cleared it gets a fresh one
  engine().send_result = 158;
  EXPECT_EQ(m->send(), 158);
  ASSERT_EQ(engine().sends.size(), 1u);
  uint64_t sent = engine().sends[0].p.flags;
  EXPECT_EQ(sent, 3u | BIT(56));
  EXPECT_NE(m->id, 0u);
  EXPECT_EQ(engine().sends[0].p.id, m->id);
  delete m;
}

// What the engine gets for a message with every field, encoded to a
// payload and decoded into the message object a receiver sees.
TEST_F(Message, FieldsSurviveTheRichPayload) {
  static const uint8_t thumb[] = {0xff, 0xd8, 0x00, 0x10};
  ZalvioMessage *m = z->newMessage(nullptr, 12u);
  m->setMessage("caf\xc3\xa9");
  m->setTitle("title");
  m->setSubtitle("sub");
  m->setFilePath("/local/photo.jpg");
  m->setFileType(1);
  m->setThumbnail(thumb, sizeof thumb);
  m->setLatitude(10);
  m->setLongitude(20);
  m->setType(7);
  ASSERT_EQ(m->send(), 0);
  ASSERT_EQ(engine().sends.size(), 1u);
  const RecordedSend &s = engine().sends[0];
  EXPECT_FALSE(s.has_peer);
  EXPECT_EQ(s.p.groupid, 12u);
  EXPECT_EQ(s.p.type, 7);
  EXPECT_EQ(s.filepath, "/local/photo.jpg");
  EXPECT_EQ(s.localflags, 0x100f0cu);

  MessageBundle b;
  memset(&b, 0, sizeof b);
  b.message = s.message.c_str();
  b.title = s.title.c_str();
  b.subtitle = s.subtitle.c_str();
  b.filetype = s.filetype;
  b.thumbnail = (const uint8_t *)s.thumbnail.data();
  b.thumbnail_len = (uint32_t)s.thumbnail.size();
  b.lat = s.lat;
  b.lon = s.lon;
  uint8_t *payload = nullptr;
  uint32_t len = 0;
  ASSERT_EQ(rich_encode(&b, &payload, &len), 0);
  MessageBundle decoded;
  ASSERT_EQ(rich_decode(payload, len, &decoded), 0);
  MessageParams p = s.p;
  p.flags |= MSG_FLAG_RICH;
  p.status = MSG_STATUS_UNREAD;
  ZalvioMessageImpl received(&p, &decoded, "bob");
  free(payload);  // the object holds its own copies

  EXPECT_STREQ(received.getMessage(), "caf\xc3\xa9");
  EXPECT_STREQ(received.getTitle(), "title");
  EXPECT_STREQ(received.getSubtitle(), "sub");
  EXPECT_EQ(received.file.type, 1);
  ASSERT_EQ(received.file.thumbnailLength, sizeof thumb);
  EXPECT_EQ(memcmp(received.file.thumbnail, thumb, sizeof thumb), 0);
  EXPECT_NEAR(received.getLatitude(), 10, 1e-4);
  EXPECT_NEAR(received.getLongitude(), 20, 1e-4);
  EXPECT_EQ(received.data.data, nullptr);  // a rich message shows fields, not bytes
  EXPECT_EQ(received.groupid, 12u);
  EXPECT_EQ(received.id, m->id);
  delete m;
}

TEST(MessageFromRecord, DeletedRichMessageAndMissingLocation) {
  MessageBundle b;
  memset(&b, 0, sizeof b);
  b.data = (const uint8_t *)"payload";
  b.datalen = 7;
  b.lat = RICH_NO_COORDINATE;
  b.lon = RICH_NO_COORDINATE;
  MessageParams p = params(0, 18);
  ZalvioMessageImpl plain(&p, &b, "a");
  ASSERT_EQ(plain.data.length, 7u);
  EXPECT_EQ(memcmp(plain.data.data, "payload", 7), 0);
  EXPECT_EQ(plain.latitude, 0);
  EXPECT_EQ(plain.longitude, 0);

  MessageBundle empty;
  memset(&empty, 0, sizeof empty);
  p.flags = 0x100 | BIT(55);
  ZalvioMessageImpl deleted(&p, &empty, "a");
  EXPECT_EQ(deleted.isRichMessage(), 0);
  EXPECT_EQ(deleted.data.data, nullptr);
  EXPECT_EQ(deleted.data.length, 0u);
}

TEST_F(Message, ForwardGoesThroughTheStoredOriginal) {
  MessageParams p = params(0, 19);
  p.id = (7ull << 32) | 99;
  ZalvioMessageImpl original(&p, nullptr, "bob");
  ZalvioMessage *f = original.forward("carol");
  EXPECT_EQ(f->forwardOf, p.id);
  EXPECT_NE(f->id, p.id);
  EXPECT_STREQ(f->peer, "carol");
  f->setMessage("not sent as text");
  EXPECT_EQ(f->send(), 0);
  EXPECT_TRUE(engine().sends.empty());
  ASSERT_EQ(engine().forwards.size(), 1u);
  EXPECT_EQ(engine().forwards[0].stored_id, p.id);
  EXPECT_EQ(engine().forwards[0].mark, 1);
  EXPECT_EQ(engine().forwards[0].peer, "carol");
  EXPECT_EQ(engine().forwards[0].p.id, f->id);
  f->release();

  ZalvioMessage *g = original.forward(3u);
  EXPECT_EQ(g->groupid, 3u);
  EXPECT_EQ(g->peer, nullptr);
  delete g;
}

TEST_F(Message, ResendNeedsAnId) {
  MessageParams p = params(0, 0x81);
  p.id = 0;
  ZalvioMessageImpl none(&p, nullptr, "a");
  EXPECT_EQ(none.resend(), -1);
  p.id = (3ull << 32) | 44;
  ZalvioMessageImpl failed(&p, nullptr, "a");
  EXPECT_EQ(failed.resend(), 0);
  EXPECT_EQ(engine().resent, std::vector<uint64_t>{44});
}

// ---- receipt times ----------------------------------------------------------

TEST_F(Message, ReceiptTimesAreKeptPerMember) {
  const uint64_t t1 = 1700000001000ull, t2 = 1700000002000ull, t3 = 1700000003000ull;
  engine().receipt_times[{"m1", 0}] = t1;
  engine().receipt_times[{"m2", 0}] = t2;
  MessageParams p = params(0, 2);
  p.id = 42;
  p.groupid = 7;
  ZalvioMessageImpl group(&p, nullptr, nullptr);

  ZalvioDateTime *d1 = group.getDeliveredTime("m1");
  ZalvioDateTime *d2 = group.getDeliveredTime("m2");
  ASSERT_TRUE(d1 && d2);
  EXPECT_EQ(d1->timestamp, t1);
  EXPECT_EQ(d2->timestamp, t2);
  EXPECT_EQ(d1->isValid(), 1);  // handed out filled
  int queries = engine().receipt_queries;
  EXPECT_EQ(group.getDeliveredTime("m1"), d1);
  EXPECT_EQ(engine().receipt_queries, queries);

  EXPECT_EQ(group.getReadTime("m1"), nullptr);  // unknown: asked again later
  engine().receipt_times[{"m1", 1}] = t3;
  ZalvioDateTime *r1 = group.getReadTime("m1");
  ASSERT_NE(r1, nullptr);
  EXPECT_EQ(r1->timestamp, t3);
  EXPECT_EQ(group.readTimeObject, r1);
  EXPECT_EQ(group.getDeliveredTime(""), nullptr);

  // One-to-one messages ask about their own peer, whatever the argument.
  engine().receipt_times[{"bob", 0}] = t1;
  p.groupid = 0;
  ZalvioMessageImpl direct(&p, nullptr, "bob");
  ZalvioDateTime *d = direct.getDeliveredTime("someone else");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->timestamp, t1);

  // Received messages (64-bit ids) have no receipts of the user's.
  p.id = (9ull << 32) | 42;
  ZalvioMessageImpl received(&p, nullptr, "bob");
  queries = engine().receipt_queries;
  EXPECT_EQ(received.getDeliveredTime("bob"), nullptr);
  EXPECT_EQ(engine().receipt_queries, queries);
}

// ---- deleting ---------------------------------------------------------------

TEST_F(Message, DeleteActionsGoThroughTheFacade) {
  MessageParams p = params(0, 1);
  p.id = 66;
  ZalvioMessageImpl m(&p, nullptr, "a");
  EXPECT_EQ(m.deleteForMe(), 0);
  EXPECT_EQ(m.wipeForMe(), 0);
  EXPECT_EQ(m.deleteForEveryone(), 0);
  EXPECT_EQ(m.removeForEveryone(), 0);
  auto &d = engine().deletes;
  ASSERT_EQ(d.size(), 4u);
  int expected[4][2] = {{0, 0}, {1, 0}, {0, 1}, {0, 1}};  // tombstone, remote
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(d[i].ids, std::vector<uint64_t>{66});
    EXPECT_EQ(d[i].tombstone, expected[i][0]) << i;
    EXPECT_EQ(d[i].remote, expected[i][1]) << i;
  }
}

TEST_F(Message, CanDeleteForEveryoneWithinTheWindow) {
  struct Case {
    uint16_t status;
    uint64_t age_s;
    uint64_t flags;
    int expected;
  } cases[] = {
      {1, 1800, 0, 1},
      {1, 1801, 0, 0},
      {3, 10, 0, 1},
      {18, 10, 0, 0},
      {1, 10, BIT(57), 0},
  };
  for (const Case &c : cases) {
    MessageParams p = params(c.flags, c.status);
    p.when = z->getTimestamp() - c.age_s * 1000;
    ZalvioMessageImpl m(&p, nullptr, "a");
    EXPECT_EQ(m.canDeleteForEveryone(), c.expected) << c.status << " " << c.age_s;
  }
}

// ---- copies -----------------------------------------------------------------

TEST(MessageCopy, CopyOutlivesTheOriginal) {
  MessageBundle b;
  memset(&b, 0, sizeof b);
  b.data = (const uint8_t *)"raw";
  b.datalen = 3;
  b.title = "t";
  b.fileurl = "https://files.example/1";
  MessageParams p = params(0x1, 18);
  p.id = (4ull << 32) | 5;
  p.when = 1700000000000ull;
  auto *original = new ZalvioMessageImpl(&p, &b, "bob");
  ZalvioMessage *c = original->copy();
  delete original;
  EXPECT_EQ(c->id, p.id);
  EXPECT_EQ(c->timestamp, p.when);
  EXPECT_STREQ(c->peer, "bob");
  EXPECT_STREQ(c->getTitle(), "t");
  EXPECT_STREQ(c->file.url, "https://files.example/1");
  ASSERT_EQ(c->data.length, 3u);
  EXPECT_EQ(memcmp(c->data.data, "raw", 3), 0);
  c->release();
}
