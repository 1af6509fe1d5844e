// Transport: sockets, host choice, the adaptive connect timeout, the
// network state the application reports, the interface scan and the
// reachability probe. The engine's connect (host, resolution cache, port
// walk, TLS start) lives in net.cpp as CAPI operations; the socket helpers
// here are shared with the HTTP client.
#pragma once

#include <netdb.h>

#include <cstdint>

class Ssl;

enum : int {
  NET_REFUSED = -2,      // ECONNREFUSED
  NET_UNREACHABLE = -3,  // ENETUNREACH
  NET_ABORTED = -4,      // ECONNABORTED
};

enum : uint64_t {
  ESTIMATE_DEFAULT_US = 10000000,
  ESTIMATE_MIN_US = 10000000,
  ESTIMATE_MAX_US = 30000000,
  ESTIMATE_FLOOR_FOREGROUND_US = 3000000,
  ESTIMATE_FLOOR_BACKGROUND_US = 5000000,
  CONNECT_TIMEOUT_EXTRA_MS = 5000,
};

enum : uint8_t {
  NETWORK_LAN = 0,
  NETWORK_OTHER = 3,
  NETWORK_NONE = 255,
};

// Creates a stream socket for the entry's family and connects it to
// `port`; with timeout_ms > 0 the connect is bounded by it. Returns the
// socket, NET_REFUSED, NET_UNREACHABLE, NET_ABORTED, or -1.
int create_tcp_socket(const struct addrinfo *entry, uint16_t port, bool bind_local, int timeout_ms,
                      int syn_retries);
// Resolves `host` and connects to the first address that answers.
int connect_host(const char *host, uint16_t port, bool bind_local, int timeout_ms);
// One read, waiting at most timeout_ms for data first (0: no wait limit).
// Returns the count; 0 when interrupted or nothing came in time; -1 at the
// end of the stream or on error.
int socket_read(int sock, void *buf, int size, int timeout_ms);
int socket_keepalive(int sock, int idle_s, int interval_s, int count);
// 0 and the address of the last up, non-loopback interface with a hardware
// address; else 1 and the last usable address; else -1.
int scan_interfaces(uint32_t *address);
// 0 when a well-known destination answers or the last probe is less than
// an hour old; -1 after a total failure.
int check_wellknowndestinations();

// The connect estimate of a network class as used for the next timeout.
uint64_t connect_estimate_read(uint64_t stored_us, uint64_t seconds_since_change, bool foreground);
// The stored estimate after an attempt that took elapsed_us.
uint64_t connect_estimate_update(uint64_t stored_us, uint64_t elapsed_us, bool success);
// 10/8, 172.16/12, 192.168/16, 169.254/16 and 127/8 (host byte order).
bool is_private_ipv4(uint32_t address);

// Transport state of one engine.
struct NetState {
  char previous_host[65];
  struct addrinfo *resolved;  // resolution cache
  int resolved_count;
  uint64_t resolved_at_s;
  int last_entry;             // index of the entry that connected last
  int port_index;
  uint16_t explicit_port;     // from "host:port" in set_server, else 0
  int port_setting;           // 1 always includes the first default port, 2 leaves it out
  bool cloud_mode;
  bool refused;               // the last walk met a refusal
  int connect_errno;          // 111 refused, 101 unreachable, else 0
  uint64_t connect_time_us;   // duration of the last successful connect
  uint64_t server_identity;   // the server connected now
  uint64_t last_change_us;    // last network change
  uint32_t local_ip;
  uint32_t network_value;
  bool network_changed;
  Ssl *ssl;
  bool tls_established;
  bool verify;                // check the server's certificate
};

void net_state_init(NetState *n);
void net_forget_resolution(NetState *n);
