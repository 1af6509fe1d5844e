// zalvio-service: the stand-in messaging service used by tests, benchmarks
// and the demo. See service/README.md.
//
//   zalvio-service --listen HOST:PORT --data DIR [--ping S] [--frame-timeout MS]
//                  [--login-timeout MS] [--idle-timeout MS] [--max-connections N]
//                  [--batch-units N] [--records-per-bundle N] [--expiry S] [--log-mask N]
//                  [--history N]
//       serves; port 0 picks a free one. The first line on standard output is
//       "port N", written once the service accepts connections and DIR holds
//       ca.pem; log lines follow.
//   zalvio-service mint-token --data DIR --uid N [--app NAME] [--app-id N]
//                  [--address TEXT]
//       registers a new access token for the user and prints it.
//   zalvio-service admin --data DIR COMMAND...
//       sends one admin command to the running service, prints the reply;
//       exits 1 when the reply is an error.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/registry.h"
#include "service/server.h"
#include "util/logs.h"

static int usage() {
  fprintf(stderr,
          "usage: zalvio-service --listen HOST:PORT --data DIR [--ping S] [--frame-timeout MS]\n"
          "                      [--login-timeout MS] [--idle-timeout MS] "
          "[--max-connections N]\n"
          "                      [--batch-units N] [--records-per-bundle N] [--expiry S]"
          " [--log-mask N]\n"
          "                      [--history N]\n"
          "       zalvio-service mint-token --data DIR --uid N [--app NAME] [--app-id N]"
          " [--address TEXT]\n"
          "       zalvio-service admin --data DIR COMMAND...\n");
  return 2;
}

static bool read_u32(const char *text, uint32_t *out) {
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 0);
  if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull)
    return false;
  *out = (uint32_t)v;
  return true;
}

static bool split_listen(const std::string &text, ServiceOptions *o) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  uint32_t port;
  if (host.empty() || !read_u32(text.c_str() + colon + 1, &port) || port > 65535) return false;
  o->listen_host = host;
  o->listen_port = (uint16_t)port;
  return true;
}

static int serve(int argc, char **argv) {
  ServiceOptions o;
  bool listen_given = false;
  uint32_t log_mask = 0;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    const char *v = argv[++i];
    uint32_t *number = a == "--ping"              ? &o.ping_s
                       : a == "--frame-timeout"   ? &o.frame_timeout_ms
                       : a == "--login-timeout"   ? &o.login_timeout_ms
                       : a == "--idle-timeout"    ? &o.idle_timeout_ms
                       : a == "--max-connections" ? &o.max_connections
                       : a == "--batch-units"     ? &o.batch_units
                       : a == "--records-per-bundle" ? &o.records_per_bundle
                       : a == "--expiry"          ? &o.expiry_s
                       : a == "--history"         ? &o.history
                       : a == "--log-mask"        ? &log_mask
                                                  : nullptr;
    if (a == "--listen") {
      if (!split_listen(v, &o)) return usage();
      listen_given = true;
    } else if (a == "--data") {
      o.data_dir = v;
    } else if (!number || !read_u32(v, number)) {
      return usage();
    }
  }
  if (!listen_given || o.data_dir.empty()) return usage();
  log_set_mask(log_mask);  // 2 (LOG_NET) traces every connection and login

  Server server;
  if (server.start(o) != 0) {
    LOGE("service did not start");
    return 1;
  }
  // Whoever started the service waits for this line: it must come first.
  char line[32];
  int n = snprintf(line, sizeof line, "port %u\n", server.port());
  if (write(1, line, (size_t)n) != n) return 1;
  return server.run();
}

static int mint_token(int argc, char **argv) {
  std::string dir, app, address;
  uint32_t uid = 0, app_id = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    const char *v = argv[i + 1];
    if (a == "--data") dir = v;
    else if (a == "--app") app = v;
    else if (a == "--address") address = v;
    else if (a == "--uid" && read_u32(v, &uid)) continue;
    else if (a == "--app-id" && read_u32(v, &app_id)) continue;
    else return usage();
  }
  if (argc % 2 != 0 || dir.empty() || uid == 0) return usage();
  mkdir(dir.c_str(), 0700);
  Registry registry;
  TokenRecord t;
  if (registry.open(dir + "/service.db") != 0 ||
      registry.mintToken(uid, app, app_id, address, &t) != 0) {
    fprintf(stderr, "mint-token: failed\n");
    return 1;
  }
  TokenFields f;
  memcpy(f.key, t.key, TOKEN_KEY_SIZE);
  f.uid = t.uid;
  f.options = t.options;
  f.serial = t.serial;
  f.app_id = t.app_id;
  std::string text = token_format(f);
  if (text.empty()) return 1;
  printf("%s\n", text.c_str());
  return 0;
}

static int admin(int argc, char **argv) {
  if (argc < 5 || std::string(argv[2]) != "--data") return usage();
  std::string path = std::string(argv[3]) + "/admin.sock";
  std::string command;
  for (int i = 4; i < argc; i++) {
    if (i > 4) command += ' ';
    command += argv[i];
  }
  command += '\n';
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return usage();
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
    fprintf(stderr, "admin: cannot reach %s: %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  if (write(fd, command.data(), command.size()) != (ssize_t)command.size()) return 1;
  std::string reply;
  char buf[4096];
  ssize_t n;
  while (reply.find('\n') == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0)
    reply.append(buf, (size_t)n);
  close(fd);
  fputs(reply.c_str(), stdout);
  return reply.compare(0, 2, "ok") == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
  if (argc >= 2 && std::string(argv[1]) == "mint-token") return mint_token(argc, argv);
  if (argc >= 2 && std::string(argv[1]) == "admin") return admin(argc, argv);
  return serve(argc, argv);
}
