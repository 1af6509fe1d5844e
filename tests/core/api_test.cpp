// The engine object: token decoding, listeners, versions, lifecycle.
#include "core/api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/token_helper.h"
#include "support/capture.h"
#include "util/time.h"

namespace {

TEST(Token, DecodesEveryField) {
  TokenSpec s;
  s.uid = 0xDEADBEEF;
  s.options = 8;
  s.serial = 0x1234567890;
  s.app_id = 4242;
  s.identity3 = 99;
  s.with_identity3 = true;
  AccessToken t;
  ASSERT_EQ(token_decode(make_token(s).c_str(), &t), 0);
  EXPECT_EQ(t.uid, 0xDEADBEEFu);
  EXPECT_EQ(t.options, 8u);
  EXPECT_EQ(t.serial, 0x1234567890ull);
  EXPECT_EQ(t.app_id, 4242u);
  EXPECT_EQ(t.identity3, 99u);
  EXPECT_STREQ(t.key_text, s.key.c_str());
  EXPECT_EQ(t.key[0], 0x00);
  EXPECT_EQ(t.key[15], 0xff);
}

TEST(Token, MalformedTokensAreRefused) {
  TokenSpec wide;
  wide.k = 3;  // 12-digit halves: a uid of 2^40 does not fit 32 bits
  std::string too_wide = wide.key + std::string(std::stoi("5", nullptr, 16) / 2, 'a');
  too_wide = make_token(wide);
  too_wide.replace(32 + 3, 25, token_field(1ull << 40, 3));

  std::string bad_key = make_token(TokenSpec());
  bad_key[5] = 'z';
  std::string bad_digit = make_token(TokenSpec());
  bad_digit[36] = 'x';  // inside the uid field

  struct Case {
    const char *name;
    std::string token;
  } cases[] = {
      {"empty", ""},
      {"38 characters", std::string(38, '1')},
      {"uid wider than 32 bits", too_wide},
      {"non-hex key", bad_key},
      {"non-hex digit in a field", bad_digit},
      {"cut inside the uid field", make_token(TokenSpec()).substr(0, 40)},
  };
  for (const Case &c : cases) {
    AccessToken t;
    EXPECT_EQ(token_decode(c.token.c_str(), &t), -1) << c.name;
  }
  AccessToken t;
  EXPECT_EQ(token_decode(nullptr, &t), -1);
}

TEST(Token, ShortTokenLogsItsLength) {
  StdoutCapture out;
  AccessToken t;
  EXPECT_EQ(token_decode(std::string(38, '1').c_str(), &t), -1);
  EXPECT_TRUE(out.contains("Bad access token: 38"));
}

// Records every status the engine reports.
class Recorder : public INotify {
 public:
  int on_status(int status, uint32_t detail, uint32_t, uint32_t) override {
    std::lock_guard<std::mutex> lock(mu);
    statuses.push_back(status);
    details.push_back(detail);
    cv.notify_all();
    return 0;
  }
  bool wait_for(int status, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, limit, [&] {
      for (int s : statuses)
        if (s == status) return true;
      return false;
    });
  }
  std::vector<int> seen() {
    std::lock_guard<std::mutex> lock(mu);
    return statuses;
  }
  std::mutex mu;
  std::condition_variable cv;
  std::vector<int> statuses;
  std::vector<uint32_t> details;
};

TEST(Engine, InterfaceVersions) {
  EXPECT_EQ(query_zalvio_interface_version(), 4);
  EXPECT_EQ(ZalvioInterfaceVersion(), 3);
}

TEST(Engine, QueueSizeIsRaisedToTheMinimum) {
  struct Case {
    uint32_t requested, expected;
  } cases[] = {{0, 64000 + 4096}, {63999, 64000 + 4096}, {100000, 100000 + 4096}};
  for (const Case &c : cases) {
    CAPI engine("", c.requested);
    EXPECT_EQ(engine.queue_size, c.expected) << c.requested;
    EXPECT_EQ(engine.queue.capacity(), c.expected) << c.requested;
  }
}

TEST(Engine, ListenerRegistration) {
  CAPI engine("", 0);
  Recorder a, b;
  EXPECT_EQ(engine.register_listener(200, &a, 0), -1);
  EXPECT_EQ(engine.register_listener(128, &a, 0), -1);
  EXPECT_EQ(engine.register_listener_internal(200, &a, 0), 0);
  EXPECT_EQ(engine.listeners.high_high, 200);

  EXPECT_EQ(engine.listener_for(5), nullptr);
  EXPECT_EQ(engine.register_listener(0, &a, 1), 0);
  EXPECT_EQ(engine.listener_for(5), &a);  // falls back to the default
  EXPECT_EQ(engine.register_listener(5, &b, 0), 0);
  EXPECT_EQ(engine.listener_for(5), &b);
  EXPECT_EQ(engine.listeners.high_low, 5);

  // The default listener cannot be removed while it is the default.
  EXPECT_EQ(engine.register_listener(0, nullptr, 1), -1);
  EXPECT_EQ(engine.default_listener(), &a);
}

TEST(Engine, StatusReachesEachListenerOnce) {
  CAPI engine("", 0);
  Recorder a, b;
  engine.register_listener(0, &a, 1);
  engine.register_listener(3, &a, 0);
  engine.register_listener(9, &b, 0);
  engine.report_status(STATUS_CONNECTING, 0);
  EXPECT_EQ(a.seen(), std::vector<int>({STATUS_CONNECTING}));
  EXPECT_EQ(b.seen(), std::vector<int>({STATUS_CONNECTING}));
  EXPECT_EQ(engine.connection_status(), STATUS_CONNECTING);
  engine.report_status(STATUS_SENT, 0);  // reported, not kept
  EXPECT_EQ(engine.connection_status(), STATUS_CONNECTING);
}

TEST(Engine, VersionsText) {
  CAPI engine("", 0);
  engine.versions(3, "cpp", "MyApp", "2.3.4", nullptr);
  EXPECT_EQ(engine.api_version, 2030400u);
  EXPECT_EQ(engine.protocol_version, 2010000u);
  EXPECT_STREQ(engine.app_name, "myapp");
  EXPECT_STREQ(engine.versions_text, "zalvio versions: api: 2.3.4 protocol: 2.1.0 os: unknown app: myapp");
}

TEST(Engine, CredentialsStoreIdentity) {
  CAPI engine("", 0);
  TokenSpec s;
  s.uid = 1001;
  s.app_id = 7;
  ASSERT_EQ(engine.set_credentials(make_token(s).c_str()), 0);
  EXPECT_EQ(engine.get_uid(), 1001u);
  EXPECT_EQ(engine.get_app_id(), 7u);
  EXPECT_EQ(engine.serial, s.serial);

  // A serial of at most 1023 is refused and clears the user id.
  s.serial = 1023;
  StdoutCapture out;
  EXPECT_EQ(engine.set_credentials(make_token(s).c_str()), -1);
  EXPECT_TRUE(out.contains("bad token"));
  EXPECT_EQ(engine.get_uid(), 0u);
}

TEST(Engine, StartRefusals) {
  Recorder rec;
  {
    CAPI engine("", 0);
    StdoutCapture out;
    EXPECT_EQ(engine.start(), -1);  // no default listener
    EXPECT_TRUE(out.contains("*** BUG *** default notify NULL - can't start"));
    EXPECT_FALSE(engine.thread_started);
  }
  {
    CAPI engine("", 0);
    engine.register_listener(0, &rec, 1);
    EXPECT_EQ(engine.start(), -1);  // no token
    EXPECT_EQ(rec.seen().back(), STATUS_AUTHFAIL);
  }
  {
    CAPI engine("", 0);
    engine.register_listener(0, &rec, 1);
    TokenSpec s;
    s.serial = 3823239;  // accepted by set_credentials, refused by start
    ASSERT_EQ(engine.set_credentials(make_token(s).c_str()), 0);
    StdoutCapture out;
    EXPECT_EQ(engine.start(), -1);
    EXPECT_TRUE(out.contains("Please update the token (reason 1)"));
  }
}

TEST(Engine, StartsRetriesAndStopsPromptly) {
  CAPI engine("", 0);
  engine.set_server("127.0.0.1:1");
  Recorder rec;
  engine.register_listener(0, &rec, 1);
  ASSERT_EQ(engine.set_credentials(make_token(TokenSpec()).c_str()), 0);

  engine.stop();  // before start: only sets the reason, which start clears
  ASSERT_EQ(engine.start(), 0);
  EXPECT_EQ(engine.start(), 0);  // already running
  ASSERT_TRUE(rec.wait_for(STATUS_CONNECTFAILED));

  auto t0 = std::chrono::steady_clock::now();
  engine.stop();
  ASSERT_TRUE(rec.wait_for(STATUS_STOPPED, std::chrono::milliseconds(1000)));
  engine.wait();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  std::vector<int> seen = rec.seen();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[0], STATUS_CONNECTING);
  EXPECT_EQ(seen[1], STATUS_CONNECTFAILED);
  EXPECT_EQ(seen.back(), STATUS_STOPPED);

  // A stopped engine starts again, and a stop right after start is not lost.
  {
    std::lock_guard<std::mutex> lock(rec.mu);
    rec.statuses.clear();
  }
  ASSERT_EQ(engine.start(), 0);
  engine.stop();
  ASSERT_TRUE(rec.wait_for(STATUS_STOPPED, std::chrono::milliseconds(1000)));
  engine.wait();
}

TEST(RetryTiming, AttemptsAreAtLeastTwoSecondsApart) {
  struct Case {
    uint64_t now, last;
    int fast;
    uint64_t expected;
  } cases[] = {
      {10000000, 0, 0, 0},              // first attempt
      {10500000, 10000000, 0, 1500000}, // 0.5 s after the previous one
      {12000000, 10000000, 0, 0},
      {10500000, 10000000, 2, 1000000}, // fast retry: 1 s apart
      {11000000, 10000000, 1, 0},
  };
  for (const Case &c : cases)
    EXPECT_EQ(retry_gap_us(RetryClock{c.now, c.last, c.fast}), c.expected) << c.now << " " << c.fast;
}

TEST(RetryTiming, RestartBackoffFromPersistedFailures) {
  const uint64_t now = 1000ull * 1000000;
  struct Case {
    uint32_t failures, last_attempt_s;
    uint64_t expected;
  } cases[] = {
      {0, 999, 0},
      {1, 1000, 5000000},   // at least 5 s
      {3, 1000, 9000000},   // 3 s per failure
      {10, 1000, 15000000}, // at most 15 s
      {3, 995, 4000000},    // counted from the persisted attempt
      {3, 900, 0},
  };
  for (const Case &c : cases)
    EXPECT_EQ(restart_backoff_us(c.failures, c.last_attempt_s, now), c.expected) << c.failures;
}

}  // namespace

namespace {

TEST(EngineOps, IdentityQueriesAndIds) {
  CAPI engine("", 0);
  TokenSpec s;
  s.uid = 500;
  ASSERT_EQ(engine.set_credentials(make_token(s).c_str()), 0);
  EXPECT_EQ(engine.get_identity3(), 500u);  // no third value: the own uid
  EXPECT_STREQ(engine.get_app_name(), "zalvio");
  EXPECT_EQ(engine.is_own_uid(500), 1);
  EXPECT_EQ(engine.is_own_uid(501), 0);
  struct Case {
    uint64_t id, expected;
  } cases[] = {
      {7, 7},                          // 32-bit ids stay
      {(500ull << 32) | 9, 9},         // own 64-bit id becomes local
      {(501ull << 32) | 9, 0},         // someone else's
      {0xFFFFFFFFull, 0xFFFFFFFFull},
  };
  for (const Case &c : cases) EXPECT_EQ(engine.local_id(c.id), c.expected) << c.id;
}

TEST(EngineOps, Utilities) {
  CAPI engine("", 0);
  char digits[17];
  EXPECT_EQ(engine.extract_digits("+1 (555) 010-9999", 0, digits), 11);
  EXPECT_STREQ(digits, "15550109999");
  EXPECT_EQ(engine.extract_digits("12345678901234567890", 0, digits), 16);
  EXPECT_STREQ(digits, "1234567890123456");

  char url[512];
  ASSERT_GT(engine.map_image_url(3, "", url, sizeof url, 0.0, 0.0), 0);
  EXPECT_TRUE(std::string(url).find("/3/4/4.png") != std::string::npos) << url;
  ASSERT_GT(engine.map_image_url(12, "K", url, sizeof url, 48.5, 2.25), 0);
  EXPECT_TRUE(std::string(url).find("/maps/api/staticmap?zoom=12&size=800x600") != std::string::npos);
  EXPECT_TRUE(std::string(url).find("%7C48.500000,2.250000&key=K") != std::string::npos) << url;
  EXPECT_EQ(engine.map_image_url(12, "K", url, 10, 48.5, 2.25), -1);  // does not fit

  char phone[32] = "x";
  EXPECT_EQ(engine.format_phone("555", 1, 0, phone, sizeof phone), -1);
  EXPECT_STREQ(phone, "");

  uint8_t items[] = {0x63, 1, 2, 3, 0x00, 0x41, 9, 9};
  const uint8_t *v = nullptr;
  EXPECT_EQ(engine.tlv_find_item(items, sizeof items, 3, &v), 3);
  EXPECT_EQ(engine.tlv_find_item(items, sizeof items, 1, &v), 0);  // type 0 ends the search
}

TEST(EngineOps, DeviceClassAndApplicationLayerDefaults) {
  CAPI engine("", 0);
  struct Case {
    int type;
    uint32_t cls;
  } cases[] = {{3, 1}, {5, 1}, {7, 1}, {8, 1}, {4, 0}, {32, 0}, {33, 2}};
  for (const Case &c : cases) {
    engine.set_device_type(c.type);
    EXPECT_EQ(engine.device_class, c.cls) << c.type;
  }
  // Without the application layer these answer "not available".
  EXPECT_EQ(engine.open_database("x"), -1);
  EXPECT_EQ(engine.save_local_message(nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(engine.db_get_int_value("k", 5), 0u);
  EXPECT_EQ(engine.check_policy(nullptr, nullptr), 1);
  EXPECT_EQ(engine.get_login_value(), 0u);
  EXPECT_EQ(engine.server_time_s(), (uint32_t)(wall_ms() / 1000));
}

}  // namespace
