#include "app/readdb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "store_helper.h"
#include "support/capture.h"

namespace {

struct Delivered {
  uint64_t id;
  uint16_t status;
  uint16_t channel;
  uint32_t gid;
  uint64_t flags;
  uint64_t when;
  uint32_t agesent;
  uint8_t origin;
  uint32_t session;
  void *listener;
  std::string peer;
  std::string text;
};

// The delivery target: keeps every row; returns -1 for the row numbered
// `stop_at` (1-based) of the current read.
struct Collector : INotify {
  std::vector<Delivered> rows;
  int stop_at = 0;
  int on_message(MessageParams *p, const char *peer, const uint8_t *payload,
                 uint32_t len) override {
    rows.push_back({p->id, p->status, p->channel, p->groupid, p->flags, p->when, p->agesent,
                    p->origin, p->aux32, p->listener, peer ? peer : "",
                    std::string((const char *)payload, len)});
    return (int)rows.size() == stop_at ? -1 : 0;
  }
  std::vector<uint64_t> ids() const {
    std::vector<uint64_t> r;
    for (const Delivered &d : rows) r.push_back(d.id);
    return r;
  }
};

struct FakeReadHost : ReadHost {
  std::map<std::string, SessionCounters> counters;
  std::vector<std::string> calls;
  bool sync_enabled = true;
  int send_result = 0;
  std::vector<MessageParams> sent;
  std::vector<std::string> sent_to;

  static std::string key(uint32_t gid, const char *peer) {
    return gid ? "g" + std::to_string(gid) : std::string("p") + (peer ? peer : "");
  }
  SessionCounters *read_counters(uint32_t gid, const char *peer) override {
    return &counters[key(gid, peer)];
  }
  void read_receipt_owed(uint32_t gid, const char *peer) override {
    calls.push_back("receipt " + key(gid, peer));
  }
  void read_presence_reset(const char *peer) override { calls.push_back(std::string("reset ") + peer); }
  void read_presence_query(const char *peer) override { calls.push_back(std::string("query ") + peer); }
  bool read_sync_enabled() override { return sync_enabled; }
  int read_send_control(MessageParams *p, const char *peer, const uint8_t *, uint32_t) override {
    sent.push_back(*p);
    sent_to.push_back(peer ? peer : "(none)");
    return send_result;
  }
};

struct Reader : StoreFixture {
  sqlite3 *h = db.handle();
  FakeReadHost host2;
  ReadSessionList list;
  Collector out;
  uint64_t next_id = 1000;
  Reader() { read_sessions_init(&list); }
  ~Reader() { read_sessions_destroy(&list); }

  uint64_t add(const char *peer, uint32_t gid, uint16_t status, uint64_t ts,
               const std::string &text = "hi", uint16_t channel = 0) {
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = ++next_id;
    p.groupid = gid;
    p.status = status;
    p.when = ts;
    p.channel = channel;
    p.expiry = 3600;
    db.saveMessage(&p, peer, (const uint8_t *)text.data(), (uint32_t)text.size());
    return p.id;
  }
  int open(uint32_t flags, const char *peer, uint32_t gid = 0, const char *search = nullptr,
           uint64_t tid = 0, INotify *listener = nullptr) {
    return read_session_create(&list, &db, &host2, 0, flags, tid, peer, gid, search, listener);
  }
  // Reads one page into a fresh collection.
  int page(int id, int count) {
    out.rows.clear();
    return read_session_read(&list, &db, &host2, &out, (uint32_t)id, count);
  }
  int status(uint64_t id) {
    return (int)sql_int(h, "select status from messages where mid='" + std::to_string(id) + "'");
  }
};

std::vector<uint64_t> slice(const std::vector<uint64_t> &v, size_t from, size_t to) {
  return std::vector<uint64_t>(v.begin() + from, v.begin() + to);
}

}  // namespace

// Backward pages of 10 over 25 messages, five of them in each millisecond
// so that page boundaries fall inside a millisecond; other conversations
// (the same address inside a group among them) never leak in.
TEST(ReadSession, BackwardPagesKeepRowsSharingAMillisecond) {
  Reader r;
  uint64_t T = r.host.now - 100000;
  std::vector<uint64_t> alice;  // oldest first
  for (int i = 0; i < 25; i++) {
    alice.push_back(r.add("alice", 0, MSG_STATUS_RECEIVED_READ, T + (i / 5) * 10));
    r.add("bob", 0, MSG_STATUS_RECEIVED_READ, T + (i / 5) * 10);
    r.add("alice", 7, MSG_STATUS_RECEIVED_READ, T + (i / 5) * 10);
  }
  int id = r.open(0, "alice");
  ASSERT_GT(id, 0);

  std::vector<uint64_t> seen;
  const struct {
    int rows;
    uint64_t last_flags;
  } pages[] = {{10, READ_FLAG_LAST}, {10, READ_FLAG_LAST}, {5, READ_FLAG_LAST | READ_FLAG_END}};
  for (const auto &pg : pages) {
    ASSERT_EQ(r.page(id, 10), pg.rows);
    EXPECT_EQ(r.out.rows.back().flags & 0x4800000, pg.last_flags);
    for (size_t i = 0; i + 1 < r.out.rows.size(); i++) EXPECT_EQ(r.out.rows[i].flags, 0u);
    for (const Delivered &d : r.out.rows) {
      EXPECT_EQ(d.peer, "alice");
      EXPECT_EQ(d.gid, 0u);
      EXPECT_EQ(d.origin, ORIGIN_SESSION_READ);
      EXPECT_EQ(d.session, (uint32_t)id);
      EXPECT_LE(d.when, T + 40);
    }
    for (uint64_t x : r.out.ids()) seen.push_back(x);
  }
  // Newest first, each exactly once.
  std::vector<uint64_t> sorted = seen;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, alice);
  for (size_t i = 1; i < seen.size(); i++)
    EXPECT_GE(r.db.getMessageTime(seen[i - 1]), r.db.getMessageTime(seen[i]));

  // Exhausted: no row, and the cursor is back at the newest.
  EXPECT_EQ(r.page(id, 10), 0);
  ASSERT_EQ(r.page(id, 10), 10);
  EXPECT_EQ(r.out.ids(), slice(seen, 0, 10));
}

TEST(ReadSession, ForwardReadStopsAtItsStart) {
  Reader r;
  uint64_t T = r.host.now;
  std::vector<uint64_t> old;
  for (int i = 0; i < 5; i++) old.push_back(r.add("alice", 0, MSG_STATUS_SENT, T - 5000 + i));
  r.add("alice", 0, MSG_STATUS_SENT, T + 5);  // stored with a time ahead of now
  int id = r.open(READ_FORWARD, "alice");
  ASSERT_EQ(r.page(id, 3), 3);
  EXPECT_EQ(r.out.ids(), slice(old, 0, 3));
  r.host.now = T + 100;
  r.add("alice", 0, MSG_STATUS_SENT, T + 1);
  r.add("alice", 0, MSG_STATUS_SENT, T + 50);
  ASSERT_EQ(r.page(id, 3), 2);
  EXPECT_EQ(r.out.ids(), slice(old, 3, 5));
  EXPECT_EQ(r.out.rows.back().flags & 0x4800000, (uint64_t)0x4800000);
}

// Which rows a page selects, by flags, thread and search text.
TEST(ReadSession, Filters) {
  Reader r;
  uint64_t T = r.host.now - 10000;
  uint64_t sent = r.add("alice", 0, MSG_STATUS_SENT, T + 1, "hello 100% _x_ o'k \\ \xff\xfe");
  uint64_t unread = r.add("alice", 0, MSG_STATUS_UNREAD, T + 2, "plain 1000 words");
  uint64_t missed = r.add("alice", 0, MSG_STATUS_CALL_MISSED, T + 3);
  uint64_t in_call = r.add("alice", 0, MSG_STATUS_CALL_INCOMING, T + 4);
  uint64_t out_call = r.add("alice", 0, MSG_STATUS_CALL_OUTGOING, T + 5);
  uint64_t high_channel = r.add("alice", 0, MSG_STATUS_SENT, T + 6, "x", 64);
  (void)high_channel;
  r.db.executeSQL(("update messages set filepath='/data/file.jpg' where mid='" +
                   std::to_string(sent) + "'").c_str());
  r.db.executeSQL(("update messages set tid=9 where mid='" + std::to_string(unread) + "'").c_str());

  const struct {
    const char *name;
    uint32_t flags;
    uint64_t tid;
    const char *search;
    int rv;
    std::vector<uint64_t> ids;  // newest first
  } cases[] = {
      {"default hides call records", 0, 0, nullptr, 2, {unread, sent}},
      {"unread only", READ_INCLUDE_UNREAD, 0, nullptr, 1, {unread}},
      {"include without a kind", READ_INCLUDE, 0, nullptr, -1, {}},
      {"missed calls shown", READ_MISSED_CALLS, 0, nullptr, 3, {missed, unread, sent}},
      {"every call", READ_MISSED_CALLS | READ_INCOMING_CALLS | READ_OUTGOING_CALLS, 0, nullptr, 5,
       {out_call, in_call, missed, unread, sent}},
      {"only outgoing calls", READ_INCLUDE | READ_OUTGOING_CALLS, 0, nullptr, 1, {out_call}},
      {"files", READ_FILES, 0, nullptr, 1, {sent}},
      {"thread", 0, 9, nullptr, 1, {unread}},
      {"percent is literal", 0, 0, "100%", 1, {sent}},
      {"underscore is literal", 0, 0, "_x_", 1, {sent}},
      {"underscore does not match a digit", 0, 0, "1_00", 0, {}},
      {"quote", 0, 0, "o'k", 1, {sent}},
      {"backslash", 0, 0, "\\", 1, {sent}},
      {"invalid utf-8", 0, 0, "\xff\xfe", 1, {sent}},
      {"injection attempt", 0, 0, "%' or 1=1 --", 0, {}},
  };
  for (const auto &c : cases) {
    r.db.executeSQL(("update messages set status=18 where mid='" + std::to_string(unread) + "'").c_str());
    int id = r.open(c.flags, "alice", 0, c.search, c.tid);
    EXPECT_EQ(r.page(id, 10), c.rv) << c.name;
    EXPECT_EQ(r.out.ids(), c.ids) << c.name;
    read_session_close(&r.list, (uint32_t)id);
  }
  // Reading with a search text marks nothing read.
  EXPECT_EQ(r.status(unread), MSG_STATUS_UNREAD);
  int id = r.open(0, "alice");
  EXPECT_EQ(r.page(id, 10), 2);
  EXPECT_EQ(r.status(unread), MSG_STATUS_RECEIVED_READ);
}

// Only the unread rows a page delivered become read: an older unread row
// beyond the page stays unread, and a row of another conversation that
// falls between them in time is untouched.
TEST(ReadSession, PageMarksOnlyDeliveredRowsRead) {
  Reader r;
  uint64_t T = r.host.now - 10000;
  uint64_t older = r.add("alice", 0, MSG_STATUS_UNREAD, T + 1);
  uint64_t bob = r.add("bob", 0, MSG_STATUS_UNREAD, T + 2);
  uint64_t group = r.add("alice", 7, MSG_STATUS_UNREAD, T + 3);
  uint64_t a = r.add("alice", 0, MSG_STATUS_UNREAD, T + 4);
  r.add("alice", 0, MSG_STATUS_SENT, T + 5);
  uint64_t b = r.add("alice", 0, MSG_STATUS_UNREAD, T + 6);
  int id = r.open(0, "alice");
  ASSERT_EQ(r.page(id, 3), 3);
  EXPECT_EQ(r.out.rows[0].status, MSG_STATUS_UNREAD);  // delivered as it was stored
  EXPECT_EQ(r.status(a), MSG_STATUS_RECEIVED_READ);
  EXPECT_EQ(r.status(b), MSG_STATUS_RECEIVED_READ);
  EXPECT_EQ(r.status(older), MSG_STATUS_UNREAD);
  EXPECT_EQ(r.status(bob), MSG_STATUS_UNREAD);
  EXPECT_EQ(r.status(group), MSG_STATUS_UNREAD);

  // A listener stop leaves the kept row unread and first on the next page.
  int id2 = r.open(0, nullptr, 7);
  r.add("carol", 7, MSG_STATUS_UNREAD, T + 7);
  uint64_t newest = r.add("dave", 7, MSG_STATUS_UNREAD, T + 8);
  r.out.stop_at = 1;
  EXPECT_EQ(r.page(id2, 10), 1);
  EXPECT_EQ(r.out.ids(), std::vector<uint64_t>{newest});
  EXPECT_EQ(r.status(newest), MSG_STATUS_RECEIVED_READ);
  EXPECT_EQ(sql_int(r.h, "select count(1) from messages where gid=7 and status=18"), 2);
  r.out.stop_at = 0;
  ASSERT_EQ(r.page(id2, 10), 2);
  EXPECT_EQ(r.out.rows.back().id, group);
}

TEST(ReadSession, RowConversion) {
  Reader r;
  r.host.now = 1900000000000ull;  // past the old fixed limit of 1.8e12
  uint64_t N = r.host.now;
  uint64_t fine = r.add("alice", 0, MSG_STATUS_SENT, 1850000000000ull);
  uint64_t ahead = r.add("alice", 0, MSG_STATUS_SENT, N + 86400000ull + 1);
  uint64_t soon = r.add("alice", 0, MSG_STATUS_SENT, N + 1000);  // ahead, but not bad
  uint64_t expired = r.add("alice", 0, MSG_STATUS_OUTBOX, N - 3601000);
  uint64_t kept_out = r.add("alice", 0, MSG_STATUS_OUTBOX, N - 3601000 + 1);
  r.db.setMessageFlags(kept_out, DB_FLAG_NO_EXPIRY, 0);
  // An unread row kept 10 s after reading and 100 s after receipt; a read
  // row without deadline keeps its stored value.
  uint64_t unread = r.add("alice", 0, MSG_STATUS_UNREAD, N - 5000);
  r.db.executeSQL(("update messages set agerd=10, ages=77, rts=" + std::to_string(N + 100000) +
                   " where mid='" + std::to_string(unread) + "'").c_str());
  uint64_t plain = r.add("alice", 0, MSG_STATUS_RECEIVED_READ, N - 6000);
  r.db.executeSQL(("update messages set ages=77 where mid='" + std::to_string(plain) + "'").c_str());

  int id = r.open(0, "alice");
  StdoutCapture log;
  ASSERT_EQ(r.page(id, 1), 1);
  EXPECT_EQ(r.out.rows[0].id, ahead);
  EXPECT_EQ(r.out.rows[0].when, N);
  // The cursor kept the stored time of `ahead`, not the replaced one.
  ASSERT_EQ(r.page(id, 1), 1);
  EXPECT_EQ(r.out.rows[0].id, soon);
  EXPECT_EQ(r.out.rows[0].when, N + 1000);
  ASSERT_EQ(r.page(id, 10), 5);
  EXPECT_TRUE(log.contains("*** BUG *** DB read `when` is corrupted: " + std::to_string(N + 86400001)));
  std::map<uint64_t, Delivered> by_id;
  for (const Delivered &d : r.out.rows) by_id[d.id] = d;
  EXPECT_EQ(by_id[expired].status, MSG_STATUS_EXPIRED);
  EXPECT_EQ(r.status(expired), MSG_STATUS_EXPIRED);
  EXPECT_EQ(by_id[kept_out].status, MSG_STATUS_OUTBOX);
  EXPECT_EQ(r.status(kept_out), MSG_STATUS_OUTBOX);
  EXPECT_EQ(by_id[fine].when, 1850000000000ull);
  EXPECT_EQ(by_id[unread].agesent, 6u);  // read deadline N + 5000
  EXPECT_EQ(by_id[plain].agesent, 77u);
}

// The conversation list: latest row of each conversation, one row each,
// unread counts in `channel`.
TEST(ReadSession, Summary) {
  Reader r;
  uint64_t T = r.host.now - 100000;
  r.add("alice", 0, MSG_STATUS_UNREAD, T + 1);
  uint64_t alice_last = r.add("alice", 0, MSG_STATUS_UNREAD, T + 20);
  r.add("alice", 0, MSG_STATUS_CALL_INCOMING, T + 30);  // not the one shown
  r.add("alice", 0, MSG_STATUS_SENT, T + 35, "x", 64);  // not an ordinary channel
  uint64_t bob_last = r.add("bob", 0, MSG_STATUS_SENT, T + 20, "");
  r.add("carol", 7, MSG_STATUS_UNREAD, T + 2);
  r.add("carol", 7, MSG_STATUS_UNREAD, T + 3);
  uint64_t g7_last = r.add("dave", 7, MSG_STATUS_UNREAD, T + 10);
  uint64_t g8_last = r.add("carol", 8, MSG_STATUS_RECEIVED_READ, T + 5);
  r.add("erin", 0, MSG_STATUS_RECEIVED_READ, T + 3);
  uint64_t erin_last = r.add("erin", 0, MSG_STATUS_RECEIVED_READ, T + 10);  // same ms as g7

  int id = r.open(READ_SUMMARY, nullptr);
  ASSERT_EQ(r.page(id, 0), 5);
  std::map<uint64_t, Delivered> by_id;
  for (const Delivered &d : r.out.rows) {
    EXPECT_EQ(d.origin, ORIGIN_SUMMARY_READ);
    by_id[d.id] = d;
  }
  ASSERT_EQ(by_id.size(), 5u);
  EXPECT_EQ(by_id[alice_last].channel, 2);
  EXPECT_EQ(by_id[bob_last].channel, 0);
  EXPECT_EQ(by_id[bob_last].text, " ");  // no text: a blank
  EXPECT_EQ(by_id[g7_last].channel, 3);  // the group's, not only dave's
  EXPECT_EQ(by_id[g8_last].channel, 0);
  EXPECT_EQ(by_id[erin_last].channel, 0);
  // A summary does not mark anything read.
  EXPECT_EQ(r.status(alice_last), MSG_STATUS_UNREAD);

  // In pages of 2: every conversation once, newest first.
  int id2 = r.open(READ_SUMMARY, nullptr);
  std::vector<uint64_t> seen;
  for (int i = 0; i < 3; i++) {
    r.page(id2, 2);
    for (uint64_t x : r.out.ids()) seen.push_back(x);
  }
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_TRUE(seen[0] == alice_last || seen[0] == bob_last);
  EXPECT_EQ(std::set<uint64_t>(seen.begin(), seen.end()).size(), 5u);
  for (size_t i = 1; i < seen.size(); i++)
    EXPECT_GE(r.db.getMessageTime(seen[i - 1]), r.db.getMessageTime(seen[i]));

  // Per thread: one row per conversation and thread.
  r.db.executeSQL(("update messages set tid=5 where mid='" + std::to_string(alice_last) + "'").c_str());
  int id3 = r.open(READ_SUMMARY | READ_SUMMARY_THREADS, nullptr);
  EXPECT_EQ(r.page(id3, 0), 6);
  int id4 = r.open(READ_SUMMARY, nullptr, 0, nullptr, 5);
  ASSERT_EQ(r.page(id4, 0), 1);
  EXPECT_EQ(r.out.rows[0].id, alice_last);
  EXPECT_EQ(r.out.rows[0].channel, 1);
}

TEST(ReadSession, SessionsAndCounters) {
  Reader r;
  Collector app_a, app_b;
  r.add("alice", 0, MSG_STATUS_UNREAD, r.host.now - 10);
  SessionCounters &c = r.host2.counters["palice"];

  int plain = r.open(0, "alice", 0, nullptr, 0, &app_a);
  EXPECT_EQ(c.open, 1u);
  EXPECT_EQ(c.receipts, 0u);
  int ra = r.open(READ_RECEIPTS, "alice", 0, nullptr, 0, &app_a);
  int rb = r.open(READ_RECEIPTS | READ_NO_PRESENCE, "alice", 0, nullptr, 0, &app_b);
  EXPECT_EQ(c.open, 3u);
  EXPECT_EQ(c.receipts, 2u);
  EXPECT_EQ(c.active, 2u);
  // A second receipts session of the same listener pauses the first.
  int ra2 = r.open(READ_RECEIPTS, "alice", 0, nullptr, 0, &app_a);
  EXPECT_EQ(c.active, 2u);
  EXPECT_EQ(c.receipts, 3u);
  // Searching or summary sessions are not counted.
  r.open(READ_RECEIPTS, "alice", 0, "x");
  r.open(READ_SUMMARY, nullptr);
  EXPECT_EQ(c.open, 4u);

  // Pause and resume through the create operation.
  EXPECT_EQ(read_session_create(&r.list, &r.db, &r.host2, rb, 0, 0, "alice", 0, nullptr, &app_b), rb);
  EXPECT_EQ(c.active, 1u);
  r.host2.calls.clear();
  EXPECT_EQ(read_session_create(&r.list, &r.db, &r.host2, rb, READ_RECEIPTS, 0, "alice", 0, nullptr,
                                &app_b),
            rb);
  EXPECT_EQ(c.active, 2u);
  EXPECT_EQ(r.host2.calls, std::vector<std::string>{"receipt palice"});
  EXPECT_EQ(sql_int(r.h, "select count(1) from messages where status=18"), 0);

  // Presence: reset on open, queried unless asked not to.
  r.host2.calls.clear();
  r.open(0, "bob");
  r.open(READ_NO_PRESENCE, "carol");
  r.open(0, nullptr, 7);
  EXPECT_EQ(r.host2.calls,
            (std::vector<std::string>{"receipt pbob", "reset bob", "query bob", "receipt pcarol",
                                      "reset carol", "receipt g7"}));

  // Closing: counters come back down and never below zero; ids are gone.
  EXPECT_EQ(read_session_create(&r.list, &r.db, &r.host2, ra, READ_CLOSE, 0, nullptr, 0, nullptr,
                                nullptr),
            0);
  EXPECT_EQ(read_session_close(&r.list, ra2), 0);
  EXPECT_EQ(read_session_close(&r.list, rb), 0);
  EXPECT_EQ(read_session_close(&r.list, plain), 0);
  EXPECT_EQ(c.open, 0u);
  EXPECT_EQ(c.receipts, 0u);
  EXPECT_EQ(c.active, 0u);
  for (int gone : {ra, ra2, rb, plain}) {
    EXPECT_EQ(read_session_close(&r.list, gone), -1);
    EXPECT_EQ(r.page(gone, 10), -1);
    EXPECT_EQ(read_session_count(&r.list, &r.db, gone, READ_COUNT_ALL), -1);
    EXPECT_EQ(read_session_sync(&r.list, &r.db, &r.host2, gone, 10), -1);
  }
  EXPECT_EQ(r.page(12345, 10), -1);

  // Delivered rows carry the session's listener; every id is distinct.
  int s1 = r.open(0, "alice", 0, nullptr, 0, &app_b);
  ASSERT_EQ(r.page(s1, 1), 1);
  EXPECT_EQ(r.out.rows[0].listener, &app_b);
  EXPECT_NE(s1, ra);

  ZalvioDB closed(&r.host);
  EXPECT_EQ(read_session_create(&r.list, &closed, &r.host2, 0, 0, 0, "alice", 0, nullptr, nullptr), -1);
}

TEST(ReadSession, Counts) {
  Reader r;
  uint64_t T = r.host.now - 1000;
  r.add("alice", 0, MSG_STATUS_UNREAD, T, "needle 50%");
  r.add("alice", 0, MSG_STATUS_RECEIVED_READ, T + 1);
  r.add("alice", 0, MSG_STATUS_SENT, T + 2);
  r.add("alice", 0, 131, T + 3);
  r.add("alice", 0, MSG_STATUS_SENT, T + 4, "x", 64);  // channels above 63 are not counted
  r.add("alice", 7, MSG_STATUS_UNREAD, T + 5);         // alice inside a group
  r.add("bob", 7, MSG_STATUS_SENT, T + 6);
  int id = r.open(0, "alice");
  int group = r.open(0, nullptr, 7);
  int search = r.open(0, "alice", 0, "50%");
  const struct {
    int session;
    int selector;
    int count;
  } cases[] = {
      {id, READ_COUNT_ALL, 4},      {id, MSG_STATUS_UNREAD, 1}, {id, READ_COUNT_OUTGOING, 2},
      {id, READ_COUNT_INCOMING, 2}, {id, READ_COUNT_FAILED, 1}, {group, READ_COUNT_ALL, 2},
      {group, MSG_STATUS_SENT, 1},  {search, READ_COUNT_ALL, 1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(read_session_count(&r.list, &r.db, c.session, c.selector), c.count)
        << c.session << " " << c.selector;
  EXPECT_EQ(read_count_conversation(&r.db, 0, "alice", 0, READ_COUNT_ALL), 4);
  EXPECT_EQ(read_count_conversation(&r.db, 7, "alice", 0, READ_COUNT_ALL), 2);  // gid wins
  EXPECT_EQ(read_count_conversation(&r.db, 0, "alice'--", 0, READ_COUNT_ALL), 0);
}

TEST(ReadSession, PendingRead) {
  Reader r;
  uint64_t N = r.host.now;
  uint64_t a = r.add("alice", 0, MSG_STATUS_OUTBOX, N - 2000);
  uint64_t b = r.add("bob", 0, MSG_STATUS_OUTBOX, N - 1000);
  r.add("carol", 0, MSG_STATUS_OUTBOX, N - 3601000);  // expired
  uint64_t d = r.add("dave", 0, MSG_STATUS_OUTBOX, N - 500);
  r.db.setMessageFlags(d, DB_FLAG_NO_EXPIRY, 0);
  r.add("erin", 0, MSG_STATUS_SENT, N - 100);
  EXPECT_EQ(r.db.countPendingMessages(), 2);
  StdoutCapture log;
  EXPECT_EQ(read_pending(&r.db, &r.out), 2);
  EXPECT_TRUE(log.contains("Read pending"));
  EXPECT_EQ(r.out.ids(), (std::vector<uint64_t>{a, b}));
  EXPECT_EQ(r.out.rows[0].origin, ORIGIN_OUTBOX_RESEND);
  EXPECT_EQ(r.out.rows[1].flags & READ_FLAG_LAST, (uint64_t)READ_FLAG_LAST);
}

TEST(ReadSession, SyncFromServer) {
  Reader r;
  uint64_t T = r.host.now - 100000;
  r.add("alice", 0, MSG_STATUS_SENT, T + 1234);
  r.add("alice", 0, MSG_STATUS_SENT, T + 5000);
  r.add("alice", 7, MSG_STATUS_SENT, T - 9000);  // another conversation
  r.add("bob", 0, MSG_STATUS_SENT, T + 9999);

  uint64_t mid = 0;
  EXPECT_EQ(r.db.conversationTimeBound(0, "alice", false, &mid), T + 1234);
  EXPECT_EQ(r.db.conversationTimeBound(0, "alice", true, nullptr), T + 5000);
  EXPECT_EQ(r.db.conversationTimeBound(7, nullptr, true, nullptr), T - 9000);
  EXPECT_EQ(r.db.conversationTimeBound(0, nullptr, true, nullptr), T + 9999);
  EXPECT_EQ(r.db.conversationTimeBound(0, "nobody", true, &mid), 0u);
  EXPECT_EQ(mid, 0u);

  int id = r.open(0, "alice");
  EXPECT_EQ(read_session_sync(&r.list, &r.db, &r.host2, id, 20), 1);
  EXPECT_EQ(read_session_sync(&r.list, &r.db, &r.host2, id, 20), 0);  // outstanding
  ASSERT_EQ(r.host2.sent.size(), 1u);
  const MessageParams &p = r.host2.sent[0];
  EXPECT_EQ(p.type, READ_SYNC_TYPE_CONVERSATION);
  EXPECT_EQ(p.syncid, (uint64_t)id);
  EXPECT_EQ(p.syncext, 20);
  EXPECT_EQ(p.groupid, 0u);
  EXPECT_EQ(p.syncref, (T + 1234) / 1000);
  EXPECT_EQ(r.host2.sent_to[0], "alice");

  // A batch that says more may follow lets the session ask again; one
  // that says nothing more exists keeps the mark.
  EXPECT_EQ(read_session_sync_done(&r.list, id, 5, READ_FLAG_LAST), 1);
  EXPECT_EQ(read_session_sync(&r.list, &r.db, &r.host2, id, 20), 1);
  EXPECT_EQ(read_session_sync_done(&r.list, id, 5, READ_FLAG_LAST | READ_FLAG_END), 1);
  EXPECT_EQ(read_session_sync(&r.list, &r.db, &r.host2, id, 20), 0);
  EXPECT_EQ(read_session_sync_done(&r.list, 777, 5, 0), 0);

  int summary = r.open(READ_SUMMARY, nullptr);
  EXPECT_EQ(read_session_sync(&r.list, &r.db, &r.host2, summary, 100), 1);
  EXPECT_EQ(r.host2.sent.back().type, READ_SYNC_TYPE_SUMMARY);
  EXPECT_EQ(r.host2.sent.back().syncref, (T + 9999) / 1000);
  EXPECT_EQ(r.host2.sent_to.back(), "1");

  // No history on the server, or a failed send: nothing stays outstanding.
  int other = r.open(0, "bob");
  r.host2.sync_enabled = false;
  EXPECT_EQ(read_session_sync(&r.list, &r.db, &r.host2, other, 20), 0);
  r.host2.sync_enabled = true;
  r.host2.send_result = -1;
  EXPECT_EQ(read_session_sync(&r.list, &r.db, &r.host2, other, 20), -1);
  r.host2.send_result = 0;
  EXPECT_EQ(read_session_sync(&r.list, &r.db, &r.host2, other, 20), 1);
}

// The main reads, as the reader runs them, are index seeks: never a pass
// over the table, and a page never sorts.
static int trace_statement(unsigned, void *ctx, void *p, void *) {
  char *sql = sqlite3_expanded_sql((sqlite3_stmt *)p);
  if (sql) ((std::vector<std::string> *)ctx)->push_back(sql);
  sqlite3_free(sql);
  return 0;
}

TEST(ReadSession, QueryPlansUseTheReadIndexes) {
  Reader r;
  uint64_t T = r.host.now - 1000;
  r.add("alice", 0, MSG_STATUS_UNREAD, T);
  r.add("bob", 7, MSG_STATUS_UNREAD, T + 1);
  std::vector<std::string> ran;
  sqlite3_trace_v2(r.h, SQLITE_TRACE_STMT, trace_statement, &ran);
  auto last_plan = [&](const char *prefix) {
    for (auto it = ran.rbegin(); it != ran.rend(); ++it)
      if (it->compare(0, strlen(prefix), prefix) == 0)
        return sql_rows(r.h, "explain query plan " + *it);
    return std::string("no statement ") + prefix;
  };
  int person = r.open(0, "alice");
  r.page(person, 1);
  r.page(person, 1);  // with a cursor
  std::string page = last_plan("select mid");
  EXPECT_NE(page.find("USING INDEX imconv (gid=? AND sender=? AND (ts,mid)<(?,?))"),
            std::string::npos) << page;
  int group = r.open(0, nullptr, 7);
  r.page(group, 1);
  r.page(group, 1);
  std::string group_page = last_plan("select mid");
  EXPECT_NE(group_page.find("USING INDEX imgroup (gid=? AND (ts,mid)<(?,?))"), std::string::npos)
      << group_page;
  for (const std::string &plan : {page, group_page}) {
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
  }
  read_count_conversation(&r.db, 0, "alice", 0, MSG_STATUS_UNREAD);
  std::string unread = last_plan("select count(1)");
  EXPECT_NE(unread.find("USING INDEX imunread (gid=? AND status=? AND sender=?)"),
            std::string::npos) << unread;
  int summary = r.open(READ_SUMMARY, nullptr);
  r.page(summary, 0);
  std::string list = last_plan("with recursive");
  EXPECT_NE(list.find("imconv (gid=? AND sender>?)"), std::string::npos) << list;
  EXPECT_NE(list.find("imunread (gid=? AND status=? AND sender=?)"), std::string::npos) << list;
  EXPECT_EQ(list.find("SCAN messages"), std::string::npos) << list;
  EXPECT_EQ(list.find("SCAN a"), std::string::npos) << list;
  EXPECT_EQ(list.find("SCAN b"), std::string::npos) << list;
  // The outbox walk seeks past its cursor instead of sorting every waiting row.
  Collector sink;
  PendingCursor at = {true, T, 1};
  read_pending(&r.db, &sink, &at);
  std::string outbox = last_plan("select mid");
  EXPECT_NE(outbox.find("USING INDEX ipending (status=? AND (ts,mid)>(?,?))"), std::string::npos)
      << outbox;
  EXPECT_EQ(outbox.find("TEMP B-TREE"), std::string::npos) << outbox;
  sqlite3_trace_v2(r.h, 0, nullptr, nullptr);
}

// An old file gets the read indexes from the upgrade step.
TEST(ReadSession, UpgradeAddsReadIndexes) {
  StoreFixture s;
  s.db.executeSQL("drop index imconv; drop index imgroup; drop index imunread");
  s.db.setKey("dbschema", "16");
  FakeHost host;
  ZalvioDB again(&host);
  ASSERT_EQ(again.createDB(s.file.c_str()), 0);
  EXPECT_EQ(sql_rows(again.handle(),
                     "select name from sqlite_master where name in ('imconv', 'imgroup', "
                     "'imunread') order by name"),
            "imconv\nimgroup\nimunread\n");
  EXPECT_EQ(again.getKeyInt("dbschema", 0), (uint64_t)DB_SCHEMA_VERSION);
}

// A session closed while one of its pages is being delivered (here by the
// listener itself; in the application by another thread) stays usable
// until that page ends, and is gone afterwards.
TEST(ReadSession, CloseDuringRead) {
  struct Closer : Collector {
    ReadSessionList *list = nullptr;
    ZalvioDB *db = nullptr;
    ReadHost *host = nullptr;
    int on_message(MessageParams *p, const char *peer, const uint8_t *payload,
                   uint32_t len) override {
      if (rows.empty()) {
        // Reading the same session again from inside its page is refused.
        EXPECT_EQ(read_session_read(list, db, host, this, p->aux32, 10), -1);
        EXPECT_EQ(read_session_close(list, p->aux32), 0);
      }
      return Collector::on_message(p, peer, payload, len);
    }
  } closer;
  Reader r;
  closer.list = &r.list;
  closer.db = &r.db;
  closer.host = &r.host2;
  for (int i = 0; i < 5; i++) r.add("alice", 0, MSG_STATUS_UNREAD, r.host.now - 100 + i);
  int id = r.open(READ_RECEIPTS, "alice");
  EXPECT_EQ(read_session_read(&r.list, &r.db, &r.host2, &closer, id, 3), 3);
  EXPECT_EQ(closer.rows.back().flags & READ_FLAG_LAST, (uint64_t)READ_FLAG_LAST);
  EXPECT_EQ(r.page(id, 3), -1);
  EXPECT_EQ(r.host2.counters["palice"].open, 0u);
  EXPECT_EQ(sql_int(r.h, "select count(1) from messages where status=19"), 3);
}
