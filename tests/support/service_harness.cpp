// Test helper that runs zalvio-service: see service_harness.h.
#include "support/service_harness.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef ZALVIO_BUILD_DIR
#define ZALVIO_BUILD_DIR "."
#endif

static const char SERVICE_BINARY[] = ZALVIO_BUILD_DIR "/zalvio-service";

static std::string read_file(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  return ::remove(path);
}

// Runs `args` and returns what it printed on standard output.
static std::string run_capture(const std::vector<std::string> &args, int *status) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) return std::string();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) out.append(buf, (size_t)n);
  close(fds[0]);
  int st = -1;
  if (pid > 0) waitpid(pid, &st, 0);
  if (status) *status = st;
  return out;
}

bool ServiceHarness::launch(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::string log_path = dir_ + "/service.log";
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) _exit(126);
    dup2(fd, 1);
    dup2(fd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  pid_ = pid;
  // The first line of the log is "port N" once the service is ready.
  for (int waited = 0; waited < 10000; waited += 5) {
    std::string text = read_file(log_path);
    size_t nl = text.find('\n');
    if (nl != std::string::npos) {
      if (text.compare(0, 5, "port ") != 0) break;
      port_ = (uint16_t)atoi(text.c_str() + 5);
      return port_ != 0;
    }
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop();
  return false;
}

bool ServiceHarness::start(const std::string &dir, const std::vector<std::string> &extra) {
  stop();
  if (dir.empty()) {
    char tmpl[] = "/tmp/zalvio-svc-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir_ = tmpl;
    own_dir_ = true;
  } else {
    dir_ = dir;
    own_dir_ = false;
    mkdir(dir_.c_str(), 0700);
  }
  extra_ = extra;
  unlink((dir_ + "/service.log").c_str());
  std::vector<std::string> args = {SERVICE_BINARY, "--listen", "127.0.0.1:0", "--data", dir_};
  args.insert(args.end(), extra.begin(), extra.end());
  return launch(args);
}

bool ServiceHarness::restart() {
  if (dir_.empty()) return false;
  uint16_t port = port_;
  bool own = own_dir_;
  own_dir_ = false;  // keep the directory across the stop
  stop();
  own_dir_ = own;
  unlink((dir_ + "/service.log").c_str());
  std::vector<std::string> args = {SERVICE_BINARY, "--listen",
                                   "127.0.0.1:" + std::to_string(port), "--data", dir_};
  args.insert(args.end(), extra_.begin(), extra_.end());
  // The old socket may linger a moment; SO_REUSEADDR covers TIME_WAIT.
  for (int i = 0; i < 50; i++) {
    if (launch(args)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool ServiceHarness::stop() {
  bool clean = true;
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int st = 0;
    bool ended = false;
    for (int waited = 0; waited < 3000 && !ended; waited += 5) {
      if (waitpid(pid_, &st, WNOHANG) == pid_) ended = true;
      else std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &st, 0);
    }
    clean = ended && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    pid_ = -1;
    if (!clean) fprintf(stderr, "zalvio-service did not end cleanly:\n%s\n", log().c_str());
  }
  if (own_dir_ && !dir_.empty()) {
    nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    dir_.clear();
    own_dir_ = false;
  }
  return clean;
}

std::string ServiceHarness::log() const { return read_file(dir_ + "/service.log"); }

std::string ServiceHarness::mint_token(uint32_t uid, const std::string &app) {
  std::vector<std::string> args = {SERVICE_BINARY, "mint-token", "--data", dir_, "--uid",
                                   std::to_string(uid)};
  if (!app.empty()) {
    args.push_back("--app");
    args.push_back(app);
  }
  int status = -1;
  std::string out = run_capture(args, &status);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::string();
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string ServiceHarness::admin(const std::string &command) {
  std::string path = dir_ + "/admin.sock";
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return std::string();
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string();
  struct timeval tv = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string reply;
  std::string line = command + "\n";
  if (connect(fd, (struct sockaddr *)&addr, sizeof addr) == 0 &&
      write(fd, line.data(), line.size()) == (ssize_t)line.size()) {
    char buf[4096];
    ssize_t n;
    while (reply.find('\n') == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0)
      reply.append(buf, (size_t)n);
  }
  close(fd);
  size_t nl = reply.find('\n');
  return nl == std::string::npos ? std::string() : reply.substr(0, nl);
}

std::vector<std::map<std::string, std::string>> ServiceHarness::parse_list(
    const std::string &reply) {
  std::vector<std::map<std::string, std::string>> out;
  if (reply.compare(0, 2, "ok") != 0) return out;
  size_t i = reply.find(" | ");
  while (i != std::string::npos) {
    size_t start = i + 3;
    size_t end = reply.find(" | ", start);
    std::string entry = reply.substr(start, end == std::string::npos ? std::string::npos
                                                                     : end - start);
    std::map<std::string, std::string> m;
    std::istringstream words(entry);
    std::string w;
    while (words >> w) {
      size_t eq = w.find('=');
      if (eq != std::string::npos) m[w.substr(0, eq)] = w.substr(eq + 1);
    }
    out.push_back(m);
    i = end;
  }
  return out;
}

static uint32_t num(const std::map<std::string, std::string> &m, const char *key) {
  auto it = m.find(key);
  return it == m.end() ? 0 : (uint32_t)strtoul(it->second.c_str(), nullptr, 0);
}

static std::string text(const std::map<std::string, std::string> &m, const char *key) {
  auto it = m.find(key);
  return it == m.end() ? std::string() : it->second;
}

std::vector<ServiceHarness::Conn> ServiceHarness::connections(uint32_t uid) {
  std::string cmd = uid ? "conns uid=" + std::to_string(uid) : std::string("conns");
  std::vector<Conn> out;
  for (const auto &m : parse_list(admin(cmd))) {
    Conn c;
    c.id = num(m, "id");
    c.uid = num(m, "uid");
    c.state = text(m, "state");
    c.frames = (int)num(m, "frames");
    c.identity = (int)num(m, "identity");
    c.resumed = num(m, "resumed") != 0;
    c.via = text(m, "via");
    c.host = text(m, "host");
    c.acked = num(m, "acked");
    c.stalled = num(m, "stalled") != 0;
    out.push_back(c);
  }
  return out;
}

std::vector<ServiceHarness::Login> ServiceHarness::logins(uint32_t uid) {
  std::string cmd = uid ? "logins uid=" + std::to_string(uid) : std::string("logins");
  std::vector<Login> out;
  for (const auto &m : parse_list(admin(cmd))) {
    Login l;
    l.conn = num(m, "conn");
    l.uid = num(m, "uid");
    l.answer = (int)num(m, "answer");
    l.frames = (int)num(m, "frames");
    l.identity = (int)num(m, "identity");
    l.resumed = num(m, "resumed") != 0;
    l.via = text(m, "via");
    l.host = text(m, "host");
    out.push_back(l);
  }
  return out;
}

bool ServiceHarness::wait_online(uint32_t uid, size_t count, int timeout_ms) {
  for (int waited = 0;; waited += 10) {
    size_t online = 0;
    for (const Conn &c : connections(uid))
      if (c.state == "online") online++;
    if (online >= count) return true;
    if (waited >= timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ServiceHarness::create_group(uint32_t gid, const std::vector<uint32_t> &members) {
  std::string list;
  for (uint32_t m : members) list += (list.empty() ? "" : ",") + std::to_string(m);
  std::string cmd = "group-create gid=" + std::to_string(gid);
  if (!list.empty()) cmd += " members=" + list;
  return admin(cmd).compare(0, 2, "ok") == 0;
}

std::map<std::string, uint64_t> ServiceHarness::stats() {
  std::map<std::string, uint64_t> out;
  std::string reply = admin("stats");
  if (reply.compare(0, 3, "ok ") != 0) return out;
  std::istringstream words(reply.substr(3));
  std::string w;
  while (words >> w) {
    size_t eq = w.find('=');
    if (eq != std::string::npos) out[w.substr(0, eq)] = strtoull(w.c_str() + eq + 1, nullptr, 10);
  }
  return out;
}

int64_t ServiceHarness::stored(uint32_t uid) {
  std::string reply = admin(uid ? "stored uid=" + std::to_string(uid) : std::string("stored"));
  if (reply.compare(0, 3, "ok ") != 0) return -1;
  return strtoll(reply.c_str() + 3, nullptr, 10);
}

bool ServiceHarness::drop_random(uint32_t uid, uint32_t every, uint32_t count) {
  std::string cmd = "drop-random every=" + std::to_string(every);
  if (uid) cmd += " uid=" + std::to_string(uid);
  if (count) cmd += " count=" + std::to_string(count);
  return admin(cmd) == "ok";
}
