// Records relayed between users: one-to-one by uid and by address, group
// fan-out, copies for the user's other devices, the offline store, the
// delivered report, resent bundles and broken ones.
#include <atomic>
#include <chrono>
#include <deque>
#include <random>
#include <set>
#include <thread>

#include "core/params.h"
#include "service/service_fixture.h"
#include "util/time.h"

namespace {

using Out = RawRecord;

Out to_uid(uint32_t id, uint32_t uid, const std::string &payload = "hi") {
  Out o;
  o.id = id;
  o.uid = uid;
  o.payload = payload;
  return o;
}

Out to_address(uint32_t id, const std::string &address) {
  Out o;
  o.id = id;
  o.address = address;
  return o;
}

Out to_group(uint32_t id, uint32_t gid, const std::string &payload = "hi") {
  Out o;
  o.id = id;
  o.gid = gid;
  o.payload = payload;
  return o;
}

Out control(Out o, uint16_t type) {
  o.flags |= MSG_FLAG_SYSTEM;
  o.channel = CHANNEL_SYSTEM;
  o.type = type;
  return o;
}

using In = RawReceived;

// One device of one user, speaking the protocol by hand: data frames that
// arrive while it waits for an answer are kept for data().
class Device {
 public:
  Device(ServiceHarness *svc, uint32_t uid, uint32_t installation = RAW_INSTALLATION)
      : svc_(svc), c_(svc->ca_file()), installation_(installation) {
    EXPECT_TRUE(raw_decode_token(svc->mint_token(uid), &token_));
  }

  // Connects (again) and logs in; the login answer.
  RawLogin login(uint32_t ack_owed = 0) {
    queued_.clear();
    EXPECT_TRUE(c_.connect(svc_->port()));
    RawLogin l = raw_login(&c_, token_, "", "", installation_, ack_owed);
    EXPECT_EQ(l.answer, 0);
    return l;
  }
  void close() { c_.close(); }
  RawClient &client() { return c_; }

  // Sends a bundle; true once it is acknowledged.
  bool send(uint16_t seq, const std::vector<Out> &records, uint32_t echo = 0) {
    return send_body(raw_bundle(seq, records), echo);
  }
  bool send_body(const std::vector<uint8_t> &body, uint32_t echo = 0) {
    return c_.send_frame(FRAME_BUNDLE, 1, echo, body) && answer(FRAME_BUNDLE);
  }
  // A ping echoing `param`; true once it is answered.
  bool ping(uint32_t echo) { return c_.send_frame(FRAME_PING, 0, echo) && answer(FRAME_PING); }

  // The next data frame's records and param; param 0 when none came.
  uint32_t data(std::vector<In> *records, int timeout_ms = 2000) {
    records->clear();
    if (queued_.empty()) {
      FrameHeader h;
      std::vector<uint8_t> body;
      auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      while (queued_.empty()) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       end - std::chrono::steady_clock::now())
                       .count();
        if (left <= 0 || c_.read_frame(&h, &body, left) != 1) return 0;
        if (h.op == OP_DATA) queued_.emplace_back(h.param, body);
      }
    }
    uint32_t param = queued_.front().first;
    *records = raw_records(queued_.front().second);
    queued_.pop_front();
    return param;
  }

 private:
  ServiceHarness *svc_;
  RawClient c_;
  uint32_t installation_;
  RawToken token_;
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

}  // namespace

class RelayTest : public ServiceTest {
 protected:
  void TearDown() override { svc->admin("clear"); }
};

TEST_F(RelayTest, OneToOneByUidAndByAddress) {
  Device a(svc, 501), b(svc, 502);
  a.login();
  b.login();
  Out by_address = to_address(12, "u502");
  by_address.channel = 5;
  by_address.type = 7;
  by_address.payload = "by address";
  ASSERT_TRUE(a.send(1, {to_uid(11, 502, "by uid"), by_address}));

  std::vector<In> got;
  ASSERT_NE(b.data(&got), 0u);
  ASSERT_EQ(got.size(), 2u);
  for (const In &r : got) {
    EXPECT_EQ(r.p.uid, 501u);
    EXPECT_EQ(r.address, "u501");  // so the client binds the sender without asking
    EXPECT_FALSE(r.is_status);
    EXPECT_FALSE(r.has_age);
    EXPECT_EQ(r.p.flags & MSG_FLAG_STORED, 0u);
    EXPECT_EQ(r.p.storedmark, 0u);
    EXPECT_EQ(r.p.touid, 0u);
    EXPECT_EQ(r.p.expiry, 3600u);
  }
  EXPECT_EQ(got[0].p.id, 11u);
  EXPECT_EQ(got[0].payload, "by uid");
  EXPECT_EQ(got[1].p.id, 12u);
  EXPECT_EQ(got[1].payload, "by address");
  EXPECT_EQ(got[1].p.channel, 5);
  EXPECT_EQ(got[1].p.type, 7);
  EXPECT_EQ(a.data(&got, 100), 0u);  // nothing goes back to the sender
}

TEST_F(RelayTest, DeliveredReportFollowsTheRecipientsAcknowledgement) {
  Device a(svc, 503), b(svc, 504);
  a.login();
  b.login();
  Out typed = to_uid(21, 504);
  typed.channel = 3;
  typed.type = 9;
  ASSERT_TRUE(a.send(1, {typed, control(to_uid(22, 504), 31)}));
  std::vector<In> got;
  uint32_t param = b.data(&got);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(a.data(&got, 200), 0u) << "reported before the recipient took it";

  ASSERT_TRUE(b.ping(param));
  ASSERT_NE(a.data(&got), 0u);
  ASSERT_EQ(got.size(), 1u);  // system records get no report
  const In &r = got[0];
  EXPECT_TRUE(r.is_status);
  EXPECT_EQ(r.p.status, MSG_STATUS_DELIVERED);
  EXPECT_EQ(r.p.id, 21u);
  EXPECT_EQ(r.p.uid, 504u);
  EXPECT_EQ(r.address, "u504");
  EXPECT_EQ(r.p.channel, 3);
  EXPECT_EQ(r.p.type, 9);
  EXPECT_EQ(r.p.groupid, 0u);

  // A status report a client sends (a read report, say) travels like a
  // message, and is not itself reported.
  uint8_t buf[64];
  TlvBuffer t;
  tlv_init(&t, buf, sizeof buf);
  bundle_begin(&t, 2);
  t.put_empty(REC_START);
  t.put_u32(REC_ID, 21);
  t.put_u16_fixed(REC_STATUS, MSG_STATUS_READ);
  t.put_u32(REC_UID, 503);
  t.put_u32(REC_EXPIRY, 3600);
  ASSERT_TRUE(b.send_body({buf, buf + t.pos}));
  param = a.data(&got);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].is_status);
  EXPECT_EQ(got[0].p.status, MSG_STATUS_READ);
  EXPECT_EQ(got[0].p.id, 21u);
  EXPECT_EQ(got[0].p.uid, 504u);
  ASSERT_TRUE(a.ping(param));
  EXPECT_EQ(b.data(&got, 200), 0u);
}

TEST_F(RelayTest, UnroutableRecordsAreReportedToTheSender) {
  ASSERT_TRUE(svc->create_group(78, {506}));
  Device a(svc, 505);
  a.login();
  Out nowhere;
  nowhere.id = 35;
  ASSERT_TRUE(a.send(1, {to_uid(31, 999999), to_address(32, "nobody"), to_group(33, 4242),
                         to_group(34, 78), nowhere, control(to_uid(36, 999999), 31)}));
  struct Case {
    uint32_t id;
    uint16_t status;
    uint32_t uid;
    const char *address;
  } cases[] = {
      {31, 131, 999999, ""},   // the destination as the client wrote it
      {32, 131, 0, "nobody"},
      {33, 145, 505, "u505"},  // group failures name the sender itself
      {34, 145, 505, "u505"},  // not a member
      {35, 131, 505, "u505"},  // no destination at all
  };
  // A report naming only a uid comes in a frame of its own: a client that
  // cannot resolve it drops the rest of the frame.
  std::vector<std::vector<In>> frames;
  std::vector<In> got;
  while (a.data(&got, 300) != 0) frames.push_back(got);
  ASSERT_EQ(frames.size(), 2u);
  ASSERT_EQ(frames[0].size(), 1u);
  ASSERT_EQ(frames[1].size(), 4u);  // none for the system record
  got = frames[0];
  got.insert(got.end(), frames[1].begin(), frames[1].end());
  for (size_t i = 0; i < 5; i++) {
    SCOPED_TRACE(cases[i].id);
    EXPECT_TRUE(got[i].is_status);
    EXPECT_EQ(got[i].p.id, cases[i].id);
    EXPECT_EQ(got[i].p.status, cases[i].status);
    EXPECT_EQ(got[i].p.uid, cases[i].uid);
    EXPECT_EQ(got[i].address, cases[i].address);
  }
}

TEST_F(RelayTest, GroupMessagesReachEveryOtherMember) {
  ASSERT_TRUE(svc->create_group(77, {511, 512, 513}));
  Device a(svc, 511), b(svc, 512), c(svc, 513);
  a.login();
  b.login();
  c.login();
  ASSERT_TRUE(a.send(1, {to_group(41, 77, "to all")}));
  uint32_t b_param = 0;
  for (Device *d : {&b, &c}) {
    std::vector<In> got;
    uint32_t param = d->data(&got);
    if (d == &b) b_param = param;
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].p.uid, 511u);
    EXPECT_EQ(got[0].p.groupid, 77u);
    EXPECT_EQ(got[0].p.touid, d == &b ? 512u : 513u);
    EXPECT_EQ(got[0].payload, "to all");
  }
  std::vector<In> got;
  EXPECT_EQ(a.data(&got, 100), 0u);

  ASSERT_TRUE(b.ping(b_param));
  ASSERT_NE(a.data(&got), 0u);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].p.status, MSG_STATUS_DELIVERED);
  EXPECT_EQ(got[0].p.id, 41u);
  EXPECT_EQ(got[0].p.uid, 512u);
  EXPECT_EQ(got[0].p.groupid, 77u);
  EXPECT_EQ(svc->admin("groups gid=77"), "ok 1 | gid=77 members=511,512,513");
}

TEST_F(RelayTest, OtherDevicesGetSelfAddressedRecordsAndPushTokensAreConfirmed) {
  Device one(svc, 521, 1), two(svc, 521, 2);
  one.login();
  two.login();
  Out push = control(to_address(52, "1"), 10);
  push.channel = 0;
  ASSERT_TRUE(one.send(1, {control(to_uid(51, 521), 14), push, control(to_address(53, "1"), 28)}));

  std::vector<In> got;
  ASSERT_NE(two.data(&got), 0u);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].p.id, 51u);
  EXPECT_EQ(got[0].p.uid, 521u);
  EXPECT_EQ(got[0].p.touid, 521u);
  EXPECT_EQ(got[1].p.id, 53u);
  EXPECT_EQ(got[1].p.type, 28);

  // The sending device gets only the service's answer to the registration.
  ASSERT_NE(one.data(&got), 0u);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].is_status);
  EXPECT_EQ(got[0].p.id, 52u);
  EXPECT_EQ(got[0].p.type, 10);
  EXPECT_NE(got[0].p.flags & MSG_FLAG_SYSTEM, 0u);
  EXPECT_EQ(got[0].address, "1");
  EXPECT_EQ(one.data(&got, 100), 0u);
  EXPECT_EQ(two.data(&got, 100), 0u);
}

TEST_F(RelayTest, OfflineRecipientGetsTheStoredPartOldestFirst) {
  Device a(svc, 531), b(svc, 532);
  a.login();
  ASSERT_TRUE(a.send(1, {to_uid(61, 532, "first"), to_uid(62, 532, "second")}));
  ASSERT_TRUE(a.send(2, {to_uid(63, 532, "third")}));
  EXPECT_EQ(svc->stored(532), 3);

  std::vector<In> got;
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    b.login();
    uint32_t param = b.data(&got);
    ASSERT_EQ(got.size(), 3u);
    const char *texts[] = {"first", "second", "third"};
    for (size_t i = 0; i < 3; i++) {
      EXPECT_EQ(got[i].p.id, 61u + i);
      EXPECT_EQ(got[i].payload, texts[i]);
      EXPECT_EQ(got[i].p.uid, 531u);
      EXPECT_NE(got[i].p.flags & MSG_FLAG_STORED, 0u);
      EXPECT_TRUE(got[i].has_age);
      EXPECT_EQ(got[i].p.storedmark != 0, i == 0) << "the mark starts the stored part";
    }
    EXPECT_EQ(a.data(&got, 100), 0u);
    if (round == 0) {
      b.close();  // not acknowledged: kept for the next login
      continue;
    }
    ASSERT_TRUE(b.ping(param));
  }
  EXPECT_EQ(svc->stored(532), 0);
  ASSERT_NE(a.data(&got), 0u);
  ASSERT_EQ(got.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(got[i].p.status, MSG_STATUS_DELIVERED);
    EXPECT_EQ(got[i].p.id, 61u + i);
  }
}

TEST_F(RelayTest, RecordsTakenButNotAcknowledgedAreKeptOnce) {
  Device a(svc, 541), b(svc, 542);
  a.login();
  b.login();
  ASSERT_TRUE(a.send(1, {to_uid(71, 542)}));
  std::vector<In> got;
  ASSERT_NE(b.data(&got), 0u);
  EXPECT_EQ(svc->admin("drop uid=542"), "ok 1");
  EXPECT_EQ(svc->stored(542), 1);

  b.login();
  uint32_t param = b.data(&got);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].p.id, 71u);
  EXPECT_NE(got[0].p.flags & MSG_FLAG_STORED, 0u);

  // The connection breaks before the echo, but the next login says which
  // frame the device took: nothing comes twice, and the sender hears.
  EXPECT_EQ(svc->admin("drop uid=542"), "ok 1");
  b.login(param);
  EXPECT_EQ(b.data(&got, 200), 0u);
  EXPECT_EQ(svc->stored(542), 0);
  ASSERT_NE(a.data(&got), 0u);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].p.id, 71u);
  EXPECT_EQ(got[0].p.status, MSG_STATUS_DELIVERED);
}

TEST_F(RelayTest, ResentBundleIsAcknowledgedButNotRelayedAgain) {
  Device a(svc, 551), b(svc, 552);
  a.login();
  b.login();
  std::vector<In> got;
  ASSERT_TRUE(a.send(300, {to_uid(81, 552)}));
  ASSERT_NE(b.data(&got), 0u);
  ASSERT_TRUE(a.send(300, {to_uid(81, 552)}));
  EXPECT_EQ(b.data(&got, 200), 0u);

  RawLogin l = a.login();
  EXPECT_EQ(raw_item_uint(l.body, 15), 300u);
  ASSERT_TRUE(a.send(301, {to_uid(82, 552)}));
  ASSERT_NE(b.data(&got), 0u);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].p.id, 82u);
}

TEST_F(RelayTest, MalformedBundlesAreAcknowledgedAndKeepWhatCameBefore) {
  Device a(svc, 561), b(svc, 562);
  a.login();
  b.login();
  std::vector<uint8_t> cut = raw_bundle(1, {to_uid(91, 562), to_uid(92, 562, "cut short")});
  cut.resize(cut.size() - 3);  // the second record's payload claims more than is left
  std::vector<uint8_t> bad_length = raw_bundle(2, {to_uid(93, 562)});
  bad_length.push_back(REC_START);
  bad_length.push_back(0xE7);  // a next record: an extended item without its length
  std::vector<std::vector<uint8_t>> bodies = {
      cut, bad_length, {}, std::vector<uint8_t>(40, 0xFF), {0x51, 0x03, 0x00, 0x01, 0x01, 0x01}};
  for (const auto &body : bodies) ASSERT_TRUE(a.send_body(body));
  ASSERT_TRUE(a.ping(0));

  std::vector<uint32_t> ids;
  std::vector<In> got;
  while (b.data(&got, 300) != 0)
    for (const In &r : got) ids.push_back((uint32_t)r.p.id);
  EXPECT_EQ(ids, (std::vector<uint32_t>{91, 93}));
}

TEST_F(RelayTest, ExpiryZeroForAnOfflineUserFailsAtOnce) {
  Device a(svc, 571), b(svc, 572);  // b exists but stays offline
  a.login();
  Out now_or_never = to_uid(95, 572);
  now_or_never.expiry = 0;
  ASSERT_TRUE(a.send(1, {now_or_never}));
  std::vector<In> got;
  ASSERT_NE(a.data(&got), 0u);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].p.status, 132);
  EXPECT_EQ(got[0].p.id, 95u);
  EXPECT_EQ(got[0].p.uid, 572u);
  EXPECT_EQ(svc->stored(572), 0);
}

TEST_F(RelayTest, StoredRecordsExpire) {
  Device a(svc, 573), b(svc, 574);
  a.login();
  uint64_t expired = svc->stats()["expired"];
  Out brief = to_uid(96, 574);
  brief.expiry = 1;
  ASSERT_TRUE(a.send(1, {brief, to_uid(97, 574)}));
  EXPECT_EQ(svc->stored(574), 2);
  // Expiry counts in whole seconds: past it once the second after next begins.
  uint64_t until = (wall_ms() / 1000 + 2) * 1000;
  std::this_thread::sleep_for(std::chrono::milliseconds(until - wall_ms()));

  b.login();
  std::vector<In> got;
  ASSERT_NE(b.data(&got), 0u);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].p.id, 97u);
  ASSERT_NE(a.data(&got), 0u);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].p.id, 96u);
  EXPECT_EQ(got[0].p.status, 132);
  EXPECT_EQ(svc->stats()["expired"], expired + 1);
}

TEST_F(RelayTest, DropRandomBreaksConnectionsAsOftenAsTold) {
  Device a(svc, 581);
  ASSERT_TRUE(svc->drop_random(581, 1, 2));  // the next two frames end their connection
  for (int i = 0; i < 2; i++) {
    a.login();
    a.ping(0);  // answered or not, depending on where the drop falls
    EXPECT_TRUE(a.client().wait_closed());
  }
  a.login();
  EXPECT_TRUE(a.ping(0));
  EXPECT_FALSE(a.client().wait_closed(100));
  EXPECT_EQ(svc->stats()["drops"], 2u);  // the first drops of this suite's service
}

TEST(RelayRestartTest, StoreAndSequencesSurviveARestart) {
  ServiceHarness own;
  ASSERT_TRUE(own.start());
  Device a(&own, 591), b(&own, 592);
  a.login();
  ASSERT_TRUE(a.send(7, {to_uid(97, 592, "kept")}));
  a.close();
  ASSERT_TRUE(own.restart());

  std::vector<In> got;
  b.login();
  ASSERT_NE(b.data(&got), 0u);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, "kept");
  EXPECT_NE(got[0].p.flags & MSG_FLAG_STORED, 0u);
  RawLogin l = a.login();
  EXPECT_EQ(raw_item_uint(l.body, 15), 7u);
  EXPECT_TRUE(own.stop());
}

// Both users' connections break at random points, dozens of times, while
// 5,000 records flow; the clients behave as the engine does on reconnect
// (send the pending bundle again, unchanged, unless login item 15 names it;
// tell the service in login item 5 which frame was taken last).
TEST(RelayDropTest, NothingIsLostWhenConnectionsBreakAtRandom) {
  const uint32_t A = 601, B = 602, TOTAL = 5000;
  ServiceHarness own;
  ASSERT_TRUE(own.start());
  RawToken ta, tb;
  ASSERT_TRUE(raw_decode_token(own.mint_token(A), &ta));
  ASSERT_TRUE(raw_decode_token(own.mint_token(B), &tb));
  ASSERT_TRUE(own.drop_random(A, 10));
  ASSERT_TRUE(own.drop_random(B, 10));

  std::atomic<bool> done{false};
  std::atomic<size_t> unique{0};
  std::set<uint32_t> seen;
  std::thread receiver([&] {
    RawClient c(own.ca_file());
    std::minstd_rand rng(5);
    uint32_t owed = 0;
    while (!done) {
      if (!c.connect(own.port())) continue;
      if (raw_login(&c, tb, "", "", RAW_INSTALLATION, owed).answer != 0) continue;
      owed = 0;
      FrameHeader h;
      std::vector<uint8_t> body;
      int r;
      while (!done && (r = c.read_frame(&h, &body, 100)) >= 0) {
        if (r == 0 || h.op != OP_DATA) continue;
        if (rng() % 16 == 0) {
          c.close();  // the network broke with this frame on its way
          break;
        }
        for (const In &rec : raw_records(body)) seen.insert((uint32_t)rec.p.id);
        unique = seen.size();
        owed = h.param;
        if (!c.send_frame(FRAME_PING, 0, owed)) break;
        owed = 0;  // sent: the engine counts it as told
      }
    }
  });

  RawClient c(own.ca_file());
  bool online = false, pending = false;
  uint16_t seq = 1, pending_seq = 0;
  uint32_t next_id = 1, owed = 0;
  std::vector<uint8_t> body;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((next_id <= TOTAL || pending) && std::chrono::steady_clock::now() < deadline) {
    if (!online) {
      RawLogin l;
      if (!c.connect(own.port()) || (l = raw_login(&c, ta, "", "", RAW_INSTALLATION, owed)).answer)
        continue;
      online = true;
      owed = 0;
      if (pending && raw_item_uint(l.body, 15) == pending_seq) pending = false;
      continue;
    }
    if (!pending) {
      std::vector<Out> records;
      for (; next_id <= TOTAL && records.size() < BUNDLE_MAX_RECORDS; next_id++)
        records.push_back(to_uid(next_id, B));
      pending_seq = seq++;
      body = raw_bundle(pending_seq, records);
      pending = true;
    }
    online = c.send_frame(FRAME_BUNDLE, 1, owed, body);
    if (online) owed = 0;
    FrameHeader h;
    std::vector<uint8_t> in;
    while (online) {
      if (c.read_frame(&h, &in, 2000) != 1) {
        online = false;
      } else if (h.op == OP_DATA) {
        owed = h.param;
      } else if (h.code == FRAME_BUNDLE) {
        pending = false;
        break;
      }
    }
  }
  while (unique < TOTAL && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  done = true;
  receiver.join();
  EXPECT_EQ(seen.size(), TOTAL);
  if (!seen.empty()) {
    EXPECT_EQ(*seen.begin(), 1u);
    EXPECT_EQ(*seen.rbegin(), TOTAL);
  }
  std::map<std::string, uint64_t> stats = own.stats();
  EXPECT_GE(stats["drops"], 10u);
  EXPECT_EQ(stats["stored"] >= 1, true) << "no drop ever left a record unacknowledged";
  EXPECT_TRUE(own.stop());
}
