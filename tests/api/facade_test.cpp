// The public facade: creation, the data directory, the notification
// mapping, the listener hand-over, argument mapping onto the engine and
// bad input at the public boundary.
#include "api/zalvio.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "fake_engine_helper.h"
#include "support/tempdir.h"

// ---- creation ---------------------------------------------------------------

static std::atomic<int> g_engines_made{0};
static std::atomic<uint32_t> g_queue_asked{0};

static IZalvio *slow_counting_engine(const char *path, uint32_t queue_size) {
  g_engines_made++;
  g_queue_asked = queue_size;
  usleep(20000);  // keeps the second caller waiting on a half-built facade
  return query_zalvio_base(path, queue_size);
}

// Runs in a fresh process: two threads race to create the facade. Exit 0
// when both got the same, fully set-up object over one engine created with
// `expected_queue` bytes.
static void race_for_facade(int buffer_size, uint32_t expected_queue) {
  bool ok;
  {
    TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    zalvio_set_engine_factory(slow_counting_engine);
    std::atomic<int> ready{0};
    Zalvio *got[2] = {nullptr, nullptr};
    std::string base[2];
    uint64_t message_id[2] = {0, 0};
    auto create = [&](int i) {
      ready++;
      while (ready.load() < 2) {
      }
      got[i] = ZalvioInstance(buffer_size);
      base[i] = got[i]->getBasePath();
      ZalvioMessage *m = ZalvioMessageInstance("a", 0);  // needs the engine published too
      message_id[i] = m->id;
      delete m;
    };
    std::thread a(create, 0), b(create, 1);
    a.join();
    b.join();
    std::string dir = home.path() + "/.zalvio";
    ok = got[0] && got[0] == got[1] && g_engines_made == 1 && g_queue_asked == expected_queue &&
         base[0] == dir && base[1] == dir && message_id[0] && message_id[1];
  }
  exit(ok ? 0 : 1);
}

TEST(FacadeCreation, TwoThreadsGetOneFullySetUpFacadeOverOneEngine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process per statement
  EXPECT_EXIT(race_for_facade(0, 128000), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(race_for_facade(1000, 64000), testing::ExitedWithCode(0), "");
}

TEST(FacadeCreation, DataDirectoryRule) {
  uid_t me = getuid();
  struct passwd *pw = getpwuid(me);
  ASSERT_NE(pw, nullptr);
  std::string own_home = std::string(pw->pw_dir) + "/.zalvio";
  const uid_t nobody_known = 0x7ffffff0;
  std::string long_home(1100, 'h');

  struct Case {
    const char *home;
    uid_t uid;
    std::string expected;
  } cases[] = {
      {"/srv/app", me, "/srv/app/.zalvio"},
      {nullptr, me, own_home},       // HOME unset: the password entry
      {"", me, own_home},            // an empty HOME counts as unset
      {long_home.c_str(), me, "/var/tmp/.zalvio"},
  };
  char out[FACADE_DATA_DIR_SIZE];
  for (const Case &c : cases) {
    int n = zalvio_data_directory(c.home, c.uid, out, sizeof out);
    EXPECT_EQ(std::string(out), c.expected) << (c.home ? c.home : "(null)");
    EXPECT_EQ(n, (int)c.expected.size());
  }
  if (getpwuid(nobody_known) == nullptr) {
    zalvio_data_directory(nullptr, nobody_known, out, sizeof out);
    EXPECT_STREQ(out, "/var/tmp/.zalvio");
  }
}

// ---- fixture over the process's facade -------------------------------------

class Facade : public testing::Test {
 protected:
  void SetUp() override {
    z = test_facade();
    engine().clear();
    sink = engine().sink;
    ASSERT_NE(sink, nullptr);
  }
  void TearDown() override { z->setListener(nullptr); }

  static MessageParams record(uint64_t id, uint64_t flags = 0, uint16_t status = 18) {
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = id;
    p.flags = flags;
    p.status = status;
    p.when = 1700000000000ull;
    return p;
  }

  Zalvio *z = nullptr;
  INotify *sink = nullptr;
};

TEST_F(Facade, DefaultDataDirectoryIsUnderHome) {
  std::string base = z->getBasePath();
  EXPECT_EQ(base, std::string(getenv("HOME")) + "/.zalvio");
  EXPECT_NE(std::string(z->getImagePath(1)).find(base + "/Images/Sent/"), std::string::npos);
  EXPECT_EQ(ZalvioInstance(5), z);
  EXPECT_EQ(ZalvioPythonInstance(0, "1.0"), z);
}

// ---- notification mapping ---------------------------------------------------

static const uint64_t BIT43 = 1ull << 43, BIT59 = 1ull << 59;

TEST_F(Facade, NotificationsBecomeListenerCallbacks) {
  RecordingListener l;
  z->setListener(&l);
  MessageParams p = record(77);
  p.groupid = 9;
  struct Case {
    const char *what;
    std::function<void()> fire;
    const char *kind;  // null: nothing heard
    int status;
  } cases[] = {
      {"plain message", [&] { sink->on_message(&p, "bob", (const uint8_t *)"abc", 3); }, "message", 18},
      {"status", [&] { sink->on_message_status(&p, "bob", 1); }, "status", 18},
      {"update (bit 43)",
       [&] {
         MessageParams u = record(78, BIT43);
         sink->on_message_bundle(&u, "bob", nullptr);
       },
       "update", 18},
      {"online", [&] { sink->on_status(STATUS_ONLINE, 0, 0, 0); }, "connection", 1},
      {"bundle acknowledged (11) hidden", [&] { sink->on_status(STATUS_SENT, 0, 0, 0); }, nullptr, 0},
      {"account notice", [&] { sink->on_status(STATUS_ACCOUNT_NOTICE, 7, 0, 0); }, "connection", 20},
      {"typing", [&] { sink->on_activity(&p, "bob", 3, 0); }, "presence", 3},
      {"e2e", [&] { sink->on_e2e_status("bob", 2); }, "e2e", 2},
  };
  for (const Case &c : cases) {
    size_t before = l.heard().size();
    c.fire();
    auto heard = l.heard();
    if (!c.kind) {
      EXPECT_EQ(heard.size(), before) << c.what;
      continue;
    }
    ASSERT_EQ(heard.size(), before + 1) << c.what;
    EXPECT_EQ(heard.back().kind, c.kind) << c.what;
    EXPECT_EQ(heard.back().status, c.status) << c.what;
  }
  auto heard = l.heard();
  EXPECT_EQ(heard[0].text, "abc");
  EXPECT_EQ(heard[0].peer, "bob");
  EXPECT_EQ(heard[0].groupid, 9u);
  EXPECT_EQ(heard[5].groupid, 9u);  // the presence carries the record's group
  EXPECT_EQ(sink->on_thumbnail_request(1, "/x", nullptr), -1);
}

// Records what the engine had been asked when the callback ran, and
// releases the lent message (which must not free it).
class DownloadWatcher : public RecordingListener {
 public:
  int onMessage(ZalvioMessage &m) override {
    transfers_at_callback = engine().transfers.size();
    m.release();
    EXPECT_STREQ(m.peer, "bob");
    return RecordingListener::onMessage(m);
  }
  size_t transfers_at_callback = 99;
};

TEST_F(Facade, DownloadStartsBeforeDeliveryUnlessUpdateOrFailed) {
  MessageBundle b;
  memset(&b, 0, sizeof b);
  b.transfer_mode = 2;

  MessageParams p = record(31, MSG_FLAG_RICH);
  sink->on_message_bundle(&p, "bob", &b);  // no listener: ignored
  EXPECT_TRUE(engine().transfers.empty());

  DownloadWatcher l;
  z->setListener(&l);
  sink->on_message_bundle(&p, "bob", &b);
  ASSERT_EQ(engine().transfers.size(), 1u);
  EXPECT_EQ(engine().transfers[0], 31u);
  EXPECT_EQ(l.transfers_at_callback, 1u);

  for (uint64_t flag : {BIT43, BIT59}) {
    MessageParams q = record(32, MSG_FLAG_RICH | flag);
    b.transfer_mode = 1;
    sink->on_message_bundle(&q, "bob", &b);
  }
  EXPECT_EQ(engine().transfers.size(), 1u);
  auto heard = l.heard();
  ASSERT_EQ(heard.size(), 3u);
  EXPECT_EQ(heard[1].kind, "update");
  EXPECT_EQ(heard[2].kind, "message");
}

class ThrowingListener : public RecordingListener {
 public:
  int onMessage(ZalvioMessage &m) override {
    RecordingListener::onMessage(m);
    throw std::runtime_error("application bug");
  }
  int onConnectionStatus(int) override { throw 42; }
};

TEST_F(Facade, ListenerExceptionsStopAtTheFacade) {
  ThrowingListener l;
  z->setListener(&l);
  MessageParams p = record(5);
  EXPECT_NO_THROW(sink->on_message(&p, "bob", (const uint8_t *)"x", 1));
  EXPECT_NO_THROW(sink->on_message(&p, "bob", (const uint8_t *)"y", 1));
  EXPECT_EQ(l.heard().size(), 2u);
  EXPECT_NO_THROW(sink->on_status(STATUS_OFFLINE, 0, 0, 0));
  // A refused start reports on the caller's thread: it must come back too.
  EXPECT_EQ(z->start(), -1);
}

// ---- listener hand-over -----------------------------------------------------

// Blocks in onMessage until released.
class BlockingListener : public RecordingListener {
 public:
  int onMessage(ZalvioMessage &m) override {
    std::unique_lock<std::mutex> guard(lock);
    entered = true;
    changed.notify_all();
    changed.wait(guard, [&] { return released; });
    return RecordingListener::onMessage(m);
  }
  std::mutex lock;
  std::condition_variable changed;
  bool entered = false, released = false;
};

TEST_F(Facade, SetListenerWaitsForCallbacksOfTheOldListener) {
  BlockingListener old_listener;
  RecordingListener next;
  z->setListener(&old_listener);
  MessageParams p = record(6);
  std::thread engine_thread([&] { sink->on_message(&p, "bob", (const uint8_t *)"x", 1); });
  {
    std::unique_lock<std::mutex> guard(old_listener.lock);
    old_listener.changed.wait(guard, [&] { return old_listener.entered; });
  }
  std::atomic<bool> returned{false};
  std::thread app_thread([&] {
    z->setListener(&next);
    returned = true;
  });
  usleep(50000);
  EXPECT_FALSE(returned.load());
  {
    std::lock_guard<std::mutex> guard(old_listener.lock);
    old_listener.released = true;
    old_listener.changed.notify_all();
  }
  app_thread.join();
  engine_thread.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(old_listener.heard().size(), 1u);
  sink->on_message(&p, "bob", (const uint8_t *)"x", 1);
  EXPECT_EQ(next.heard().size(), 1u);
}

// Swaps the facade's listener from inside its own callback.
class SwappingListener : public RecordingListener {
 public:
  int onMessage(ZalvioMessage &m) override {
    test_facade()->setListener(next);
    return RecordingListener::onMessage(m);
  }
  ZalvioListener *next = nullptr;
};

TEST_F(Facade, SetListenerFromInsideACallbackDoesNotWait) {
  SwappingListener first;
  RecordingListener second;
  first.next = &second;
  z->setListener(&first);
  MessageParams p = record(7);
  sink->on_message(&p, "bob", (const uint8_t *)"x", 1);  // would deadlock if it waited
  sink->on_message(&p, "bob", (const uint8_t *)"x", 1);
  EXPECT_EQ(first.heard().size(), 1u);
  EXPECT_EQ(second.heard().size(), 1u);
}

// ---- argument mapping -------------------------------------------------------

TEST_F(Facade, DeleteFamilyMapsOntoOneEngineOperation) {
  const uint64_t ids[2] = {11, 12};
  struct Case {
    const char *what;
    std::function<int()> call;
    std::vector<uint64_t> ids;
    int tombstone, remote;
  } cases[] = {
      {"wipeMessages", [&] { return z->wipeMessages(ids, 2, 1); }, {11, 12}, 1, 1},
      {"removeMessage", [&] { return z->removeMessage(7, 1); }, {7}, 0, 1},
      {"wipeMessage", [&] { return z->wipeMessage(7); }, {7}, 1, 0},
      {"deleteMessages", [&] { return z->deleteMessages(ids, 2, 1); }, {11, 12}, 0, 1},
      {"deleteMessage(id, remote)", [&] { return z->deleteMessage(7, 1); }, {7}, 0, 1},
      {"deleteMessage(id)", [&] { return z->deleteMessage(7); }, {7}, 0, 0},
  };
  for (const Case &c : cases) {
    engine().deletes.clear();
    EXPECT_EQ(c.call(), 0) << c.what;
    ASSERT_EQ(engine().deletes.size(), 1u) << c.what;
    EXPECT_EQ(engine().deletes[0].ids, c.ids) << c.what;
    EXPECT_EQ(engine().deletes[0].tombstone, c.tombstone) << c.what;
    EXPECT_EQ(engine().deletes[0].remote, c.remote) << c.what;
  }
}

TEST_F(Facade, DeleteConversationTakesSeconds) {
  EXPECT_EQ(z->deleteConversation("bob", 0, 1700000000u), 0);
  EXPECT_EQ(z->deleteConversation(nullptr, 5, 0), 0);
  ASSERT_EQ(engine().conversation_deletes.size(), 2u);
  EXPECT_EQ(engine().conversation_deletes[0].id, 0u);
  EXPECT_EQ(engine().conversation_deletes[0].peer, "bob");
  EXPECT_EQ(engine().conversation_deletes[0].until, 1700000000000ull);
  EXPECT_EQ(engine().conversation_deletes[1].gid, 5u);
  EXPECT_EQ(engine().conversation_deletes[1].until, 0u);
}

TEST_F(Facade, SetDatabaseReportsWhetherTheStoreOpened) {
  engine().open_result = -1;
  EXPECT_EQ(z->setDatabase("store.db", 0), -1);
  engine().open_result = 0;
  EXPECT_EQ(z->setDatabase("store.db", 3), 0);
  EXPECT_EQ(engine().resets, std::vector<uint32_t>{3});  // reset before the open
  EXPECT_EQ(engine().opened, (std::vector<std::string>{"store.db", "store.db"}));
  EXPECT_EQ(z->resetDatabase(0), 0);
  EXPECT_EQ(engine().resets.size(), 1u);
}

TEST_F(Facade, SmallForwarders) {
  EXPECT_EQ(z->resendMessage((5ull << 32) | 9), 0);
  EXPECT_EQ(engine().resent, std::vector<uint64_t>{9});  // the own, 32-bit id

  EXPECT_EQ(z->setDeleteWindow(60), 60);
  EXPECT_EQ(z->getDeleteWindow(), 60);
  EXPECT_EQ(z->setRemoteActions(3), 60);
  EXPECT_EQ(engine().edit_mask, 3);

  EXPECT_EQ(z->sendActivity("bob", 0, 3, 1, 5000), 0);
  ASSERT_EQ(engine().activities.size(), 1u);
  EXPECT_EQ(engine().activities[0].peer, "bob");
  EXPECT_EQ(engine().activities[0].type, 3);
  EXPECT_EQ(engine().activities[0].interval, 5000);

  EXPECT_EQ(z->setKey("colour", "blue"), 0);
  char *v = z->getKey("colour");
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "blue");
  free(v);
  EXPECT_EQ(z->getKey("absent"), nullptr);

  int x;
  EXPECT_EQ(z->identity(&x), &x);
}

TEST_F(Facade, NewMessagePropertiesIsNewMessage) {
  ZalvioMessage *a = z->newMessage("alice");
  ZalvioMessage *b = z->newMessageProperties("alice");
  ZalvioMessage *g = z->newMessageProperties(4u);
  EXPECT_STREQ(a->peer, b->peer);
  EXPECT_EQ(a->flags, b->flags);
  EXPECT_EQ(a->expiry, b->expiry);
  EXPECT_EQ(a->localflags, b->localflags);
  EXPECT_NE(a->id, b->id);
  EXPECT_EQ(g->peer, nullptr);
  EXPECT_EQ(g->groupid, 4u);
  delete a;
  delete b;
  g->release();
}

TEST_F(Facade, EndToEndLevelFollowsEnable) {
  ZalvioEndToEndEncryption *e = z->getEndToEndEncryption();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->setLevel(7), 0);  // disabled: kept, not applied
  EXPECT_TRUE(engine().e2e_levels.empty());
  e->enable(1);
  EXPECT_EQ(e->setLevel(9), 9);
  e->enable(0);
  std::vector<std::pair<int, int>> expected = {{7, 0}, {9, 0}, {0, 0}};
  EXPECT_EQ(engine().e2e_levels, expected);
}

// ---- bad input at the public boundary ---------------------------------------

TEST_F(Facade, NullAndEmptyTextsFailCleanly) {
  const uint64_t ids[1] = {1};
  struct Case {
    const char *call;
    std::function<int()> run;
    int expected;
  } cases[] = {
      {"setPath(null)", [&] { return z->setPath(nullptr); }, -1},
      {"setPath(\"\")", [&] { return z->setPath(""); }, -1},
      {"setDatabase(null)", [&] { return z->setDatabase(nullptr, 1); }, -1},
      {"setDatabase(\"\")", [&] { return z->setDatabase("", 0); }, -1},
      {"backupDatabase(null)", [&] { return z->backupDatabase(nullptr); }, -1},
      {"restoreDatabase(\"\")", [&] { return z->restoreDatabase(""); }, -1},
      {"setAccessToken(null)", [&] { return z->setAccessToken(nullptr); }, -1},
      {"setAccessToken(\"\")", [&] { return z->setAccessToken(""); }, -1},
      {"setAccessToken(short)", [&] { return z->setAccessToken("abc"); }, -1},
      {"setUploadUrl(null)", [&] { return z->setUploadUrl(nullptr, nullptr); }, -1},
      {"setUploadUrl(ftp)", [&] { return z->setUploadUrl("ftp://h/", ""); }, -1},
      {"setKey(null, v)", [&] { return z->setKey(nullptr, "v"); }, -1},
      {"setKey(k, null)", [&] { return z->setKey("k", nullptr); }, -1},
      {"getKey(null)", [&] { return z->getKey(nullptr) ? 0 : -1; }, -1},
      {"getKey(\"\")", [&] { return z->getKey("") ? 0 : -1; }, -1},
      {"deleteKey(null)", [&] { return z->deleteKey(nullptr); }, -1},
      {"deleteConversation(null, 0)", [&] { return z->deleteConversation(nullptr, 0, 0); }, -1},
      {"deleteConversation(\"\", 0)", [&] { return z->deleteConversation("", 0, 5); }, -1},
      {"sendActivity(null, 0)", [&] { return z->sendActivity(nullptr, 0, 3, 0, 0); }, -1},
      {"wipeMessages(null)", [&] { return z->wipeMessages(nullptr, 3, 0); }, -1},
      {"deleteMessages(count 0)", [&] { return z->deleteMessages(ids, 0, 0); }, -1},
      {"setBufferSize(0)", [&] { return z->setBufferSize(0, 0); }, -1},
      {"setBufferSize(-5)", [&] { return z->setBufferSize(-5, 0); }, -1},
      {"setAppName(null)", [&] { z->setAppName(nullptr); return 0; }, 0},
      {"newMessage(null, 0)", [&] { ZalvioMessage *m = z->newMessage(nullptr, 0u); int r = m->isSameConversation("a", 0); delete m; return r; }, 0},
      {"ZalvioIsUTF8(null)", [&] { return ZalvioIsUTF8(nullptr, 4); }, 0},
      {"getPeerName(null)", [&] { return z->getEndToEndEncryption()->getPeerName(nullptr) ? 0 : -1; }, -1},
      {"getFingerprint(null)", [&] { char *f = z->getEndToEndEncryption()->getFingerprint(nullptr); int r = f && !*f ? 0 : -1; free(f); return r; }, 0},
  };
  std::string base = z->getBasePath();
  for (const Case &c : cases) EXPECT_EQ(c.run(), c.expected) << c.call;
  // Nothing refused reached the store, and the data directory stayed.
  EXPECT_TRUE(engine().opened.empty());
  EXPECT_TRUE(engine().conversation_deletes.empty());
  EXPECT_TRUE(engine().deletes.empty());
  EXPECT_TRUE(engine().activities.empty());
  EXPECT_EQ(std::string(z->getBasePath()), base);
}
