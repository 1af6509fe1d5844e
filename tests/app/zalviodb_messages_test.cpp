#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/zalviodb.h"
#include "store_helper.h"
#include "support/capture.h"

static MessageParams message(uint64_t id, uint16_t status, uint64_t when, uint32_t gid = 0) {
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.id = id;
  p.status = status;
  p.when = when;
  p.groupid = gid;
  p.expiry = 3600;
  return p;
}

struct MessageStore : StoreFixture {
  sqlite3 *h = db.handle();
  uint64_t now() const { return host.now; }
  // Saves a copy of `p` with a one-line text payload.
  int save(MessageParams p, const char *peer, const std::string &text = "hi") {
    return db.saveMessage(&p, peer, (const uint8_t *)text.data(), (uint32_t)text.size());
  }
  std::string col(uint64_t id, const char *column) {
    return sql_text(h, std::string("select ") + column + " from messages where mid='" +
                           std::to_string(id) + "'");
  }
  // "mid:status" of every row, by mid.
  std::string statuses() {
    std::string r = sql_rows(h, "select mid || ':' || status from messages order by mid");
    for (char &c : r)
      if (c == '\n') c = ' ';
    return r;
  }
};

TEST(MessageStore, SaveKeepsEveryValueExactly) {
  MessageStore s;
  std::string long_peer(10000, 'p');
  const std::string peers[] = {"o'brien", "x'); drop table messages; --", long_peer,
                               "bad \xff\xfe utf-8", "\"quoted\""};
  const std::string payload("a\0b\xff'\"", 6);
  uint64_t id = 1000;
  for (const std::string &peer : peers) {
    MessageParams p = message(++id, MSG_STATUS_UNREAD, s.now() - 1000);
    ASSERT_EQ(s.save(p, peer.c_str(), payload), 0) << peer.substr(0, 40);
  }
  id = 1000;
  for (const std::string &peer : peers) {
    ++id;
    EXPECT_EQ(s.col(id, "sender"), peer);
    EXPECT_EQ(s.col(id, "hex(message)"), "610062FF2722");
  }

  // Full-width values of every 64-bit column, and an id above 2^63.
  static const uint8_t thumb[] = {0, 1, 2};
  MessageParams p = message(~0ull, MSG_STATUS_OUTBOX, 1700000000123ull, 4000000000u);
  p.channel = 63;
  p.type = 65535;
  p.expiry = 4294967295u;
  p.flags = 0x8000000000000100ull;
  p.refid = 0xFFFFFFFF00000001ull;
  p.tid = ~0ull;
  p.userdata = 0x8000000000000000ull;
  p.uflags = 0xFFFFFFFFu;
  p.sensitivity = 3;
  p.agesent = 1;
  p.agerecv = 2;
  p.ageread = 3;
  p.thumbnail = thumb;
  p.thumbnail_len = sizeof thumb;
  p.filepath = "Images/Sent/2027-03/a'b.jpg";
  ASSERT_EQ(s.save(p, "bob"), 0);
  EXPECT_EQ(s.db.messageExists(~0ull), 1);
  EXPECT_EQ(sql_rows(s.h, "select mid, gid, channel, type, ts, status, expiry, sender, "
                          "hex(thumbnail), filepath, rts, uflags, sens, ages, ager, agerd from "
                          "messages where sender='bob'"),
            "18446744073709551615|4000000000|63|65535|1700000000123|0|4294967295|bob|000102|"
            "Images/Sent/2027-03/a'b.jpg|1700000001123|4294967295|3|1|2|3\n");
  auto u64 = [&](const char *column) {
    return (uint64_t)sql_int(s.h, std::string("select ") + column + " from messages where sender='bob'");
  };
  EXPECT_EQ(u64("flag"), p.flags);
  EXPECT_EQ(u64("refid"), p.refid);
  EXPECT_EQ(u64("tid"), p.tid);
  EXPECT_EQ(u64("ud"), p.userdata);
  EXPECT_EQ(s.db.getMessageTime(~0ull), 1700000000123ull);
  EXPECT_EQ(s.db.deleteMessage(~0ull, false), 1);
  EXPECT_EQ(sql_rows(s.h, "select name from sqlite_master where name='messages'"), "messages\n");
}

TEST(MessageStore, RetentionDeadlineAtSave) {
  MessageStore s;
  uint64_t T = s.now() - 30000, N = s.now();
  struct Case {
    uint16_t status;
    uint32_t agesent, agerecv, ageread;
    uint64_t rts;
  } cases[] = {
      {MSG_STATUS_OUTBOX, 60, 0, 0, T + 60000},
      {MSG_STATUS_OUTBOX, 0, 10, 10, 0},           // receiving ages are for incoming rows
      {MSG_STATUS_UNREAD, 0, 10, 0, N + 10000},
      {MSG_STATUS_UNREAD, 60, 10, 0, N + 10000},   // the earlier one wins
      {MSG_STATUS_UNREAD, 20, 10, 0, T + 20000},
      {MSG_STATUS_UNREAD, 0, 0, 5, 0},             // read age counts once read
      {MSG_STATUS_RECEIVED_READ, 0, 10, 5, N + 5000},
      {MSG_STATUS_RECEIVED_READ, 0, 0, 0, 0},
  };
  uint64_t id = 1;
  for (const Case &c : cases) {
    MessageParams p = message(id, c.status, T);
    p.agesent = c.agesent, p.agerecv = c.agerecv, p.ageread = c.ageread;
    ASSERT_EQ(s.save(p, "alice"), 0);
    EXPECT_EQ(s.col(id, "rts"), std::to_string(c.rts)) << "case " << id;
    id++;
  }
}

TEST(MessageStore, DuplicateIds) {
  const uint64_t server_id = (7ull << 32) | 5;
  struct Case {
    const char *name;
    uint64_t id;
    uint16_t status;
    uint64_t syncid;
    int rv;          // of the second save
    int rows;        // with the id's high half
    bool logged;
  } cases[] = {
      {"realtime incoming", server_id, MSG_STATUS_UNREAD, 0, 0, 2, false},
      {"sync batch repeat", server_id, MSG_STATUS_UNREAD, 99, -1, 1, false},
      {"outgoing", server_id, MSG_STATUS_OUTBOX, 0, -1, 1, true},
      {"own 32-bit id", 5, MSG_STATUS_UNREAD, 0, -1, 1, true},
  };
  for (const Case &c : cases) {
    MessageStore s;
    MessageParams first = message(c.id, c.status, 1000);
    ASSERT_EQ(s.save(first, "alice", "first"), 0);
    MessageParams second = message(c.id, c.status, 2000);
    second.syncid = c.syncid;
    StdoutCapture out;
    EXPECT_EQ(s.save(second, "alice", "second"), c.rv) << c.name;
    std::string log = out.text();
    EXPECT_EQ(log.find("Unable to save message") != std::string::npos, c.logged) << c.name;
    EXPECT_EQ(log.find("sql error in insert") != std::string::npos, c.logged) << c.name;
    uint64_t high = c.id >> 32;
    EXPECT_EQ(sql_int(s.h, "select count(1) from messages where (cast(mid as integer) >> 32) = " +
                               std::to_string(high)),
              c.rows)
        << c.name;
    std::string stored = s.col(c.id, "message");
    EXPECT_EQ(stored, c.rv == 0 ? "second" : "first") << c.name;
    if (c.rows == 2) {  // the older row moved to a new id with the same high half
      EXPECT_EQ(sql_text(s.h, "select message from messages where mid != '" +
                                  std::to_string(c.id) + "'"),
                "first");
    }
  }
}

TEST(MessageStore, SaveGuardsAndUpdateFlag) {
  MessageStore s;
  {
    StdoutCapture out;
    EXPECT_EQ(s.save(message(0, MSG_STATUS_UNREAD, 1), "alice"), 0);
    EXPECT_TRUE(out.contains("zero id - not saving"));
  }
  {
    StdoutCapture out;
    MessageParams p = message(1, MSG_STATUS_UNREAD, 1);
    EXPECT_EQ(s.db.saveMessage(&p, "alice", nullptr, 0), -1);
    EXPECT_EQ(s.db.saveMessage(&p, nullptr, (const uint8_t *)"x", 1), -1);
    EXPECT_TRUE(out.contains("*** BUG *** NULL data"));
  }
  EXPECT_EQ(sql_int(s.h, "select count(1) from messages"), 0);

  MessageParams g = message(2, MSG_STATUS_UNREAD, 1, 5);
  EXPECT_EQ(s.db.saveMessage(&g, nullptr, (const uint8_t *)"x", 1), 0);
  EXPECT_EQ(g.saved, 1);
  EXPECT_EQ(s.col(2, "sender"), "");
  {
    StdoutCapture out;
    g.id = 3;
    EXPECT_EQ(s.db.saveMessage(&g, nullptr, (const uint8_t *)"x", 1), 0);
    EXPECT_TRUE(out.contains("*** BUG *** save called on savedMessage"));
  }

  // Bit 43 turns the save into an update of text and flags; an id with a
  // sender half matches the sender too.
  const uint64_t big = (9ull << 32) | 1;
  ASSERT_EQ(s.save(message(big, MSG_STATUS_UNREAD, 1), "alice", "old"), 0);
  MessageParams edit = message(big, MSG_STATUS_UNREAD, 1);
  edit.flags = DB_FLAG_UPDATE | 0x40000;
  EXPECT_EQ(s.save(edit, "mallory", "forged"), 0);
  EXPECT_EQ(s.col(big, "message"), "old");
  EXPECT_EQ(s.save(edit, "alice", "new"), 0);
  EXPECT_EQ(s.col(big, "message"), "new");
  EXPECT_EQ(s.col(big, "flag"), "262144");
  EXPECT_EQ(sql_int(s.h, "select count(1) from messages"), 3);
}

TEST(MessageStore, StatusReports) {
  const uint64_t T = 1700000000000ull;
  struct Case {
    const char *name;
    int from;          // stored status
    int report;
    int to;            // status afterwards
  } cases[] = {
      {"sent", 0, 1, 1},
      {"delivered", 1, 2, 2},
      {"delivered out of failure", 130, 2, 2},
      {"never backwards", 2, 1, 2},
      {"failure of a sent message", 1, 130, 130},
      {"failure never hides delivery", 2, 130, 2},
      {"failure never hides reading", 3, 131, 3},
  };
  for (const Case &c : cases) {
    MessageStore s;
    MessageParams p = message(1, (uint16_t)c.from, T);
    ASSERT_EQ(s.save(p, "alice"), 0);
    EXPECT_GE(s.db.updateStatus(1, c.report, "alice", 0, T + 10), 0);
    EXPECT_EQ(s.col(1, "status"), std::to_string(c.to)) << c.name;
  }

  // Retention restarts from sending (ages) and from delivery (ager), the
  // latter only when that is earlier.
  MessageStore s;
  MessageParams a = message(1, MSG_STATUS_OUTBOX, T);
  a.agesent = 60;
  ASSERT_EQ(s.save(a, "alice"), 0);
  EXPECT_EQ(s.col(1, "rts"), std::to_string(T + 60000));
  s.db.updateStatus(1, MSG_STATUS_SENT, "alice", 0, T + 5000);
  EXPECT_EQ(s.col(1, "rts"), std::to_string(T + 65000));
  ASSERT_EQ(s.db.execArgs("update messages set ager=10, rts=? where mid='1'", {db_u64(T + 99999)}),
            1);
  s.db.updateStatus(1, MSG_STATUS_DELIVERED, "alice", 0, T + 6000);
  EXPECT_EQ(s.col(1, "rts"), std::to_string(T + 16000));
  ASSERT_EQ(s.db.executeSQL("update messages set status=1 where mid='1'"), 1);
  s.db.updateStatus(1, MSG_STATUS_DELIVERED, "alice", 0, T + 9000);
  EXPECT_EQ(s.col(1, "rts"), std::to_string(T + 16000));
}

TEST(MessageStore, ReadReceiptCoversEarlierMessagesOfTheConversation) {
  MessageStore s;
  const uint64_t T = 1700000000000ull;
  struct Row {
    uint64_t id;
    uint16_t status;
    uint64_t ts;
    uint32_t gid;
    const char *peer;
  } rows[] = {
      {1, 1, T + 100, 0, "alice"}, {2, 2, T + 200, 0, "alice"}, {3, 0, T + 250, 0, "alice"},
      {4, 1, T + 300, 0, "alice"}, {5, 1, T + 400, 0, "alice"}, {6, 1, T + 150, 5, "alice"},
      {7, 1, T + 100, 0, "bob"},   {8, 2, T + 200, 5, "carol"}, {9, 1, T + 500, 5, "carol"},
  };
  for (const Row &r : rows) {
    MessageParams p = message(r.id, r.status, r.ts, r.gid);
    if (r.id == 2) p.ageread = 30;
    ASSERT_EQ(s.save(p, r.peer), 0);
  }
  EXPECT_EQ(s.db.updateStatus(4, MSG_STATUS_READ, "alice", 0, T + 1000), 3);
  EXPECT_EQ(s.statuses(), "1:3 2:3 3:0 4:3 5:1 6:1 7:1 8:2 9:1 ");
  EXPECT_EQ(s.col(2, "rts"), std::to_string(T + 1000 + 30000));
  EXPECT_EQ(s.db.updateStatus(8, MSG_STATUS_READ, nullptr, 5, T + 1000), 2);  // 6 and 8
  EXPECT_EQ(s.statuses(), "1:3 2:3 3:0 4:3 5:1 6:3 7:1 8:3 9:1 ");
}

TEST(MessageStore, MarkReadStaysInItsConversation) {
  const uint64_t T = 1700000000000ull;
  struct Case {
    uint32_t gid;
    const char *peer;
    uint64_t from, to;
    const char *statuses;
  } cases[] = {
      {0, "alice", 0, 0, "1:19 2:19 3:18 4:18 5:19 "},
      {0, "alice", T + 150, T + 250, "1:18 2:19 3:18 4:18 5:19 "},
      {5, nullptr, 0, 0, "1:18 2:18 3:19 4:18 5:19 "},
      {5, "alice", 0, 0, "1:18 2:18 3:19 4:18 5:19 "},
      {0, "", 0, 0, "1:18 2:18 3:18 4:18 5:19 "},
      {0, nullptr, 0, 0, "1:18 2:18 3:18 4:18 5:19 "},
  };
  for (const Case &c : cases) {
    MessageStore s;
    ASSERT_EQ(s.save(message(1, 18, T + 100), "alice"), 0);
    MessageParams two = message(2, 18, T + 200);
    two.ageread = 60;
    ASSERT_EQ(s.save(two, "alice"), 0);
    ASSERT_EQ(s.save(message(3, 18, T + 300, 5), "alice"), 0);
    ASSERT_EQ(s.save(message(4, 18, T + 100), "bob"), 0);
    ASSERT_EQ(s.save(message(5, 19, T + 100), "alice"), 0);
    s.db.markRead(c.gid, c.peer, c.from, c.to);
    EXPECT_EQ(s.statuses(), c.statuses) << c.gid << " " << (c.peer ? c.peer : "null") << " " << c.from;
    if (s.col(2, "status") == "19") {
      EXPECT_EQ(s.col(2, "rts"), std::to_string(s.now() + 60000));
    }
  }
}

TEST(MessageStore, DeleteMessagesByFilter) {
  const uint64_t T = 1700000000000ull;
  struct Case {
    const char *name;
    int channel, type;
    const char *peer;
    uint32_t gid;
    int status;
    uint64_t until;
    int deleted;
    const char *left;
  } cases[] = {
      {"one-to-one with alice", -1, -1, "alice", 0, -1, 0, 2, "3:18 4:18 5:18 6:1 "},
      {"group 5", -1, -1, nullptr, 5, -1, 0, 2, "1:18 2:18 4:18 6:1 "},
      {"alice in group 5", -1, -1, "alice", 5, -1, 0, 1, "1:18 2:18 4:18 5:18 6:1 "},
      {"channel 1", 1, -1, nullptr, 0, -1, 0, 1, "1:18 3:18 4:18 5:18 6:1 "},
      {"type 7", -1, 7, nullptr, 0, -1, 0, 1, "1:18 2:18 3:18 4:18 5:18 "},
      {"status 1", -1, -1, nullptr, 0, 1, 0, 1, "1:18 2:18 3:18 4:18 5:18 "},
      {"alice until T+100", -1, -1, "alice", 0, -1, T + 100, 1, "2:18 3:18 4:18 5:18 6:1 "},
      {"nothing named", -1, -1, "", 0, -1, 0, 0, "1:18 2:18 3:18 4:18 5:18 6:1 "},
  };
  for (const Case &c : cases) {
    MessageStore s;
    ASSERT_EQ(s.save(message(1, 18, T + 100), "alice"), 0);
    MessageParams two = message(2, 18, T + 200);
    two.channel = 1;
    ASSERT_EQ(s.save(two, "alice"), 0);
    ASSERT_EQ(s.save(message(3, 18, T + 300, 5), "alice"), 0);
    ASSERT_EQ(s.save(message(4, 18, T + 100), "bob"), 0);
    ASSERT_EQ(s.save(message(5, 18, T + 100, 5), "carol"), 0);
    MessageParams six = message(6, 1, T + 100);
    six.type = 7;
    ASSERT_EQ(s.save(six, "dave"), 0);
    EXPECT_EQ(s.db.deleteMessages(c.channel, c.type, c.peer, c.gid, c.status, c.until), c.deleted)
        << c.name;
    EXPECT_EQ(s.statuses(), c.left) << c.name;
  }
}

TEST(MessageStore, LeftGroupsGoWithTheirLastMessage) {
  MessageStore s;
  ASSERT_EQ(s.db.executeSQL("insert into contacts (uid, gid, address, flag) values "
                            "(0, 5, '', 128), (0, 6, '', 8192), (0, 7, '', 0), (0, 8, '', 128)"),
            4);
  ASSERT_EQ(s.save(message(1, 18, 100, 5), "alice"), 0);
  ASSERT_EQ(s.save(message(2, 18, 100, 6), "alice"), 0);
  ASSERT_EQ(s.save(message(3, 18, 100, 7), "alice"), 0);
  ASSERT_EQ(s.save(message(4, 18, 100, 8), "alice"), 0);
  auto groups = [&] { return sql_rows(s.h, "select gid from contacts order by gid"); };

  EXPECT_EQ(s.db.deleteMessages(-1, -1, nullptr, 5, -1, 1000), 1);  // with a time limit
  EXPECT_EQ(groups(), "5\n6\n7\n8\n");
  EXPECT_EQ(s.db.deleteMessages(-1, -1, nullptr, 7, -1, 0), 1);  // not left
  EXPECT_EQ(s.db.deleteMessages(-1, -1, nullptr, 6, -1, 0), 1);
  EXPECT_EQ(groups(), "5\n7\n8\n");
  s.db.startupSweep();  // every group at once
  EXPECT_EQ(groups(), "7\n8\n");
}

TEST(MessageStore, DeleteOneMessage) {
  MessageStore s;
  static const uint8_t thumb[] = {1, 2};
  for (uint64_t id : {1, 2, 3}) {
    MessageParams p = message(id, 19, 100);
    p.flags = DB_FLAG_RICH | 0x1;
    p.thumbnail = thumb;
    p.thumbnail_len = 2;
    p.filepath = "Files/x";
    ASSERT_EQ(s.save(p, "alice"), 0);
  }
  ASSERT_EQ(s.db.executeSQL("insert into mstatus values (1, 7, 1, 1), (2, 7, 1, 1), (2, 8, 1, 1), "
                            "(3, 7, 1, 1), (99, 7, 1, 1)"),
            5);
  EXPECT_EQ(s.db.deleteMessage(1, true), 1);
  EXPECT_EQ(sql_rows(s.h, "select message, hex(thumbnail), filepath, flag from messages where mid='1'"),
            " - |20||" + std::to_string(DB_FLAG_TOMBSTONE | 1) + "\n");
  EXPECT_EQ(s.db.deleteMessage(2, false), 1);
  EXPECT_EQ(s.col(2, "count(1)"), "0");
  EXPECT_EQ(s.db.deleteMessage(2, false), 0);
  // Receipts of the two, and the orphan 99, are gone.
  EXPECT_EQ(sql_rows(s.h, "select id, uid from mstatus order by id"), "3|7\n");
}

TEST(MessageStore, ExpiryAndRetentionSweeps) {
  MessageStore s;
  const uint64_t N = s.now();
  struct Row {
    uint64_t id;
    uint16_t status;
    uint64_t when;
    uint32_t expiry;
    uint64_t flags;
    uint64_t rts;
  } rows[] = {
      {1, 0, N - 9000, 10, 0, 0},                     // expires within the margin
      {2, 0, N - 7000, 10, 0, 0},                     // still 3 s to go
      {3, 0, N - 60000, 10, DB_FLAG_NO_EXPIRY, 0},    // excluded
      {4, 1, N - 60000, 10, 0, 0},                    // already sent
      {5, 3, N - 60000, 0, 0, N - 1},                 // retention passed
      {6, 0, N - 60000, 100000, 0, N - 1},            // the outbox is never retained away
      {7, 19, N - 60000, 0, 0, N + 60000},            // not yet
  };
  for (const Row &r : rows) {
    MessageParams p = message(r.id, r.status, r.when);
    p.expiry = r.expiry;
    p.flags = r.flags;
    ASSERT_EQ(s.save(p, "alice"), 0);
    ASSERT_EQ(s.db.execArgs("update messages set rts=? where mid=?", {db_u64(r.rts), db_mid(r.id)}),
              1);
  }
  s.db.startupSweep();
  EXPECT_EQ(s.statuses(), "1:132 2:0 3:0 4:1 6:0 7:19 ");
}

TEST(MessageStore, OtherStatusStatements) {
  MessageStore s;
  const uint16_t initial[] = {130, 131, 145, 2, 132, 0};
  for (uint64_t i = 0; i < 6; i++) ASSERT_EQ(s.save(message(i + 1, initial[i], 100 + i), "alice"), 0);
  for (uint64_t i = 1; i <= 6; i++) s.db.resetFailedStatus(i);
  EXPECT_EQ(s.statuses(), "1:0 2:131 3:145 4:2 5:0 6:0 ");

  EXPECT_EQ(s.db.replaceStatus(131, 19), 1);
  EXPECT_EQ(s.db.setStatusByIdAndSender(3, 1, "bob"), 0);
  EXPECT_EQ(s.db.setStatusByIdAndSender(3, 1, "alice"), 1);
  EXPECT_EQ(s.statuses(), "1:0 2:19 3:1 4:2 5:0 6:0 ");

  MessageParams t = message(7, 1, 1, 0);
  t.channel = CHANNEL_TRANSIENT;
  ASSERT_EQ(s.save(t, "alice"), 0);
  t = message(8, 0, 1);
  t.channel = CHANNEL_SYSTEM;
  ASSERT_EQ(s.save(t, "alice"), 0);
  ASSERT_EQ(s.save(message(9, 19, 1), ""), 0);
  ASSERT_EQ(s.save(message(10, 19, 1, 5), ""), 0);
  EXPECT_EQ(s.db.deleteTransient(), 1);
  EXPECT_EQ(s.db.deleteSenderless(), 1);
  EXPECT_EQ(s.statuses(), "1:0 10:19 2:19 3:1 4:2 5:0 6:0 8:0 ");
}

TEST(MessageStore, ResendPutsRecentSentMessagesBack) {
  MessageStore s;
  const uint64_t T = 1700000000000ull;
  struct Row {
    uint64_t id;
    uint16_t status;
    uint64_t ts;
    uint32_t gid;
    const char *peer;
  } rows[] = {
      {1, 2, T + 100, 0, "alice"}, {2, 1, T + 200, 0, "alice"}, {3, 3, T + 300, 0, "alice"},
      {4, 2, T + 400, 0, "alice"}, {5, 1, T + 500, 0, "alice"}, {6, 1, T + 300, 5, "alice"},
      {7, 1, T + 300, 0, "bob"},
  };
  for (const Row &r : rows) ASSERT_EQ(s.save(message(r.id, r.status, r.ts, r.gid), r.peer), 0);
  ASSERT_EQ(s.db.executeSQL("insert into mstatus values (4, 9, 1, 1), (1, 9, 1, 1)"), 2);
  EXPECT_EQ(s.db.set_status_pending_all_forced("alice", 2, 2), 2);  // from 2 on, at most 2
  EXPECT_EQ(s.statuses(), "1:2 2:0 3:3 4:0 5:1 6:1 7:1 ");
  EXPECT_EQ(sql_rows(s.h, "select id from mstatus"), "1\n");
  EXPECT_EQ(s.db.set_status_pending_all_forced("alice", 999, 32), 1);  // unknown: the newest
  EXPECT_EQ(s.statuses(), "1:2 2:0 3:3 4:0 5:0 6:1 7:1 ");
  EXPECT_EQ(s.db.set_status_pending_all_forced("nobody", 1, 32), 0);
}

TEST(MessageStore, AttachmentsAndLookups) {
  MessageStore s;
  ASSERT_EQ(s.save(message(1, 0, 100), "alice", "with file"), 0);
  ASSERT_EQ(s.save(message(2, 0, 200), "alice", "later"), 0);
  ASSERT_EQ(s.save(message(3, 0, 300), "alice", "copy"), 0);
  static const uint8_t thumb[] = {9, 0, 9};
  EXPECT_EQ(s.db.updateMessageFields(1, 0x400, 1, thumb, 3, "Files/a'b", "tag'1",
                                     "https://x/1?a='b'"),
            0);
  EXPECT_EQ(sql_rows(s.h, "select status, flag, hex(thumbnail), filepath, ftg, url from messages "
                          "where mid='1'"),
            "1|1024|090009|Files/a'b|tag'1|https://x/1?a='b'\n");
  EXPECT_EQ(s.db.updateMessageFields(0, 1, 1, nullptr, 0, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(s.db.updateMessageFields(1, 0, -1, nullptr, 0, nullptr, "", ""), -1);
  EXPECT_EQ(s.db.updateMessageUrl(2, "https://x/1?a='b'"), 0);
  EXPECT_EQ(s.db.getIdByUrl("https://x/1?a='b'"), 2u);  // the newest
  EXPECT_EQ(s.db.getIdByUrl("https://none"), 0u);

  DbBuffer out = {nullptr, 0, 0, false};
  EXPECT_EQ(s.db.getMessageByFilePath("Files/a'b", &out), 0);
  EXPECT_EQ(std::string((char *)out.data, out.len), "with file");
  EXPECT_EQ(s.db.getFilePathByTag("tag'1", &out), 0);
  EXPECT_EQ(std::string((char *)out.data, out.len), "Files/a'b");
  free(out.data);

  EXPECT_EQ(s.db.copyAttachment(1, 3), 1);
  EXPECT_EQ(s.col(3, "filepath"), "Files/a'b");
  EXPECT_EQ(s.col(3, "hex(thumbnail)"), "090009");
  EXPECT_EQ(s.db.setMessageFlags(3, 0x8000000000000001ull, 0x400), 1);
  EXPECT_EQ((uint64_t)sql_int(s.h, "select flag from messages where mid='3'"), 0x8000000000000001ull);
  EXPECT_EQ(s.db.setMessageFlags(3, 0, 0x8000000000000000ull), 1);
  EXPECT_EQ(s.col(3, "flag"), "1");
  EXPECT_EQ(s.db.getMessageTime(2), 200u);
  EXPECT_EQ(s.db.getMessageTime(9), 0u);
  EXPECT_EQ(s.db.messageExists(2), 1);
  EXPECT_EQ(s.db.messageExists(9), 0);
}

TEST(MessageStore, ClosedStoreRefusesEverything) {
  FakeHost host;
  ZalvioDB db(&host);
  MessageParams p = message(1, 18, 1);
  const uint8_t x = 'x';
  EXPECT_EQ(db.saveMessage(&p, "a", &x, 1), -1);
  EXPECT_EQ(db.updateMessage(&p, "a", &x, 1), -1);
  EXPECT_EQ(db.updateMessageFields(1, 1, 1, nullptr, 0, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(db.setMessageFlags(1, 1, 0), -1);
  EXPECT_EQ(db.resetFailedStatus(1), -1);
  EXPECT_EQ(db.set_status_pending_all_forced("a", 1, 32), -1);
  EXPECT_EQ(db.updateStatus(1, 1, "a", 0, 0), -1);
  EXPECT_EQ(db.markRead(0, "a", 0, 0), -1);
  EXPECT_EQ(db.deleteMessage(1, true), -1);
  EXPECT_EQ(db.deleteMessages(-1, -1, "a", 0, -1, 0), -1);
  EXPECT_EQ(db.expireOutbox(), -1);
  EXPECT_EQ(db.deleteRetained(), -1);
  EXPECT_EQ(db.messageExists(1), 0);
  EXPECT_EQ(db.getIdByUrl("u"), 0u);
}
