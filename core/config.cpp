// Engine settings: the blob codec, the store operations, session tickets and
// the fingerprint file. See config.h for the formats and the locking rule.
#include "core/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/tlv.h"
#include "util/crc64.h"
#include "util/logs.h"
#include "util/mutex.h"
#include "util/random.h"
#include "util/time.h"

const char SETTINGS_KEY[] = "g_data";

// ---- owned buffers ------------------------------------------------------------

int SettingsBytes::assign(const void *bytes, uint32_t n) {
  if (n > 0 && bytes == nullptr) return -1;
  if (n > cap) {
    uint8_t *grown = (uint8_t *)realloc(data, n);
    if (!grown) return -1;
    data = grown;
    cap = n;
  }
  if (n) memmove(data, bytes, n);
  len = n;
  return 0;
}

void SettingsBytes::release() {
  free(data);
  data = nullptr;
  len = cap = 0;
}

static SettingsBytes EngineSettings::*const kOwnedBuffers[] = {
    &EngineSettings::primary_address, &EngineSettings::app_name_server,
    &EngineSettings::turn_host,       &EngineSettings::ice_url,
    &EngineSettings::app_text,        &EngineSettings::server_notice,
    &EngineSettings::redirect_body,   &EngineSettings::push_token,
    &EngineSettings::voip_token,      &EngineSettings::tls_session,
    &EngineSettings::e2e_identity,    &EngineSettings::control_notice,
};
enum { OWNED_BUFFERS = sizeof kOwnedBuffers / sizeof kOwnedBuffers[0] };

void settings_clear(EngineSettings *s) {
  // The buffers are kept for reuse; everything else, padding included, is
  // zeroed.
  SettingsBytes kept[OWNED_BUFFERS];
  for (int i = 0; i < OWNED_BUFFERS; i++) kept[i] = s->*kOwnedBuffers[i];
  uint32_t installation = s->installation_id;
  memset((void *)s, 0, sizeof *s);
  for (int i = 0; i < OWNED_BUFFERS; i++) {
    s->*kOwnedBuffers[i] = kept[i];
    (s->*kOwnedBuffers[i]).len = 0;
  }
  s->installation_id = installation;
  s->server_uid = -1;
  s->dirty = true;
}

void settings_release(EngineSettings *s) {
  for (SettingsBytes EngineSettings::*b : kOwnedBuffers) (s->*b).release();
}

// ---- blob items ---------------------------------------------------------------

enum : uint32_t {
  ITEM_TICKET_TEXT = 64,
  ITEM_TICKET_TIME = 65,
  ITEM_CRC = 46,
  ITEM_COVERED = 45,
};

enum ItemKind : uint8_t {
  KIND_INT,         // unsigned, field width 1, 2, 4 or 8 bytes; written when not 0
  KIND_INT_ALWAYS,  // as KIND_INT, also written when 0
  KIND_BYTES,       // SettingsBytes, written when not empty
  KIND_TEXT_OR_NUL, // SettingsBytes; one zero byte stands for "none"
  KIND_SERVER_UID,  // int64_t, -1 unknown; written as 4 bytes when known
  KIND_INSTALLATION,// uint32_t; read only while the record has none
  KIND_TICKETS,     // the ticket table: item 64 and 65 per used slot
};

struct SettingsItem {
  uint16_t type;
  ItemKind kind;
  uint16_t offset;  // of the field in EngineSettings
  uint8_t width;    // integer bytes
};

#define FIELD(type, kind, member) \
  { type, kind, (uint16_t)offsetof(EngineSettings, member), (uint8_t)sizeof(EngineSettings::member) }
#define BYTES(type, member) \
  { type, KIND_BYTES, (uint16_t)offsetof(EngineSettings, member), 0 }

// The body, in the order it is written. Items 46 and 45 follow it.
static const SettingsItem kItems[] = {
    FIELD(3, KIND_INT, saved_s),
    FIELD(4, KIND_INT, saved_version),
    FIELD(5, KIND_INT, saved_uid),
    FIELD(7, KIND_SERVER_UID, server_uid),
    FIELD(8, KIND_INSTALLATION, installation_id),
    FIELD(39, KIND_INT, primary_uid),
    BYTES(40, primary_address),
    BYTES(9, app_name_server),
    BYTES(12, turn_host),
    BYTES(13, ice_url),
    BYTES(58, app_text),
    BYTES(112, server_notice),
    FIELD(16, KIND_INT, login_serial),
    FIELD(17, KIND_INT, refused_serial),
    FIELD(18, KIND_INT, server_time),
    FIELD(59, KIND_INT, app_time64),
    FIELD(31, KIND_INT, login_flags),
    FIELD(19, KIND_INT, last_login_s),
    FIELD(22, KIND_INT, last_frame_s),
    FIELD(42, KIND_INT, last_attempt_s),
    FIELD(20, KIND_INT, holdoff_until_us),
    FIELD(21, KIND_INT, last_refusal_s),
    FIELD(25, KIND_INT, control_op),
    FIELD(97, KIND_INT, control_flags),
    FIELD(43, KIND_INT, failures),
    FIELD(98, KIND_INT, forgiven),
    FIELD(23, KIND_INT, connect_estimate[0]),
    FIELD(24, KIND_INT, connect_estimate[1]),
    FIELD(44, KIND_INT, server_identity),
    FIELD(66, KIND_INT_ALWAYS, login_value45),
    FIELD(38, KIND_INT, value38),
    FIELD(80, KIND_INT, echo50),
    FIELD(81, KIND_INT, echo51),
    FIELD(82, KIND_INT, echo52),
    FIELD(14, KIND_INT, turn_options),
    FIELD(26, KIND_INT, redirect_expiry_s),
    FIELD(27, KIND_INT, redirect_attempts),
    FIELD(28, KIND_INT, redirect_serial),
    FIELD(30, KIND_INT, redirect_received_s),
    BYTES(29, redirect_body),
    BYTES(10, push_token),
    BYTES(11, voip_token),
    FIELD(52, KIND_INT, tls_saved_s),
    FIELD(49, KIND_INT, tls_serial),
    FIELD(50, KIND_INT, tls_server),
    BYTES(51, tls_session),
    BYTES(69, e2e_identity),
    FIELD(32, KIND_INT, value32),
    FIELD(33, KIND_INT, value33),
    FIELD(34, KIND_INT, value34),
    FIELD(35, KIND_INT, value35),
    FIELD(37, KIND_INT, value37),
    FIELD(41, KIND_INT, value41),
    FIELD(36, KIND_INT, value36),
    {ITEM_TICKET_TEXT, KIND_TICKETS, 0, 0},
    {96, KIND_TEXT_OR_NUL, (uint16_t)offsetof(EngineSettings, control_notice), 0},
};
enum { ITEM_COUNT = sizeof kItems / sizeof kItems[0] };

#undef FIELD
#undef BYTES

static uint64_t field_int(const EngineSettings *s, const SettingsItem &it) {
  const uint8_t *p = (const uint8_t *)s + it.offset;
  switch (it.width) {
    case 1: return *p;
    case 2: { uint16_t v; memcpy(&v, p, 2); return v; }
    case 4: { uint32_t v; memcpy(&v, p, 4); return v; }
    default: { uint64_t v; memcpy(&v, p, 8); return v; }
  }
}

static void field_set_int(EngineSettings *s, const SettingsItem &it, uint64_t v) {
  uint8_t *p = (uint8_t *)s + it.offset;
  switch (it.width) {
    case 1: *p = (uint8_t)v; break;
    case 2: { uint16_t x = (uint16_t)v; memcpy(p, &x, 2); break; }
    case 4: { uint32_t x = (uint32_t)v; memcpy(p, &x, 4); break; }
    default: memcpy(p, &v, 8); break;
  }
}

static SettingsBytes *bytes_of(EngineSettings *s, const SettingsItem &it) {
  return (SettingsBytes *)((uint8_t *)s + it.offset);
}

// Item of `type` in the body table, or null. Types above 127 never occur.
static const SettingsItem *item_for(uint32_t type) {
  struct Index {
    int8_t at[128];
    Index() {
      memset(at, -1, sizeof at);
      for (int i = 0; i < ITEM_COUNT; i++) at[kItems[i].type] = (int8_t)i;
    }
  };
  static const Index index;
  if (type >= 128 || index.at[type] < 0) return nullptr;
  return &kItems[index.at[type]];
}

// ---- encoder ------------------------------------------------------------------

// An upper bound of the blob for `s`: the variable parts at their actual
// lengths, so no TLS session, notice or identity can outgrow the buffer.
static uint64_t encoded_bound(const EngineSettings *s) {
  const uint64_t item_max = TLV_MAX_HEADER + 8;
  uint64_t n = 64 + (ITEM_COUNT + 2) * item_max;
  for (SettingsBytes EngineSettings::*b : kOwnedBuffers) n += TLV_MAX_HEADER + (s->*b).len;
  for (const SessionTicket &t : s->tickets) n += TLV_MAX_HEADER + t.len + item_max;
  return n;
}

static int put_item(TlvBuffer *o, EngineSettings *s, const SettingsItem &it) {
  switch (it.kind) {
    case KIND_INT:
    case KIND_INSTALLATION: {
      uint64_t v = field_int(s, it);
      return v ? o->put_u64(it.type, v) : 0;
    }
    case KIND_INT_ALWAYS:
      return o->put_u64(it.type, field_int(s, it));
    case KIND_SERVER_UID:
      return s->server_uid > 0 ? o->put_u32(it.type, (uint32_t)s->server_uid) : 0;
    case KIND_BYTES: {
      const SettingsBytes *b = bytes_of(s, it);
      return b->len ? o->put_bytes(it.type, b->data, b->len) : 0;
    }
    case KIND_TEXT_OR_NUL: {
      const SettingsBytes *b = bytes_of(s, it);
      static const uint8_t nul = 0;
      return b->len ? o->put_bytes(it.type, b->data, b->len) : o->put_bytes(it.type, &nul, 1);
    }
    case KIND_TICKETS:
      for (const SessionTicket &t : s->tickets) {
        if (t.len == 0) continue;
        if (o->put_bytes(ITEM_TICKET_TEXT, t.text, t.len)) return -1;
        if (t.stored_s && o->put_u32(ITEM_TICKET_TIME, t.stored_s)) return -1;
      }
      return 0;
  }
  return -1;
}

int settings_encode(EngineSettings *s, uint32_t uid, uint32_t version, uint32_t now_s,
                    SettingsBytes *out) {
  uint64_t bound = encoded_bound(s);
  if (bound > UINT32_MAX) return -1;
  uint8_t *blob = (uint8_t *)malloc(bound);
  if (!blob) return -1;

  uint32_t n = SETTINGS_PREFIX_MIN + random_below(SETTINGS_PREFIX_SPAN);
  blob[0] = (uint8_t)n;
  for (uint32_t i = 1; i < n; i++) blob[i] = (uint8_t)random32();

  s->saved_s = now_s;
  s->saved_uid = uid;
  s->saved_version = version;

  TlvBuffer o;
  tlv_init(&o, blob + n, (uint32_t)bound - n);
  for (const SettingsItem &it : kItems) {
    if (put_item(&o, s, it)) {
      LOGE("*** BUG *** settings item %u does not fit in %u bytes", it.type, (uint32_t)bound);
      free(blob);
      return -1;
    }
  }
  uint32_t covered = o.pos;
  uint64_t crc = crc64_ecma(blob + n, covered);
  if ((crc && o.put_u64(ITEM_CRC, crc)) || o.put_u32(ITEM_COVERED, covered)) {
    free(blob);
    return -1;
  }

  uint8_t *body = blob + n;
  for (uint32_t i = 0; i < o.pos; i++) body[i] ^= blob[i % n];

  free(out->data);
  out->data = blob;
  out->len = n + o.pos;
  out->cap = (uint32_t)bound;
  return 0;
}

// ---- decoder ------------------------------------------------------------------

// Where the checksum items sit in a body, found by one walk.
struct BodyCheck {
  uint32_t covered_at;   // offset of item 46, or of item 45 without it
  uint64_t crc;          // item 46, 0 when absent
  uint32_t covered;      // item 45
};

// The body must be well formed to its end and finish with item 45, right
// after item 46 when there is one; the CRC must cover exactly the items
// before them. A shorter cover would leave items unchecked, a longer one
// would reach into the checksum itself.
static bool body_intact(const uint8_t *body, uint32_t len, BodyCheck *k) {
  TlvBuffer t;
  tlv_init(&t, body, len);
  uint32_t type, ilen, prev_type = 0, prev_at = 0, last_type = 0, last_at = 0, last_len = 0;
  const uint8_t *v, *prev_v = nullptr, *last_v = nullptr;
  uint32_t prev_len = 0;
  bool any = false;
  for (;;) {
    uint32_t at = t.pos;
    if (t.get(&type, &ilen, &v) != 0) break;
    prev_type = last_type, prev_at = last_at, prev_v = last_v, prev_len = last_len;
    last_type = type, last_at = at, last_v = v, last_len = ilen;
    any = true;
  }
  if (t.pos != len || !any) return false;                   // malformed or empty
  if (last_type != ITEM_COVERED || last_len > 4) return false;
  k->covered = (uint32_t)tlv_uint(last_v, last_len, 4);
  k->covered_at = last_at;
  k->crc = 0;
  if (last_at > 0 && prev_type == ITEM_CRC) {
    if (prev_len > 8) return false;
    k->crc = tlv_uint(prev_v, prev_len, 8);
    k->covered_at = prev_at;
  }
  if (k->covered != k->covered_at) return false;
  return crc64_ecma(body, k->covered) == k->crc;
}

static int take_item(EngineSettings *s, const SettingsItem &it, const uint8_t *v, uint32_t len) {
  switch (it.kind) {
    case KIND_INT:
    case KIND_INT_ALWAYS:
      field_set_int(s, it, tlv_uint(v, len, it.width));
      return 0;
    case KIND_INSTALLATION:
      if (s->installation_id == 0) s->installation_id = (uint32_t)tlv_uint(v, len, 4);
      return 0;
    case KIND_SERVER_UID:
      if (len <= 4) s->server_uid = (int64_t)tlv_uint(v, len, 4);
      return 0;
    case KIND_BYTES:
      return bytes_of(s, it)->assign(v, len);
    case KIND_TEXT_OR_NUL:
      if (len == 1 && v[0] == 0) len = 0;
      return bytes_of(s, it)->assign(v, len);
    case KIND_TICKETS:
      return 0;  // read in take_items, where the slots are counted
  }
  return 0;
}

// Reads the body items up to `end` into a cleared record. Unknown items and
// integers longer than their field are ignored; so is a ticket text that
// does not fit its slot, together with its time.
static int take_items(EngineSettings *s, const uint8_t *body, uint32_t end) {
  TlvBuffer t;
  tlv_init(&t, body, end);
  uint32_t type, len, tickets = 0;
  const uint8_t *v;
  SessionTicket *last_ticket = nullptr;
  while (t.get(&type, &len, &v) == 0) {
    if (type == ITEM_TICKET_TEXT) {
      last_ticket = nullptr;
      if (len == 0 || len >= sizeof s->tickets[0].text || tickets == SETTINGS_MAX_TICKETS) continue;
      last_ticket = &s->tickets[tickets++];
      memcpy(last_ticket->text, v, len);
      last_ticket->text[len] = 0;
      last_ticket->len = len;
    } else if (type == ITEM_TICKET_TIME) {
      if (last_ticket) last_ticket->stored_s = (uint32_t)tlv_uint(v, len, 4);
      last_ticket = nullptr;
    } else if (const SettingsItem *it = item_for(type)) {
      if (take_item(s, *it, v, len)) return -1;
    }
  }
  return 0;
}

static int decode_failed(EngineSettings *s, int result) {
  settings_clear(s);
  s->fresh = true;
  return result;
}

int settings_decode(EngineSettings *s, const uint8_t *blob, uint32_t len, uint32_t uid,
                    uint32_t version) {
  uint32_t n = blob && len ? blob[0] : 0;
  if (n <= 15 || n >= 65 || n >= len) {
    LOGE("settings blob rejected: prefix %u, length %u", n, len);
    return decode_failed(s, SETTINGS_BAD);
  }
  uint32_t body_len = len - n;
  uint8_t *body = (uint8_t *)malloc(body_len);
  if (!body) return decode_failed(s, SETTINGS_BAD);
  for (uint32_t i = 0; i < body_len; i++) body[i] = blob[n + i] ^ blob[i % n];

  BodyCheck k;
  if (!body_intact(body, body_len, &k)) {
    free(body);
    LOGE("settings blob rejected: malformed or checksum mismatch (%u bytes)", len);
    return decode_failed(s, SETTINGS_BAD);
  }
  // Checked before the items are taken, so a bad blob never lends its
  // installation id to the record.
  settings_clear(s);
  int taken = take_items(s, body, k.covered_at);
  free(body);
  if (taken != 0) return decode_failed(s, SETTINGS_BAD);

  // A verified blob of another user still names this installation, so its
  // id (taken above when the record had none) outlives the reset.
  if (uid && s->saved_uid && uid != s->saved_uid) {
    LOGE("invalid database: uid %u db belongs to %u", uid, s->saved_uid);
    return decode_failed(s, SETTINGS_OTHER_OWNER);
  }
  s->fresh = false;
  s->dirty = false;
  s->other_version = s->saved_version != version;
  if (s->other_version) {
    s->redirect_expiry_s = 0;
    s->redirect_attempts = 0;
    s->redirect_serial = 0;
    s->dirty = true;
  }
  return SETTINGS_OK;
}

// ---- store operations ---------------------------------------------------------

int settings_save(const SettingsContext &c) {
  MutexGuard guard(c.lock);
  EngineSettings *s = c.settings;
  if (c.store == nullptr) return -1;
  SettingsBytes blob;
  if (settings_encode(s, c.uid, c.version, (uint32_t)clock_now_s(), &blob) != 0) {
    LOGE("settings not saved: out of memory");
    return -1;
  }
  int rv = c.store->set_blob(SETTINGS_KEY, blob.data, blob.len);
  uint32_t size = blob.len;
  blob.release();
  if (rv != 0) {
    LOGE("settings not saved: the store refused %u bytes", size);
    return -1;
  }
  s->dirty = false;
  return 0;
}

int settings_load(const SettingsContext &c, const uint8_t *blob, uint32_t len) {
  int rv;
  {
    MutexGuard guard(c.lock);
    rv = settings_decode(c.settings, blob, len, c.uid, c.version);
  }
  if (rv == SETTINGS_OTHER_OWNER && c.store) c.store->reset_store(SETTINGS_RESET_MASK);
  return rv;
}

// Keys of the layout before the blob, deleted once the blob is saved.
static const char *const kOldKeys[] = {
    "r_exp",  "r_err",  "r_tic", "p_token",    "p_vtoken", "l_uniqid", "l_suid",
    "l_ts",   "l_bid",  "l_dts", "l_ats",      "l_aid",    "l_tid",    "ls_session",
    "ls_tid", "ls_addr", "s_psts", "s_prts",   "s_cts",    "s_cid",    "s_gsp",
};

// Takes over the installation id, the server-side uid, the refused serial
// and the hold-off deadline of the old layout. An old layout without an
// installation id has nothing worth taking.
static void migrate_old_keys(const SettingsContext &c) {
  SettingsStore *st = c.store;
  int64_t installation = st->get_int("l_uniqid", 0);
  if (installation == 0) return;
  int64_t server_uid = st->get_int("l_suid", -1);
  int64_t refused = st->get_int("l_bid", 0);
  int64_t holdoff = st->get_int("l_dts", 0);
  {
    MutexGuard guard(c.lock);
    EngineSettings *s = c.settings;
    if (s->installation_id == 0) s->installation_id = (uint32_t)installation;
    s->server_uid = server_uid;
    s->refused_serial = (uint64_t)refused;
    s->holdoff_until_us = (uint64_t)holdoff;
    s->dirty = true;
  }
  if (settings_save(c) != 0) {
    LOGE("settings migration not saved; the old keys are kept");
    return;
  }
  for (const char *key : kOldKeys) st->delete_key(key);
  LOGD("settings migrated from the old layout");
}

static uint32_t new_installation_id() {
  uint32_t id;
  do id = random32();
  while (id == 0);
  return id;
}

// Creates the installation id when there is none. True when it did.
static bool ensure_installation(const SettingsContext &c) {
  MutexGuard guard(c.lock);
  if (c.settings->installation_id) return false;
  c.settings->installation_id = new_installation_id();
  c.settings->dirty = true;
  return true;
}

static void forget_redirect(EngineSettings *s) {
  s->redirect_expiry_s = 0;
  s->redirect_attempts = 0;
  s->redirect_serial = 0;
  s->redirect_received_s = 0;
  s->redirect_body.clear();
  s->dirty = true;
}

// Forgets a kept redirect that expired or arrived under another token
// serial. True when it did.
static bool drop_stale_redirect(const SettingsContext &c, uint32_t now_s) {
  MutexGuard guard(c.lock);
  EngineSettings *s = c.settings;
  if (s->redirect_body.len == 0 && s->redirect_expiry_s == 0) return false;
  if (s->redirect_expiry_s > now_s && s->redirect_serial == c.serial) return false;
  forget_redirect(s);
  return true;
}

int settings_prepare(const SettingsContext &c) {
  if (c.store == nullptr) return SETTINGS_NO_STORE;
  uint8_t *blob = nullptr;
  uint32_t len = 0;
  // An unreadable store is not an absent blob: migrating or saving now
  // would overwrite settings that are still there.
  if (c.store->get_blob(SETTINGS_KEY, &blob, &len) != 0) {
    LOGE("settings store unreadable; settings left as they are");
    return SETTINGS_NO_STORE;
  }
  int rv = SETTINGS_OK;
  if (blob) {
    rv = settings_load(c, blob, len);
    free(blob);
  } else {
    {
      MutexGuard guard(c.lock);
      c.settings->fresh = true;
    }
    migrate_old_keys(c);
  }
  if (ensure_installation(c)) settings_save(c);
  if (drop_stale_redirect(c, (uint32_t)clock_now_s())) settings_save(c);
  return rv;
}

int settings_set_bytes(const SettingsContext &c, SettingsBytes *field, const void *data,
                       uint32_t len) {
  MutexGuard guard(c.lock);
  if (field->assign(data, len) != 0) return -1;
  c.settings->dirty = true;
  return 0;
}

// ---- session tickets ----------------------------------------------------------

// The entry of `host` ("host::ticket"), or null.
static SessionTicket *ticket_of(EngineSettings *s, const char *host, size_t host_len) {
  for (SessionTicket &t : s->tickets) {
    if (t.len > host_len + 2 && memcmp(t.text, host, host_len) == 0 &&
        t.text[host_len] == ':' && t.text[host_len + 1] == ':')
      return &t;
  }
  return nullptr;
}

int ticket_load(const SettingsContext &c, const char *host, uint8_t out[SETTINGS_TICKET_MAX]) {
  size_t host_len = host ? strlen(host) : 0;
  if (host_len == 0 || host_len > SETTINGS_HOST_MAX) return -1;
  MutexGuard guard(c.lock);
  const SessionTicket *t = ticket_of(c.settings, host, host_len);
  if (!t) return -1;
  uint32_t n = t->len - (uint32_t)host_len - 2;
  if (n > SETTINGS_TICKET_MAX) return -1;
  memcpy(out, t->text + host_len + 2, n);
  return (int)n;
}

int ticket_store(const SettingsContext &c, const char *host, const uint8_t *ticket, uint32_t len,
                 uint32_t now_s) {
  size_t host_len = host ? strlen(host) : 0;
  if (host_len == 0 || host_len > SETTINGS_HOST_MAX) return -1;
  if (ticket == nullptr || len == 0 || len > SETTINGS_TICKET_MAX) return -1;
  MutexGuard guard(c.lock);
  EngineSettings *s = c.settings;
  SessionTicket *slot = ticket_of(s, host, host_len);
  for (SessionTicket &t : s->tickets) {
    if (slot) break;
    if (t.len == 0) slot = &t;
  }
  if (!slot) {
    slot = &s->tickets[0];
    for (SessionTicket &t : s->tickets)
      if (t.stored_s < slot->stored_s) slot = &t;
  }
  memcpy(slot->text, host, host_len);
  memcpy(slot->text + host_len, "::", 2);
  memcpy(slot->text + host_len + 2, ticket, len);
  slot->len = (uint32_t)host_len + 2 + len;
  slot->text[slot->len] = 0;
  slot->stored_s = now_s;
  s->dirty = true;
  return 0;
}

// ---- fingerprint file ---------------------------------------------------------

static const char kFingerprintFile[] = "DB.SHA256";

enum : uint32_t {
  FINGERPRINT_MAX = 512,
  FP_UID = 5,
  FP_APP_ID = 6,
  FP_INSTALLATION = 7,
};

// False when the path does not fit: a cut path would name another file.
static bool fingerprint_path(const char *dir, char *out, size_t cap) {
  int n = snprintf(out, cap, "%s/%s", dir && *dir ? dir : ".", kFingerprintFile);
  return n > 0 && (size_t)n < cap;
}

int read_fingerprint(const char *dir, Fingerprint *out) {
  memset(out, 0, sizeof *out);
  char path[4096];
  if (!fingerprint_path(dir, path, sizeof path)) return -1;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  // One byte more than allowed, to tell a full file from a too long one.
  uint8_t buf[FINGERPRINT_MAX + 1];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  if (n <= 0 || n > (ssize_t)FINGERPRINT_MAX) return -1;
  Fingerprint f = {};
  TlvBuffer t;
  tlv_init(&t, buf, (uint32_t)n);
  uint32_t type, len;
  const uint8_t *value;
  while (t.get(&type, &len, &value) == 0) {
    uint32_t v = (uint32_t)tlv_uint(value, len, 4);
    if (type == FP_UID) f.uid = v;
    if (type == FP_APP_ID) f.app_id = v;
    if (type == FP_INSTALLATION) f.installation_id = v;
  }
  if (t.pos != (uint32_t)n) return -1;  // garbled: trust none of it
  *out = f;
  return 0;
}

static int fingerprint_file_write(const char *dir, const Fingerprint &f) {
  uint8_t buf[FINGERPRINT_MAX] = {};
  TlvBuffer t;
  tlv_init(&t, buf, sizeof buf);
  if (f.uid) t.put_u32(FP_UID, f.uid);
  if (f.app_id) t.put_u32(FP_APP_ID, f.app_id);
  if (f.installation_id) t.put_u32(FP_INSTALLATION, f.installation_id);
  char path[4096], tmp[4100];
  if (!fingerprint_path(dir, path, sizeof path)) return -1;
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  bool ok = write(fd, buf, t.pos) == (ssize_t)t.pos;
  if (close(fd) != 0) ok = false;
  if (!ok || rename(tmp, path) != 0) {
    unlink(tmp);
    return -1;
  }
  return 0;
}

int write_fingerprint(const char *dir, const Fingerprint &current, Fingerprint *previous) {
  if (current.uid == previous->uid && current.app_id == previous->app_id &&
      current.installation_id == previous->installation_id)
    return 0;
  if (fingerprint_file_write(dir, current) != 0) return -1;
  *previous = current;
  return 1;
}
