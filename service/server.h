// The service's event loop: one thread, one epoll set, non-blocking TLS
// connections, the admin socket, and a sweep that drops connections which
// stall a frame, never finish logging in, or go silent.
//
// The loop owns every connection and the tables shared by the protocol
// (session.cpp) and the admin channel (admin.cpp): the user -> connections
// map (a user may be logged in from several devices at once), the operator's
// login rules, the recent login records and the registry.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/conn.h"
#include "service/login.h"
#include "service/registry.h"
#include "service/relay.h"

struct ServiceOptions {
  std::string listen_host = "127.0.0.1";
  uint16_t listen_port = 0;
  std::string data_dir;
  uint32_t ping_s = 300;               // login item 5
  uint32_t batch_units = 0;            // login item 6, 20 ms units (README: why 0)
  uint32_t records_per_bundle = 32;    // login item 7
  uint32_t expiry_s = 2592000;         // login item 13
  uint32_t ka_idle = 60, ka_interval = 10, ka_count = 6;
  uint32_t frame_timeout_ms = 5000;    // a started frame must finish within
  uint32_t login_timeout_ms = 30000;   // from accept to logged in
  uint32_t idle_timeout_ms = 0;        // 0: three ping intervals plus a minute
  uint32_t max_connections = 20000;
  uint32_t history = HISTORY_DEFAULT_PER_CONVERSATION;  // messages kept per conversation; 0: none
};

// What an operator told the service to do with the next login(s).
enum RuleKind : uint8_t {
  RULE_ANSWER,    // answer the login with one frame of a given op
  RULE_REDIRECT,  // answer 0x91 with a redirect body
  RULE_STALL,     // read the login frame and never answer
};

struct LoginRule {
  RuleKind kind;
  uint32_t uid;        // 0: any user
  uint32_t remaining;  // logins still to act on; 0: until cleared
  uint8_t op;
  uint32_t param;
  std::string body;
  RedirectOrder redirect;
  bool redirect_ticket;  // issue a ticket for the redirect host
};

// Where a connection is dropped around a frame it sent, for tests that
// must survive a network that breaks at any moment.
enum DropPoint : uint8_t {
  DROP_NONE,
  DROP_BEFORE,      // the frame is lost
  DROP_UNANSWERED,  // handled, never answered
  DROP_ANSWERED,    // handled and answered
};

struct DropRule {
  uint32_t every;      // one frame in `every` (on average) is the last
  uint32_t remaining;  // drops still to make; 0: until cleared
};

// One finished login attempt, kept for the admin channel's "logins".
struct LoginRecord {
  uint32_t conn_id;
  uint32_t uid;
  uint16_t frames;
  uint16_t identity_items;  // in the last login frame
  bool resumed;
  LoginVia via;
  uint8_t answer;           // op byte of the answer
  std::string host;
};

class Server {
 public:
  Server() : relay_(this) {}
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Prepares the data directory, TLS, the registry, the listening and admin
  // sockets. Prints nothing; returns 0 or -1.
  int start(const ServiceOptions &opts);
  uint16_t port() const { return port_; }
  // Serves until SIGTERM or SIGINT; returns 0.
  int run();

  // ---- used by the protocol and the admin channel ----
  const ServiceOptions &options() const { return opts_; }
  Registry &registry() { return registry_; }
  Relay &relay() { return relay_; }
  uint64_t now_ms() const { return now_ms_; }

  // Queues a frame and writes what the socket takes; a client that lets
  // output pile up is closed. Returns 0 or -1 (closed).
  int send(Conn *c, uint8_t code, uint8_t op, uint32_t param, const uint8_t *body,
           uint32_t len);
  // Ends the connection once everything queued is written.
  void close_after_flush(Conn *c);
  // Closes at once without a TLS goodbye, as a broken network would.
  void drop(Conn *c);
  // Stops reading and answering the connection.
  void stall(Conn *c);

  void set_online(Conn *c);
  // Live connections of `uid` (0: all), or the one with `conn_id`.
  std::vector<Conn *> select(uint32_t uid, uint32_t conn_id, bool online_only);
  // The logged-in connections of `uid`, oldest first (a copy: sending may
  // close one).
  std::vector<Conn *> online(uint32_t uid) const;
  size_t connection_count() const { return conn_count_; }
  size_t online_count() const;

  // The first rule for `uid`, counted as used; null when none applies.
  bool take_rule(uint32_t uid, LoginRule *out);
  std::vector<LoginRule> &rules() { return rules_; }
  std::map<uint32_t, uint32_t> &pacing() { return pacing_; }  // uid (0: all) -> ms
  std::map<uint32_t, DropRule> &drop_rules() { return drop_rules_; }  // uid (0: all)
  // Whether and where to drop `c` around the frame it just sent.
  DropPoint drop_point(const Conn *c);
  uint64_t drops() const { return drops_; }

  void record_login(const Conn *c, uint8_t answer);
  const std::deque<LoginRecord> &logins() const { return logins_; }
  uint64_t login_total() const { return login_total_; }

  // Last bundle sequence received from one device, for login item 15.
  bool last_sequence(uint32_t uid, uint32_t installation, uint16_t *seq) const;

 private:
  ServiceOptions opts_;
  Registry registry_;
  Relay relay_;
  SSL_CTX *ctx_ = nullptr;
  int epoll_fd_ = -1;
  int listen_fd_ = -1;
  int admin_fd_ = -1;
  int signal_fd_ = -1;
  uint16_t port_ = 0;
  std::string admin_path_;
  uint64_t now_ms_ = 0;
  uint64_t next_sweep_ms_ = 0;
  bool listen_paused_ = false;
  bool stopping_ = false;

  uint32_t next_conn_id_ = 0;
  size_t conn_count_ = 0;
  std::vector<Conn *> by_fd_;    // indexed by socket
  std::vector<Conn *> dead_;     // freed at the end of a loop pass
  std::unordered_map<uint32_t, std::vector<Conn *>> users_;

  struct AdminClient {
    int fd;
    std::string in, out;
    bool closing;
  };
  std::unordered_map<int, AdminClient> admins_;

  std::vector<LoginRule> rules_;
  std::map<uint32_t, uint32_t> pacing_;
  std::deque<LoginRecord> logins_;
  uint64_t login_total_ = 0;
  std::map<uint32_t, DropRule> drop_rules_;
  uint64_t drops_ = 0;

  uint8_t scratch_[16384];

  int open_listener();
  int open_admin_socket();
  int watch(int fd, uint32_t events);
  void accept_clients();
  void serve(Conn *c, uint32_t events);
  void update_events(Conn *c);
  void close_conn(Conn *c, bool graceful, const char *why);
  void leave_user_map(Conn *c);
  void sweep();
  void accept_admin();
  void serve_admin(int fd, uint32_t events);
  void close_admin(int fd);
};
