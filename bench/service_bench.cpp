// The stand-in service under load: how many logins per second it sustains
// when 500 clients connect at once, and how much memory each connected
// client costs it. The clients are bare non-blocking TLS state machines in
// this process (one thread, epoll), so on a small machine they compete with
// the service for the same cores: logins_per_s is a floor, and
// service_cpu_us_per_login says what one login costs the service itself.
//
//   ServiceLogins/challenge   full TLS handshake, login answered with a
//                             challenge, second login frame
//   ServiceLogins/ticket      resumed TLS session, ticket proof, one frame
//   ServiceMemory             RSS growth of the service per logged-in client
//   ServiceRelay              20,000 records of 100 bytes from one client to
//                             another, sent the way the engine sends them
//                             (bundles of 32, one awaiting its
//                             acknowledgement), each data frame echoed by a
//                             ping: records per second counted at the
//                             receiver, and service CPU per record
//   ServiceRelayLatency       1,000 single records on idle connections:
//                             one-way time from the sender's write to the
//                             receiver's read, p50 and p99
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/tlv.h"

namespace {

enum {
  CLIENTS = 500,
  MEMORY_CLIENTS = 1000,
  TOKENS = 100,  // users; each logs in from several clients
};

const char SERVICE[] = ZALVIO_BUILD_DIR "/zalvio-service";

std::string read_file(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  return ::remove(path);
}

// ---- the service process --------------------------------------------------

struct Service {
  pid_t pid = -1;
  uint16_t port = 0;
  std::string dir;

  bool start() {
    char tmpl[] = "/tmp/zalvio-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    std::string log = dir + "/service.log";
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      execl(SERVICE, SERVICE, "--listen", "127.0.0.1:0", "--data", dir.c_str(), (char *)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 2000; i++) {
      std::string text = read_file(log);
      if (text.find('\n') != std::string::npos && text.compare(0, 5, "port ") == 0) {
        port = (uint16_t)atoi(text.c_str() + 5);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::string mint(uint32_t uid) {
    std::string cmd = std::string(SERVICE) + " mint-token --data " + dir + " --uid " +
                      std::to_string(uid);
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return std::string();
    char line[256] = "";
    if (!fgets(line, sizeof line, p)) line[0] = 0;
    pclose(p);
    std::string t = line;
    while (!t.empty() && (t.back() == '\n')) t.pop_back();
    return t;
  }

  long rss_kb() const {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
      if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
    return 0;
  }

  // CPU time the service has used, in microseconds.
  double cpu_us() const {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos) return 0;
    std::istringstream fields(stat.substr(at + 2));
    std::string skip;
    for (int i = 3; i < 14; i++) fields >> skip;  // state .. cmajflt
    unsigned long long utime = 0, stime = 0;
    fields >> utime >> stime;
    return (double)(utime + stime) * 1e6 / (double)sysconf(_SC_CLK_TCK);
  }

  ~Service() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (!dir.empty()) nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  }
};

// ---- tokens and proofs, read the way the engine reads them ----------------

struct Token {
  uint8_t key[16];
  uint32_t uid = 0, options = 0, app_id = 0;
  uint64_t serial = 0;
};

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool field(const std::string &s, size_t *q, uint32_t *out) {
  if (*q >= s.size() || hexval(s[*q]) < 0) return false;
  size_t w = 15 - (size_t)hexval(s[*q]);
  if (*q + 2 * w + 1 > s.size()) return false;
  uint64_t x = strtoull(s.substr(*q + 1, w).c_str(), nullptr, 16);
  uint64_t y = strtoull(s.substr(*q + 1 + w, w).c_str(), nullptr, 16);
  *out = (uint32_t)(x ^ y);
  *q += 2 * w + 1;
  return true;
}

bool decode(const std::string &s, Token *t) {
  if (s.size() < 39) return false;
  size_t q = (size_t)hexval(s[11]) / 2 + 32;
  if (!field(s, &q, &t->uid) || !field(s, &q, &t->options)) return false;
  while (q < s.size() && hexval(s[q]) >= 0) t->serial = t->serial << 4 | (uint64_t)hexval(s[q++]);
  while (q < s.size() && s[q] >= 'g' && s[q] <= 'z') q++;
  if (!field(s, &q, &t->app_id)) return false;
  for (int i = 0; i < 16; i++) t->key[i] = (uint8_t)(hexval(s[2 * i]) << 4 | hexval(s[2 * i + 1]));
  return true;
}

std::string proof(const Token &t, uint32_t time_value, const std::string &secret) {
  uint8_t head[8];
  for (int i = 0; i < 4; i++) {
    head[i] = (uint8_t)(t.uid >> (8 * i));
    head[4 + i] = (uint8_t)(time_value >> (8 * i));
  }
  uint8_t out[32];
  unsigned int n = 0;
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  EVP_DigestInit_ex(md, EVP_sha256(), nullptr);
  EVP_DigestUpdate(md, head, 8);
  EVP_DigestUpdate(md, t.key, 16);
  EVP_DigestUpdate(md, secret.data(), secret.size());
  EVP_DigestFinal_ex(md, out, &n);
  EVP_MD_CTX_free(md);
  return std::string((const char *)out, 32);
}

// A login frame: identity items on the first, proof items when a secret
// (ticket or challenge) is given.
std::vector<uint8_t> login_frame(const Token &t, bool identity, uint32_t param,
                                 uint32_t time_value, const std::string &secret) {
  uint8_t buf[FRAME_HEADER_SIZE + 1024];
  TlvBuffer b;
  tlv_init(&b, buf + FRAME_HEADER_SIZE, 1024);
  if (identity) {
    b.put_u64(3, t.serial);
    b.put_u32(17, t.app_id);
    b.put_u32(8, 3);
  } else {
    b.put_u32(8, 3);
  }
  if (!secret.empty()) {
    std::string p = proof(t, time_value, secret);
    b.put_u32(24, time_value);
    b.put_bytes(11, p.data(), 32);
    b.put_u32(4, 1);
  }
  frame_encode(buf, FrameHeader{FRAME_LOGIN, 1, b.pos, param});
  return std::vector<uint8_t>(buf, buf + FRAME_HEADER_SIZE + b.pos);
}

// ---- one client -----------------------------------------------------------

enum Phase { CONNECTING, HANDSHAKE, SENDING, READING, ONLINE, FAILED };

struct Client {
  int fd = -1;
  SSL *ssl = nullptr;
  Phase phase = CONNECTING;
  const Token *token = nullptr;
  std::vector<uint8_t> out;
  size_t out_off = 0;
  std::vector<uint8_t> in;
  std::string ticket;
  SSL_SESSION *session = nullptr;
  uint32_t events = 0;
};

void close_client(Client *c) {
  if (c->ssl) {
    SSL_shutdown(c->ssl);  // keeps the session resumable
    SSL_free(c->ssl);
  }
  if (c->fd >= 0) close(c->fd);
  c->ssl = nullptr;
  c->fd = -1;
}

// Drives one client as far as it goes without blocking; returns the events
// it waits for, or 0 when it is done (online or failed).
uint32_t step(Client *c, SSL_CTX *ctx) {
  for (;;) {
    switch (c->phase) {
      case CONNECTING: {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
          c->phase = FAILED;
          return 0;
        }
        c->ssl = SSL_new(ctx);
        SSL_set_fd(c->ssl, c->fd);
        SSL_set_tlsext_host_name(c->ssl, "localhost");
        if (c->session) SSL_set_session(c->ssl, c->session);
        c->phase = HANDSHAKE;
        break;
      }
      case HANDSHAKE: {
        int r = SSL_connect(c->ssl);
        if (r != 1) {
          int e = SSL_get_error(c->ssl, r);
          if (e == SSL_ERROR_WANT_READ) return EPOLLIN;
          if (e == SSL_ERROR_WANT_WRITE) return EPOLLOUT;
          c->phase = FAILED;
          return 0;
        }
        uint32_t now = (uint32_t)time(nullptr);
        c->out = login_frame(*c->token, true, 0x5530AA00, now, c->ticket);
        c->out_off = 0;
        c->phase = SENDING;
        break;
      }
      case SENDING: {
        int r = SSL_write(c->ssl, c->out.data() + c->out_off, (int)(c->out.size() - c->out_off));
        if (r <= 0) {
          int e = SSL_get_error(c->ssl, r);
          if (e == SSL_ERROR_WANT_READ) return EPOLLIN;
          if (e == SSL_ERROR_WANT_WRITE) return EPOLLOUT;
          c->phase = FAILED;
          return 0;
        }
        c->out_off += (size_t)r;
        if (c->out_off == c->out.size()) c->phase = READING;
        break;
      }
      case READING: {
        uint8_t buf[4096];
        int r = SSL_read(c->ssl, buf, sizeof buf);
        if (r <= 0) {
          int e = SSL_get_error(c->ssl, r);
          if (e == SSL_ERROR_WANT_READ) return EPOLLIN;
          if (e == SSL_ERROR_WANT_WRITE) return EPOLLOUT;
          c->phase = FAILED;
          return 0;
        }
        c->in.insert(c->in.end(), buf, buf + r);
        if (c->in.size() < FRAME_HEADER_SIZE) break;
        FrameHeader h;
        frame_decode(c->in.data(), &h);
        if (c->in.size() < FRAME_HEADER_SIZE + h.length) break;
        std::vector<uint8_t> body(c->in.begin() + FRAME_HEADER_SIZE,
                                  c->in.begin() + FRAME_HEADER_SIZE + h.length);
        c->in.clear();
        const uint8_t *v = nullptr;
        int n = tlv_find(body.data(), (uint32_t)body.size(), 10, &v);
        if (h.op == 5 && n > 0) {
          c->out = login_frame(*c->token, false, h.param, h.param, std::string((const char *)v, n));
          c->out_off = 0;
          c->phase = SENDING;
        } else if (h.op == 0) {
          if (n > 0) c->ticket.assign((const char *)v, (size_t)n);
          c->phase = ONLINE;
          return 0;
        } else {
          c->phase = FAILED;
          return 0;
        }
        break;
      }
      default:
        return 0;
    }
  }
}

// Connects every client at once and drives them until all are online or
// failed. Returns the number online.
size_t login_all(std::vector<Client> &clients, SSL_CTX *ctx, uint16_t port) {
  int ep = epoll_create1(0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  size_t pending = 0;
  for (size_t i = 0; i < clients.size(); i++) {
    Client &c = clients[i];
    c.phase = CONNECTING;
    c.in.clear();
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int on = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int r = connect(c.fd, (struct sockaddr *)&a, sizeof a);
    if (r != 0 && errno != EINPROGRESS) {
      c.phase = FAILED;
      continue;
    }
    struct epoll_event ev;
    ev.events = EPOLLOUT;
    ev.data.u64 = i;
    c.events = EPOLLOUT;
    epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    pending++;
  }
  struct epoll_event evs[256];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (pending > 0 && std::chrono::steady_clock::now() < deadline) {
    int n = epoll_wait(ep, evs, 256, 1000);
    for (int k = 0; k < n; k++) {
      Client &c = clients[evs[k].data.u64];
      uint32_t want = step(&c, ctx);
      if (want == 0) {
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        pending--;
      } else if (want != c.events) {
        struct epoll_event ev = evs[k];
        ev.events = want;
        epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        c.events = want;
      }
    }
  }
  close(ep);
  size_t online = 0;
  for (Client &c : clients) online += c.phase == ONLINE;
  return online;
}

void keep_sessions(std::vector<Client> &clients) {
  for (Client &c : clients) {
    if (c.session) SSL_SESSION_free(c.session);
    c.session = c.ssl ? SSL_get1_session(c.ssl) : nullptr;
  }
}

void close_all(std::vector<Client> &clients) {
  for (Client &c : clients) close_client(&c);
}

struct Fixture {
  Service service;
  std::vector<Token> tokens;
  SSL_CTX *ctx = nullptr;

  bool ready(uint32_t users = TOKENS) {
    if (ctx) return true;
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    if (!service.start()) return false;
    for (uint32_t uid = 1; uid <= users; uid++) {
      Token t;
      if (!decode(service.mint(1000 + uid), &t)) return false;
      tokens.push_back(t);
    }
    ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(ctx, (service.dir + "/ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT);
    return true;
  }
  std::vector<Client> clients(size_t n) {
    std::vector<Client> v(n);
    for (size_t i = 0; i < n; i++) v[i].token = &tokens[i % tokens.size()];
    return v;
  }
  // Waits until the service has let go of earlier clients.
  void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }
};

// Logins, memory and relaying each get a service of their own, so the
// memory figure does not hide in heap that earlier logins left behind.
Fixture &fixture(int which) {
  static Fixture f[3];
  return f[which];
}

void BM_ServiceLogins(benchmark::State &state) {
  Fixture &f = fixture(0);
  if (!f.ready()) {
    state.SkipWithError("service did not start");
    return;
  }
  bool ticket = state.range(0) == 1;
  std::vector<Client> clients = f.clients(CLIENTS);
  if (ticket) {
    // One round to get tickets and TLS sessions, not measured.
    login_all(clients, f.ctx, f.service.port);
    keep_sessions(clients);
    close_all(clients);
    f.settle();
  }
  size_t online = 0, attempts = 0;
  double seconds = 0, service_cpu = 0;
  for (auto _ : state) {
    double cpu0 = f.service.cpu_us();
    auto t0 = std::chrono::steady_clock::now();
    online += login_all(clients, f.ctx, f.service.port);
    auto t1 = std::chrono::steady_clock::now();
    service_cpu += f.service.cpu_us() - cpu0;
    attempts += clients.size();
    double s = std::chrono::duration<double>(t1 - t0).count();
    seconds += s;
    state.SetIterationTime(s);
    state.PauseTiming();
    if (ticket) keep_sessions(clients);
    close_all(clients);
    f.settle();
    state.ResumeTiming();
  }
  for (Client &c : clients)
    if (c.session) SSL_SESSION_free(c.session);
  if (online != attempts) state.SkipWithError("some logins failed");
  state.counters["logins_per_s"] = seconds > 0 ? (double)online / seconds : 0;
  // The clients run on the same small machine; this is what one login costs
  // the service itself, the bound on what one core of it can serve.
  state.counters["service_cpu_us_per_login"] = online ? service_cpu / (double)online : 0;
  state.counters["clients"] = CLIENTS;
}
BENCHMARK(BM_ServiceLogins)
    ->ArgName("ticket")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_ServiceMemory(benchmark::State &state) {
  Fixture &f = fixture(1);
  if (!f.ready()) {
    state.SkipWithError("service did not start");
    return;
  }
  double per_client_kb = 0;
  for (auto _ : state) {
    f.settle();
    long before = f.service.rss_kb();
    std::vector<Client> clients = f.clients(MEMORY_CLIENTS);
    size_t online = login_all(clients, f.ctx, f.service.port);
    if (online != clients.size()) state.SkipWithError("some logins failed");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long after = f.service.rss_kb();
    per_client_kb = online ? (double)(after - before) / (double)online : 0;
    close_all(clients);
  }
  state.counters["rss_kb_per_client"] = per_client_kb;
  state.counters["clients"] = MEMORY_CLIENTS;
}
BENCHMARK(BM_ServiceMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- relaying: frames over a logged-in client, waiting in poll -----------

bool wait_socket(const Client *c, short events, int timeout_ms) {
  struct pollfd p = {c->fd, events, 0};
  return poll(&p, 1, timeout_ms) > 0;
}

bool write_frame(Client *c, uint8_t code, uint8_t op, uint32_t param, const uint8_t *body,
                 uint32_t len) {
  std::vector<uint8_t> bytes(FRAME_HEADER_SIZE + len);
  frame_encode(bytes.data(), FrameHeader{code, op, len, param});
  if (len) memcpy(bytes.data() + FRAME_HEADER_SIZE, body, len);
  size_t done = 0;
  while (done < bytes.size()) {
    int r = SSL_write(c->ssl, bytes.data() + done, (int)(bytes.size() - done));
    if (r > 0) {
      done += (size_t)r;
      continue;
    }
    int e = SSL_get_error(c->ssl, r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
    if (!wait_socket(c, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, 5000)) return false;
  }
  return true;
}

// 1 with a frame, 0 when none came within the timeout, -1 when closed.
int read_frame(Client *c, FrameHeader *h, std::vector<uint8_t> *body, int timeout_ms) {
  for (;;) {
    if (c->in.size() >= FRAME_HEADER_SIZE) {
      frame_decode(c->in.data(), h);
      size_t total = FRAME_HEADER_SIZE + h->length;
      if (c->in.size() >= total) {
        body->assign(c->in.begin() + FRAME_HEADER_SIZE, c->in.begin() + (long)total);
        c->in.erase(c->in.begin(), c->in.begin() + (long)total);
        return 1;
      }
    }
    uint8_t buf[16384];
    int r = SSL_read(c->ssl, buf, sizeof buf);
    if (r > 0) {
      c->in.insert(c->in.end(), buf, buf + r);
      continue;
    }
    int e = SSL_get_error(c->ssl, r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return -1;
    if (!wait_socket(c, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, timeout_ms)) return 0;
  }
}

uint32_t count_records(const std::vector<uint8_t> &body) {
  TlvBuffer t;
  tlv_init(&t, body.data(), (uint32_t)body.size());
  uint32_t type, n, records = 0;
  const uint8_t *v;
  while (t.get(&type, &n, &v) == 0) records += type == REC_START;
  return records;
}

// A bundle of `count` records of 100 bytes to `to`, ids from `first_id`;
// the first id rides in the payload so the receiver can time it.
std::vector<uint8_t> relay_bundle(uint16_t seq, uint32_t to, uint32_t first_id, uint32_t count) {
  std::vector<uint8_t> buf(BUNDLE_MAX_BODY);
  TlvBuffer b;
  tlv_init(&b, buf.data(), (uint32_t)buf.size());
  bundle_begin(&b, seq);
  uint8_t payload[100];
  memset(payload, 'x', sizeof payload);
  for (uint32_t i = 0; i < count; i++) {
    MessageParams p{};
    p.id = first_id + i;
    p.uid = to;
    p.expiry = 3600;
    p.flags = 0x3;
    memcpy(payload, &p.id, 4);
    RecordExtras x{};
    x.payload = payload;
    x.payload_len = sizeof payload;
    record_encode(&b, p, x);
  }
  buf.resize(b.pos);
  return buf;
}

// Logs in a sender and a receiver (uids 1001 and 1002).
bool relay_pair(Fixture &f, std::vector<Client> *pair) {
  pair->assign(2, Client());
  (*pair)[0].token = &f.tokens[0];
  (*pair)[1].token = &f.tokens[1];
  return login_all(*pair, f.ctx, f.service.port) == 2;
}

// Sends one bundle and reads until its acknowledgement; data frames that
// come meanwhile (delivered reports) are owed an echo in the next bundle.
bool send_bundle(Client *a, const std::vector<uint8_t> &body, uint32_t *owed) {
  if (!write_frame(a, FRAME_BUNDLE, 1, *owed, body.data(), (uint32_t)body.size())) return false;
  *owed = 0;
  FrameHeader h;
  std::vector<uint8_t> in;
  for (;;) {
    if (read_frame(a, &h, &in, 5000) != 1) return false;
    if (h.op == OP_DATA) *owed = h.param;
    else if (h.code == FRAME_BUNDLE) return true;
  }
}

enum { RELAY_MESSAGES = 20000, LATENCY_MESSAGES = 1000 };

void BM_ServiceRelay(benchmark::State &state) {
  Fixture &f = fixture(2);
  if (!f.ready(2)) {
    state.SkipWithError("service did not start");
    return;
  }
  double seconds = 0, service_cpu = 0, records = 0;
  uint16_t seq = 1;
  for (auto _ : state) {
    std::vector<Client> pair;
    if (!relay_pair(f, &pair)) {
      state.SkipWithError("login failed");
      break;
    }
    Client *a = &pair[0], *b = &pair[1];
    std::atomic<uint32_t> received{0};
    std::atomic<bool> failed{false};
    // The receiver echoes every data frame at once, as an idle engine does
    // with a ping.
    std::thread receiver([&] {
      FrameHeader h;
      std::vector<uint8_t> body;
      while (received < RELAY_MESSAGES) {
        if (read_frame(b, &h, &body, 5000) != 1) {
          failed = true;
          return;
        }
        if (h.op != OP_DATA) continue;
        received += count_records(body);
        if (!write_frame(b, FRAME_PING, 0, h.param, nullptr, 0)) {
          failed = true;
          return;
        }
      }
    });
    double cpu0 = f.service.cpu_us();
    auto t0 = std::chrono::steady_clock::now();
    uint32_t owed = 0;
    for (uint32_t sent = 0; sent < RELAY_MESSAGES && !failed;) {
      uint32_t n = std::min<uint32_t>(BUNDLE_MAX_RECORDS, RELAY_MESSAGES - sent);
      if (!send_bundle(a, relay_bundle(seq++, b->token->uid, sent + 1, n), &owed)) failed = true;
      sent += n;
    }
    receiver.join();
    auto t1 = std::chrono::steady_clock::now();
    service_cpu += f.service.cpu_us() - cpu0;
    double s = std::chrono::duration<double>(t1 - t0).count();
    seconds += s;
    records += received;
    state.SetIterationTime(s);
    close_all(pair);
    if (failed) {
      state.SkipWithError("relay failed");
      break;
    }
    f.settle();
  }
  state.counters["msgs_per_s"] = seconds > 0 ? records / seconds : 0;
  state.counters["service_cpu_us_per_msg"] = records > 0 ? service_cpu / records : 0;
}
BENCHMARK(BM_ServiceRelay)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ServiceRelayLatency(benchmark::State &state) {
  Fixture &f = fixture(2);
  if (!f.ready(2)) {
    state.SkipWithError("service did not start");
    return;
  }
  std::vector<double> one_way_us;
  uint16_t seq = 30000;
  for (auto _ : state) {
    std::vector<Client> pair;
    if (!relay_pair(f, &pair)) {
      state.SkipWithError("login failed");
      break;
    }
    Client *a = &pair[0], *b = &pair[1];
    uint32_t owed = 0, echo = 0;
    FrameHeader h;
    std::vector<uint8_t> body;
    bool failed = false;
    for (uint32_t i = 0; i < LATENCY_MESSAGES && !failed; i++) {
      auto t0 = std::chrono::steady_clock::now();
      std::vector<uint8_t> bundle = relay_bundle(seq++, b->token->uid, i + 1, 1);
      if (!write_frame(a, FRAME_BUNDLE, 1, owed, bundle.data(), (uint32_t)bundle.size())) break;
      // One thread plays both ends: the receiver's read comes first, so the
      // sender's acknowledgement and reports do not delay it.
      do {
        failed = read_frame(b, &h, &body, 5000) != 1;
      } while (!failed && h.op != OP_DATA);
      auto t1 = std::chrono::steady_clock::now();
      one_way_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      echo = h.param;
      if (failed || !write_frame(b, FRAME_PING, 0, echo, nullptr, 0)) break;
      do {  // the receiver's ping answer
        failed = read_frame(b, &h, &body, 5000) != 1;
      } while (!failed && h.code != FRAME_PING);
      do {  // the sender's bundle acknowledgement, reports before it
        failed = read_frame(a, &h, &body, 5000) != 1;
        if (!failed && h.op == OP_DATA) owed = h.param;
      } while (!failed && !(h.code == FRAME_BUNDLE && h.op < 0x40));
    }
    close_all(pair);
    if (failed || one_way_us.size() < LATENCY_MESSAGES) {
      state.SkipWithError("relay failed");
      break;
    }
  }
  std::sort(one_way_us.begin(), one_way_us.end());
  auto pct = [&](double q) {
    return one_way_us.empty() ? 0 : one_way_us[(size_t)(q * (double)(one_way_us.size() - 1))];
  };
  state.counters["p50_us"] = pct(0.50);
  state.counters["p99_us"] = pct(0.99);
}
BENCHMARK(BM_ServiceRelayLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
