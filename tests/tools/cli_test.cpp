// zalvio-cli against the stand-in service: two users, each a process of
// its own (the library keeps one engine per process), exchange messages
// and statuses, read their history page by page and their conversation
// list; and the errors a person meets end with their own exit codes.
//
// The client is built on the public interface alone, so these tests are
// also the end-to-end tests of that interface: sending (message objects),
// status callbacks, read sessions, the summary with unread counts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/service_harness.h"
#include "support/tempdir.h"

namespace {

const char CLI[] = ZALVIO_BUILD_DIR "/zalvio-cli";

std::string read_file(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// One zalvio-cli process: standard input a pipe, output and errors in
// files under `dir`.
class Cli {
 public:
  Cli(const std::string &dir, const std::vector<std::string> &args) {
    static int serial = 0;
    std::string base = dir + "/cli" + std::to_string(++serial);
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    std::vector<std::string> all = {CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;  // other children must not hold it open
    // The test's environment (sanitizer options) with HOME in `dir`, where
    // the library makes its default data directory.
    std::vector<std::string> env_text = {"HOME=" + dir};
    for (char **e = environ; *e; e++)
      if (strncmp(*e, "HOME=", 5) != 0) env_text.push_back(*e);
    std::vector<char *> env;
    for (std::string &e : env_text) env.push_back(&e[0]);
    env.push_back(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      dup2(in[0], 0);
      close(in[0]);
      close(in[1]);
      int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(err, 2);
      execve(CLI, argv.data(), env.data());
      _exit(127);
    }
    close(in[0]);
    input_ = in[1];
  }
  ~Cli() {
    close_input();
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void type(const std::string &text) {
    ssize_t n = write(input_, text.data(), text.size());
    (void)n;
  }
  void close_input() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }
  // The exit code; -1 when it had to be killed.
  int wait(int timeout_ms = 20000) {
    if (status_ >= 0 || pid_ <= 0) return status_;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int st = 0;
    while (waitpid(pid_, &st, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
        return status_ = -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  bool wait_output(const std::string &text, int timeout_ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      if (out().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string out() const { return read_file(out_path_); }
  std::string err() const { return read_file(err_path_); }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int status_ = -1;
  std::string out_path_, err_path_;
};

// True when the texts appear in `s` in this order.
bool in_order(const std::string &s, const std::vector<std::string> &texts) {
  size_t at = 0;
  for (const std::string &t : texts) {
    size_t found = s.find(t, at);
    if (found == std::string::npos) return false;
    at = found + t.size();
  }
  return true;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(svc.start()); }
  void TearDown() override {
    if (HasFailure()) printf("%s\n", svc.log().c_str());
    EXPECT_TRUE(svc.stop());
  }
  // The options of user `uid` (data in a directory of its own).
  std::vector<std::string> user(uint32_t uid) {
    std::string &token = tokens_[uid];
    if (token.empty()) token = svc.mint_token(uid);
    return {"--server", "127.0.0.1:" + std::to_string(svc.port()),   "--ca",    svc.ca_file(),
            "--data",   dir.file("u" + std::to_string(uid)),         "--token", token,
            "--log",    dir.file("u" + std::to_string(uid) + ".log")};
  }
  std::vector<std::string> cmd(uint32_t uid, const std::vector<std::string> &args) {
    std::vector<std::string> all = user(uid);
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  // Runs a command to its end; its exit code.
  int run(uint32_t uid, const std::vector<std::string> &args, std::string *out = nullptr,
          std::string *err = nullptr) {
    Cli c(dir.path(), cmd(uid, args));
    c.close_input();
    int rc = c.wait();
    if (out) *out = c.out();
    if (err) *err = c.err();
    return rc;
  }

  ServiceHarness svc;
  TempDir dir;
  std::map<uint32_t, std::string> tokens_;
};

TEST_F(CliTest, TwoUsersExchangeMessagesStatusesHistoryAndSummary) {
  Cli bob(dir.path(), cmd(5002, {"listen", "--count", "2", "--for", "20"}));
  ASSERT_TRUE(bob.wait_output("-- online as u5002")) << bob.err();

  std::string out;
  ASSERT_EQ(run(5001, {"send", "--wait-delivered", "u5002", "hello bob"}, &out), 0) << out;
  EXPECT_TRUE(in_order(out, {"\"hello bob\" to u5002: sent", "\"hello bob\" to u5002: delivered"}))
      << out;
  ASSERT_EQ(run(5001, {"send", "u5002", "second"}), 0);
  ASSERT_EQ(bob.wait(), 0) << bob.err();
  EXPECT_TRUE(in_order(bob.out(), {"u5001: hello bob", "u5001: second"})) << bob.out();

  // Alice is offline: the service takes Bob's answer, her device does not.
  std::string err;
  EXPECT_EQ(
      run(5002, {"send", "--wait-delivered", "--timeout", "1", "u5001", "hi alice"}, &out, &err),
      6);
  EXPECT_NE(out.find("\"hi alice\" to u5001: sent"), std::string::npos) << out;
  EXPECT_NE(err.find("delivered when they connect"), std::string::npos) << err;
  // She comes back and gets it; Bob hears it was delivered at his next start.
  ASSERT_EQ(run(5001, {"listen", "--count", "1", "--for", "10"}, &out), 0);
  EXPECT_NE(out.find("u5002: hi alice"), std::string::npos) << out;
  ASSERT_EQ(run(5002, {"listen", "--for", "1"}, &out), 0);
  EXPECT_NE(out.find("to u5001: delivered"), std::string::npos) << out;

  // Bob's list: the conversation, its latest message, two unread.
  ASSERT_EQ(run(5002, {"conversations"}, &out), 0);
  EXPECT_TRUE(in_order(out, {"u5001", "2 unread", "you: hi alice"})) << out;
  // Newest page first, each page in time order; reading marks them read.
  ASSERT_EQ(run(5002, {"history", "--page", "2", "u5001"}, &out), 0);
  EXPECT_TRUE(in_order(out, {"-- page 1 --", "u5001: second", "you: hi alice  (delivered)",
                             "-- page 2 --", "u5001: hello bob"}))
      << out;
  EXPECT_EQ(out.find("-- page 3 --"), std::string::npos) << out;
  ASSERT_EQ(run(5002, {"history", "--page", "2", "--oldest-first", "u5001"}, &out), 0);
  EXPECT_TRUE(in_order(
      out, {"-- page 1 --", "u5001: hello bob", "u5001: second", "-- page 2 --", "you: hi alice"}))
      << out;
  ASSERT_EQ(run(5002, {"conversations"}, &out), 0);
  EXPECT_TRUE(in_order(out, {"u5001", "0 unread"})) << out;
  // Alice's side of it.
  ASSERT_EQ(run(5001, {"history", "u5002"}, &out), 0);
  EXPECT_TRUE(
      in_order(out, {"you: hello bob  (delivered)", "you: second  (delivered)", "u5002: hi alice"}))
      << out;
}

TEST_F(CliTest, ChatSendsTypedLinesAndShowsThePeersMessagesLive) {
  Cli alice(dir.path(), cmd(5001, {"chat", "u5002"}));
  ASSERT_TRUE(alice.wait_output("-- online as u5001, chatting with u5002")) << alice.err();
  Cli bob(dir.path(), cmd(5002, {"listen", "--count", "2", "--for", "20"}));
  ASSERT_TRUE(bob.wait_output("-- online as u5002")) << bob.err();

  ASSERT_EQ(run(5003, {"send", "u5001", "from carol"}), 0);
  ASSERT_TRUE(alice.wait_output("u5003: from carol")) << alice.out();
  alice.type("one\n");
  ASSERT_TRUE(alice.wait_output("\"one\" to u5002: delivered")) << alice.out();
  alice.type("two");  // the last line needs no newline
  alice.close_input();
  EXPECT_EQ(alice.wait(), 0) << alice.err();
  EXPECT_TRUE(in_order(
      alice.out(), {"you: one", "\"one\" to u5002: sent", "you: two", "\"two\" to u5002: sent"}))
      << alice.out();
  ASSERT_EQ(bob.wait(), 0) << bob.err();
  EXPECT_TRUE(in_order(bob.out(), {"u5001: one", "u5001: two"})) << bob.out();
}

TEST_F(CliTest, ErrorsEndWithTheirOwnExitCodeAndASentence) {
  svc.admin("refuse uid=5004 count=0");
  const std::string token = svc.mint_token(5001);
  struct Case {
    const char *what;
    std::vector<std::string> args;
    int code;
    const char *says;
  } cases[] = {
      {"no service there",
       {"--server", "127.0.0.1:1", "--token", token, "send", "u5002", "x"},
       3,
       "cannot reach the service at 127.0.0.1:1"},
      {"malformed token",
       {"--server", "127.0.0.1:1", "--token", "not-a-token", "send", "u5002", "x"},
       4,
       "the access token is malformed"},
      {"missing text", {"--token", token, "send", "u5002"}, 2, "usage: zalvio-cli [options] send"},
      {"control characters", {"--token", token, "send", "u5002", "a\x1b[2Jb"}, 2, "UTF-8"},
      {"unknown command", {"--token", token, "shout"}, 2, "unknown command 'shout'"},
      {"no server", {"--token", token, "listen"}, 2, "--server HOST:PORT is needed"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"--data", dir.file("errors"), "--ca", svc.ca_file()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Cli cli(dir.path(), args);
    cli.close_input();
    EXPECT_EQ(cli.wait(), c.code) << c.what << ": " << cli.err();
    EXPECT_NE(cli.err().find(c.says), std::string::npos) << c.what << ": " << cli.err();
  }

  // Answers that come from the service.
  std::string err;
  EXPECT_EQ(run(5004, {"send", "u5002", "x"}, nullptr, &err), 4);
  EXPECT_NE(err.find("refused the access token"), std::string::npos) << err;
  std::string out;
  EXPECT_EQ(run(5001, {"send", "u9999", "anyone?"}, &out, &err), 5);
  EXPECT_NE(err.find("no user u9999"), std::string::npos) << err;
  // The failure stands even when the service acknowledges the bundle after it.
  EXPECT_EQ(out.find(": sent"), std::string::npos) << out;
}

}  // namespace
