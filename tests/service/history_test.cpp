// The service's history of conversations and its answers to
// synchronisation requests, spoken by hand: pages older or newer than the
// message a device names (or, when the service does not know it, than a
// time), the statuses each side sees, groups, what is never kept, the cap
// and a service that keeps nothing.
#include <chrono>
#include <deque>
#include <thread>

#include "core/params.h"
#include "service/service_fixture.h"
#include "util/time.h"

namespace {

enum : uint64_t {
  LAST = 0x800000,  // end record of a batch
  END = 0x4000000,  // nothing more exists
};

using Out = RawRecord;

Out text(uint32_t id, uint32_t uid, const std::string &payload) {
  Out o;
  o.id = id;
  o.uid = uid;
  o.payload = payload;
  return o;
}

Out to_group(uint32_t id, uint32_t gid, const std::string &payload) {
  Out o = text(id, 0, payload);
  o.gid = gid;
  return o;
}

// A synchronisation request as the engine writes it: type 25 (older, one
// conversation) or 26 (newer), naming its boundary message in refid.
Out request(uint16_t type, uint32_t uid, uint32_t gid, uint16_t count, uint64_t syncref = 0,
            uint64_t refid = 0) {
  Out o;
  o.id = 0x5000 + type;
  o.uid = uid;
  o.gid = gid;
  if (type == 26 && !gid && !uid) o.address = "1";
  o.payload = " ";
  o.expiry = 62208000;
  o.flags = MSG_FLAG_SYSTEM;
  o.channel = CHANNEL_SYSTEM;
  o.type = type;
  o.syncid = 0xABC;
  o.syncext = count;
  o.syncref = syncref;
  o.refid = refid;
  return o;
}

// A status report a client sends about a message of `to`.
std::vector<uint8_t> report(uint16_t seq, uint32_t id, uint32_t to, uint16_t status) {
  uint8_t buf[64];
  TlvBuffer t;
  tlv_init(&t, buf, sizeof buf);
  bundle_begin(&t, seq);
  t.put_empty(REC_START);
  t.put_u32(REC_ID, id);
  t.put_u16_fixed(REC_STATUS, status);
  t.put_u32(REC_UID, to);
  t.put_u32(REC_EXPIRY, 3600);
  return std::vector<uint8_t>(buf, buf + t.pos);
}

using In = RawReceived;

// One device of one user; data frames that come while it waits for an
// answer are kept for data().
class Device {
 public:
  Device(ServiceHarness *svc, uint32_t uid, uint32_t installation = RAW_INSTALLATION)
      : svc_(svc), c_(svc->ca_file()), installation_(installation) {
    EXPECT_TRUE(raw_decode_token(svc->mint_token(uid), &token_));
  }
  RawLogin login() {
    queued_.clear();
    EXPECT_TRUE(c_.connect(svc_->port()));
    RawLogin l = raw_login(&c_, token_, "", "", installation_);
    EXPECT_EQ(l.answer, 0);
    return l;
  }
  void close() { c_.close(); }

  bool send(const std::vector<Out> &records) { return send_body(raw_bundle(++seq_, records)); }
  bool send_report(uint32_t id, uint32_t to, uint16_t status) {
    return send_body(report(++seq_, id, to, status));
  }
  bool send_body(const std::vector<uint8_t> &body) {
    return c_.send_frame(FRAME_BUNDLE, 1, 0, body) && answer(FRAME_BUNDLE);
  }
  bool ping(uint32_t echo) { return c_.send_frame(FRAME_PING, 0, echo) && answer(FRAME_PING); }

  // The next data frame's records and param; 0 when none came in time.
  uint32_t data(std::vector<In> *records, int timeout_ms = 2000) {
    records->clear();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    FrameHeader h;
    std::vector<uint8_t> body;
    while (queued_.empty()) {
      int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                     end - std::chrono::steady_clock::now())
                     .count();
      if (left <= 0 || c_.read_frame(&h, &body, left) != 1) return 0;
      if (h.op == OP_DATA) queued_.emplace_back(h.param, body);
    }
    uint32_t param = queued_.front().first;
    body = std::move(queued_.front().second);
    queued_.pop_front();
    *records = raw_records(body);
    return param;
  }
  // Takes and acknowledges every data frame that comes within the timeout.
  void drain(int timeout_ms = 200) {
    std::vector<In> got;
    uint32_t param, last = 0;
    while ((param = data(&got, timeout_ms)) != 0) last = param;
    if (last) {
      EXPECT_TRUE(ping(last));
    }
  }

  // Sends a request and collects its answer: the message records, then
  // the end record in *end. Records of no batch (reports) are passed over.
  std::vector<In> sync(const Out &req, In *end) {
    std::vector<In> rows;
    EXPECT_TRUE(send({req}));
    std::vector<In> got;
    for (;;) {
      uint32_t param = data(&got);
      if (param == 0) {
        ADD_FAILURE() << "no end record";
        return rows;
      }
      EXPECT_TRUE(ping(param));
      for (const In &r : got) {
        if (r.p.syncid == 0) continue;
        EXPECT_EQ(r.p.syncid, req.syncid);
        if (r.p.flags & LAST) {
          *end = r;
          return rows;
        }
        rows.push_back(r);
      }
    }
  }

 private:
  ServiceHarness *svc_;
  RawClient c_;
  uint32_t installation_;
  RawToken token_;
  uint16_t seq_ = 0;
  std::deque<std::pair<uint32_t, std::vector<uint8_t>>> queued_;

  bool answer(uint8_t code) {
    FrameHeader h;
    std::vector<uint8_t> body;
    while (c_.read_frame(&h, &body) == 1) {
      if (h.op == OP_DATA) queued_.emplace_back(h.param, body);
      else if (h.code == code && h.op < 0x40) return true;
    }
    return false;
  }
};

// "id/status/uid" of each row, for comparing a page at a glance.
std::string summary(const std::vector<In> &rows) {
  std::string s;
  for (const In &r : rows)
    s += (s.empty() ? "" : " ") + std::to_string(r.p.id & 0xFFFFFFFF) + "/" +
         std::to_string(r.p.status) + "/" + std::to_string(r.p.uid);
  return s;
}

}  // namespace

class HistoryTest : public ServiceTest {};

TEST_F(HistoryTest, PagesOlderThanTheMessageTheDeviceNames) {
  Device a(svc, 801), b(svc, 802);
  RawLogin la = a.login();
  b.login();
  EXPECT_NE(raw_item_uint(la.body, 8) & 0x1000, 0u) << "login flags say history is kept";
  uint64_t before = wall_ms();
  // a1 a2 b101 a3 b102 a4 a5 b103, each side acknowledging what it gets.
  for (auto step : std::vector<std::pair<Device *, Out>>{
           {&a, text(1, 802, "a1")}, {&a, text(2, 802, "a2")}, {&b, text(101, 801, "b101")},
           {&a, text(3, 802, "a3")}, {&b, text(102, 801, "b102")}, {&a, text(4, 802, "a4")},
           {&a, text(5, 802, "a5")}, {&b, text(103, 801, "b103")}}) {
    ASSERT_TRUE(step.first->send({step.second}));
    (step.first == &a ? b : a).drain(100);
  }
  uint64_t after = wall_ms();
  a.drain(100);  // the delivered reports
  b.drain(100);

  // Another device of B, with an empty store.
  Device b2(svc, 802, 2);
  b2.login();
  In end;
  std::vector<In> rows = b2.sync(request(25, 801, 0, 3), &end);
  EXPECT_EQ(summary(rows), "4/18/801 5/18/801 103/2/801");
  for (const In &r : rows) {
    EXPECT_EQ(r.address, "u801");
    EXPECT_GE(r.p.syncref, before) << "the time at the service, in ms";
    EXPECT_LE(r.p.syncref, after);
    EXPECT_LE(r.age, 1u);
    EXPECT_EQ(r.p.flags & (MSG_FLAG_STORED | END), 0u);
  }
  EXPECT_EQ(rows[0].payload, "a4");
  EXPECT_EQ(rows[2].payload, "b103");
  EXPECT_EQ(end.p.flags, LAST) << "more exists";
  EXPECT_EQ(end.p.syncext, 3);
  EXPECT_EQ(end.p.id, 0u);
  EXPECT_EQ(end.payload, " ");
  EXPECT_EQ(end.address, "u801");

  // Older than a4 as B holds it (the sender's uid in the high half), then
  // older than its own b101 (a plain id), then older than the first.
  rows = b2.sync(request(25, 801, 0, 3, after / 1000, (uint64_t)801 << 32 | 4), &end);
  EXPECT_EQ(summary(rows), "101/2/801 3/18/801 102/2/801");
  EXPECT_EQ(end.p.flags, LAST);
  rows = b2.sync(request(25, 801, 0, 3, after / 1000, 101), &end);
  EXPECT_EQ(summary(rows), "1/18/801 2/18/801");
  EXPECT_EQ(end.p.flags, LAST | END);
  EXPECT_EQ(end.p.syncext, 2);
  rows = b2.sync(request(25, 801, 0, 3, after / 1000, (uint64_t)801 << 32 | 1), &end);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(end.p.flags, LAST | END);
  EXPECT_EQ(end.p.syncext, 0);

  // The same conversation from A's side, by address; nothing of this
  // reached A's peer.
  Out by_address = request(25, 0, 0, 100);
  by_address.address = "u802";
  rows = a.sync(by_address, &end);
  EXPECT_EQ(summary(rows),
            "1/2/802 2/2/802 101/18/802 3/2/802 102/18/802 4/2/802 5/2/802 103/18/802");
  std::vector<In> got;
  EXPECT_EQ(b.data(&got, 100), 0u);
  EXPECT_GE(svc->stats()["syncs"], 5u);
}

TEST_F(HistoryTest, ReportsEditsAndExpiryChangeWhatEachSideSees) {
  Device a(svc, 811), b(svc, 812);
  a.login();
  b.login();
  ASSERT_TRUE(a.send({text(1, 812, "first"), text(2, 812, "second")}));
  b.drain();
  a.drain();  // delivered
  ASSERT_TRUE(b.send_report(1, 811, MSG_STATUS_READ));
  Out edit = text(2, 812, "second, edited");
  edit.flags = MSG_FLAG_ID32;
  ASSERT_TRUE(a.send({edit}));
  b.drain();
  b.close();
  // Expiry 0 to a user with no device online fails at once: B never got it.
  Out gone = text(3, 812, "never delivered");
  gone.expiry = 0;
  ASSERT_TRUE(a.send({gone}));
  a.drain();

  In end;
  std::vector<In> rows = a.sync(request(25, 812, 0, 10), &end);
  EXPECT_EQ(summary(rows), "1/3/812 2/2/812 3/132/812");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].payload, "second, edited");
  EXPECT_EQ(rows[1].p.flags & MSG_FLAG_ID32, 0u) << "the message stays what it was";

  b.login();
  rows = b.sync(request(25, 811, 0, 10), &end);
  EXPECT_EQ(summary(rows), "1/19/811 2/18/811");
  EXPECT_EQ(end.p.flags, LAST | END);
}

TEST_F(HistoryTest, GroupsAndEveryConversationOfTheUser) {
  ASSERT_TRUE(svc->create_group(83, {821, 822, 823}));
  Device a(svc, 821), b(svc, 822), c(svc, 823), outsider(svc, 824);
  a.login();
  b.login();
  c.login();
  // A millisecond apart: within one, conversations keep their own order
  // but not one across them.
  const auto ms = std::chrono::milliseconds(2);
  ASSERT_TRUE(a.send({to_group(1, 83, "g1")}));
  std::this_thread::sleep_for(ms);
  ASSERT_TRUE(b.send({to_group(2, 83, "g2")}));
  std::this_thread::sleep_for(ms);
  ASSERT_TRUE(a.send({text(3, 823, "direct")}));
  for (Device *d : {&a, &b, &c}) d->drain();

  In end;
  std::vector<In> rows = c.sync(request(25, 0, 83, 10), &end);
  EXPECT_EQ(summary(rows), "1/18/821 2/18/822");
  for (const In &r : rows) EXPECT_EQ(r.p.groupid, 83u);
  // The sender's own group message names the sender itself.
  rows = a.sync(request(25, 0, 83, 10), &end);
  EXPECT_EQ(summary(rows), "1/2/821 2/18/822");
  EXPECT_EQ(rows[0].address, "u821");
  // Newer than nothing, across one-to-one conversations and groups.
  rows = c.sync(request(26, 0, 0, 2), &end);
  EXPECT_EQ(summary(rows), "1/18/821 2/18/822");
  EXPECT_EQ(end.p.flags, LAST);
  rows = c.sync(request(26, 0, 0, 2, 0, (uint64_t)822 << 32 | 2), &end);
  EXPECT_EQ(summary(rows), "3/18/821");
  EXPECT_EQ(rows[0].p.groupid, 0u);
  EXPECT_EQ(end.p.flags, LAST | END);

  // Requests that get an empty batch, and are relayed to nobody.
  for (Device *d : {&a, &b, &c}) d->drain();
  outsider.login();
  Out unknown_address = request(25, 0, 0, 10);
  unknown_address.address = "nobody";
  struct Case {
    const char *what;
    Out req;
  } cases[] = {
      {"a group it is not in", request(25, 0, 83, 10)},
      {"a group that does not exist", request(25, 0, 9999, 10)},
      {"an unknown address", unknown_address},
      {"itself", request(25, 824, 0, 10)},
      {"a conversation with no messages", request(25, 821, 0, 10)},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    rows = outsider.sync(k.req, &end);
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(end.p.flags, LAST | END);
    EXPECT_EQ(end.p.id, 0u);
  }
  std::vector<In> got;
  for (Device *d : {&a, &b, &c}) EXPECT_EQ(d->data(&got, 50), 0u);
}

TEST_F(HistoryTest, ATimeDecidesWhenTheNamedMessageIsUnknown) {
  Device a(svc, 831), b(svc, 832);
  a.login();
  ASSERT_TRUE(a.send({text(1, 832, "t1"), text(2, 832, "t2"), text(3, 832, "t3"),
                      text(4, 832, "t4")}));
  // Past the milliseconds the four were given, one each.
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  uint64_t now_s = wall_ms() / 1000;
  b.login();
  b.drain();
  // Every row within a second of the time comes, whatever the count: the
  // device may hold some of them under times of its own.
  struct Case {
    const char *what;
    Out req;
    const char *rows;
    uint64_t flags;
  } cases[] = {
      {"older, around now", request(25, 831, 0, 1, now_s, 999), "1/18/831 2/18/831 3/18/831 4/18/831", LAST | END},
      {"older than later", request(25, 831, 0, 2, now_s + 100, 999), "3/18/831 4/18/831", LAST},
      {"older than the end of time", request(25, 831, 0, 2, UINT64_MAX), "3/18/831 4/18/831", LAST},
      {"newer than long ago", request(26, 0, 0, 3, now_s - 100, 999), "1/18/831 2/18/831 3/18/831", LAST},
      {"newer, around now", request(26, 0, 0, 1, now_s, 999), "1/18/831 2/18/831 3/18/831 4/18/831", LAST | END},
      {"newer than later", request(26, 0, 0, 1, now_s + 100), "", LAST | END},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    In end;
    std::vector<In> rows = b.sync(k.req, &end);
    EXPECT_EQ(summary(rows), k.rows);
    EXPECT_EQ(end.p.flags, k.flags);
  }
}

TEST_F(HistoryTest, OnlyMessagesForTheApplicationAreKeptOnceAndLifetimesEnd) {
  Device a(svc, 841), b(svc, 842);
  a.login();
  b.login();
  Out system = text(1, 842, "control");
  system.flags = MSG_FLAG_SYSTEM;
  system.channel = CHANNEL_SYSTEM;
  system.type = 31;
  Out call = text(2, 842, "call");
  call.channel = CHANNEL_CALL;
  Out encrypted = text(3, 842, "sealed");
  encrypted.flags = MSG_FLAG_E2E_ENCRYPTED;
  Out broadcast = text(4, 842, "to many");
  broadcast.flags = MSG_FLAG_BROADCAST_SYSTEM;
  Out hidden = text(5, 842, "not shown");
  hidden.flags = MSG_FLAG_NOT_DELIVERED;
  Out empty = text(6, 842, "");
  Out kept = text(7, 842, "kept");
  kept.channel = CHANNEL_APP_LAST;
  Out brief = text(8, 842, "for a second");
  brief.agesent = 1;
  ASSERT_TRUE(a.send({system, call, encrypted, broadcast, hidden, empty, kept, brief}));
  ASSERT_TRUE(a.send({kept}));  // sent again by an outbox unsure of the first
  b.drain();
  EXPECT_EQ(svc->admin("history uid=842 peer=841"), "ok 2");

  In end;
  EXPECT_EQ(summary(b.sync(request(25, 841, 0, 10), &end)), "7/18/841 8/18/841");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(summary(b.sync(request(25, 841, 0, 10), &end)), "7/18/841");

  EXPECT_EQ(svc->admin("history uid=842"), "ok 2") << "both, until the sweep";
  EXPECT_EQ(svc->admin("history gid=1 uid=842"), "error uid= or gid= is required");
  EXPECT_EQ(svc->admin("history peer=841"), "error uid= or gid= is required");
}

// Services of their own: a small cap, and none at all.
TEST(HistoryLimits, TheCapAndAServiceThatKeepsNothing) {
  for (uint32_t cap : {3u, 0u}) {
    SCOPED_TRACE(cap);
    ServiceHarness svc;
    ASSERT_TRUE(svc.start("", {"--history", std::to_string(cap)}));
    Device a(&svc, 851), b(&svc, 852);
    RawLogin l = a.login();
    EXPECT_EQ(raw_item_uint(l.body, 8) & 0x1000, cap ? 0x1000u : 0u);
    b.login();
    for (uint32_t id = 1; id <= 5; id++) ASSERT_TRUE(a.send({text(id, 852, "m")}));
    b.drain();
    a.drain();
    EXPECT_EQ(svc.admin("history uid=851 peer=852"), "ok " + std::to_string(cap));
    In end;
    std::vector<In> rows = b.sync(request(25, 851, 0, 10), &end);
    EXPECT_EQ(summary(rows), cap ? "3/18/851 4/18/851 5/18/851" : "");
    EXPECT_EQ(end.p.flags, LAST | END);
    std::vector<In> got;
    EXPECT_EQ(a.data(&got, 50), 0u) << "a request is never relayed";
    a.close();
    b.close();
    EXPECT_TRUE(svc.stop());
  }
}
