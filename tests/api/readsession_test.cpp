// Read sessions: where their rows go, when the engine session opens and
// closes, and which options reach it.
#include <gtest/gtest.h>

#include "api/zalvio.h"
#include "fake_engine_helper.h"

class ReadSession : public testing::Test {
 protected:
  void SetUp() override {
    z = test_facade();
    engine().clear();
  }
  void TearDown() override { z->setListener(nullptr); }
  Zalvio *z = nullptr;
};

TEST_F(ReadSession, RowsGoToTheListenerOfCreationOnly) {
  RecordingListener at_creation, later;
  z->setListener(&at_creation);
  ZalvioReadSession *s = z->createReadSession("bob", 0, 0, nullptr);
  z->setListener(&later);
  engine().rows_per_read = 3;
  EXPECT_EQ(s->read(10), 3);
  auto heard = at_creation.heard();
  ASSERT_EQ(heard.size(), 3u);
  EXPECT_EQ(heard[0].origin, 1);
  EXPECT_EQ(heard[0].text, "row");
  EXPECT_TRUE(later.heard().empty());
  delete s;
}

TEST_F(ReadSession, OwnListenerHearsEvenWithoutAFacadeListener) {
  RecordingListener own;
  ZalvioReadSession *s = z->createReadSession(nullptr, 8, 0, &own);
  engine().rows_per_read = 2;
  EXPECT_EQ(s->read(5), 2);
  EXPECT_EQ(own.heard().size(), 2u);
  own.answer = -1;  // a listener may stop the page
  EXPECT_EQ(s->read(5), 1);
  delete s;
}

TEST_F(ReadSession, OptionsApplyWhenTheSessionStarts) {
  RecordingListener l;
  ZalvioReadSession *s = z->createReadSession("bob", 0, 0, &l);
  s->enableForward(1)->enableFiles(1)->enableCalls(1)->enableIncomingCalls(0);
  EXPECT_EQ(s->read(10), 0);
  auto &calls = engine().session_calls;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].id, 0u);
  EXPECT_EQ(calls[0].flags, 0x4u | 0x80u | 0x1000u | 0x4000u);
  EXPECT_EQ(calls[0].peer, "bob");
  EXPECT_EQ(calls[0].listener, static_cast<ZalvioListener *>(static_cast<ZalvioReadSessionImpl *>(s)));
  uint32_t first = (uint32_t)engine().open_sessions.at(0);

  s->enableSummary(1);  // a running session keeps its options
  s->read(10);
  EXPECT_EQ(calls.size(), 1u);

  s->enableReadReceipt(1);  // receipts switch at once
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].id, first);
  EXPECT_EQ(calls[1].flags, 0x1u);

  EXPECT_EQ(s->stop(), 0);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].flags, 0x200u);
  EXPECT_TRUE(engine().open_sessions.empty());

  EXPECT_EQ(s->start(), 0);  // started again, now with the newer options
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[3].id, 0u);
  EXPECT_EQ(calls[3].flags & 0x11u, 0x11u);
  EXPECT_EQ(engine().open_sessions.size(), 1u);
  delete s;  // closes the open engine session
  EXPECT_TRUE(engine().open_sessions.empty());
  EXPECT_EQ(calls.back().flags, 0x200u);
}

TEST_F(ReadSession, SummarySessionHasNoConversation) {
  RecordingListener l;
  ZalvioReadSession *s = z->createReadSession(nullptr, 0, 0, &l);
  s->enableSummary(1);
  EXPECT_EQ(s->sync(20), 1);
  ASSERT_EQ(engine().session_calls.size(), 1u);
  EXPECT_FALSE(engine().session_calls[0].has_peer);
  EXPECT_EQ(engine().session_calls[0].flags, 0x10u);
  delete s;
  EXPECT_TRUE(engine().open_sessions.empty());
}
