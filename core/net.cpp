// Transport: socket helpers, the connect estimate, the reachability probe,
// and the engine's connect (host choice, resolution cache, port walk, TLS).
#include "core/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/api.h"
#include "core/hosts.h"
#include "util/logs.h"
#include "util/mutex.h"
#include "util/random.h"
#include "util/time.h"

enum : uint64_t {
  PROBE_INTERVAL_S = 3600,
  PROBE_TIMEOUT_MS = 10000,
  PROBE_PORT = 443,
  PROBE_TRIES = 3,
  RESOLVE_STALE_S = 3600,
  ATTEMPT_SHORT_US = 4000000,   // a quick failure waits until 5 s passed
  ATTEMPT_SPACING_US = 5000000,
  ATTEMPT_REFUSED_US = 17000000,
  CHANGE_WINDOW_S = 15,
  CHANGE_RECENT_S = 5,
  TLS_DEADLINE_MIN_MS = 10000,
  TLS_WAIT_MIN_MS = 3000,
  TLS_PIECE = 16384,
};

static const uint16_t kTlsPorts[] = {443, 8443, 5223};
static const uint16_t kPlainPorts[] = {80, 5222, 5228, 513};

// ---- socket helpers -------------------------------------------------------

static int set_blocking(int sock, bool blocking) {
  int fl = fcntl(sock, F_GETFL, 0);
  if (fl < 0) return -1;
  return fcntl(sock, F_SETFL, blocking ? fl & ~O_NONBLOCK : fl | O_NONBLOCK);
}

static int connect_error_result(int err) {
  if (err == ECONNREFUSED) return NET_REFUSED;
  if (err == ENETUNREACH) return NET_UNREACHABLE;
  if (err == ECONNABORTED) return NET_ABORTED;
  return -1;
}

int create_tcp_socket(const struct addrinfo *entry, uint16_t port, bool bind_local, int timeout_ms,
                      int syn_retries) {
  if (!entry || !entry->ai_addr) return -1;
  if (bind_local) {
    LOGC("Bind to be implemented for ipv6 version");
    return -1;
  }
  struct sockaddr_storage addr;
  memcpy(&addr, entry->ai_addr, entry->ai_addrlen);
  if (addr.ss_family == AF_INET)
    ((struct sockaddr_in *)&addr)->sin_port = htons(port);
  else if (addr.ss_family == AF_INET6)
    ((struct sockaddr_in6 *)&addr)->sin6_port = htons(port);
  else
    return -1;

  int sock = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  if (timeout_ms <= 0) {
    if (connect(sock, (struct sockaddr *)&addr, entry->ai_addrlen) == 0) return sock;
    int err = errno;
    close(sock);
    return connect_error_result(err);
  }

  int syn = syn_retries;
  if (syn <= 0 && timeout_ms > 20000) syn = timeout_ms > 90000 ? 8 : timeout_ms > 45000 ? 7 : 6;
  if (syn > 0) setsockopt(sock, IPPROTO_TCP, TCP_SYNCNT, &syn, sizeof syn);
  set_blocking(sock, false);
  int err = 0;
  if (connect(sock, (struct sockaddr *)&addr, entry->ai_addrlen) != 0) {
    err = errno;
    if (err == EINPROGRESS) {
      fd_set wr;
      FD_ZERO(&wr);
      FD_SET(sock, &wr);
      struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
      int r = select(sock + 1, nullptr, &wr, nullptr, &tv);
      if (r <= 0) {
        err = r == 0 ? ETIMEDOUT : errno;
      } else {
        socklen_t len = sizeof err;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      }
    }
  }
  if (err != 0) {
    close(sock);
    errno = err;
    return connect_error_result(err);
  }
  set_blocking(sock, true);
  return sock;
}

int connect_host(const char *host, uint16_t port, bool bind_local, int timeout_ms) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *list = nullptr;
  if (!host || getaddrinfo(host, nullptr, &hints, &list) != 0) return -1;
  int sock = -1;
  for (struct addrinfo *a = list; a && sock < 0; a = a->ai_next)
    sock = create_tcp_socket(a, port, bind_local, timeout_ms, 0);
  freeaddrinfo(list);
  return sock < 0 ? -1 : sock;
}

int socket_read(int sock, void *buf, int size, int timeout_ms) {
  if (timeout_ms > 0) {
    int pending = 0;
    if (ioctl(sock, FIONREAD, &pending) != 0 || pending <= 0) {
      fd_set rd;
      FD_ZERO(&rd);
      FD_SET(sock, &rd);
      struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
      int r = select(sock + 1, &rd, nullptr, nullptr, &tv);
      if (r < 0) return errno == EINTR ? 0 : -1;
      if (r == 0) return 0;
    }
  }
  ssize_t n = recv(sock, buf, (size_t)size, timeout_ms > 0 ? MSG_DONTWAIT : 0);
  if (n > 0) return (int)n;
  if (n == 0) return -1;
  if (errno == EINTR) return 0;
  if ((errno == EAGAIN || errno == EWOULDBLOCK) && timeout_ms > 0) return 0;
  return -1;
}

int socket_keepalive(int sock, int idle_s, int interval_s, int count) {
  int on = 1;
  if (setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
    LOGE("setsockopt SO_KEEPALIVE failed (%s)", strerror(errno));
    return -1;
  }
  if (idle_s > 0 && setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s) != 0) {
    LOGE("setsockopt TCP_KEEPIDLE failed");
    return -1;
  }
  if (interval_s > 0 &&
      setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s) != 0) {
    LOGE("setsockopt TCP_KEEPINTVL failed");
    return -1;
  }
  if (count > 0 && setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) {
    LOGE("setsockopt TCP_KEEPCNT failed");
    return -1;
  }
  return 0;
}

int scan_interfaces(uint32_t *address) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  struct ifreq reqs[8];
  struct ifconf conf;
  conf.ifc_len = sizeof reqs;
  conf.ifc_req = reqs;
  if (ioctl(sock, SIOCGIFCONF, &conf) != 0) {
    close(sock);
    return -1;
  }
  int count = conf.ifc_len / (int)sizeof(struct ifreq);
  int result = -1;
  bool seen_running = false;
  for (int i = 0; i < count; i++) {
    struct ifreq r = reqs[i];
    uint32_t ip = ntohl(((struct sockaddr_in *)&r.ifr_addr)->sin_addr.s_addr);
    if (ip == 0 || ip == 0x7F000001) continue;
    if (ioctl(sock, SIOCGIFFLAGS, &r) != 0) continue;
    if (!(r.ifr_flags & IFF_UP) || (r.ifr_flags & IFF_LOOPBACK)) continue;
    bool running = r.ifr_flags & IFF_RUNNING;
    if (seen_running && !running) continue;
    if (running) seen_running = true;
    r = reqs[i];
    bool hw = false;
    if (ioctl(sock, SIOCGIFHWADDR, &r) == 0)
      for (int b = 0; b < 6; b++) hw = hw || r.ifr_hwaddr.sa_data[b] != 0;
    if (hw) {
      *address = ip;
      result = 0;
    } else if (result != 0) {
      *address = ip;
      result = 1;
    }
  }
  close(sock);
  return result;
}

static std::atomic<uint64_t> g_last_probe_s{0};

int check_wellknowndestinations() {
  uint64_t now = clock_now_s();
  uint64_t last = g_last_probe_s.load();
  if (last && now - last < PROBE_INTERVAL_S) return 0;
  g_last_probe_s.store(now);
  static const HostName probes[] = {HOST_PROBE_1, HOST_PROBE_2, HOST_PROBE_3, HOST_PROBE_4,
                                    HOST_PROBE_5};
  int n = (int)(sizeof probes / sizeof probes[0]);
  int at = (int)random_below31((uint32_t)n);
  for (int i = 0; i < (int)PROBE_TRIES; i++, at = (at + 1) % n) {
    struct addrinfo hints, *list = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host_get(probes[at]), nullptr, &hints, &list) != 0) return -1;
    int sock = create_tcp_socket(list, PROBE_PORT, false, PROBE_TIMEOUT_MS, 0);
    freeaddrinfo(list);
    if (sock >= 0) {
      close(sock);
      return 0;
    }
  }
  LOGE("total network failure - no destination was reachable (even tried non-zalvio destinations)");
  return -1;
}

// ---- connect estimate -----------------------------------------------------

uint64_t connect_estimate_read(uint64_t stored, uint64_t since_change_s, bool foreground) {
  uint64_t b = stored;
  if (since_change_s <= CHANGE_WINDOW_S) {
    uint64_t d = since_change_s <= CHANGE_RECENT_S ? b / 4 : b / 2;
    uint64_t floor = foreground ? ESTIMATE_FLOOR_FOREGROUND_US : ESTIMATE_FLOOR_BACKGROUND_US;
    if (d < floor)
      b = floor;
    else if (b == 0 || b >= d)
      b = d;
  }
  return b ? b : ESTIMATE_DEFAULT_US;
}

uint64_t connect_estimate_update(uint64_t stored, uint64_t a, bool success) {
  uint64_t c = stored;
  if (c) {
    if (success)
      a = ((a > 10 * c ? 4 * c : a) + 3 * c) / 4;
    else
      a = c < a ? c + c / 2 : c;
  }
  if (a < ESTIMATE_MIN_US) a = ESTIMATE_MIN_US;
  if (a > ESTIMATE_MAX_US) a = ESTIMATE_MAX_US;
  return a;
}

bool is_private_ipv4(uint32_t a) {
  return (a >> 24) == 10 || (a >> 20) == (172u << 4 | 1) || (a >> 16) == (192u << 8 | 168) ||
         (a >> 16) == (169u << 8 | 254) || (a >> 24) == 127;
}

void net_state_init(NetState *n) {
  memset((void *)n, 0, sizeof *n);
  n->verify = true;
}

void net_forget_resolution(NetState *n) {
  if (n->resolved) freeaddrinfo(n->resolved);
  n->resolved = nullptr;
  n->resolved_count = 0;
  n->last_entry = 0;
}

// ---- the engine's connection ----------------------------------------------

uint64_t CAPI::connect_timeout_ms() {
  int cls = network_type == NETWORK_LAN ? 0 : 1;
  uint64_t now = clock_now_us();
  uint64_t since = net.last_change_us ? (now - net.last_change_us) / 1000000 : UINT64_MAX;
  return connect_estimate_read(settings.connect_estimate[cls], since, foreground) / 1000 +
         CONNECT_TIMEOUT_EXTRA_MS;
}

void CAPI::pause_us(uint64_t us) {
  uint64_t end = clock_now_us() + us;
  for (;;) {
    if (stop_reason.load() != STOP_NONE) return;
    uint64_t now = clock_now_us();
    if (now >= end) return;
    int s = sock.load();
    // Only the wake-up pair is watched here: the server socket is closed.
    if (s < 0) {
      wait_event(0, (int64_t)(end - now));
      drain();
    } else {
      usleep((useconds_t)((end - now) > 100000 ? 100000 : end - now));
    }
  }
}

// The 64-bit identity of a server: its IPv4 address, or the last 8 bytes
// of its IPv6 address.
static uint64_t server_identity_of(const struct addrinfo *entry) {
  if (entry->ai_family == AF_INET)
    return ntohl(((const struct sockaddr_in *)entry->ai_addr)->sin_addr.s_addr);
  uint64_t v = 0;
  const uint8_t *b = ((const struct sockaddr_in6 *)entry->ai_addr)->sin6_addr.s6_addr + 8;
  for (int i = 0; i < 8; i++) v = v << 8 | b[i];
  return v;
}

static void fill_default_ports(CAPI *e) {
  e->port_count = 0;
  if (e->net.explicit_port) {
    e->ports[e->port_count++] = e->net.explicit_port;
    return;
  }
  const uint16_t *list = e->tls_on ? kTlsPorts : kPlainPorts;
  int n = e->tls_on ? 3 : 4;
  bool skip_first = e->net.port_setting == 2 || (!e->net.cloud_mode && e->net.port_setting != 1);
  for (int i = skip_first ? 1 : 0; i < n; i++) e->ports[e->port_count++] = list[i];
}

int CAPI::connect_address(const struct addrinfo *entry, const char *host) {
  for (int tried = 0; tried < port_count; tried++) {
    if (stop_reason.load() != STOP_NONE) return -1;
    int cls = network_type == NETWORK_LAN ? 0 : 1;
    uint16_t port = ports[net.port_index % port_count];
    uint64_t started = clock_now_us();
    int s = create_tcp_socket(entry, port, false, (int)connect_timeout_ms(), 0);
    int err = errno;
    uint64_t elapsed = clock_now_us() - started;
    {
      MutexGuard guard(&settings_lock);
      settings.connect_estimate[cls] =
          connect_estimate_update(settings.connect_estimate[cls], elapsed, s >= 0);
    }
    bool refused = s == NET_REFUSED || s == NET_UNREACHABLE;
    if (s >= 0) {
      // Frames are written whole; a small one must not wait for the
      // acknowledgement of the previous one.
      int on = 1;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      attempt_reached_server = true;
      uint64_t identity = server_identity_of(entry);
      if (identity != settings.server_identity) {
        server_failures = 0;
        settings.server_identity = identity;
        settings.dirty = true;
      }
      net.server_identity = identity;
      net.connect_time_us = elapsed;
      sock.store(s);
      if (tls_on && tls_start(host) != 0) close_socket();
      if (sock.load() >= 0) {
        no_network = false;
        if (settings.redirect_attempts) {
          settings.redirect_attempts = 0;
          save_settings();
        }
        if (stop_reason.load() != STOP_NONE) {
          close_socket();
          return -1;
        }
        return 0;
      }
    } else if (!refused && net.resolved_at_s && clock_now_s() - net.resolved_at_s > RESOLVE_STALE_S) {
      if (check_wellknowndestinations() != 0) {
        net_forget_resolution(&net);
        return -1;
      }
    }
    if (refused) attempt_reached_server = true;
    if (elapsed <= ATTEMPT_SHORT_US && !refused) pause_us(ATTEMPT_SPACING_US - elapsed);
    if (elapsed <= ATTEMPT_REFUSED_US && refused) {
      net.refused = true;
      net.connect_errno = s == NET_REFUSED ? ECONNREFUSED : ENETUNREACH;
      net.port_index = (net.port_index + 1) % port_count;
      (void)err;
      return -1;
    }
    net.port_index = (net.port_index + 1) % port_count;
  }
  return -1;
}

int CAPI::connect_server() {
  close_socket();
  net.tls_established = false;
  net.refused = false;
  net.connect_errno = 0;
  net.cloud_mode = true;

  const char *host;
  uint32_t fixed_ipv4 = 0;
  uint64_t now_s = clock_now_s();
  if (redirect_active(now_s)) {
    host = login.redirect.host;
    fixed_ipv4 = login.redirect.ipv4;
    net.cloud_mode = !(login.redirect.mode == 10 || login.redirect.mode == 11);
  } else {
    host = (options & 0x8) ? alt_host : server_host;
  }
  if (strcmp(host, net.previous_host) != 0 || port_count == 0) {
    if (net.previous_host[0]) {
      login.ticket_loaded = false;
      login.ticket_len = 0;
      login.first_on_server = true;
    }
    net_forget_resolution(&net);
    server_failures = 0;
    snprintf(net.previous_host, sizeof net.previous_host, "%s", host);
    if (net.cloud_mode) {
      fill_default_ports(this);
    } else {
      port_count = 0;
      for (int i = 0; i < login.redirect.port_count && i < (int)PORTS_MAX; i++)
        ports[port_count++] = login.redirect.ports[i];
      if (port_count == 0) fill_default_ports(this);
    }
    net.port_index = 0;
  }
  if (!strchr(host, '.')) return -1;

  if (!net.resolved) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (fixed_ipv4) {
      hints.ai_family = AF_INET;
      hints.ai_flags = AI_NUMERICHOST;
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &fixed_ipv4, text, sizeof text);
      if (getaddrinfo(text, nullptr, &hints, &net.resolved) != 0) net.resolved = nullptr;
    } else if (getaddrinfo(host, nullptr, &hints, &net.resolved) != 0) {
      net.resolved = nullptr;
    }
    if (!net.resolved) {
      LOGE("unable to resolve %s", host);
      return -1;
    }
    net.resolved_count = 0;
    for (struct addrinfo *a = net.resolved; a; a = a->ai_next) net.resolved_count++;
    net.resolved_at_s = now_s;
    net.last_entry = 0;
  }
  if (holdoff_active(clock_now_us())) return -1;

  for (int i = 0; i < net.resolved_count; i++) {
    int index = (net.last_entry + i) % net.resolved_count;
    struct addrinfo *entry = net.resolved;
    for (int k = 0; k < index; k++) entry = entry->ai_next;
    if (connect_address(entry, host) == 0) {
      net.last_entry = index;
      return 0;
    }
    if (net.refused || stop_reason.load() != STOP_NONE) break;
  }
  net_forget_resolution(&net);
  if (!net.cloud_mode) LOGE("zalvio: unable to connect to app on-premise server: %s", host);
  return -1;
}

int CAPI::tls_start(const char *host) {
  if (!net.ssl) {
    net.ssl = SslFactory::create_client();
    if (!net.ssl) return -1;
    net.ssl->set_listener(this);
  }
  SSL_SESSION *resume = nullptr;
  {
    MutexGuard guard(&settings_lock);
    if (settings.tls_session.len && settings.tls_server == net.server_identity &&
        settings.tls_serial == serial) {
      const unsigned char *p = settings.tls_session.data;
      resume = d2i_SSL_SESSION(nullptr, &p, settings.tls_session.len);
    }
  }
  uint64_t ms = net.connect_time_us / 1000;
  int deadline = (int)(20 * ms > TLS_DEADLINE_MIN_MS ? 20 * ms : TLS_DEADLINE_MIN_MS);
  int per_wait = (int)(5 * ms > TLS_WAIT_MIN_MS ? 5 * ms : TLS_WAIT_MIN_MS);
  net.ssl->set_timeouts(deadline, per_wait);
  int r = net.ssl->start(sock.load(), host, net.verify, 0, resume);
  if (resume) SSL_SESSION_free(resume);
  if (r != 0) return -1;
  net.tls_established = true;
  return 0;
}

void CAPI::on_new_session(SSL_SESSION *session) {
  int len = i2d_SSL_SESSION(session, nullptr);
  if (len <= 0) return;
  uint8_t *bytes = (uint8_t *)malloc((size_t)len);
  if (!bytes) return;
  uint8_t *p = bytes;
  i2d_SSL_SESSION(session, &p);
  if (settings_set_bytes(settings_context(), &settings.tls_session, bytes, (uint32_t)len) == 0) {
    MutexGuard guard(&settings_lock);
    settings.tls_saved_s = (uint32_t)clock_now_s();
    settings.tls_serial = serial;
    settings.tls_server = net.server_identity;
  }
  free(bytes);
}

int CAPI::conn_send(const void *buf, uint32_t len) {
  int s = sock.load();
  if (s < 0) return -1;
  if (!net.tls_established) {
    ssize_t n = send(s, buf, len, MSG_NOSIGNAL);
    return n == (ssize_t)len ? (int)n : -1;
  }
  uint32_t done = 0;
  while (done < len) {
    uint32_t piece = len - done > TLS_PIECE ? (uint32_t)TLS_PIECE : len - done;
    int n = net.ssl->write((const uint8_t *)buf + done, (int)piece);
    if (n <= 0) return -1;
    done += (uint32_t)n;
    if ((uint32_t)n < piece) break;
  }
  return done == len ? (int)len : -1;
}

int CAPI::conn_recv(void *buf, uint32_t len, int timeout_ms) {
  int s = sock.load();
  if (s < 0) return -1;
  if (net.tls_established) return net.ssl->read(buf, (int)len, timeout_ms);
  return socket_read(s, buf, (int)len, timeout_ms);
}

int CAPI::set_network(int type, const char *ip, int value) {
  if (uid == 0 || !running.load()) {
    network_type = (uint8_t)type;
    return 0;
  }
  if (type == NETWORK_NONE) {
    no_network = true;
    next_ping_us = 0;
  } else {
    if (type != network_type) server_failures = 0;
    no_network = false;
    uint32_t addr = 0;
    struct in_addr in;
    if (ip && inet_pton(AF_INET, ip, &in) == 1) addr = ntohl(in.s_addr);
    if (addr && is_private_ipv4(addr) && type != NETWORK_LAN) type = NETWORK_LAN;
    net.local_ip = addr;
    net.network_value = (uint32_t)value;
    network_type = (uint8_t)type;
    net.network_changed = true;
    net.last_change_us = clock_now_us();
  }
  wake_if_running();
  return 0;
}

int CAPI::set_trusted_ca(const char *pem_file) { return ssl_add_trusted_ca(pem_file); }

int CAPI::set_tls_verify(int on) {
  net.verify = on != 0;
  if (!on) LOGE("TLS certificate verification turned off: for development only");
  return 0;
}
