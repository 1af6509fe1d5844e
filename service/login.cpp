// Login request reading, proof and answer bodies: see login.h.
#include "service/login.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

#include "core/tlv.h"

int login_read_request(const uint8_t *body, uint32_t len, LoginRequest *r) {
  memset(r, 0, sizeof *r);
  TlvBuffer t;
  tlv_init(&t, body, len);
  // Item 10 comes twice in a first request: identity flags among the
  // identity items, session flags among the proof items, which start with
  // item 24 (or with item 8 in a challenge answer, which has no identity).
  bool in_proof = false;
  while (t.pos < t.cap) {
    uint32_t type, n;
    const uint8_t *v;
    if (t.get(&type, &n, &v) != 0) return -1;
    switch (type) {
      case LREQ_SERIAL:
        r->has_serial = true;
        r->serial = tlv_uint(v, n, 8);
        r->identity_items++;
        break;
      case LREQ_ZERO:
      case LREQ_TLS:
        r->identity_items++;
        break;
      case LREQ_APP_ID:
        r->app_id = (uint32_t)tlv_uint(v, n, 4);
        r->identity_items++;
        break;
      case LREQ_PLATFORM:
        r->platform = (uint32_t)tlv_uint(v, n, 4);
        if (!r->has_serial) in_proof = true;
        break;
      case LREQ_BUILD:
        r->build_time = (uint32_t)tlv_uint(v, n, 4);
        r->identity_items++;
        break;
      case LREQ_PROTOCOL:
        r->protocol_version = (uint32_t)tlv_uint(v, n, 4);
        r->identity_items++;
        break;
      case LREQ_API:
        r->api_version = (uint32_t)tlv_uint(v, n, 4);
        r->identity_items++;
        break;
      case LREQ_OS:
        r->os_version = (uint32_t)tlv_uint(v, n, 4);
        r->identity_items++;
        break;
      case LREQ_CHECK:
        r->has_check = true;
        r->check = tlv_uint(v, n, 8);
        r->identity_items++;
        break;
      case LREQ_FLAGS:
        if (in_proof || !r->has_serial) r->session_flags = (uint32_t)tlv_uint(v, n, 4);
        else r->identity_flags = (uint32_t)tlv_uint(v, n, 4);
        break;
      case LREQ_TIME:
        in_proof = true;
        r->has_time = true;
        r->time = (uint32_t)tlv_uint(v, n, 4);
        break;
      case LREQ_PROOF:
        in_proof = true;
        r->proof_len = n;
        if (n == LOGIN_PROOF_SIZE) memcpy(r->proof, v, n);
        break;
      case LREQ_INSTALLATION:
        r->installation = (uint32_t)tlv_uint(v, n, 4);
        break;
      case LREQ_NETWORK:
        r->network_type = (uint32_t)tlv_uint(v, n, 4);
        break;
      case LREQ_ACK_OWED:
        r->ack_owed = (uint32_t)tlv_uint(v, n, 4);
        break;
      case LREQ_DEVICE:
        r->device_type = (uint32_t)tlv_uint(v, n, 4);
        break;
      default:
        break;  // echoed values and hints the service does not act on
    }
  }
  return 0;
}

bool login_check_value_ok(const LoginRequest &r) {
  if (!r.has_check) return true;
  return r.check == r.serial + r.build_time + r.app_id + r.platform;
}

static void put_le32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

void login_proof(const TokenRecord &t, uint32_t time_value, const std::string &secret,
                 uint8_t out[LOGIN_PROOF_SIZE]) {
  uint8_t head[8];
  put_le32(head, t.uid);
  put_le32(head + 4, time_value);
  unsigned int n = 0;
  // Fetched once: looking the digest up by name costs as much as hashing.
  static EVP_MD *sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  bool ok = md && sha256 && EVP_DigestInit_ex(md, sha256, nullptr) == 1 &&
            EVP_DigestUpdate(md, head, sizeof head) == 1 &&
            EVP_DigestUpdate(md, t.key, TOKEN_KEY_SIZE) == 1 &&
            EVP_DigestUpdate(md, secret.data(), secret.size()) == 1;
  if (ok && !(t.options & TOKEN_OPTION_NO_APP_NAME) && !t.app_name.empty())
    ok = EVP_DigestUpdate(md, t.app_name.data(), t.app_name.size()) == 1;
  if (ok) ok = EVP_DigestFinal_ex(md, out, &n) == 1 && n == LOGIN_PROOF_SIZE;
  EVP_MD_CTX_free(md);
  // A digest failure must never leave a guessable proof behind.
  if (!ok) RAND_bytes(out, LOGIN_PROOF_SIZE);
}

bool login_proof_matches(const LoginRequest &r, const TokenRecord &t, uint32_t time_value,
                         const std::string &secret) {
  if (r.proof_len != LOGIN_PROOF_SIZE) return false;
  uint8_t expected[LOGIN_PROOF_SIZE];
  login_proof(t, time_value, secret, expected);
  return CRYPTO_memcmp(expected, r.proof, LOGIN_PROOF_SIZE) == 0;
}

std::string login_new_secret() {
  uint8_t raw[LOGIN_SECRET_TEXT / 2];
  if (RAND_bytes(raw, sizeof raw) != 1) return std::string();
  static const char HEX[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : raw) {
    s += HEX[b >> 4];
    s += HEX[b & 15];
  }
  return s;
}

static int finish(const TlvBuffer &t, bool ok) { return ok ? (int)t.pos : -1; }

int login_write_challenge(uint8_t *buf, uint32_t cap, const std::string &challenge) {
  TlvBuffer t;
  tlv_init(&t, buf, cap);
  bool ok = t.put_u16(LCHAL_OPTIONS, 0) == 0 &&
            t.put_bytes(LCHAL_BYTES, challenge.data(), (uint32_t)challenge.size()) == 0;
  return finish(t, ok);
}

int login_write_response(uint8_t *buf, uint32_t cap, const LoginGrant &g) {
  TlvBuffer t;
  tlv_init(&t, buf, cap);
  bool ok = t.put_u32(LRSP_PING, g.ping_s) == 0 && t.put_u32(LRSP_BATCH, g.batch_units) == 0 &&
            t.put_u32(LRSP_RECORDS, g.records_per_bundle) == 0 &&
            t.put_u32(LRSP_FLAGS, g.login_flags) == 0 &&
            t.put_u64(LRSP_SERVER_TIME, g.server_time_us) == 0 &&
            (g.ticket.empty() ||
             t.put_bytes(LRSP_TICKET, g.ticket.data(), (uint32_t)g.ticket.size()) == 0) &&
            t.put_u32(LRSP_DETAIL, g.detail) == 0 && t.put_u32(LRSP_EXPIRY, g.expiry_s) == 0 &&
            (!g.has_last_seq || t.put_u16(LRSP_LAST_SEQ, g.last_seq) == 0) &&
            (g.address.empty() ||
             t.put_bytes(LRSP_ADDRESS, g.address.data(), (uint32_t)g.address.size()) == 0) &&
            t.put_u32(LRSP_UID, g.uid) == 0 && t.put_u32(LRSP_KA_IDLE, g.ka_idle) == 0 &&
            t.put_u32(LRSP_KA_INTERVAL, g.ka_interval) == 0 &&
            t.put_u32(LRSP_KA_COUNT, g.ka_count) == 0 &&
            (g.app_name.empty() ||
             t.put_bytes(LRSP_APP_NAME, g.app_name.data(), (uint32_t)g.app_name.size()) == 0);
  return finish(t, ok);
}

int login_write_redirect(uint8_t *buf, uint32_t cap, const RedirectOrder &r) {
  TlvBuffer t;
  tlv_init(&t, buf, cap);
  // No host: the empty body that clears the client's redirect record.
  if (r.host.empty()) return 0;
  bool ok = (r.validity_s == 0 || t.put_u32(LRED_VALIDITY, r.validity_s) == 0) &&
            (r.blob.empty() ||
             t.put_bytes(LRED_BLOB, r.blob.data(), (uint32_t)r.blob.size()) == 0) &&
            (r.sleep_s == 0 || t.put_u32(LRED_SLEEP, r.sleep_s) == 0) &&
            (r.ticket.empty() ||
             t.put_bytes(LRED_TICKET, r.ticket.data(), (uint32_t)r.ticket.size()) == 0) &&
            t.put_text(LRED_HOST, r.host.c_str()) == 0 &&
            (r.attempts == 0 || t.put_u16(LRED_ATTEMPTS, (uint16_t)r.attempts) == 0) &&
            (r.mode == 0 || t.put_u16(LRED_MODE, (uint16_t)r.mode) == 0);
  for (size_t i = 0; ok && i < r.ports.size(); i++) ok = t.put_u16(LRED_PORT, r.ports[i]) == 0;
  ok = ok && (r.penalty_s == 0 || t.put_u32(LRED_PENALTY, r.penalty_s) == 0) &&
       (r.value == 0 || t.put_u32(LRED_VALUE, r.value) == 0) &&
       (!r.has_ipv4 || t.put_bytes(LRED_ADDRESS, r.ipv4, 4) == 0);
  return finish(t, ok);
}
