// The application layer's rules without a server: what is stored, what
// reaches the application, and how.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "app/app.h"
#include "support/token_helper.h"
#include "support/capture.h"
#include "support/tempdir.h"
#include "util/time.h"

namespace {

class Recorder : public INotify {
 public:
  int on_message(MessageParams *p, const char *, const uint8_t *payload, uint32_t len) override {
    messages.push_back(*p);
    texts.emplace_back((const char *)payload, len);
    return 0;
  }
  int on_message_status(MessageParams *p, const char *peer, int) override {
    statuses.push_back(*p);
    peers.push_back(peer ? peer : "");
    return 0;
  }
  int on_status(int status, uint32_t, uint32_t, uint32_t) override {
    connection.push_back(status);
    return 0;
  }
  std::vector<MessageParams> messages, statuses;
  std::vector<std::string> texts, peers;
  std::vector<int> connection;
};

class DBAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app.register_listener(0, &rec, 1);
    TokenSpec t;
    t.uid = 500;
    ASSERT_EQ(app.set_credentials(make_token(t).c_str()), 0);
    ASSERT_EQ(app.open_database("test.db"), 0);
  }
  // An incoming message as the core hands it over.
  MessageParams incoming(uint32_t id, uint64_t when, const char *peer = "alice") {
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = (77ull << 32) | id;
    p.uid = 77;
    p.status = MSG_STATUS_UNREAD;
    p.when = when;
    p.expiry = 3600;
    p.usermsg = 1;
    p.realtime = 1;
    (void)peer;
    return p;
  }
  int64_t rows(const std::string &where) {
    return app.db.getInt64Value(("select count(*) from messages where " + where).c_str(), 0, -1);
  }
  std::string text_of(uint64_t id) {
    char buf[256] = {};
    app.db.getValue(("select message from messages where mid=" + std::to_string(id)).c_str(), 0, buf,
                    sizeof buf, nullptr);
    return buf;
  }

  TempDir dir;
  DBApp app{dir.path().c_str(), 0};
  Recorder rec;
};

TEST_F(DBAppTest, IncomingMessageIsStoredOnceAndDelivered) {
  MessageParams p = incoming(1, wall_ms());
  ASSERT_EQ(app.on_message(&p, "alice", (const uint8_t *)"hi", 2), 0);
  MessageParams again = incoming(1, wall_ms());
  ASSERT_EQ(app.on_message(&again, "alice", (const uint8_t *)"hi", 2), 0);
  EXPECT_EQ(rows("sender='alice' and status=18"), 1);
  ASSERT_EQ(rec.messages.size(), 1u);  // the duplicate is neither stored nor shown
  EXPECT_EQ(rec.texts[0], "hi");
}

TEST_F(DBAppTest, MessageOlderThanItsLifetimeIsDropped) {
  MessageParams p = incoming(2, wall_ms() - 15000);
  p.agesent = 10;
  ASSERT_EQ(app.on_message(&p, "alice", (const uint8_t *)"late", 4), 0);
  EXPECT_EQ(rows("1=1"), 0);
  EXPECT_TRUE(rec.messages.empty());
}

TEST_F(DBAppTest, UnreadMessageIsStoredAsReadWhileItsConversationIsOpen) {
  int session = app.db_create_read_session(0, 0, 0, "alice", 0, nullptr, nullptr);
  ASSERT_GT(session, 0);
  MessageParams p = incoming(3, wall_ms());
  ASSERT_EQ(app.on_message(&p, "alice", (const uint8_t *)"seen", 4), 0);
  EXPECT_EQ(rows("status=19"), 1);
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_EQ(rec.messages[0].status, MSG_STATUS_UNREAD);  // delivered as it came

  MessageParams other = incoming(4, wall_ms(), "bob");
  ASSERT_EQ(app.on_message(&other, "bob", (const uint8_t *)"unseen", 6), 0);
  EXPECT_EQ(rows("sender='bob' and status=18"), 1);
}

TEST_F(DBAppTest, EditsWithinTheWindowReplaceTheText) {
  uint64_t t0 = wall_ms() - 40 * 60000;
  MessageParams original = incoming(5, t0);
  ASSERT_EQ(app.on_message(&original, "alice", (const uint8_t *)"first", 5), 0);
  struct Case {
    uint64_t when;
    const char *text;
    const char *stored;
  } cases[] = {
      {t0 + 31 * 60000, "too late", "first"},  // window 1800 s
      {t0 + 10 * 60000, "edited", "edited"},
  };
  for (const Case &c : cases) {
    MessageParams edit = incoming(5, c.when);
    edit.flags |= MSG_FLAG_ID32;
    ASSERT_EQ(app.on_message(&edit, "alice", (const uint8_t *)c.text, (uint32_t)strlen(c.text)), 0);
    EXPECT_EQ(text_of(original.id), c.stored) << c.text;
  }
}

TEST_F(DBAppTest, StatusReportWithoutPeerIsResolvedThroughRecentSends) {
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.id = 99;
  p.groupid = 0;
  p.flags = MSG_FLAG_BROADCAST_SYSTEM | MSG_FLAG_DELIVERY_RECEIPT;
  p.expiry = UINT32_MAX;
  app.message(&p, "carol", (const uint8_t *)"x", 1);

  MessageParams report;
  memset(&report, 0, sizeof report);
  report.id = 99;
  report.status = MSG_STATUS_DELIVERED;
  ASSERT_EQ(app.on_message_status(&report, nullptr, 1), 0);
  ASSERT_FALSE(rec.statuses.empty());
  EXPECT_EQ(rec.peers.back(), "carol");
}

TEST_F(DBAppTest, BundleAcknowledgedStatusIsNotForwarded) {
  app.on_status(STATUS_SENT, 0, 0, 0);
  app.on_status(STATUS_CONNECTING, 0, 0, 0);
  EXPECT_EQ(rec.connection, std::vector<int>({STATUS_CONNECTING}));
}

TEST_F(DBAppTest, RichPayloadThatDoesNotDecodeIsDropped) {
  StdoutCapture out;
  MessageParams p = incoming(6, wall_ms());
  p.flags |= MSG_FLAG_RICH;
  const uint8_t garbage[] = {0xE7, 0xFF, 0x10};
  ASSERT_EQ(app.on_message(&p, "alice", garbage, sizeof garbage), 0);
  EXPECT_TRUE(rec.messages.empty());
  EXPECT_TRUE(out.contains("rich decode failed: o 0 s 18 len 3"));
  // The next message still flows.
  MessageParams next = incoming(7, wall_ms());
  ASSERT_EQ(app.on_message(&next, "alice", (const uint8_t *)"ok", 2), 0);
  EXPECT_EQ(rec.messages.size(), 1u);
}

TEST_F(DBAppTest, SendsWaitBehindTheOutboxInOrder) {
  // A message from an earlier run still in the outbox.
  MessageParams old;
  memset(&old, 0, sizeof old);
  old.id = 1;
  old.when = wall_ms();
  old.expiry = 3600;
  ASSERT_EQ(app.db.saveMessage(&old, "dave", (const uint8_t *)"old", 3), 0);
  {
    DBApp again(dir.path().c_str(), 0);
    Recorder r2;
    again.register_listener(0, &r2, 1);
    TokenSpec t;
    t.uid = 500;
    ASSERT_EQ(again.set_credentials(make_token(t).c_str()), 0);
    ASSERT_EQ(again.open_database("test.db"), 0);
    EXPECT_EQ(again.db_count_pending_messages(), 1);
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = 2;
    p.expiry = UINT32_MAX;
    EXPECT_EQ(again.message(&p, "dave", (const uint8_t *)"new", 3), SEND_OK);
    EXPECT_EQ(again.queue.used(), 0u);  // held for the outbox, not queued ahead of the old one
    EXPECT_EQ(again.db_count_pending_messages(), 2);
  }
}

TEST_F(DBAppTest, LocalOnlyMessagesNeverLeave) {
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.id = 3;
  p.expiry = UINT32_MAX;
  p.flags = MSG_FLAG_LOCAL_ONLY;
  EXPECT_EQ(app.message(&p, "erin", (const uint8_t *)"note", 4), SEND_OK);
  EXPECT_EQ(app.queue.used(), 0u);
  EXPECT_EQ(rows("mid=3"), 1);
  EXPECT_EQ(app.db_count_pending_messages(), 0);  // the outbox skips it
}

// What a conversation reads back, in the reader's order.
std::string read_back(DBApp &app, const char *where) {
  char buf[512] = {};
  std::string sql = std::string("select group_concat(message, ',') from (select message from messages "
                                "where ") + where + " order by ts, mid)";
  app.db.getValue(sql.c_str(), 0, buf, sizeof buf, nullptr);
  return buf;
}

TEST_F(DBAppTest, RowsOfOneMillisecondReadBackInTheOrderTheyCame) {
  // One bundle: its records share a millisecond, and their ids sort
  // another way. One clearly older message among them keeps its time.
  uint64_t t = wall_ms() - 60000;
  struct Arrival {
    uint32_t id;
    uint64_t when;
    const char *text;
  } bundle[] = {{900, t, "a"}, {30, t, "b"}, {7000, t, "c"}, {1, t, "d"}, {5, t - 5000, "older"}};
  for (const Arrival &m : bundle) {
    MessageParams p = incoming(m.id, m.when);
    ASSERT_EQ(app.on_message(&p, "alice", (const uint8_t *)m.text, (uint32_t)strlen(m.text)), 0);
  }
  EXPECT_EQ(read_back(app, "sender='alice'"), "older,a,b,c,d");
  // Another conversation at the same millisecond keeps its own time.
  MessageParams other = incoming(2, t, "bob");
  ASSERT_EQ(app.on_message(&other, "bob", (const uint8_t *)"x", 1), 0);
  EXPECT_EQ(rows("sender='bob' and ts=" + std::to_string(t)), 1);

  // A burst of sends in one millisecond.
  for (uint32_t id : {70u, 8u, 600u}) {
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = id;
    p.when = t;
    p.expiry = UINT32_MAX;
    std::string text = std::to_string(id);
    ASSERT_EQ(app.message(&p, "carol", (const uint8_t *)text.data(), (uint32_t)text.size()), SEND_OK);
  }
  EXPECT_EQ(read_back(app, "sender='carol'"), "70,8,600");
}

TEST_F(DBAppTest, AttachmentFileNames) {
  char name[512];
  int n = app.auto_file_name(1, "jpg", false, name, sizeof name);
  ASSERT_GT(n, 0);
  EXPECT_TRUE(std::regex_search(name, std::regex(R"(/img-\d{6}-\d{6}-\d{3}\.jpg$)"))) << name;
  struct stat st;
  EXPECT_EQ(stat(name, &st), 0);  // created, so a second name differs

  struct Case {
    int type;
    const char *ext;
    const char *expect;
  } cases[] = {
      {4, "pdf", R"(/doc-\d{6}-\d{6}-\d{3}(-\d+)?\.pdf$)"},
      {2, "../../etc", R"(/vid-\d{6}-\d{6}-\d{3}(-\d+)?\.bin$)"},
      {3, "toolongext", R"(/aud-\d{6}-\d{6}-\d{3}(-\d+)?\.bin$)"},
  };
  for (const Case &c : cases) {
    ASSERT_GT(app.auto_file_name(c.type, c.ext, true, name, sizeof name), 0);
    EXPECT_TRUE(std::regex_search(name, std::regex(c.expect))) << name;
  }
  // The same millisecond twice: the second name gets a suffix.
  char a[512], b[512];
  int ok = 0;
  for (int i = 0; i < 50 && !ok; i++) {
    app.auto_file_name(4, "txt", true, a, sizeof a);
    app.auto_file_name(4, "txt", true, b, sizeof b);
    ok = std::string(b).find("-1.txt") != std::string::npos;
  }
  EXPECT_TRUE(ok);
  EXPECT_EQ(app.auto_file_name(1, "jpg", false, name, 10), -1);  // does not fit
}

}  // namespace
