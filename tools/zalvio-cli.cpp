// zalvio-cli: a command-line client of the messaging service, written
// against the public interface alone (zalvio.h and libzalvio.so), as any
// application would be.
//
// One process is one user on one device: the library keeps one engine per
// process. Every command sets the engine up the same way (data directory,
// token, database, server, trusted CA), does its one job and stops the
// engine again. Commands that talk to the service first wait until the
// engine is logged in, so that an unreachable service or a refused token is
// reported as what it is instead of as a message that never leaves.
//
// Output. The library writes its diagnostics to standard output from the
// moment it is loaded. The client keeps standard output for its own lines:
// before any library initialiser runs, descriptor 1 is set aside for the
// client and replaced by /dev/null (or by the --log file). Errors go to
// standard error as one sentence; the exit code says what kind (see usage).
//
// Texts from the network are printed with control characters escaped, so
// that a peer cannot drive the reader's terminal.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zalvio.h"

// Exit codes, documented in the usage text.
enum {
  EXIT_OK = 0,
  EXIT_FAILED = 1,
  EXIT_USAGE = 2,
  EXIT_UNREACHABLE = 3,
  EXIT_TOKEN = 4,
  EXIT_UNKNOWN_PEER = 5,
  EXIT_TIMEOUT = 6,
  EXIT_LOCAL = 7,
};

// Statuses of a sent message that the service reports as failures.
enum {
  CLI_STATUS_UNKNOWN_PEER = 131,
  CLI_STATUS_EXPIRED = 132,
};

static const char USAGE[] =
    "usage: zalvio-cli [options] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  send PEER TEXT     send one message; waits until the service has it\n"
    "  listen             print incoming messages and status changes as they happen\n"
    "  history PEER       the stored conversation with PEER, page by page, newest first\n"
    "  conversations      every conversation: its latest message and unread count\n"
    "  chat PEER          interactive: every line you type is sent to PEER; messages\n"
    "                     and receipts appear as they arrive; end with Ctrl-D\n"
    "PEER is a user's address, e.g. u1002.\n"
    "\n"
    "options:\n"
    "  --server HOST:PORT the messaging service (send, listen, chat)\n"
    "  --token TOKEN      your access token\n"
    "  --token-file FILE  read the access token from FILE instead\n"
    "  --data DIR         where your messages are kept (default: the library's, ~/.zalvio)\n"
    "  --ca FILE          trust this CA certificate (PEM) for the service's certificate\n"
    "  --app NAME         the application name your token was issued for, if any\n"
    "  --timeout SECONDS  how long to wait for the service (default 10)\n"
    "  --log FILE         append the library's diagnostics to FILE\n"
    "  --help             this text\n"
    "  --                 what follows is not an option (a TEXT starting with --)\n"
    "send:    --wait-delivered   also wait until the peer's device has the message\n"
    "listen:  --count N          stop after N incoming messages\n"
    "         --for SECONDS      stop after that long (default: until Ctrl-C)\n"
    "history: --page N           messages per page (default 20)\n"
    "         --oldest-first     page from the first message on\n"
    "\n"
    "exit codes:\n"
    "  0  done\n"
    "  1  the message failed (refused by the library or the service)\n"
    "  2  bad command line\n"
    "  3  the service cannot be reached (wrong address, not running, certificate not trusted)\n"
    "  4  the access token was refused (malformed, unknown or revoked), or this user\n"
    "     was signed out because it signed in on another device\n"
    "  5  unknown peer: the service has no user with that address\n"
    "  6  timed out (the service did not take or deliver the message in time,\n"
    "     or listen --count saw fewer messages)\n"
    "  7  local data: the data directory or the database cannot be used\n";

// ---- output ------------------------------------------------------------

static int g_out_fd = -1;

static void set_stdout_aside(int, char **, char **) {
  g_out_fd = dup(1);
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) {
    dup2(null_fd, 1);
    close(null_fd);
  }
}

// Runs before the initialisers of the shared libraries (the executable's
// preinit array comes first), so even the library's load line misses the
// client's output.
typedef void (*PreinitFunction)(int, char **, char **);
__attribute__((section(".preinit_array"), used)) static const PreinitFunction g_preinit =
    set_stdout_aside;

static FILE *g_out = nullptr;
static std::mutex g_out_lock;

static void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void say(const char *format, ...) {
  std::lock_guard<std::mutex> guard(g_out_lock);
  va_list args;
  va_start(args, format);
  vfprintf(g_out, format, args);
  va_end(args);
  fflush(g_out);
}

static int fail(int code, const char *format, ...) __attribute__((format(printf, 2, 3)));
static int fail(int code, const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("zalvio-cli: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  return code;
}

// A text as it may be shown on a terminal: control characters (C0, DEL and
// the C1 range) escaped; bytes of invalid UTF-8 escaped one by one.
static std::string printable(const char *text) {
  if (!text) return std::string();
  bool valid = ZalvioIsUTF8(text, 0) == 1;
  std::string out;
  char hex[8];
  for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
    unsigned char c = *p;
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !valid)) {
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else if (c == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
      snprintf(hex, sizeof hex, "\\u%04x", p[1]);
      out += hex;
      p++;
    } else {
      out += (char)c;
    }
  }
  return out;
}

static std::string clock_now() {
  time_t t = time(nullptr);
  struct tm tm;
  localtime_r(&t, &tm);
  char text[16];
  strftime(text, sizeof text, "%H:%M:%S", &tm);
  return text;
}

// "[09:07:03]" from the message's own time (with the date when asked), or
// the local clock when the message carries none.
static std::string stamp(ZalvioMessage &m, bool with_date) {
  ZalvioDateTime *when = m.timestamp ? m.getTimestampObject() : nullptr;
  const char *date = when && with_date ? when->getDate(0) : nullptr;
  const char *time_text = when ? when->getTime(1) : nullptr;
  std::string s = "[";
  if (date) s += std::string(date) + " ";
  s += time_text ? time_text : clock_now();
  return s + "]";
}

// A text the service will carry: UTF-8 without control characters other
// than tab and line breaks.
static bool sendable(const std::string &text) {
  return !text.empty() && ZalvioIsUTF8(text.c_str(), (uint32_t)text.size()) == 1 &&
         strlen(text.c_str()) == text.size();
}

static std::string body(ZalvioMessage &m) {
  if (m.isDeleted()) return "(deleted)";
  const char *text = m.getMessage();
  if (text && *text) return printable(text);
  // A plain message's text arrives as its raw body.
  MessageData *data = m.getData();
  if (data && data->length) {
    std::string raw((const char *)data->data, data->length);
    if (sendable(raw)) return printable(raw.c_str());
    return "(" + std::to_string(data->length) + " bytes of data)";
  }
  if (m.file.path || m.file.url) return "(a file)";
  return "";
}

static bool failed_status(int status) { return (status & ZALVIO_STATUS_FAILED_BIT) != 0; }

static const struct {
  int status;
  const char *name;
} STATUS_NAMES[] = {
    {ZALVIO_STATUS_OUTBOX, "waiting to be sent"},
    {ZALVIO_STATUS_SENT, "sent"},
    {ZALVIO_STATUS_DELIVERED, "delivered"},
    {ZALVIO_STATUS_READ, "read"},
    {ZALVIO_STATUS_UNREAD, "unread"},
    {ZALVIO_STATUS_RECEIVED, "read"},
    {CLI_STATUS_UNKNOWN_PEER, "failed: no such user"},
    {CLI_STATUS_EXPIRED, "failed: expired before delivery"},
};

static std::string status_name(int status) {
  for (const auto &s : STATUS_NAMES)
    if (s.status == status) return s.name;
  if (failed_status(status)) return "failed (status " + std::to_string(status) + ")";
  return "status " + std::to_string(status);
}

static std::string conversation_name(ZalvioMessage &m) {
  if (m.groupid) return "group " + std::to_string(m.groupid);
  return m.peer ? printable(m.peer) : "?";
}

// ---- command line ------------------------------------------------------

struct Options {
  std::string server, token, token_file, data, ca, log, app;
  int timeout_s = 10;
  std::string command;
  std::vector<std::string> args;
  bool wait_delivered = false;
  long count = -1;  // listen
  long for_s = -1;  // listen
  long page = 20;   // history
  bool oldest_first = false;
};

static bool parse_number(const char *text, long min, long *out) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno || !end || *end || end == text || v < min) return false;
  *out = v;
  return true;
}

// 0, or an exit code (usage printed or an error said).
static int parse_options(int argc, char **argv, Options *o) {
  struct Text {
    const char *name;
    std::string *value;
  } texts[] = {{"--server", &o->server}, {"--token", &o->token}, {"--token-file", &o->token_file},
               {"--data", &o->data},     {"--ca", &o->ca},       {"--log", &o->log},
               {"--app", &o->app}};
  struct Number {
    const char *name;
    long min;
    long *value;
  } numbers[] = {{"--count", 1, &o->count}, {"--for", 1, &o->for_s}, {"--page", 1, &o->page}};
  bool options_end = false;  // after "--" everything is an argument
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (!options_end && !strcmp(a, "--")) {
      options_end = true;
      continue;
    }
    if (!options_end && (!strcmp(a, "--help") || !strcmp(a, "-h"))) {
      say("%s", USAGE);
      exit(EXIT_OK);
    }
    if (options_end || strncmp(a, "--", 2) != 0) {
      if (o->command.empty())
        o->command = a;
      else
        o->args.push_back(a);
      continue;
    }
    if (!strcmp(a, "--wait-delivered")) {
      o->wait_delivered = true;
      continue;
    }
    if (!strcmp(a, "--oldest-first")) {
      o->oldest_first = true;
      continue;
    }
    if (i + 1 >= argc) return fail(EXIT_USAGE, "%s needs a value (see --help)", a);
    const char *value = argv[++i];
    bool known = false;
    for (const Text &t : texts) {
      if (strcmp(a, t.name)) continue;
      *t.value = value;
      known = true;
    }
    for (const Number &n : numbers) {
      if (strcmp(a, n.name)) continue;
      if (!parse_number(value, n.min, n.value))
        return fail(EXIT_USAGE, "%s wants a whole number of at least %ld, not '%s'", a, n.min,
                    value);
      known = true;
    }
    if (!strcmp(a, "--timeout")) {
      long t;
      if (!parse_number(value, 1, &t) || t > 3600)
        return fail(EXIT_USAGE, "--timeout wants seconds from 1 to 3600, not '%s'", value);
      o->timeout_s = (int)t;
      known = true;
    }
    if (!known) return fail(EXIT_USAGE, "unknown option %s (see --help)", a);
  }
  return 0;
}

static bool read_token_file(const std::string &path, std::string *token) {
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return false;
  char line[1024];
  bool ok = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  if (!ok) return false;
  line[strcspn(line, "\r\n")] = 0;
  *token = line;
  return !token->empty();
}

// ---- the listener ------------------------------------------------------

// What the engine reports, for the command that waits on it and for the
// reader. Callbacks run on the engine thread (and on the sending thread for
// the echo of a send); everything shared is under `lock`.
class Client : public ZalvioListener {
 public:
  // What the reader sees as it happens: nothing, the statuses of this
  // run's own messages, or everything.
  enum Show { SHOW_NOTHING, SHOW_OWN_STATUS, SHOW_EVERYTHING };

  std::mutex lock;
  std::condition_variable changed;
  std::atomic<int> show{SHOW_NOTHING};
  Zalvio *engine = nullptr;
  std::string greeting;  // added to the first "online" line
  int connection = 0;
  bool ever_online = false;
  bool token_refused = false;
  bool signed_out = false;
  bool connect_failed = false;
  long incoming = 0;
  std::map<uint64_t, int> sent_status;  // messages this run sent: their latest status
  std::map<uint64_t, std::string> sent_text;

  int onMessage(ZalvioMessage &m) override { return message(m, false); }
  int onMessageUpdate(ZalvioMessage &m) override { return message(m, true); }

  // Each callback shows its line before it records what happened: the
  // command waiting for that record may end the process at once.
  int onMessageStatus(ZalvioMessage &m) override {
    bool own;
    std::string what;
    {
      std::lock_guard<std::mutex> guard(lock);
      auto it = sent_status.find(m.id);
      own = it != sent_status.end();
      // The service may acknowledge the bundle after it reported that the
      // message cannot be delivered; the failure is what counts.
      if (own && failed_status(it->second) && !failed_status(m.status)) return 0;
      auto text = sent_text.find(m.id);
      what = text != sent_text.end() ? "\"" + text->second + "\"" : "#" + std::to_string(m.id);
    }
    if (show == SHOW_EVERYTHING || (own && show == SHOW_OWN_STATUS))
      say("[%s] %s to %s: %s\n", clock_now().c_str(), what.c_str(), conversation_name(m).c_str(),
          status_name(m.status).c_str());
    if (own) {
      std::lock_guard<std::mutex> guard(lock);
      sent_status[m.id] = m.status;
    }
    changed.notify_all();
    return 0;
  }

  int onConnectionStatus(int status) override {
    // The first login is announced before the command goes on (it waits
    // for ever_online) and before what the service kept for this user
    // arrives.
    bool first;
    {
      std::lock_guard<std::mutex> guard(lock);
      first = status == ZALVIO_ONLINE && !ever_online;
    }
    if (first && show == SHOW_EVERYTHING)
      say("[%s] -- online as %s%s\n", clock_now().c_str(), engine->getAddress(), greeting.c_str());
    bool report;
    {
      std::lock_guard<std::mutex> guard(lock);
      report = ever_online && status != connection && status != ZALVIO_STOPPED &&
               (status == ZALVIO_ONLINE || connection == ZALVIO_ONLINE);
      connection = status;
      if (status == ZALVIO_ONLINE) ever_online = true;
      if (status == ZALVIO_AUTH_FAILED) token_refused = true;
      if (status == ZALVIO_SIGNED_OUT) signed_out = true;
      if (status == ZALVIO_CONNECT_FAILED || status == ZALVIO_SERVER_DOWN ||
          status == ZALVIO_NO_NETWORK)
        connect_failed = true;
    }
    changed.notify_all();
    if (report && show == SHOW_EVERYTHING)
      say("[%s] -- %s\n", clock_now().c_str(),
          status == ZALVIO_ONLINE ? "online again" : "connection lost, reconnecting");
    return 0;
  }

  int onPresence(ZalvioPresence &) override { return 0; }
  int onEndToEndEncryption(const char *, int) override { return 0; }

 private:
  int message(ZalvioMessage &m, bool update) {
    bool mine = !m.isIncoming();
    // The echo of this run's own sends is shown by the command itself.
    if (show == SHOW_EVERYTHING && !(mine && m.isRealtime() && knows(m.id))) {
      std::string who = mine ? "you to " + conversation_name(m) : conversation_name(m);
      if (!mine && m.groupid && m.peer) who = printable(m.peer) + " in " + who;
      say("%s %s%s: %s\n", stamp(m, false).c_str(), who.c_str(), update ? " (changed)" : "",
          body(m).c_str());
    }
    if (!mine) {
      std::lock_guard<std::mutex> guard(lock);
      incoming++;
    }
    changed.notify_all();
    return 0;
  }

  bool knows(uint64_t id) {
    std::lock_guard<std::mutex> guard(lock);
    return sent_status.count(id) != 0;
  }
};

// Rows a read session delivers, kept as copies (the originals are lent to
// the callback only).
class Rows : public ZalvioListener {
 public:
  std::vector<std::unique_ptr<ZalvioMessage>> rows;

  int onMessage(ZalvioMessage &m) override {
    rows.emplace_back(m.copy());
    return 0;
  }
  int onMessageUpdate(ZalvioMessage &m) override { return onMessage(m); }
  int onMessageStatus(ZalvioMessage &) override { return 0; }
  int onPresence(ZalvioPresence &) override { return 0; }
  int onConnectionStatus(int) override { return 0; }
  int onEndToEndEncryption(const char *, int) override { return 0; }
};

// ---- the engine ----------------------------------------------------------

static volatile sig_atomic_t g_stop = 0;
static int g_signal_pipe[2] = {-1, -1};

static void on_signal(int) {
  g_stop = 1;
  char c = 1;
  ssize_t n = write(g_signal_pipe[1], &c, 1);
  (void)n;
}

static void catch_signals() {
  if (pipe(g_signal_pipe) != 0) return;
  fcntl(g_signal_pipe[0], F_SETFL, O_NONBLOCK);
  fcntl(g_signal_pipe[1], F_SETFL, O_NONBLOCK);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Everything a command needs before it reads or connects: the data
// directory, the token (which names the user's database) and the database.
static int open_store(Zalvio *z, Client *client, const Options &o) {
  z->setListener(client);
  if (!o.data.empty()) {
    if (z->setPath(o.data.c_str()) != 0)
      return fail(EXIT_LOCAL, "cannot use %s as the data directory", o.data.c_str());
  }
  std::string token = o.token;
  if (!o.token_file.empty() && !read_token_file(o.token_file, &token))
    return fail(EXIT_TOKEN, "cannot read an access token from %s", o.token_file.c_str());
  if (token.empty()) return fail(EXIT_USAGE, "--token or --token-file is needed (see --help)");
  if (z->setAccessToken(token.c_str()) != 0)
    return fail(EXIT_TOKEN, "the access token is malformed");
  if (z->setDatabase("messages.db", 0) != 0)
    return fail(EXIT_LOCAL, "cannot open the message database in %s", z->getBasePath());
  return 0;
}

// Waits until `done` (asked under the client's lock) holds, the deadline
// passes or a signal arrives. True when done.
static bool until(Client *client, std::chrono::steady_clock::time_point deadline,
                  const std::function<bool()> &done) {
  std::unique_lock<std::mutex> guard(client->lock);
  for (;;) {
    if (done()) return true;
    auto now = std::chrono::steady_clock::now();
    if (g_stop || now >= deadline) return false;
    // Signals only set a flag: look at it every tenth of a second.
    auto slice = now + std::chrono::milliseconds(100);
    client->changed.wait_until(guard, slice < deadline ? slice : deadline);
  }
}

// Starts the engine and waits until it is logged in.
static int connect(Zalvio *z, Client *client, const Options &o) {
  if (o.server.empty()) return fail(EXIT_USAGE, "--server HOST:PORT is needed (see --help)");
  if (z->setServer(o.server.c_str()) != 0)
    return fail(EXIT_USAGE, "'%s' is not a server address (HOST:PORT)", o.server.c_str());
  if (!o.ca.empty() && z->addTrustedCA(o.ca.c_str()) != 0)
    return fail(EXIT_USAGE, "cannot read the CA certificate %s", o.ca.c_str());
  if (!o.app.empty()) z->setAppName(o.app.c_str());
  if (z->start() != 0) {
    std::lock_guard<std::mutex> guard(client->lock);
    if (client->token_refused) return fail(EXIT_TOKEN, "the service refused the access token");
    return fail(EXIT_FAILED, "the library would not start");
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeout_s);
  until(client, deadline, [client] {
    return client->ever_online || client->token_refused || client->signed_out ||
           client->connect_failed;
  });
  std::lock_guard<std::mutex> guard(client->lock);
  if (client->ever_online) return 0;
  if (client->token_refused) return fail(EXIT_TOKEN, "the service refused the access token");
  if (client->signed_out)
    return fail(EXIT_TOKEN, "signed out: this user signed in on another device");
  if (g_stop) return fail(EXIT_FAILED, "interrupted");
  return fail(EXIT_UNREACHABLE, "cannot reach the service at %s (%s)", o.server.c_str(),
              client->connect_failed
                  ? "no connection could be made, or its certificate is not trusted"
                  : "no answer in time");
}

static std::chrono::steady_clock::time_point after_seconds(long s) {
  return std::chrono::steady_clock::now() + std::chrono::seconds(s);
}

// The engine acknowledges what it received on its next pass; a command
// that ends right after a message gives it that moment, so the sender hears
// "delivered" now rather than at this user's next login.
static void let_acknowledgements_leave() { usleep(250 * 1000); }

// Reached the wanted status (sent or delivered; read counts as both), or
// failed.
static bool settled(int status, int wanted) {
  return failed_status(status) || (status >= wanted && status <= ZALVIO_STATUS_READ);
}

// Sends one text; its id, or 0 when the library refused it.
static uint64_t send_text(Zalvio *z, Client *client, const std::string &peer,
                          const std::string &text, int *result) {
  ZalvioMessage *m = z->newMessage(peer.c_str());
  if (!m) {
    *result = -1;
    return 0;
  }
  m->setMessage(text.c_str());
  uint64_t id = m->id;
  {
    std::lock_guard<std::mutex> guard(client->lock);
    client->sent_status[id] = ZALVIO_STATUS_OUTBOX;
    client->sent_text[id] = printable(text.c_str());
  }
  *result = m->send();
  delete m;
  return *result == 0 ? id : 0;
}

// ---- commands ------------------------------------------------------------

static int cmd_send(Zalvio *z, Client *client, const Options &o) {
  const std::string &peer = o.args[0], &text = o.args[1];
  if (!sendable(text)) return fail(EXIT_USAGE, "the text must be UTF-8 without control characters");
  client->show = Client::SHOW_OWN_STATUS;
  int rc = connect(z, client, o);
  if (rc) return rc;
  int result = 0;
  uint64_t id = send_text(z, client, peer, text, &result);
  if (!id) return fail(EXIT_FAILED, "the library refused the message (code %d)", result);
  int wanted = o.wait_delivered ? ZALVIO_STATUS_DELIVERED : ZALVIO_STATUS_SENT;
  until(client, after_seconds(o.timeout_s),
        [&] { return settled(client->sent_status[id], wanted); });
  int status;
  long arrived;
  {
    std::lock_guard<std::mutex> guard(client->lock);
    status = client->sent_status[id];
    arrived = client->incoming;
  }
  if (arrived > 0)
    say("(%ld new message%s arrived meanwhile: see conversations)\n", arrived,
        arrived > 1 ? "s" : "");
  if (status == CLI_STATUS_UNKNOWN_PEER)
    return fail(EXIT_UNKNOWN_PEER, "unknown peer: the service has no user %s", peer.c_str());
  if (failed_status(status))
    return fail(EXIT_FAILED, "the message failed: %s", status_name(status).c_str());
  if (settled(status, wanted)) return EXIT_OK;
  if (status == ZALVIO_STATUS_OUTBOX)
    return fail(EXIT_TIMEOUT,
                "the service did not confirm the message within %d s; it stays in the outbox "
                "and leaves with the next command that connects",
                o.timeout_s);
  return fail(EXIT_TIMEOUT,
              "the service has the message, but %s's device did not take it within %d s "
              "(it is delivered when they connect)",
              peer.c_str(), o.timeout_s);
}

static int cmd_listen(Zalvio *z, Client *client, const Options &o) {
  client->show = Client::SHOW_EVERYTHING;
  int rc = connect(z, client, o);
  if (rc) return rc;
  auto deadline = o.for_s > 0 ? after_seconds(o.for_s) : after_seconds(10L * 365 * 86400);
  until(client, deadline, [&] {
    return (o.count > 0 && client->incoming >= o.count) || client->token_refused ||
           client->signed_out;
  });
  bool refused, signed_out;
  long incoming;
  {
    std::lock_guard<std::mutex> guard(client->lock);
    refused = client->token_refused;
    signed_out = client->signed_out;
    incoming = client->incoming;
  }
  if (refused) return fail(EXIT_TOKEN, "the service refused the access token");
  if (signed_out) return fail(EXIT_TOKEN, "signed out: this user signed in on another device");
  if (o.count > 0 && incoming >= o.count) {
    let_acknowledgements_leave();
    return EXIT_OK;
  }
  if (o.count > 0 && !g_stop)
    return fail(EXIT_TIMEOUT, "%ld of %ld messages arrived in %ld s", incoming, o.count, o.for_s);
  return EXIT_OK;
}

static void print_row(ZalvioMessage &m) {
  std::string who = m.isIncoming() ? conversation_name(m) : "you";
  if (m.isIncoming() && m.groupid && m.peer) who = printable(m.peer);
  std::string state = m.isIncoming() ? "" : "  (" + status_name(m.status) + ")";
  say("%s %s: %s%s\n", stamp(m, true).c_str(), who.c_str(), body(m).c_str(), state.c_str());
}

// Between pages on a terminal: Enter for more, q to stop.
static bool want_more() {
  if (!isatty(0) || !isatty(fileno(g_out))) return true;
  say("-- more: Enter, or q and Enter to stop --");
  char line[64];
  if (!fgets(line, sizeof line, stdin)) return false;
  return line[0] != 'q' && line[0] != 'Q';
}

static int cmd_history(Zalvio *z, Client *, const Options &o) {
  const std::string &peer = o.args[0];
  Rows rows;
  std::unique_ptr<ZalvioReadSession> session(z->createReadSession(peer.c_str(), 0, 0, &rows));
  if (o.oldest_first) session->enableForward(1);
  for (int page = 1;; page++) {
    rows.rows.clear();
    int n = session->read((int)o.page);
    if (n < 0) return fail(EXIT_LOCAL, "cannot read the conversation with %s", peer.c_str());
    if (n == 0) {
      if (page == 1) say("no messages with %s\n", peer.c_str());
      break;
    }
    say("-- page %d --\n", page);
    // Pages go back in time, but each one reads top to bottom.
    if (!o.oldest_first)
      for (size_t i = rows.rows.size(); i-- > 0;) print_row(*rows.rows[i]);
    else
      for (auto &m : rows.rows) print_row(*m);
    if (n < o.page || !want_more()) break;
  }
  return EXIT_OK;
}

static int cmd_conversations(Zalvio *z, Client *, const Options &) {
  Rows rows;
  std::unique_ptr<ZalvioReadSession> session(z->createReadSession(nullptr, 0, 0, &rows));
  session->enableSummary(1);
  int n = session->read(0);
  if (n < 0) return fail(EXIT_LOCAL, "cannot read the conversation list");
  if (n == 0) say("no conversations yet\n");
  for (auto &m : rows.rows) {
    std::string who = m->isIncoming()
                          ? (m->groupid && m->peer ? printable(m->peer) : conversation_name(*m))
                          : "you";
    say("%-12s %3d unread   last %s %s: %s\n", conversation_name(*m).c_str(), m->getUnreadCount(),
        stamp(*m, true).c_str(), who.c_str(), body(*m).c_str());
  }
  return EXIT_OK;
}

// Splits what arrived on standard input into lines; a last line without
// its newline counts at the end of input.
class LineReader {
 public:
  // Reads what is available. False at end of input (or an error).
  bool fill(int fd) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      if (!pending_.empty()) lines_.push_back(pending_);
      pending_.clear();
      return false;
    }
    for (ssize_t i = 0; i < n; i++) {
      if (buf[i] != '\n') {
        pending_ += buf[i];
        continue;
      }
      if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
      lines_.push_back(pending_);
      pending_.clear();
    }
    return true;
  }
  bool next(std::string *line) {
    if (lines_.empty()) return false;
    *line = lines_.front();
    lines_.erase(lines_.begin());
    return true;
  }

 private:
  std::string pending_;
  std::vector<std::string> lines_;
};

static void chat_send(Zalvio *z, Client *client, const std::string &peer, const std::string &line) {
  if (line.empty()) return;
  if (!sendable(line)) {
    fail(0, "not sent: the text must be UTF-8 without control characters");
    return;
  }
  say("[%s] you: %s\n", clock_now().c_str(), printable(line.c_str()).c_str());
  int result = 0;
  if (!send_text(z, client, peer, line, &result))
    say("[%s] not sent: the library refused it (code %d)\n", clock_now().c_str(), result);
}

static int cmd_chat(Zalvio *z, Client *client, const Options &o) {
  const std::string &peer = o.args[0];
  client->show = Client::SHOW_EVERYTHING;
  client->greeting = ", chatting with " + printable(peer.c_str()) + " (end with Ctrl-D)";
  int rc = connect(z, client, o);
  if (rc) return rc;
  // An open session with receipts: what arrives while the chat is open is
  // read, and the peer is told so.
  Rows earlier;
  std::unique_ptr<ZalvioReadSession> session(z->createReadSession(peer.c_str(), 0, 0, &earlier));
  session->enableReadReceipt(1);
  z->setForeground();
  if (session->read(10) > 0) {
    say("-- earlier --\n");
    for (size_t i = earlier.rows.size(); i-- > 0;) print_row(*earlier.rows[i]);
    say("-- now --\n");
  }

  LineReader input;
  bool open = true;
  while (open && !g_stop) {
    struct pollfd fds[2] = {{0, POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
    int n = poll(fds, 2, 100);
    if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) open = input.fill(0);
    std::string line;
    while (input.next(&line)) chat_send(z, client, peer, line);
    std::lock_guard<std::mutex> guard(client->lock);
    if (client->token_refused) return fail(EXIT_TOKEN, "the service refused the access token");
    if (client->signed_out)
      return fail(EXIT_TOKEN, "signed out: this user signed in on another device");
  }
  // Input ended: wait for the service to take what was typed.
  until(client, after_seconds(o.timeout_s), [&] {
    for (auto &s : client->sent_status)
      if (!settled(s.second, ZALVIO_STATUS_SENT)) return false;
    return true;
  });
  let_acknowledgements_leave();
  session->stop();
  std::lock_guard<std::mutex> guard(client->lock);
  int unsent = 0, unknown = 0;
  for (auto &s : client->sent_status) {
    if (s.second == CLI_STATUS_UNKNOWN_PEER) unknown++;
    if (!settled(s.second, ZALVIO_STATUS_SENT)) unsent++;
  }
  if (unknown)
    return fail(EXIT_UNKNOWN_PEER, "unknown peer: the service has no user %s", peer.c_str());
  if (unsent)
    return fail(EXIT_TIMEOUT,
                "%d message%s not confirmed by the service within %d s (kept in the outbox)",
                unsent, unsent > 1 ? "s were" : " was", o.timeout_s);
  return EXIT_OK;
}

// ---- main ----------------------------------------------------------------

struct Command {
  const char *name;
  size_t args;  // exactly this many arguments
  const char *usage;
  int (*run)(Zalvio *, Client *, const Options &);
};

static const Command COMMANDS[] = {
    {"send", 2, "send PEER TEXT", cmd_send},
    {"listen", 0, "listen", cmd_listen},
    {"history", 1, "history PEER", cmd_history},
    {"conversations", 0, "conversations", cmd_conversations},
    {"chat", 1, "chat PEER", cmd_chat},
};

int main(int argc, char **argv) {
  g_out = g_out_fd >= 0 ? fdopen(g_out_fd, "w") : nullptr;
  if (!g_out) g_out = stderr;
  Options o;
  int rc = parse_options(argc, argv, &o);
  if (rc) return rc;
  if (o.command.empty()) {
    fputs(USAGE, stderr);
    return EXIT_USAGE;
  }
  const Command *command = nullptr;
  for (const Command &c : COMMANDS)
    if (o.command == c.name) command = &c;
  if (!command) return fail(EXIT_USAGE, "unknown command '%s' (see --help)", o.command.c_str());
  if (o.args.size() != command->args)
    return fail(EXIT_USAGE, "usage: zalvio-cli [options] %s", command->usage);
  if (command->args > 0 && o.args[0].empty()) return fail(EXIT_USAGE, "PEER is empty");
  if (!o.log.empty()) {
    int fd = open(o.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return fail(EXIT_USAGE, "cannot write the log file %s", o.log.c_str());
    dup2(fd, 1);
    close(fd);
  }
  catch_signals();

  Zalvio *z = ZalvioInstance(0);
  Client client;
  client.engine = z;
  rc = open_store(z, &client, o);
  if (rc == 0) rc = command->run(z, &client, o);
  client.show = Client::SHOW_NOTHING;
  z->stop();
  z->wait();
  z->setListener(nullptr);
  return rc;
}
