// Runs a real zalvio-service process for a test: on 127.0.0.1, a free
// port, in a data directory of its own; mints tokens, sends admin commands
// and stops it again.
//
//   ServiceHarness svc;
//   ASSERT_TRUE(svc.start());                 // temp dir, removed by stop()
//   std::string token = svc.mint_token(1001);
//   ... point the engine at 127.0.0.1:svc.port(), trust svc.ca_file() ...
//   svc.admin("signout uid=1001");            // "ok 1"
//   auto c = svc.connections(1001);           // what the service saw
//
// The service's log goes to DIR/service.log (log()), never to a pipe that
// could fill up. The process is also ended when the test process dies.
// The admin commands are listed in service/README.md.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class ServiceHarness {
 public:
  // A connection as the admin command "conns" reports it.
  struct Conn {
    uint32_t id = 0;
    uint32_t uid = 0;
    std::string state;     // handshake, login, challenged, online, closing
    int frames = 0;        // login frames the client sent
    int identity = 0;      // identity items in its last login frame
    bool resumed = false;  // TLS session resumed
    std::string via;       // ticket, challenge or none
    std::string host;      // server name sent by the client, "-" if none
    uint32_t acked = 0;    // last "A" param the client echoed
    bool stalled = false;
  };
  // A finished login attempt as "logins" reports it (oldest first).
  struct Login {
    uint32_t conn = 0;
    uint32_t uid = 0;
    int answer = 0;        // op byte the service answered with
    int frames = 0;
    int identity = 0;
    bool resumed = false;
    std::string via;
    std::string host;
  };

  ServiceHarness() = default;
  ~ServiceHarness() { stop(); }
  ServiceHarness(const ServiceHarness &) = delete;
  ServiceHarness &operator=(const ServiceHarness &) = delete;

  // Starts the service in `dir` (created if missing; empty: a fresh temp
  // dir that stop() removes). `extra` are more command-line options, e.g.
  // {"--ping", "5"}. Returns true once the service printed its port.
  bool start(const std::string &dir = "", const std::vector<std::string> &extra = {});
  // Stops and starts the service again on the same directory and port: the
  // registry and stored data survive. Returns true when it is back.
  bool restart();
  // SIGTERM, then SIGKILL if it has not ended within 3 s. Returns false
  // when the service did not end cleanly (a crash, a sanitizer report, a
  // non-zero exit); its log then goes to standard error before the
  // directory is removed.
  bool stop();
  bool running() const { return pid_ > 0; }

  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string &dir() const { return dir_; }
  std::string ca_file() const { return dir_ + "/ca.pem"; }
  std::string log() const;

  // A fresh access token for `uid` (and application name `app`); empty on
  // failure.
  std::string mint_token(uint32_t uid, const std::string &app = "");
  // One admin command; the reply line without its newline, empty when the
  // service cannot be reached.
  std::string admin(const std::string &command);

  // Parsed "conns" and "logins" replies.
  std::vector<Conn> connections(uint32_t uid = 0);
  std::vector<Login> logins(uint32_t uid = 0);
  // Waits until `uid` has at least `count` connections online.
  bool wait_online(uint32_t uid, size_t count = 1, int timeout_ms = 5000);

  // Creates group `gid` (or adds to it) with these members.
  bool create_group(uint32_t gid, const std::vector<uint32_t> &members);
  // The "stats" counters: connections, online, logins, bundles, duplicates,
  // records, relayed, stored, delivered, expired, unroutable, reports, drops.
  std::map<std::string, uint64_t> stats();
  // Records waiting in the offline store for `uid` (0: everyone); -1 on error.
  int64_t stored(uint32_t uid = 0);
  // Drops the connections of `uid` (0: everyone) at random points: after
  // one in `every` bundles or pings on average, `count` times (0: until
  // cleared with every=0 or "clear"). See "drop-random" in service/README.md.
  bool drop_random(uint32_t uid, uint32_t every, uint32_t count = 0);

  // Splits an "ok N | k=v ... | k=v ..." reply into one map per entry.
  static std::vector<std::map<std::string, std::string>> parse_list(const std::string &reply);

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string dir_;
  bool own_dir_ = false;
  std::vector<std::string> extra_;

  bool launch(const std::vector<std::string> &args);
};
