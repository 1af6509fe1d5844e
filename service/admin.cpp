// Admin commands: see admin.h and service/README.md.
#include "service/admin.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <map>
#include <vector>

#include "core/tlv.h"
#include "service/server.h"
#include "service/session.h"
#include "util/random.h"

static const char ADMIN_HELP[] =
    "ok commands: stats | conns [uid=|conn=] | logins [uid=] | "
    "redirect [uid=] [count=] [host=] [addr=] [port=P,P] [mode=] [sleep=] [validity=] "
    "[attempts=] [penalty=] [value=] [blob=HEX] [ticket=1] [param=] | "
    "answer [uid=] [count=] op= [param=] [hex=|text=] | refuse [uid=] [count=] [op=] | "
    "stall-login [uid=] [count=] | clear | "
    "send [uid=|conn=] op= [code=] [param=] [hex=|text=] | signout | close | pingreq | "
    "stall | drop [uid=|conn=] | pace [uid=] ms= | revoke serial= | "
    "drop-random [uid=] every= [count=] [seed=] | group-create gid= [members=U,U] | "
    "group-add gid= members= | group-remove gid= members= | group-delete gid= | "
    "groups [gid=] | stored [uid=] | history uid= [peer=] | history gid=";

struct AdminArgs {
  std::string verb;
  std::map<std::string, std::string> values;
  std::string error;

  bool has(const char *key) const { return values.count(key) != 0; }
  std::string text(const char *key) const {
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
  }
  // A number argument; a malformed one is remembered as the error.
  uint64_t number(const char *key, uint64_t fallback, uint64_t max = 0xFFFFFFFFu) {
    auto it = values.find(key);
    if (it == values.end()) return fallback;
    const char *s = it->second.c_str();
    char *end = nullptr;
    unsigned long long v = strtoull(s, &end, 0);
    if (*s == '\0' || *s == '-' || *end != '\0' || v > max) {
      error = "bad number for " + std::string(key);
      return fallback;
    }
    return v;
  }
};

static AdminArgs parse(const std::string &line) {
  AdminArgs a;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') i++;
    if (i >= line.size()) break;
    size_t end = line.find(' ', i);
    if (end == std::string::npos) end = line.size();
    std::string word = line.substr(i, end - i);
    if (a.verb.empty()) {
      a.verb = word;
    } else if (word.compare(0, 5, "text=") == 0) {
      a.values["text"] = line.substr(i + 5);  // the rest of the line, blanks too
      break;
    } else {
      size_t eq = word.find('=');
      if (eq == std::string::npos || eq == 0) a.error = "expected key=value: " + word;
      else a.values[word.substr(0, eq)] = word.substr(eq + 1);
    }
    i = end;
  }
  return a;
}

static bool hex_decode(const std::string &hex, std::string *out) {
  if (hex.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    char pair[3] = {hex[i], hex[i + 1], 0};
    char *end = nullptr;
    long v = strtol(pair, &end, 16);
    if (*end != '\0') return false;
    out->push_back((char)v);
  }
  return true;
}

// The frame body given by hex= or text=.
static std::string body_of(AdminArgs *a) {
  if (a->has("hex")) {
    std::string b;
    if (!hex_decode(a->text("hex"), &b)) a->error = "bad hex";
    return b;
  }
  return a->text("text");
}

static const char *state_name(ConnState s) {
  switch (s) {
    case CONN_HANDSHAKE: return "handshake";
    case CONN_LOGIN: return "login";
    case CONN_CHALLENGED: return "challenged";
    case CONN_ONLINE: return "online";
    case CONN_CLOSING: return "closing";
    default: return "dead";
  }
}

static const char *via_name(LoginVia v) {
  return v == VIA_TICKET ? "ticket" : v == VIA_CHALLENGE ? "challenge" : "none";
}

static std::string describe(const Conn *c) {
  char line[512];
  snprintf(line, sizeof line,
           "id=%u uid=%u state=%s frames=%u identity=%u resumed=%d via=%s host=%s acked=%u "
           "stalled=%d",
           c->id, c->uid, state_name(c->state), c->login_frames, c->last_identity_items,
           c->resumed ? 1 : 0, via_name(c->via), c->host.empty() ? "-" : c->host.c_str(),
           c->acked, c->stalled ? 1 : 0);
  return line;
}

static std::string describe(const LoginRecord &r) {
  char line[512];
  snprintf(line, sizeof line,
           "conn=%u uid=%u answer=0x%02x frames=%u identity=%u resumed=%d via=%s host=%s",
           r.conn_id, r.uid, r.answer, r.frames, r.identity_items, r.resumed ? 1 : 0,
           via_name(r.via), r.host.empty() ? "-" : r.host.c_str());
  return line;
}

static std::string ok_count(size_t n) { return "ok " + std::to_string(n); }

// ---- login rules ----------------------------------------------------------

static bool parse_ports(const std::string &text, std::vector<uint16_t> *ports) {
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text.find(',', i);
    if (end == std::string::npos) end = text.size();
    std::string p = text.substr(i, end - i);
    char *stop = nullptr;
    unsigned long v = strtoul(p.c_str(), &stop, 10);
    if (p.empty() || *stop != '\0' || v == 0 || v > 65535) return false;
    ports->push_back((uint16_t)v);
    i = end + 1;
  }
  return true;
}

static std::string add_rule(Server *s, AdminArgs *a) {
  LoginRule r{};
  r.uid = (uint32_t)a->number("uid", 0);
  r.remaining = (uint32_t)a->number("count", 1);
  if (a->verb == "redirect") {
    r.kind = RULE_REDIRECT;
    RedirectOrder &d = r.redirect;
    d.host = a->text("host");
    if (a->has("addr")) {
      d.has_ipv4 = inet_pton(AF_INET, a->text("addr").c_str(), d.ipv4) == 1;
      if (!d.has_ipv4) a->error = "bad addr";
    }
    if (a->has("port") && !parse_ports(a->text("port"), &d.ports)) a->error = "bad port";
    d.mode = (uint32_t)a->number("mode", 0, 0xFFFF);
    d.sleep_s = (uint32_t)a->number("sleep", 0);
    d.validity_s = (uint32_t)a->number("validity", 0);
    d.attempts = (uint32_t)a->number("attempts", 0, 0xFFFF);
    d.penalty_s = (uint32_t)a->number("penalty", 0);
    d.value = (uint32_t)a->number("value", 0);
    d.param = (uint32_t)a->number("param", 0);
    if (a->has("blob") && !hex_decode(a->text("blob"), &d.blob)) a->error = "bad blob";
    r.redirect_ticket = a->number("ticket", 0) != 0;
  } else if (a->verb == "stall-login") {
    r.kind = RULE_STALL;
  } else {
    r.kind = RULE_ANSWER;
    uint64_t fallback = a->verb == "refuse" ? OP_AUTHFAIL_FIRST : 0x100;
    r.op = (uint8_t)a->number("op", fallback, 0xFF);
    if (a->verb == "answer" && !a->has("op")) a->error = "op= is required";
    if (a->verb == "refuse" && r.op < OP_AUTHFAIL_FIRST) a->error = "refuse takes op 0xC0-0xFF";
    r.param = (uint32_t)a->number("param", 0);
    r.body = body_of(a);
    if (r.op == LOGIN_OK || r.op == LOGIN_CHALLENGE) a->error = "use the real login for op 0 and 5";
  }
  if (!a->error.empty()) return "error " + a->error;
  s->rules().push_back(r);
  return "ok";
}

// ---- connection commands --------------------------------------------------

static std::string act(Server *s, AdminArgs *a) {
  uint32_t uid = (uint32_t)a->number("uid", 0);
  uint32_t conn = (uint32_t)a->number("conn", 0);
  const std::string &v = a->verb;
  uint8_t op = 0, code = FRAME_LOGIN;
  uint32_t param = 0;
  std::string body;
  if (v == "send") {
    if (!a->has("op")) a->error = "op= is required";
    op = (uint8_t)a->number("op", 0, 0xFF);
    code = (uint8_t)a->number("code", op == OP_DATA ? FRAME_BUNDLE : FRAME_LOGIN, 15);
    param = (uint32_t)a->number("param", 0);
    body = body_of(a);
  } else if (v == "signout") {
    op = OP_SIGNED_OUT;
  } else if (v == "close") {
    op = OP_CLOSE;
  } else if (v == "pingreq") {
    op = OP_PING_REQUEST;
  }
  if (!a->error.empty()) return "error " + a->error;

  bool online_only = v != "drop" && v != "stall";
  std::vector<Conn *> conns = s->select(uid, conn, online_only);
  for (Conn *c : conns) {
    if (v == "drop") {
      s->drop(c);
    } else if (v == "stall") {
      s->stall(c);
    } else if (v == "send" && op == OP_DATA && !a->has("param")) {
      session_send_data(s, c, (const uint8_t *)body.data(), (uint32_t)body.size());
    } else {
      if (s->send(c, code, op, param, (const uint8_t *)body.data(), (uint32_t)body.size()) != 0)
        continue;
      if (v == "close") s->close_after_flush(c);
    }
  }
  return ok_count(conns.size());
}

// ---- relay ----------------------------------------------------------------

static bool parse_uids(const std::string &text, std::vector<uint32_t> *uids) {
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text.find(',', i);
    if (end == std::string::npos) end = text.size();
    std::string u = text.substr(i, end - i);
    char *stop = nullptr;
    unsigned long long v = strtoull(u.c_str(), &stop, 0);
    if (u.empty() || u[0] == '-' || *stop != '\0' || v == 0 || v > 0xFFFFFFFFull) return false;
    uids->push_back((uint32_t)v);
    i = end + 1;
  }
  return true;
}

static std::string join(const std::vector<uint32_t> &uids) {
  std::string s;
  for (uint32_t u : uids) s += (s.empty() ? "" : ",") + std::to_string(u);
  return s.empty() ? "-" : s;
}

static std::string group_command(Server *s, AdminArgs *a) {
  uint32_t gid = (uint32_t)a->number("gid", 0);
  std::vector<uint32_t> members;
  if (a->has("members") && !parse_uids(a->text("members"), &members)) a->error = "bad members";
  if (a->verb != "groups" && gid == 0 && a->error.empty()) a->error = "gid= is required";
  if ((a->verb == "group-add" || a->verb == "group-remove") && members.empty() &&
      a->error.empty())
    a->error = "members= is required";
  if (!a->error.empty()) return "error " + a->error;

  Relay &r = s->relay();
  if (a->verb == "groups") {
    std::string list;
    size_t n = 0;
    for (const auto &g : r.groups()) {
      if (gid && g.first != gid) continue;
      list += " | gid=" + std::to_string(g.first) + " members=" + join(g.second);
      n++;
    }
    return ok_count(n) + list;
  }
  bool exists = r.groups().count(gid) != 0;
  int rc;
  if (a->verb == "group-create" || a->verb == "group-add") {
    if (a->verb == "group-add" && !exists) return "error no group " + std::to_string(gid);
    rc = r.add_members(gid, members);
  } else if (a->verb == "group-remove") {
    rc = exists ? r.remove_members(gid, members) : -1;
  } else {
    rc = exists ? r.delete_group(gid) : -1;
  }
  if (rc != 0) return exists ? "error database" : "error no group " + std::to_string(gid);
  auto g = r.groups().find(gid);
  return g == r.groups().end() ? "ok" : "ok members=" + join(g->second);
}

static std::string drop_random(Server *s, AdminArgs *a) {
  uint32_t uid = (uint32_t)a->number("uid", 0);
  uint32_t every = (uint32_t)a->number("every", 0);
  uint32_t count = (uint32_t)a->number("count", 0);
  uint64_t seed = a->number("seed", 0, ~0ull);
  if (!a->has("every")) a->error = "every= is required";
  if (!a->error.empty()) return "error " + a->error;
  if (a->has("seed")) random_seed(seed);
  if (every == 0) s->drop_rules().erase(uid);
  else s->drop_rules()[uid] = DropRule{every, count};
  return "ok";
}

static std::string stats(Server *s) {
  const RelayStats &r = s->relay().stats();
  char line[512];
  snprintf(line, sizeof line,
           "ok connections=%zu online=%zu logins=%llu bundles=%llu duplicates=%llu "
           "records=%llu relayed=%llu stored=%llu delivered=%llu expired=%llu "
           "unroutable=%llu reports=%llu drops=%llu kept=%llu syncs=%llu",
           s->connection_count(), s->online_count(), (unsigned long long)s->login_total(),
           (unsigned long long)r.bundles, (unsigned long long)r.duplicates,
           (unsigned long long)r.records, (unsigned long long)r.relayed,
           (unsigned long long)r.stored, (unsigned long long)r.delivered,
           (unsigned long long)r.expired, (unsigned long long)r.unroutable,
           (unsigned long long)r.reports, (unsigned long long)s->drops(),
           (unsigned long long)r.kept, (unsigned long long)r.syncs);
  return line;
}

// ---- entry ----------------------------------------------------------------

std::string admin_execute(Server *s, const std::string &line) {
  AdminArgs a = parse(line);
  if (!a.error.empty()) return "error " + a.error;
  const std::string &v = a.verb;

  if (v == "help") return ADMIN_HELP;
  if (v == "stats") return stats(s);
  if (v == "group-create" || v == "group-add" || v == "group-remove" || v == "group-delete" ||
      v == "groups")
    return group_command(s, &a);
  if (v == "drop-random") return drop_random(s, &a);
  if (v == "stored") {
    uint32_t uid = (uint32_t)a.number("uid", 0);
    if (!a.error.empty()) return "error " + a.error;
    int64_t n = s->relay().stored_count(uid);
    return n < 0 ? "error database" : ok_count((size_t)n);
  }
  if (v == "history") {
    uint32_t uid = (uint32_t)a.number("uid", 0);
    uint32_t peer = (uint32_t)a.number("peer", 0);
    uint32_t gid = (uint32_t)a.number("gid", 0);
    if (a.error.empty() && !uid == !gid) a.error = "uid= or gid= is required";
    if (a.error.empty() && peer && !uid) a.error = "peer= goes with uid=";
    if (!a.error.empty()) return "error " + a.error;
    uint64_t conv = gid ? history_group(gid) : peer ? history_pair(uid, peer) : 0;
    int64_t n = s->relay().history_count(conv, uid);
    return n < 0 ? "error database" : ok_count((size_t)n);
  }
  if (v == "conns") {
    uint32_t uid = (uint32_t)a.number("uid", 0);
    uint32_t conn = (uint32_t)a.number("conn", 0);
    if (!a.error.empty()) return "error " + a.error;
    std::vector<Conn *> conns = s->select(uid, conn, false);
    std::string reply = ok_count(conns.size());
    for (Conn *c : conns) reply += " | " + describe(c);
    return reply;
  }
  if (v == "logins") {
    uint32_t uid = (uint32_t)a.number("uid", 0);
    if (!a.error.empty()) return "error " + a.error;
    std::string list;
    size_t n = 0;
    for (const LoginRecord &r : s->logins()) {
      if (uid != 0 && r.uid != uid) continue;
      list += " | " + describe(r);
      n++;
    }
    return ok_count(n) + list;
  }
  if (v == "redirect" || v == "answer" || v == "refuse" || v == "stall-login")
    return add_rule(s, &a);
  if (v == "clear") {
    s->rules().clear();
    s->pacing().clear();
    s->drop_rules().clear();
    return "ok";
  }
  if (v == "send" || v == "signout" || v == "close" || v == "pingreq" || v == "stall" ||
      v == "drop")
    return act(s, &a);
  if (v == "pace") {
    uint32_t uid = (uint32_t)a.number("uid", 0);
    uint32_t ms = (uint32_t)a.number("ms", 0, 29999);
    if (!a.has("ms")) a.error = "ms= is required";
    if (!a.error.empty()) return "error " + a.error;
    if (ms == 0) s->pacing().erase(uid);
    else s->pacing()[uid] = ms;
    std::vector<Conn *> conns = s->select(uid, 0, true);
    for (Conn *c : conns) c->pacing_ms = ms;
    return ok_count(conns.size());
  }
  if (v == "revoke") {
    uint64_t serial = a.number("serial", 0, ~0ull);
    if (!a.error.empty() || serial == 0) return "error serial= is required";
    return s->registry().revokeToken(serial) == 0 ? "ok" : "error unknown serial";
  }
  if (v.empty()) return "error empty command";
  return "error unknown command " + v;
}
