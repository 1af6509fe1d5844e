// Event loop, connections and admin socket: see server.h.
#include "service/server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "service/admin.h"
#include "service/session.h"
#include "service/tls.h"
#include "util/logs.h"
#include "util/random.h"
#include "util/time.h"

enum : uint32_t {
  SERVER_SWEEP_MS = 100,
  SERVER_EVENTS = 256,
  SERVER_BACKLOG = 4096,
  SERVER_LOGINS_KEPT = 256,
  SERVER_ADMIN_LINE_MAX = 65536,
  SERVER_STALL_LIMIT_MS = 600000,  // a stalled connection still ends some day
};

static const char SERVER_DB_FILE[] = "service.db";
static const char SERVER_ADMIN_SOCKET[] = "admin.sock";

// The loop's clock: monotonic, so sweeps never jump with the system time.
static uint64_t loop_now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

// Epoll data tags for the fixed descriptors; connections use their socket.
enum : uint64_t {
  TAG_LISTEN = 1ull << 32,
  TAG_ADMIN_LISTEN = 2ull << 32,
  TAG_SIGNAL = 3ull << 32,
  TAG_ADMIN_CLIENT = 4ull << 32,
  TAG_CONN = 5ull << 32,
};

Server::~Server() {
  for (Conn *c : by_fd_)
    if (c) close_conn(c, false, "shutdown");
  for (Conn *c : dead_) delete c;
  dead_.clear();
  for (auto &a : admins_) ::close(a.first);
  admins_.clear();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  if (admin_fd_ >= 0) {
    ::close(admin_fd_);
    unlink(admin_path_.c_str());
  }
  if (signal_fd_ >= 0) ::close(signal_fd_);
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (ctx_) SSL_CTX_free(ctx_);
}

// ---- setup ----------------------------------------------------------------

static void raise_fd_limit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
}

int Server::watch(int fd, uint32_t events) {
  struct epoll_event ev;
  memset(&ev, 0, sizeof ev);
  ev.events = events;
  ev.data.u64 = (uint64_t)fd;
  if (fd == listen_fd_) ev.data.u64 |= TAG_LISTEN;
  else if (fd == admin_fd_) ev.data.u64 |= TAG_ADMIN_LISTEN;
  else if (fd == signal_fd_) ev.data.u64 |= TAG_SIGNAL;
  else if (admins_.count(fd)) ev.data.u64 |= TAG_ADMIN_CLIENT;
  else ev.data.u64 |= TAG_CONN;
  return epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
}

int Server::open_listener() {
  std::string host = opts_.listen_host == "localhost" ? "127.0.0.1" : opts_.listen_host;
  struct addrinfo hints, *res = nullptr;
  memset(&hints, 0, sizeof hints);
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  std::string port = std::to_string(opts_.listen_port);
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res) {
    LOGE("bad listen address %s", host.c_str());
    return -1;
  }
  int fd = socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;
  bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
            bind(fd, res->ai_addr, res->ai_addrlen) == 0 && listen(fd, SERVER_BACKLOG) == 0;
  freeaddrinfo(res);
  if (!ok) {
    LOGE("cannot listen on %s:%u: %s", host.c_str(), opts_.listen_port, strerror(errno));
    if (fd >= 0) ::close(fd);
    return -1;
  }
  struct sockaddr_storage ss;
  socklen_t len = sizeof ss;
  getsockname(fd, (struct sockaddr *)&ss, &len);
  port_ = ntohs(ss.ss_family == AF_INET6 ? ((struct sockaddr_in6 *)&ss)->sin6_port
                                         : ((struct sockaddr_in *)&ss)->sin_port);
  listen_fd_ = fd;
  return 0;
}

int Server::open_admin_socket() {
  admin_path_ = opts_.data_dir + "/" + SERVER_ADMIN_SOCKET;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (admin_path_.size() >= sizeof addr.sun_path) {
    LOGE("admin socket path too long: %s", admin_path_.c_str());
    return -1;
  }
  memcpy(addr.sun_path, admin_path_.c_str(), admin_path_.size() + 1);
  unlink(admin_path_.c_str());  // left behind by a service that was killed
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 64) != 0) {
    LOGE("cannot open admin socket %s: %s", admin_path_.c_str(), strerror(errno));
    if (fd >= 0) ::close(fd);
    return -1;
  }
  chmod(admin_path_.c_str(), 0600);
  admin_fd_ = fd;
  return 0;
}

int Server::start(const ServiceOptions &opts) {
  opts_ = opts;
  if (opts_.idle_timeout_ms == 0) opts_.idle_timeout_ms = (3 * opts_.ping_s + 60) * 1000;
  if (opts_.data_dir.empty()) return -1;
  mkdir(opts_.data_dir.c_str(), 0700);
  raise_fd_limit();
  signal(SIGPIPE, SIG_IGN);

  bool created = false;
  if (tls_prepare_files(opts_.data_dir, &created) != 0) return -1;
  ctx_ = tls_server_context(opts_.data_dir);
  if (!ctx_) return -1;
  if (registry_.open(opts_.data_dir + "/" + SERVER_DB_FILE) != 0) return -1;
  if (relay_.open(registry_.handle(), opts_.expiry_s, opts_.history) != 0) return -1;
  random_seed(wall_ms() ^ ((uint64_t)getpid() << 32));
  if (open_listener() != 0 || open_admin_socket() != 0) return -1;

  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signal_fd_ = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (signal_fd_ < 0 || epoll_fd_ < 0 || watch(listen_fd_, EPOLLIN) != 0 ||
      watch(admin_fd_, EPOLLIN) != 0 || watch(signal_fd_, EPOLLIN) != 0) {
    LOGE("event loop setup failed: %s", strerror(errno));
    return -1;
  }
  now_ms_ = loop_now_ms();
  return 0;
}

// ---- loop -----------------------------------------------------------------

int Server::run() {
  LOGI("serving on %s:%u, data in %s", opts_.listen_host.c_str(), port_,
       opts_.data_dir.c_str());
  struct epoll_event events[SERVER_EVENTS];
  while (!stopping_) {
    int n = epoll_wait(epoll_fd_, events, SERVER_EVENTS, SERVER_SWEEP_MS);
    if (n < 0 && errno != EINTR) {
      LOGE("epoll_wait: %s", strerror(errno));
      break;
    }
    now_ms_ = loop_now_ms();
    for (int i = 0; i < n; i++) {
      uint64_t tag = events[i].data.u64 & ~0xFFFFFFFFull;
      int fd = (int)(events[i].data.u64 & 0xFFFFFFFF);
      if (tag == TAG_LISTEN) {
        accept_clients();
      } else if (tag == TAG_ADMIN_LISTEN) {
        accept_admin();
      } else if (tag == TAG_SIGNAL) {
        struct signalfd_siginfo si;
        while (read(signal_fd_, &si, sizeof si) == (ssize_t)sizeof si) stopping_ = true;
      } else if (tag == TAG_ADMIN_CLIENT) {
        serve_admin(fd, events[i].events);
      } else if ((size_t)fd < by_fd_.size() && by_fd_[fd]) {
        serve(by_fd_[fd], events[i].events);
      }
    }
    relay_.after_pass();
    if (now_ms_ >= next_sweep_ms_) {
      sweep();
      next_sweep_ms_ = now_ms_ + SERVER_SWEEP_MS;
    }
    for (Conn *c : dead_) delete c;
    dead_.clear();
  }
  LOGI("stopping: %zu connections", conn_count_);
  // What connected devices have not acknowledged is kept for their next login.
  for (Conn *c : by_fd_)
    if (c) close_conn(c, false, "shutdown");
  relay_.close();
  return 0;
}

void Server::accept_clients() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE) {
        // Out of descriptors: stop accepting until the next sweep rather
        // than spinning on a listener that stays readable.
        LOGE("accept: %s with %zu connections", strerror(errno), conn_count_);
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, listen_fd_, nullptr);
        listen_paused_ = true;
      }
      return;
    }
    if (conn_count_ >= opts_.max_connections) {
      ::close(fd);
      continue;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Conn *c = new Conn;
    c->id = ++next_conn_id_;
    c->fd = fd;
    c->ssl = SSL_new(ctx_);
    c->accepted_ms = c->last_frame_ms = now_ms_;
    if (!c->ssl || SSL_set_fd(c->ssl, fd) != 1) {
      if (c->ssl) SSL_free(c->ssl);
      ::close(fd);
      delete c;
      continue;
    }
    SSL_set_accept_state(c->ssl);
    if ((size_t)fd >= by_fd_.size()) by_fd_.resize((size_t)fd + 1, nullptr);
    by_fd_[fd] = c;
    conn_count_++;
    c->events = EPOLLIN | EPOLLRDHUP;
    if (watch(fd, c->events) != 0) close_conn(c, false, "epoll");
  }
}

static int on_frame(void *ctx, Conn *c) { return session_on_frame((Server *)ctx, c); }

void Server::serve(Conn *c, uint32_t events) {
  if (events & (EPOLLERR | EPOLLHUP)) {
    close_conn(c, false, "socket error");
    return;
  }
  if (c->state == CONN_HANDSHAKE) {
    int r = conn_handshake(c);
    if (r < 0) {
      close_conn(c, false, "handshake failed");
      return;
    }
    if (r == 0) {
      update_events(c);
      return;
    }
    c->state = CONN_LOGIN;
  }
  // Neither state reads, so a peer that left would keep the event firing.
  if ((c->stalled || c->state == CONN_CLOSING) && (events & EPOLLRDHUP)) {
    close_conn(c, false, "peer left");
    return;
  }
  if (conn_receive(c, scratch_, sizeof scratch_, session_frame_limit, on_frame, this, now_ms_) <
      0) {
    close_conn(c, false, "closed by peer or bad frame");
    return;
  }
  if (c->state == CONN_DEAD) return;
  if (conn_flush(c) < 0) {
    close_conn(c, false, "write failed");
    return;
  }
  if (c->state == CONN_CLOSING && !conn_has_output(c)) {
    close_conn(c, true, "done");
    return;
  }
  update_events(c);
}

void Server::update_events(Conn *c) {
  if (c->state == CONN_DEAD) return;
  uint32_t want = conn_wanted_events(c);
  if (want == c->events) return;
  struct epoll_event ev;
  memset(&ev, 0, sizeof ev);
  ev.events = want;
  ev.data.u64 = TAG_CONN | (uint64_t)c->fd;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c->fd, &ev) == 0) c->events = want;
}

void Server::close_conn(Conn *c, bool graceful, const char *why) {
  if (c->state == CONN_DEAD) return;
  LOGM(LOG_NET, "conn %u closed (uid %u): %s", c->id, c->uid, why);
  if (c->state == CONN_ONLINE || c->state == CONN_CLOSING) {
    leave_user_map(c);
    relay_.on_close(c);
  }
  if (graceful) SSL_shutdown(c->ssl);
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, c->fd, nullptr);
  SSL_free(c->ssl);
  c->ssl = nullptr;
  ::close(c->fd);
  by_fd_[c->fd] = nullptr;
  c->fd = -1;
  c->state = CONN_DEAD;
  conn_count_--;
  dead_.push_back(c);
  if (listen_paused_ && watch(listen_fd_, EPOLLIN) == 0) listen_paused_ = false;
}

void Server::sweep() {
  relay_.sweep(now_ms_);
  for (Conn *c : by_fd_) {
    if (!c || c->state == CONN_DEAD) continue;
    uint64_t age = now_ms_ - c->accepted_ms;
    if (c->stalled) {
      if (now_ms_ - c->last_frame_ms > SERVER_STALL_LIMIT_MS) close_conn(c, false, "stalled");
      continue;
    }
    if (c->frame_start_ms && now_ms_ - c->frame_start_ms > opts_.frame_timeout_ms)
      close_conn(c, false, "frame not finished in time");
    else if (c->state < CONN_ONLINE && age > opts_.login_timeout_ms)
      close_conn(c, false, "no login in time");
    else if (c->state == CONN_ONLINE && now_ms_ - c->last_frame_ms > opts_.idle_timeout_ms)
      close_conn(c, false, "silent");
    else if (c->state == CONN_CLOSING && now_ms_ - c->last_frame_ms > opts_.login_timeout_ms)
      close_conn(c, false, "never took its last frames");
  }
  if (listen_paused_ && watch(listen_fd_, EPOLLIN) == 0) listen_paused_ = false;
}

// ---- operations -----------------------------------------------------------

int Server::send(Conn *c, uint8_t code, uint8_t op, uint32_t param, const uint8_t *body,
                 uint32_t len) {
  if (c->state == CONN_DEAD) return -1;
  if (conn_queue(c, code, op, param, body, len) != 0 || conn_flush(c) != 0) {
    close_conn(c, false, "cannot write");
    return -1;
  }
  update_events(c);
  return 0;
}

void Server::close_after_flush(Conn *c) {
  if (c->state == CONN_DEAD) return;
  // Leaves the user map now: nothing more is delivered to it.
  if (c->state == CONN_ONLINE) leave_user_map(c);
  c->state = CONN_CLOSING;
  c->last_frame_ms = now_ms_;
  if (!conn_has_output(c)) close_conn(c, true, "closed by the service");
  else update_events(c);
}

void Server::leave_user_map(Conn *c) {
  auto it = users_.find(c->uid);
  if (it == users_.end()) return;
  auto &v = it->second;
  v.erase(std::remove(v.begin(), v.end(), c), v.end());
  if (v.empty()) users_.erase(it);
}

void Server::drop(Conn *c) { close_conn(c, false, "dropped"); }

void Server::stall(Conn *c) {
  if (c->state == CONN_DEAD) return;
  c->stalled = true;
  c->last_frame_ms = now_ms_;
  update_events(c);
}

void Server::set_online(Conn *c) {
  c->state = CONN_ONLINE;
  auto p = pacing_.find(c->uid);
  if (p == pacing_.end()) p = pacing_.find(0);
  c->pacing_ms = p == pacing_.end() ? 0 : p->second;
  users_[c->uid].push_back(c);
}

std::vector<Conn *> Server::select(uint32_t uid, uint32_t conn_id, bool online_only) {
  std::vector<Conn *> out;
  for (Conn *c : by_fd_) {
    if (!c || c->state == CONN_DEAD) continue;
    if (online_only && c->state != CONN_ONLINE) continue;
    if (conn_id != 0 && c->id != conn_id) continue;
    if (uid != 0 && c->uid != uid) continue;
    out.push_back(c);
  }
  std::sort(out.begin(), out.end(), [](Conn *a, Conn *b) { return a->id < b->id; });
  return out;
}

std::vector<Conn *> Server::online(uint32_t uid) const {
  auto it = users_.find(uid);
  return it == users_.end() ? std::vector<Conn *>() : it->second;
}

size_t Server::online_count() const {
  size_t n = 0;
  for (const auto &u : users_) n += u.second.size();
  return n;
}

bool Server::take_rule(uint32_t uid, LoginRule *out) {
  for (size_t i = 0; i < rules_.size(); i++) {
    LoginRule &r = rules_[i];
    if (r.uid != 0 && r.uid != uid) continue;
    *out = r;
    if (r.remaining > 0 && --r.remaining == 0) rules_.erase(rules_.begin() + (long)i);
    return true;
  }
  return false;
}

void Server::record_login(const Conn *c, uint8_t answer) {
  LoginRecord r;
  r.conn_id = c->id;
  r.uid = c->uid;
  r.frames = c->login_frames;
  r.identity_items = c->last_identity_items;
  r.resumed = c->resumed;
  r.via = answer == 0 ? c->via : VIA_NONE;
  r.answer = answer;
  r.host = c->host;
  logins_.push_back(r);
  if (logins_.size() > SERVER_LOGINS_KEPT) logins_.pop_front();
  login_total_++;
}

bool Server::last_sequence(uint32_t uid, uint32_t installation, uint16_t *seq) const {
  return relay_.last_sequence(uid, installation, seq);
}

DropPoint Server::drop_point(const Conn *c) {
  auto it = drop_rules_.find(c->uid);
  if (it == drop_rules_.end()) it = drop_rules_.find(0);
  if (it == drop_rules_.end() || it->second.every == 0) return DROP_NONE;
  if (random_below(it->second.every) != 0) return DROP_NONE;
  if (it->second.remaining > 0 && --it->second.remaining == 0) drop_rules_.erase(it);
  drops_++;
  return (DropPoint)(DROP_BEFORE + random_below(3));
}

// ---- admin socket ---------------------------------------------------------

void Server::accept_admin() {
  for (;;) {
    int fd = accept4(admin_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    admins_[fd] = AdminClient{fd, std::string(), std::string(), false};
    if (watch(fd, EPOLLIN | EPOLLRDHUP) != 0) close_admin(fd);
  }
}

void Server::close_admin(int fd) {
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  ::close(fd);
  admins_.erase(fd);
}

void Server::serve_admin(int fd, uint32_t events) {
  auto it = admins_.find(fd);
  if (it == admins_.end()) return;
  AdminClient &a = it->second;
  if (events & EPOLLIN) {
    char buf[4096];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        a.in.append(buf, (size_t)n);
        if (a.in.size() > SERVER_ADMIN_LINE_MAX) {
          close_admin(fd);
          return;
        }
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) a.closing = true;
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    size_t nl;
    while ((nl = a.in.find('\n')) != std::string::npos) {
      std::string line = a.in.substr(0, nl);
      a.in.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      a.out += admin_execute(this, line);
      a.out += '\n';
    }
  }
  while (!a.out.empty()) {
    ssize_t n = write(fd, a.out.data(), a.out.size());
    if (n > 0) {
      a.out.erase(0, (size_t)n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    close_admin(fd);
    return;
  }
  if ((a.closing || (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) && a.out.empty()) {
    close_admin(fd);
    return;
  }
  struct epoll_event ev;
  memset(&ev, 0, sizeof ev);
  ev.events = EPOLLRDHUP | (a.out.empty() ? EPOLLIN : EPOLLOUT);
  ev.data.u64 = TAG_ADMIN_CLIENT | (uint64_t)fd;
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev);
}
