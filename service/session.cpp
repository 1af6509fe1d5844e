// Login rounds and the logged-in session: see session.h.
#include "service/session.h"

#include <cstring>

#include "core/tlv.h"
#include "service/login.h"
#include "service/records.h"
#include "service/server.h"
#include "util/logs.h"
#include "util/time.h"

enum : uint32_t {
  SESSION_PING_MAX_BODY = 1024,  // pings are empty; a little slack is harmless
};

int32_t session_frame_limit(const Conn *c, uint8_t code) {
  switch (c->state) {
    case CONN_LOGIN:
    case CONN_CHALLENGED:
      return code == FRAME_LOGIN ? (int32_t)LOGIN_MAX_BODY : -1;
    case CONN_ONLINE:
      if (code == FRAME_BUNDLE) return FRAME_CLIENT_MAX;
      if (code == FRAME_PING) return SESSION_PING_MAX_BODY;
      if (code == FRAME_DEBUG) return DEBUG_MAX_TEXT;
      return -1;
    default:
      return -1;
  }
}

// ---- login ----------------------------------------------------------------

// Answers a login with a refusal or a control frame and ends the connection.
static int answer_and_close(Server *s, Conn *c, uint8_t op, uint32_t param,
                            const std::string &body) {
  s->record_login(c, op);
  s->send(c, FRAME_LOGIN, op, param, (const uint8_t *)body.data(), (uint32_t)body.size());
  s->close_after_flush(c);
  return -1;
}

static int refuse(Server *s, Conn *c, uint8_t op, const char *why) {
  LOGI("conn %u: login refused (0x%02x): %s, uid %u", c->id, op, why, c->uid);
  return answer_and_close(s, c, op, 0, std::string());
}

static int apply_rule(Server *s, Conn *c, const TokenRecord &t, const LoginRule &rule) {
  switch (rule.kind) {
    case RULE_STALL:
      LOGI("conn %u: login of uid %u left unanswered", c->id, c->uid);
      s->record_login(c, 0xFF);
      s->stall(c);
      return -1;
    case RULE_REDIRECT: {
      RedirectOrder r = rule.redirect;
      if (rule.redirect_ticket && !r.host.empty()) {
        r.ticket = login_new_secret();
        if (r.ticket.empty() || s->registry().addTicket(t.serial, r.host, r.ticket,
                                                        s->now_ms() / 1000) != 0)
          r.ticket.clear();
      }
      uint8_t body[LOGIN_MAX_BODY];
      int n = login_write_redirect(body, sizeof body, r);
      if (n < 0) return refuse(s, c, LOGIN_ONPREMISE_DOWN, "redirect does not fit");
      LOGI("conn %u: uid %u redirected to %s", c->id, c->uid, r.host.c_str());
      return answer_and_close(s, c, LOGIN_REDIRECT, r.param, std::string((char *)body, n));
    }
    case RULE_ANSWER:
      LOGI("conn %u: login of uid %u answered with 0x%02x", c->id, c->uid, rule.op);
      return answer_and_close(s, c, rule.op, rule.param, rule.body);
  }
  return -1;
}

static int grant(Server *s, Conn *c, const TokenRecord &t, LoginVia via, uint32_t ack_owed) {
  const ServiceOptions &o = s->options();
  LoginGrant g{};
  // A challenge login gets a ticket for the host the client asked for, so
  // its next login takes one round; a ticket login keeps the one it has.
  if (via == VIA_CHALLENGE) {
    g.ticket = login_new_secret();
    if (g.ticket.empty() ||
        s->registry().addTicket(t.serial, c->host, g.ticket, s->now_ms() / 1000) != 0)
      g.ticket.clear();
  }
  g.ping_s = o.ping_s;
  g.batch_units = o.batch_units;
  g.records_per_bundle = o.records_per_bundle;
  g.server_time_us = wall_ms() * 1000;
  g.detail = c->id;
  g.expiry_s = o.expiry_s;
  g.has_last_seq = s->last_sequence(c->uid, c->installation, &g.last_seq);
  g.address = t.address;
  g.uid = t.uid;
  g.ka_idle = o.ka_idle;
  g.ka_interval = o.ka_interval;
  g.ka_count = o.ka_count;
  g.app_name = t.app_name;
  if (s->relay().keeps_history()) g.login_flags |= LOGIN_FLAG_HISTORY;

  uint8_t body[LOGIN_MAX_BODY];
  int n = login_write_response(body, sizeof body, g);
  if (n < 0) return refuse(s, c, LOGIN_ONPREMISE_DOWN, "response does not fit");
  c->via = via;
  c->address = t.address;
  c->ack_owed = ack_owed;
  s->set_online(c);
  s->record_login(c, LOGIN_OK);
  LOGM(LOG_NET, "conn %u: uid %u online (%s, %u frames%s)", c->id, c->uid,
       via == VIA_TICKET ? "ticket" : "challenge", c->login_frames,
       c->resumed ? ", resumed" : "");
  if (s->send(c, FRAME_LOGIN, LOGIN_OK, 0, body, (uint32_t)n) != 0) return -1;
  // Stored records follow the login answer, before anything live.
  s->relay().on_login(c, ack_owed);
  return c->state == CONN_ONLINE ? 0 : -1;
}

static int send_challenge(Server *s, Conn *c) {
  c->challenge = login_new_secret();
  if (c->challenge.empty()) return refuse(s, c, LOGIN_ONPREMISE_DOWN, "no randomness");
  // The param is the time value the client must prove with; never 0, which
  // the client would take for "no param".
  c->challenge_time = (uint32_t)(wall_ms() / 1000);
  if (c->challenge_time == 0) c->challenge_time = 1;
  uint8_t body[128];
  int n = login_write_challenge(body, sizeof body, c->challenge);
  if (n < 0) return refuse(s, c, LOGIN_ONPREMISE_DOWN, "challenge does not fit");
  c->state = CONN_CHALLENGED;
  return s->send(c, FRAME_LOGIN, LOGIN_CHALLENGE, c->challenge_time, body, (uint32_t)n);
}

static bool ticket_matches(Server *s, const Conn *c, const LoginRequest &r,
                           const TokenRecord &t) {
  if (!r.has_time || r.proof_len != LOGIN_PROOF_SIZE) return false;
  int64_t skew = (int64_t)r.time - (int64_t)(wall_ms() / 1000);
  if (skew > LOGIN_TICKET_WINDOW || skew < -(int64_t)LOGIN_TICKET_WINDOW) return false;
  std::vector<std::string> tickets;
  if (s->registry().findTickets(t.serial, c->host, s->now_ms() / 1000, &tickets) != 0)
    return false;
  for (const std::string &ticket : tickets)
    if (login_proof_matches(r, t, r.time, ticket)) return true;
  return false;
}

static int on_first_login(Server *s, Conn *c) {
  c->login_frames++;
  if ((c->frame.param & LOGIN_MAGIC_MASK) != LOGIN_MAGIC) {
    LOGI("conn %u: not a login (param 0x%08x)", c->id, c->frame.param);
    s->drop(c);
    return -1;
  }
  LoginRequest r;
  if (login_read_request(c->body.data(), c->frame.length, &r) != 0 || !r.has_serial) {
    LOGI("conn %u: malformed login request", c->id);
    s->drop(c);
    return -1;
  }
  c->last_identity_items = (uint16_t)r.identity_items;
  c->installation = r.installation;
  if (!login_check_value_ok(r))
    LOGI("conn %u: login check value %llu does not match its items", c->id,
         (unsigned long long)r.check);

  TokenRecord t;
  int found = s->registry().findToken(r.serial, &t);
  if (found < 0) {
    s->drop(c);  // the registry failed: the client retries later
    return -1;
  }
  if (found == 0 || t.revoked) return refuse(s, c, LOGIN_AUTHFAIL_TOKEN, "unknown token");
  c->uid = t.uid;
  c->serial = t.serial;
  if (r.app_id != t.app_id) return refuse(s, c, LOGIN_AUTHFAIL_TOKEN, "application id");

  // Operator rules answer before any proof is looked at, as a front server
  // that sends clients elsewhere would.
  LoginRule rule;
  if (s->take_rule(c->uid, &rule)) return apply_rule(s, c, t, rule);

  if (ticket_matches(s, c, r, t)) return grant(s, c, t, VIA_TICKET, r.ack_owed);
  return send_challenge(s, c);
}

static int on_challenge_answer(Server *s, Conn *c) {
  c->login_frames++;
  LoginRequest r;
  if (login_read_request(c->body.data(), c->frame.length, &r) != 0) {
    LOGI("conn %u: malformed challenge answer", c->id);
    s->drop(c);
    return -1;
  }
  c->last_identity_items = (uint16_t)r.identity_items;
  if (r.installation) c->installation = r.installation;
  if (c->frame.param != c->challenge_time || (r.has_time && r.time != c->challenge_time))
    return refuse(s, c, LOGIN_AUTHFAIL_PROOF, "challenge time differs");
  TokenRecord t;
  if (s->registry().findToken(c->serial, &t) != 1 || t.revoked)
    return refuse(s, c, LOGIN_AUTHFAIL_TOKEN, "token gone");
  if (!login_proof_matches(r, t, c->challenge_time, c->challenge))
    return refuse(s, c, LOGIN_AUTHFAIL_PROOF, "wrong proof");
  c->challenge.clear();
  return grant(s, c, t, VIA_CHALLENGE, r.ack_owed);
}

// ---- logged in ------------------------------------------------------------

// The param of a client bundle or ping echoes the last "A" frame it took.
static int take_echo(Server *s, Conn *c) {
  if (c->frame.param != 0) {
    c->acked = c->frame.param;
    s->relay().on_echo(c, c->frame.param);
  }
  return c->state == CONN_ONLINE ? 0 : -1;
}

// Relays what the bundle carries. A bundle that cannot be read (wholly or
// in part) is acknowledged all the same: refusing it would make the client
// send the same bytes forever. Only a store failure goes unanswered, so
// that the client sends the bundle again later.
static int on_bundle(Server *s, Conn *c, DropPoint drop) {
  ClientBundle b;
  bundle_read(c->body.data(), c->frame.length, &b);
  if (b.malformed)
    LOGI("conn %u: malformed bundle from uid %u (%u bytes, %zu records read)", c->id, c->uid,
         c->frame.length, b.records.size());
  if (s->relay().on_bundle(c, b) != 0) {
    LOGE("conn %u: bundle of uid %u not kept; left unacknowledged", c->id, c->uid);
    s->drop(c);
    return -1;
  }
  if (c->state != CONN_ONLINE) return -1;
  if (drop == DROP_UNANSWERED) {
    s->drop(c);
    return -1;
  }
  return s->send(c, FRAME_BUNDLE, 0, c->pacing_ms, nullptr, 0);
}

static int on_session_frame(Server *s, Conn *c) {
  uint8_t code = c->frame.code;
  DropPoint drop =
      code == FRAME_BUNDLE || code == FRAME_PING ? s->drop_point(c) : DROP_NONE;
  if (drop == DROP_BEFORE) {
    s->drop(c);
    return -1;
  }
  if (take_echo(s, c) != 0) return -1;
  int rc;
  switch (code) {
    case FRAME_PING:
      if (drop == DROP_UNANSWERED) {
        s->drop(c);
        return -1;
      }
      rc = s->send(c, FRAME_PING, 0, 0, nullptr, 0);
      break;
    case FRAME_BUNDLE:
      rc = on_bundle(s, c, drop);
      break;
    case FRAME_DEBUG:
      LOGI("conn %u: debug report from uid %u: %.*s", c->id, c->uid, (int)c->frame.length,
           (const char *)c->body.data());
      return s->send(c, FRAME_DEBUG, 0, 0, nullptr, 0);
    default:
      s->drop(c);
      return -1;
  }
  if (rc == 0 && drop == DROP_ANSWERED) {
    s->drop(c);
    return -1;
  }
  return rc;
}

int session_on_frame(Server *s, Conn *c) {
  switch (c->state) {
    case CONN_LOGIN:
      return on_first_login(s, c);
    case CONN_CHALLENGED:
      return on_challenge_answer(s, c);
    case CONN_ONLINE:
      return on_session_frame(s, c);
    default:
      return -1;
  }
}

int session_send_data(Server *s, Conn *c, const uint8_t *body, uint32_t len) {
  return s->send(c, FRAME_BUNDLE, OP_DATA, s->relay().next_param(), body, len);
}
