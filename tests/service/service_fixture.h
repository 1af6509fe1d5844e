// One running service per test suite, started with short timeouts so the
// tests that wait for a timeout stay fast.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "service/raw_client.h"
#include "support/service_harness.h"

class ServiceTest : public ::testing::Test {
 protected:
  static ServiceHarness *svc;

  static void SetUpTestSuite() {
    svc = new ServiceHarness;
    ASSERT_TRUE(svc->start("", {"--frame-timeout", "300", "--login-timeout", "1000"}));
  }
  static void TearDownTestSuite() {
    EXPECT_TRUE(svc->stop());
    delete svc;
    svc = nullptr;
  }

  static RawToken token(uint32_t uid, const std::string &app = "") {
    RawToken t;
    std::string text = svc->mint_token(uid, app);
    EXPECT_TRUE(raw_decode_token(text, &t)) << "token: " << text;
    return t;
  }
  static std::unique_ptr<RawClient> client(const std::string &server_name = "localhost") {
    auto c = std::make_unique<RawClient>(svc->ca_file());
    EXPECT_TRUE(c->connect(svc->port(), server_name));
    return c;
  }
  // `command` with uid=N after its verb, where text= cannot swallow it.
  static std::string for_uid(const std::string &command, uint32_t uid) {
    size_t verb = command.find(' ');
    std::string arg = " uid=" + std::to_string(uid);
    return verb == std::string::npos ? command + arg : command.substr(0, verb) + arg +
                                                           command.substr(verb);
  }
  // A client logged in as `t`.
  static std::unique_ptr<RawClient> online(const RawToken &t, const std::string &app = "") {
    auto c = client();
    RawLogin l = raw_login(c.get(), t, app);
    EXPECT_EQ(l.answer, 0);
    return c;
  }
};
