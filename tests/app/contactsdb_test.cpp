#include "app/contactsdb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "app/profile.h"
#include "store_helper.h"
#include "support/capture.h"

namespace {

ProfileBytes bytes(const std::string &s) { return {(const uint8_t *)s.data(), (uint32_t)s.size()}; }
std::string str(const ProfileBytes &b) { return b.p ? std::string((const char *)b.p, b.len) : ""; }

struct FakeContactHost : ContactHost {
  uint32_t uid = 42, server_uid = 42;
  const char *address = "me";
  bool auto_sync = true;
  std::vector<std::string> calls;
  std::vector<std::vector<uint8_t>> payloads;
  uint32_t contact_uid() override { return uid; }
  uint32_t contact_server_uid() override { return server_uid; }
  const char *contact_address() override { return address; }
  bool contact_auto_sync() override { return auto_sync; }
  int contact_send_control(uint16_t type, const char *peer, uint32_t gid, const uint8_t *payload,
                           uint32_t len) override {
    calls.push_back("send " + std::to_string(type) + " " + (peer ? peer : "-") + " " +
                    std::to_string(gid));
    payloads.emplace_back(payload, payload + len);
    return 0;
  }
  void contact_sync_start(bool groups) override { calls.push_back(groups ? "sync groups" : "sync"); }
  void contact_profile_sent(uint32_t gid) override { calls.push_back("sent " + std::to_string(gid)); }
  void contact_peer_flags(const char *a, uint32_t f, uint32_t) override {
    calls.push_back("peer " + std::string(a) + " " + std::to_string(f));
  }
  void contact_blocking_notice(const char *a, uint32_t bits, uint32_t marks) override {
    calls.push_back("block " + std::string(a) + " " + std::to_string(bits) + " " + std::to_string(marks));
  }
  void contact_presence_reset(const char *a) override { calls.push_back("presence " + std::string(a)); }
  void contact_group_flags(uint32_t gid, uint32_t set, uint32_t clear) override {
    calls.push_back("group " + std::to_string(gid) + " +" + std::to_string(set) + " -" +
                    std::to_string(clear));
  }
  void contact_group_refresh(uint32_t gid) override { calls.push_back("refresh " + std::to_string(gid)); }
};

struct Seen {
  std::string address;
  uint32_t gid, uid, flags, member_count;
  uint64_t ts;
  std::string text8, text9, thumbnail;
};

struct Listener : INotify {
  std::vector<Seen> contacts;
  std::vector<std::string> members;
  int stop_after = 0;
  int on_profile(ContactRecord *c) override {
    contacts.push_back({str(c->profile.address), c->profile.gid, c->profile.uid, c->flags,
                        c->member_count, c->ts, str(c->profile.text8), str(c->profile.text9),
                        str(c->profile.thumbnail)});
    return (int)contacts.size() == stop_after ? -1 : 0;
  }
  int on_group_member(uint32_t gid, const char *address, int type, uint32_t flags) override {
    members.push_back(std::to_string(gid) + ":" + (address ? address : "END") + ":" +
                      std::to_string(type) + ":" + std::to_string(flags));
    return 0;
  }
};

struct Contacts : StoreFixture {
  sqlite3 *h = db.handle();
  FakeContactHost ch;
  Listener app;

  // A person or group record with a name and a text 9.
  ContactRecord record(const char *address, uint32_t gid, bool server, const std::string &name,
                       const std::string &t9 = "") {
    ContactRecord c;
    memset(&c, 0, sizeof c);
    c.profile.gid = gid;
    if (address) c.profile.address = bytes(keep(address));
    c.profile.text8 = bytes(keep(name));
    if (!t9.empty()) c.profile.text9 = bytes(keep(t9));
    c.server = server;
    return c;
  }
  int save(ContactRecord c, uint32_t revision = 0, bool no_new_row = false) {
    c.prts = revision;
    std::vector<uint8_t> blob(profile_encode_size(&c.profile, nullptr, 0, false));
    int n = profile_encode(&c.profile, nullptr, 0, false, blob.data(), (uint32_t)blob.size());
    return db.saveContact(&c, blob.data(), (uint32_t)n, no_new_row, false);
  }
  std::string row(const std::string &where, const char *columns = "address, uid, gid, flag, prts") {
    return sql_rows(h, std::string("select ") + columns + " from contacts where " + where);
  }
  // Texts the records point into; a deque never moves them.
  const std::string &keep(const std::string &s) {
    texts.push_back(s);
    return texts.back();
  }
  std::deque<std::string> texts;
  void message(const char *peer, uint32_t gid, uint16_t status, uint64_t ts) {
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = ++next_id;
    p.groupid = gid;
    p.status = status;
    p.when = ts;
    p.expiry = 3600;
    db.saveMessage(&p, peer, (const uint8_t *)"x", 1);
  }
  uint64_t next_id = 5000;
};

}  // namespace

TEST(Contacts, UidAndAddressMapping) {
  Contacts c;
  uint32_t now_s = (uint32_t)(c.host.now / 1000);
  EXPECT_EQ(c.db.addUser(7, "alice"), 1);
  EXPECT_EQ(c.row("gid=0", "address, uid, udts"), "alice|7|" + std::to_string(now_s) + "\n");
  EXPECT_EQ(c.db.addUser(8, "alice"), 1);  // the address row takes the new uid
  EXPECT_EQ(c.row("gid=0", "address, uid"), "alice|8\n");
  EXPECT_EQ(c.db.addUser(8, "bob"), 1);  // the uid row takes the new address
  EXPECT_EQ(c.row("gid=0", "address, uid"), "bob|8\n");

  // Both an address row and a uid row: the address row wins, the other
  // row loses its stale uid.
  c.db.addUser(9, "carol");
  EXPECT_EQ(c.db.addUser(8, "carol"), 1);
  EXPECT_EQ(c.row("gid=0 order by address", "address, uid"), "bob|0\ncarol|8\n");

  uint32_t uid = 0, udts = 0;
  EXPECT_EQ(c.db.getUid("carol", &uid, &udts), 1);
  EXPECT_EQ(uid, 8u);
  EXPECT_EQ(c.db.getUid("o'brien\" --", &uid, &udts), 0);
  char *address = c.db.getAddress(8, &udts);
  ASSERT_NE(address, nullptr);
  EXPECT_STREQ(address, "carol");
  free(address);
  EXPECT_EQ(c.db.getAddress(12345, &udts), nullptr);

  // The core's questions, with the refresh rule.
  UserInfo info;
  EXPECT_EQ(contact_user_info(&c.db, &c.ch, 8, nullptr, &info), 1);
  EXPECT_STREQ(info.address, "carol");
  EXPECT_FALSE(info.stale);
  free(info.address);
  c.host.now += (CONTACT_UID_REFRESH_S + 1) * 1000ull;
  EXPECT_EQ(contact_user_info(&c.db, &c.ch, 0, "carol", &info), 1);
  EXPECT_EQ(info.uid, 8u);
  EXPECT_TRUE(info.stale);
  EXPECT_EQ(contact_user_info(&c.db, &c.ch, 0, "nobody", &info), 0);
  EXPECT_EQ(contact_user_info(&c.db, &c.ch, 0, nullptr, &info), 1);
  EXPECT_EQ(c.row("gid=0 and udts != 0", "address"), "");

  // Learning a pair queues a new address for its profile, once.
  EXPECT_EQ(contact_user_info(&c.db, &c.ch, 20, "dave", &info), 1);
  EXPECT_EQ(sql_rows(c.h, "select address, f from synced"), "dave|2\n");
  c.db.queueSynced("dave", 1, 0xFFFF);
  EXPECT_EQ(contact_user_info(&c.db, &c.ch, 21, "dave", &info), 1);
  EXPECT_EQ(sql_rows(c.h, "select address, f from synced"), "dave|1\n");
  c.ch.auto_sync = false;
  contact_user_info(&c.db, &c.ch, 22, "erin", &info);
  EXPECT_EQ(sql_int(c.h, "select count(1) from synced where address='erin'"), 0);

  // The self mark adds its bit and keeps the others.
  c.db.executeSQL("update contacts set flag=256 where address='carol'");
  c.db.executeSQL("insert into contacts (uid, gid, address, flag) values (0, 0, 'me', 16|512)");
  EXPECT_EQ(c.db.markSelf(8), 2);
  EXPECT_EQ(c.row("flag & 16 order by address", "address, uid, flag"), "carol|8|272\nme|8|528\n");
}

TEST(Contacts, SaveContact) {
  Contacts c;
  // A server profile of a new person marks it; a local one for the same
  // person keeps the stored revision and clears 0x100 and 0x200.
  ContactRecord server = c.record("alice", 0, true, "Alice");
  server.flags = CONTACT_FLAG_LOCAL | CONTACT_FLAG_SELF | 0x1;
  EXPECT_EQ(c.save(server, 77), 1);
  EXPECT_EQ(c.row("address='alice'"), "alice|0|0|257|77\n");  // 0x100 | 0x1
  ContactRecord local = c.record("alice", 0, false, "Ally");
  local.profile.uid = 5;
  local.flags = 0x80000 | 0x2;  // kept bits come from the row
  EXPECT_EQ(c.save(local, 99), 1);
  EXPECT_EQ(c.row("address='alice'"), "alice|5|0|1|77\n");
  EXPECT_EQ(sql_int(c.h, "select count(1) from contacts where lp is not null and p is not null"), 1);

  // Refusals.
  StdoutCapture log;
  EXPECT_EQ(c.db.saveContact(nullptr, nullptr, 0, false, false), -1);
  ContactRecord none = c.record(nullptr, 0, true, "x");
  EXPECT_EQ(c.save(none), -1);
  ContactRecord both = c.record("bob", 9, true, "x");
  EXPECT_EQ(c.save(both), -1);
  ContactRecord huge = c.record(std::string(PROFILE_ADDRESS_MAX + 1, 'a').c_str(), 0, true, "x");
  EXPECT_EQ(c.save(huge), -1);
  EXPECT_TRUE(log.contains("*** BUG *** NULL contact"));
  EXPECT_TRUE(log.contains("saveContact: no uid, gid or address"));
  // No new row when asked; groups by gid; an address with quotes is data.
  EXPECT_EQ(c.save(c.record("bob", 0, true, "Bob"), 1, true), 0);
  EXPECT_EQ(c.save(c.record(nullptr, 9, true, "Nine")), 1);
  EXPECT_EQ(c.save(c.record("o'brien\"; drop table contacts; --", 0, false, "O")), 1);
  EXPECT_EQ(c.row("1 order by rowid", "address, gid"),
            "alice|0\n|9\no'brien\"; drop table contacts; --|0\n");

  // A record naming a uid another row holds: that row loses it.
  c.db.addUser(31, "carol");
  ContactRecord dave = c.record("dave", 0, true, "Dave");
  dave.profile.uid = 31;
  EXPECT_EQ(c.save(dave), 1);
  EXPECT_EQ(c.row("address in ('carol', 'dave') order by address", "address, uid"),
            "carol|0\ndave|31\n");

  ContactRecord *got = c.db.getContact("alice", 0, false, false);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(str(got->profile.text8), "Ally");
  EXPECT_EQ(got->profile.uid, 5u);
  free(got);
  got = c.db.getContact(nullptr, 9, false, true);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(str(got->profile.text8), "Nine");
  free(got);
  EXPECT_EQ(c.db.getContact("nobody", 0, false, true), nullptr);
}

TEST(Contacts, ReadContactMergesAndOrders) {
  Contacts c;
  uint64_t T = c.host.now - 100000;
  // Server and local profiles: the local text wins unless the owner's
  // deletion mark gives the server priority; a missing server text is
  // always filled from the local one.
  c.save(c.record("alice", 0, true, "Alice", ""));
  c.save(c.record("alice", 0, false, "Ally", "nine"));
  c.save(c.record("bob", 0, true, "Bob"));
  c.save(c.record("bob", 0, false, "Bobby", "b9"));
  c.db.setContactFlags("bob", 0, CONTACT_FLAG_DELETED, 0);
  c.save(c.record("carol", 0, true, "Carol"));
  c.save(c.record(nullptr, 40, true, "Group forty"));
  c.save(c.record(nullptr, 41, true, "Left group"));
  c.db.setContactFlags(nullptr, 41, CONTACT_FLAG_LEFT, 0);
  c.db.executeSQL("update contacts set gmc=5");
  c.save(c.record(nullptr, 20, true, "Reserved gid"));            // never shown
  c.db.executeSQL("insert into contacts (address, gid) values ('blank', 0)");  // no profile
  c.save(c.record("me", 0, true, "Me"));
  c.db.addUser(42, "me");
  // Incoming messages order the list: the group by its own newest message
  // whoever sent it, persons by their one-to-one conversation only.
  c.message("carol", 0, MSG_STATUS_RECEIVED_READ, T + 5);
  c.message("alice", 0, MSG_STATUS_UNREAD, T + 3);
  c.message("alice", 40, MSG_STATUS_UNREAD, T + 50);  // alice inside group 40
  c.message("bob", 0, MSG_STATUS_SENT, T + 60);       // not incoming
  c.message("zed", 41, MSG_STATUS_RECEIVED_READ, T + 1);

  ASSERT_EQ(c.db.readContact(nullptr, 0, 0, 0, &c.app), 0);
  ASSERT_EQ(c.app.contacts.size(), 6u);
  std::vector<std::string> order;
  for (const Seen &s : c.app.contacts) order.push_back(s.gid ? std::to_string(s.gid) : s.address);
  EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 4),
            (std::vector<std::string>{"40", "carol", "alice", "41"}));
  for (const Seen &s : c.app.contacts) {
    if (s.address == "alice") {
      EXPECT_EQ(s.text8, "Ally");
      EXPECT_EQ(s.text9, "nine");
      // The local save cleared the stored server mark.
      EXPECT_EQ(s.flags, (uint32_t)CONTACT_FLAG_LOCAL);
      EXPECT_EQ(s.ts, T + 3);
    } else if (s.address == "bob") {
      EXPECT_EQ(s.text8, "Bob");
      EXPECT_EQ(s.text9, "b9");
    } else if (s.address == "carol") {
      EXPECT_EQ(s.flags, 0u);  // no local profile: the server mark is not reported
    } else if (s.address == "me") {
      EXPECT_EQ(s.flags, (uint32_t)CONTACT_FLAG_SELF);
    } else if (s.gid == 41) {
      EXPECT_EQ(s.member_count, 0u);
    } else if (s.gid == 40) {
      EXPECT_EQ(s.member_count, 5u);
      EXPECT_EQ(s.text8, "Group forty");
    }
  }

  // One contact, a limit, a stop, and the owner-deleted rule.
  c.app.contacts.clear();
  c.db.readContact("o'brien", 0, 0, 0, &c.app);
  c.db.readContact(nullptr, 0, 2, 0x1000000, &c.app);
  ASSERT_EQ(c.app.contacts.size(), 2u);
  EXPECT_EQ(c.app.contacts[1].flags & 0x1000000, 0x1000000u);
  c.app.contacts.clear();
  c.app.stop_after = 1;
  c.db.readContact(nullptr, 0, 0, 0, &c.app);
  EXPECT_EQ(c.app.contacts.size(), 1u);
  c.app.stop_after = 0;
  c.app.contacts.clear();
  c.db.queueSynced("carol", CONTACT_SYNC_DELETED, 0xFFFF);
  c.db.readContact("carol", 0, 0, 0, &c.app);
  EXPECT_EQ(c.app.contacts.size(), 0u);
  c.db.readContact("carol", 0, 0, CONTACT_FLAG_READ_MARK, &c.app);
  ASSERT_EQ(c.app.contacts.size(), 1u);
  EXPECT_EQ(c.app.contacts[0].flags & CONTACT_FLAG_READ_MARK, 0u);
}

TEST(Contacts, FlagsProfilesAndKeys) {
  Contacts c;
  c.save(c.record("alice", 0, true, "A"));
  c.save(c.record("alice", 0, false, "B"));
  c.save(c.record(nullptr, 7, true, "G"));
  EXPECT_EQ(c.db.setContactFlags(nullptr, 0, 1, 0), -1);
  EXPECT_EQ(c.db.setContactFlags("alice", 0, 0x40000, 0), 1);
  EXPECT_EQ(c.db.setContactFlags(nullptr, 7, CONTACT_FLAG_LEFT, 0), 1);
  EXPECT_EQ(c.db.getGroupFlags(7), (uint32_t)(CONTACT_FLAG_SERVER | CONTACT_FLAG_LEFT));
  EXPECT_EQ(c.db.setAddressFlags("alice", 0x80000, 0x40000), 1);
  EXPECT_EQ(c.db.clearFlagEverywhere(0x80000), 1);
  EXPECT_EQ(c.row("address='alice'", "flag"), "0\n");
  EXPECT_EQ(c.db.clearProfile("alice", 0, 2), 1);
  EXPECT_EQ(c.row("address='alice'", "flag, p is null, lp is null"), "0|1|0\n");
  EXPECT_EQ(c.db.clearProfile("alice", 0, 1), 1);
  EXPECT_EQ(c.db.clearProfile(nullptr, 0, 3), -1);
  EXPECT_EQ(c.db.clearProfile(nullptr, 7, 3), 1);
  EXPECT_EQ(c.db.contactExists(nullptr, 7), 0);
  EXPECT_EQ(c.db.contactExists("alice", 0), 1);

  const uint8_t key[] = {1, 0, 2};
  EXPECT_EQ(c.db.set_e2e(5, "alice", key, sizeof key), 1);
  EXPECT_EQ(c.db.set_e2e(6, "bob'", key, sizeof key), 1);
  EXPECT_EQ(c.row("address=\"bob'\"", "uid, hex(ep)"), "6|010002\n");
  DbBuffer out = {nullptr, 0, 0, false};
  EXPECT_EQ(c.db.getE2eKey("alice", &out), 0);
  EXPECT_EQ(out.len, 3u);
  free(out.data);

  c.db.setLastSeen("alice", 0, 1234);
  EXPECT_EQ(c.db.getLastSeen("alice"), 1234u);
  EXPECT_EQ(c.db.getOnlineValidity("alice", 9), 0u);
  EXPECT_EQ(c.db.getOnlineValidity("nobody", 9), 9u);
  c.db.setOnlineValidity("alice", 5555);
  EXPECT_EQ(c.db.getOnlineValidity("alice", 9), 5555u);
  c.db.executeSQL("update contacts set prts=3, uid=5 where address='alice'");
  uint32_t prts = 0, flags = 0;
  EXPECT_EQ(c.db.getRevisionAndFlags(5, &prts, &flags), 1);
  EXPECT_EQ(prts, 3u);
  EXPECT_EQ(c.db.maxRevision(false), 3u);
}

TEST(Contacts, Members) {
  Contacts c;
  EXPECT_EQ(c.db.setMember(7, "alice", -1, MEMBER_STORE), 1);
  EXPECT_EQ(c.db.setMember(7, "alice", -1, MEMBER_STORE), 0);  // only when absent
  EXPECT_EQ(c.db.setMember(7, "bob", MEMBER_CLASS1, MEMBER_STORE), 1);
  EXPECT_EQ(c.db.setMember(7, "bob", MEMBER_CLASS2, MEMBER_STORE), 1);
  c.db.setMarker(7, MEMBER_MARK_FULL, 100);
  c.db.setMarker(7, MEMBER_MARK_FULL, 200);  // replaced, not duplicated
  EXPECT_EQ(c.db.getMarker(7, MEMBER_MARK_FULL), 200u);
  EXPECT_EQ(c.db.getMarker(7, MEMBER_MARK_VALUE), 0u);
  EXPECT_EQ(c.db.countMembers(7), 2);
  EXPECT_EQ(c.db.readMembers(7, 0, 10, &c.app), 3);
  EXPECT_EQ(c.app.members, (std::vector<std::string>{"7:alice:0:40", "7:bob:2:8", "7:200:13:8",
                                                     "7:END:0:8"}));
  c.app.members.clear();
  EXPECT_EQ(c.db.readMembers(8, 0, 10, &c.app), 0);
  EXPECT_EQ(c.app.members, std::vector<std::string>{"8:END:0:40"});
  EXPECT_EQ(c.db.setMember(7, "alice", 0, MEMBER_REMOVE), 1);
  EXPECT_EQ(c.db.setMember(7, nullptr, 0, MEMBER_REMOVE_ALL), 2);
}

// The server's member record: a full list with member classes, then a
// removal list naming the user.
TEST(Contacts, GroupMemberRecord) {
  Contacts c;
  uint64_t T = c.host.now;
  c.save(c.record(nullptr, 7, true, "G"));
  c.db.setContactFlags(nullptr, 7, CONTACT_FLAG_GONE, 0);
  c.db.setMember(7, "stale", 0, MEMBER_STORE);

  auto member_record = [&](uint32_t flags, uint32_t counts, std::vector<std::string> addrs) {
    ProfileRecord r;
    memset(&r, 0, sizeof r);
    r.gid = 7;
    r.flags = flags;
    r.value60 = counts;
    r.value48 = 3;
    std::vector<ProfileBytes> list;
    for (const std::string &a : addrs) list.push_back(bytes(c.keep(a)));
    std::vector<uint8_t> buf(profile_encode_size(&r, list.data(), (uint32_t)list.size(), false));
    int n = profile_encode(&r, list.data(), (uint32_t)list.size(), false, buf.data(),
                           (uint32_t)buf.size());
    buf.resize(n);
    return buf;
  };
  auto full = member_record(PROFILE_MORE | PROFILE_FULL_LIST, 0x00020001, {"a", "b", "me", "d"});
  ASSERT_EQ(group_member_record(&c.db, &c.ch, &c.app, T, full.data(), (uint32_t)full.size()), 0);
  EXPECT_EQ(sql_rows(c.h, "select address, type from members where type < 11 order by id"),
            "a|1\nb|2\nme|2\nd|0\n");
  uint32_t now_s = (uint32_t)(T / 1000);
  EXPECT_EQ(c.db.getMarker(7, MEMBER_MARK_FULL), now_s);
  EXPECT_EQ(c.db.getMarker(7, MEMBER_MARK_FETCHED), now_s + 1);
  EXPECT_EQ(c.db.getMarker(7, MEMBER_MARK_VALUE), 3u);
  EXPECT_EQ(c.db.getGroupFlags(7) & CONTACT_FLAG_GONE, 0u);  // listed again
  EXPECT_EQ(c.app.members, (std::vector<std::string>{"7:a:1:32", "7:b:2:0", "7:me:2:0", "7:d:0:0",
                                                     "7:END:0:0"}));

  // A removal list older than the last full list is ignored.
  auto removal = member_record(PROFILE_REMOVAL, 0, {"me", "a"});
  group_member_record(&c.db, &c.ch, &c.app, T - 1000, removal.data(), (uint32_t)removal.size());
  EXPECT_EQ(c.db.countMembers(7), 4);
  group_member_record(&c.db, &c.ch, &c.app, T + 1000, removal.data(), (uint32_t)removal.size());
  EXPECT_EQ(sql_rows(c.h, "select address from members where type < 11 order by id"), "b\nd\n");
  EXPECT_EQ(c.db.getGroupFlags(7) & CONTACT_FLAG_LEFT, (uint32_t)CONTACT_FLAG_LEFT);
  EXPECT_EQ(c.db.getMarker(7, MEMBER_MARK_FETCHED), 0u);  // stale again
  EXPECT_NE(std::find(c.ch.calls.begin(), c.ch.calls.end(), "group 7 +8192 -0"), c.ch.calls.end());
  const uint8_t junk[] = {0x01, 0x45};
  EXPECT_EQ(group_member_record(&c.db, &c.ch, &c.app, T, junk, sizeof junk), -1);
}

TEST(Contacts, GetMembersFetchesStaleLists) {
  Contacts c;
  c.save(c.record(nullptr, 7, true, "G"));
  c.db.setMember(7, "a", 0, MEMBER_STORE);
  uint32_t now_s = (uint32_t)(c.host.now / 1000);
  c.db.setMarker(7, MEMBER_MARK_FETCHED, now_s - 10 * 86400);
  EXPECT_EQ(get_members(&c.db, &c.ch, 7, 0, 10, &c.app), 0);
  EXPECT_EQ(c.ch.calls, std::vector<std::string>{"send 42 - 7"});
  EXPECT_TRUE(c.app.members.empty());
  c.db.setMarker(7, MEMBER_MARK_FETCHED, now_s - 86400);
  EXPECT_EQ(get_members(&c.db, &c.ch, 7, 0, 10, &c.app), 2);  // a and the marker row
  // A group the user left serves what is stored, however old.
  c.db.setMarker(7, MEMBER_MARK_FETCHED, 0);
  c.db.setContactFlags(nullptr, 7, CONTACT_FLAG_LEFT, 0);
  EXPECT_EQ(get_members(&c.db, &c.ch, 7, 0, 10, &c.app), 2);
  EXPECT_EQ(c.ch.calls.size(), 1u);
}

TEST(Contacts, SetContact) {
  Contacts c;
  // A person: stored as the local profile, queued with its sync flags, and
  // delivered merged when asked.
  ContactRecord p = c.record("alice", 0, false, "Ally");
  p.profile.fields = PROFILE_FIELD_DELIVER | PROFILE_FIELD_TEXT8;
  p.profile.text9 = bytes(c.keep("dropped: not in the mask"));
  p.profile.version = 2;
  p.sync_flags = 0x4 | 0x1000000;
  ASSERT_EQ(set_contact(&c.db, &c.ch, &p, &c.app), 0);
  EXPECT_EQ(sql_rows(c.h, "select address, f from synced"), "alice|" + std::to_string(0x4 | 2 << 16) + "\n");
  ASSERT_EQ(c.app.contacts.size(), 1u);
  EXPECT_EQ(c.app.contacts[0].text8, "Ally");
  EXPECT_EQ(c.app.contacts[0].text9, "");
  EXPECT_EQ(c.ch.calls, (std::vector<std::string>{"sync", "peer alice 131076", "block alice 4 16777216",
                                                  "presence alice"}));

  // The own profile goes to the server, only when it changed.
  c.ch.calls.clear();
  ContactRecord self = c.record(nullptr, 0, false, "Me");
  self.flags = CONTACT_FLAG_SELF;
  ASSERT_EQ(set_contact(&c.db, &c.ch, &self, &c.app), 0);
  ASSERT_EQ(c.ch.calls.size(), 2u);
  EXPECT_EQ(c.ch.calls[1], "send 32 - 0");
  ProfileRecord sent;
  ASSERT_GT(profile_decode(c.ch.payloads[0].data(), (uint32_t)c.ch.payloads[0].size(), &sent,
                           nullptr, false),
            0);
  EXPECT_EQ(sent.uid, 42u);
  EXPECT_EQ(str(sent.text8), "Me");
  // Once the server's copy matches, nothing is sent.
  ContactRecord stored = c.record(nullptr, 0, true, "Me");
  stored.profile.uid = 42;
  c.save(stored);
  c.ch.calls.clear();
  ContactRecord again = c.record(nullptr, 0, false, "Me");
  again.profile.uid = 42;
  ASSERT_EQ(set_contact(&c.db, &c.ch, &again, &c.app), 0);
  EXPECT_EQ(c.ch.calls, std::vector<std::string>{"sent 0"});

  // A shared group goes to the server as a group profile.
  c.ch.calls.clear();
  ContactRecord g = c.record(nullptr, 9, false, "Nine");
  g.profile.settings[67 - PROFILE_SETTING_FIRST] = 1;
  ASSERT_EQ(set_contact(&c.db, &c.ch, &g, &c.app), 0);
  EXPECT_EQ(c.ch.calls.back(), "send 40 - 9");

  // Refusals.
  StdoutCapture log;
  ContactRecord bad = c.record(nullptr, 3, false, "x");
  bad.flags = CONTACT_FLAG_SELF;
  EXPECT_EQ(set_contact(&c.db, &c.ch, &bad, &c.app), -1);
  EXPECT_TRUE(log.contains("error: groupid set in self profile"));
  std::string big(PROFILE_SEND_MAX, 'x');
  ContactRecord large = c.record("bob", 0, false, big);
  large.profile.fields = PROFILE_FIELD_TEXT8;
  EXPECT_EQ(set_contact(&c.db, &c.ch, &large, &c.app), -1);
  EXPECT_EQ(c.db.contactExists("bob", 0), 0);
  c.ch.uid = 0;
  ContactRecord nobody = c.record(nullptr, 0, false, "x");
  nobody.flags = CONTACT_FLAG_SELF;
  EXPECT_EQ(set_contact(&c.db, &c.ch, &nobody, &c.app), -1);
}
