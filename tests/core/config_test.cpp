// Engine settings: the blob round trip and its byte layout, corrupted and
// foreign blobs, the store operations over an in-memory store (saving,
// preparing, migrating the old keys), session tickets and the fingerprint
// file.
#include "core/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/tlv.h"
#include "support/capture.h"
#include "support/tempdir.h"
#include "util/crc64.h"
#include "util/time.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t kVersion = 2010000;

// The settings store of the application layer, in memory, with failures
// on demand.
class MemoryStore : public SettingsStore {
 public:
  std::map<std::string, Bytes> blobs;
  std::map<std::string, int64_t> ints;
  std::vector<uint32_t> resets;
  int blob_writes = 0;
  bool fail_reads = false, fail_writes = false;

  int get_blob(const char *key, uint8_t **out, uint32_t *len) override {
    *out = nullptr;
    *len = 0;
    if (fail_reads) return -1;
    auto it = blobs.find(key);
    if (it == blobs.end()) return 0;
    *out = (uint8_t *)malloc(it->second.size() + 1);
    memcpy(*out, it->second.data(), it->second.size());
    *len = (uint32_t)it->second.size();
    return 0;
  }
  int set_blob(const char *key, const void *data, uint32_t len) override {
    if (fail_writes) return -1;
    blob_writes++;
    blobs[key].assign((const uint8_t *)data, (const uint8_t *)data + len);
    return 0;
  }
  int64_t get_int(const char *key, int64_t dflt) override {
    auto it = ints.find(key);
    return it == ints.end() ? dflt : it->second;
  }
  int delete_key(const char *key) override {
    ints.erase(key);
    blobs.erase(key);
    return 0;
  }
  void reset_store(uint32_t mask) override {
    resets.push_back(mask);
    if (mask & 4) blobs.clear(), ints.clear();
  }
};

// One engine's settings record with its lock.
struct Engine {
  EngineSettings s{};
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  Engine() { settings_clear(&s); }
  ~Engine() { settings_release(&s); }
  SettingsContext ctx(SettingsStore *store, uint32_t uid = 42, uint64_t serial = 5000000) {
    return SettingsContext{&s, &lock, store, uid, serial, kVersion};
  }
};

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(i * 31 + seed);
  return b;
}

void put(SettingsBytes *b, const Bytes &v) { ASSERT_EQ(0, b->assign(v.data(), (uint32_t)v.size())); }
void put(SettingsBytes *b, const char *text) { ASSERT_EQ(0, b->assign(text, (uint32_t)strlen(text))); }
Bytes bytes(const SettingsBytes &b) { return Bytes(b.data, b.data + b.len); }

// Every field set, integers with their top byte in use, and variable parts
// far larger than a fixed allowance would take.
void fill(Engine *e) {
  EngineSettings *s = &e->s;
  s->server_uid = 0x7654321;
  s->installation_id = 0xCAFE0001;
  s->primary_uid = 0x39000039;
  put(&s->primary_address, "primary.address");
  put(&s->app_name_server, "app name");
  put(&s->turn_host, "turn.host");
  put(&s->ice_url, "https://ice.url/request");
  put(&s->app_text, "kept for the application");
  put(&s->server_notice, pattern(5000, 1));
  s->login_serial = 0xF011223344556677;
  s->refused_serial = 0xF111223344556677;
  s->server_time = 0xF211223344556677;
  s->app_time64 = 0xF311223344556677;
  s->login_flags = 0x90000140;
  s->last_login_s = 0xF0000019;
  s->last_frame_s = 0xF0000022;
  s->last_attempt_s = 0xF0000042;
  s->holdoff_until_us = 0xF411223344556677;
  s->last_refusal_s = 0xF0000021;
  s->control_op = 0xC3;
  s->control_flags = 0x0FFF0000;
  s->failures = 0xF043;
  s->forgiven = 0xF098;
  s->connect_estimate[0] = 0xF511223344556677;
  s->connect_estimate[1] = 0xF611223344556677;
  s->server_identity = 0xF711223344556677;
  s->login_value45 = 0xF045;
  s->value38 = 0xF0000038;
  s->echo50 = 0xF0000050;
  s->echo51 = 0xF0000051;
  s->echo52 = 0xF0000052;
  s->turn_options = 0xF0000014;
  s->redirect_expiry_s = 0xF0000026;
  s->redirect_attempts = 0xF0000027;
  s->redirect_serial = 0xF811223344556677;
  s->redirect_received_s = 0xF0000030;
  put(&s->redirect_body, pattern(300, 2));
  put(&s->push_token, "push token");
  put(&s->voip_token, "voip token");
  s->tls_saved_s = 0xF0000052;
  s->tls_serial = 0xF911223344556677;
  s->tls_server = 0xFA11223344556677;
  put(&s->tls_session, pattern(20000, 3));
  put(&s->e2e_identity, pattern(3000, 4));
  s->value32 = 0xFB11223344556677;
  s->value33 = 0xFC11223344556677;
  s->value34 = 0xFD11223344556677;
  s->value35 = 0xFE11223344556677;
  s->value37 = 0xFF11223344556677;
  s->value41 = 0xF111223344556641;
  s->value36 = 0xF0000036;
  SettingsContext c = e->ctx(nullptr);
  for (int i = 0; i < (int)SETTINGS_MAX_TICKETS; i++) {
    std::string host = "host" + std::to_string(i) + ".test";
    Bytes ticket = pattern(SETTINGS_TICKET_MAX - i, (uint8_t)i);  // with zero bytes inside
    ASSERT_EQ(0, ticket_store(c, host.c_str(), ticket.data(), (uint32_t)ticket.size(), 1000 + i));
  }
  put(&s->control_notice, "control notice");
}

// Byte offset of the first persisted difference between two records, or -1.
long first_difference(const EngineSettings &a, const EngineSettings &b) {
  static SettingsBytes EngineSettings::*const buffers[] = {
      &EngineSettings::primary_address, &EngineSettings::app_name_server,
      &EngineSettings::turn_host,       &EngineSettings::ice_url,
      &EngineSettings::app_text,        &EngineSettings::server_notice,
      &EngineSettings::redirect_body,   &EngineSettings::push_token,
      &EngineSettings::voip_token,      &EngineSettings::tls_session,
      &EngineSettings::e2e_identity,    &EngineSettings::control_notice,
  };
  EngineSettings x, y;
  memcpy((void *)&x, &a, sizeof x);
  memcpy((void *)&y, &b, sizeof y);
  for (auto m : buffers) {
    if (bytes(a.*m) != bytes(b.*m)) return (long)((char *)&(x.*m) - (char *)&x);
    x.*m = SettingsBytes{};
    y.*m = SettingsBytes{};
  }
  x.dirty = y.dirty = x.fresh = y.fresh = x.other_version = y.other_version = false;
  const uint8_t *p = (const uint8_t *)&x, *q = (const uint8_t *)&y;
  for (size_t i = 0; i < sizeof x; i++)
    if (p[i] != q[i]) return (long)i;
  return -1;
}

Bytes encode(Engine *e, uint32_t uid = 42, uint32_t version = kVersion) {
  SettingsBytes out;
  EXPECT_EQ(0, settings_encode(&e->s, uid, version, 1700000000, &out));
  Bytes b = bytes(out);
  out.release();
  return b;
}

int decode(Engine *e, const Bytes &blob, uint32_t uid = 42, uint32_t version = kVersion) {
  return settings_decode(&e->s, blob.data(), (uint32_t)blob.size(), uid, version);
}

Bytes unscramble(const Bytes &blob) {
  uint32_t n = blob[0];
  Bytes body(blob.begin() + n, blob.end());
  for (size_t i = 0; i < body.size(); i++) body[i] ^= blob[i % n];
  return body;
}

std::vector<uint32_t> item_types(const Bytes &body) {
  std::vector<uint32_t> types;
  TlvBuffer t;
  tlv_init(&t, body.data(), (uint32_t)body.size());
  uint32_t type, len;
  const uint8_t *v;
  while (t.get(&type, &len, &v) == 0) types.push_back(type);
  EXPECT_EQ(t.pos, body.size());
  return types;
}

// ---- the blob -----------------------------------------------------------------

TEST(SettingsBlob, SavedTwiceDiffersInBytesAndLoadsTheSame) {
  Engine a;
  fill(&a);
  Bytes one = encode(&a), two = encode(&a);
  EXPECT_NE(one, two);
  for (const Bytes &blob : {one, two}) {
    EXPECT_GE(blob[0], 16);
    EXPECT_LE(blob[0], 47);
    Engine b;
    ASSERT_EQ(SETTINGS_OK, decode(&b, blob));
    EXPECT_EQ(-1, first_difference(a.s, b.s));
    EXPECT_FALSE(b.s.dirty);
    EXPECT_FALSE(b.s.fresh);
    EXPECT_FALSE(b.s.other_version);
  }
}

TEST(SettingsBlob, PrefixLengthCoversItsWholeRange) {
  Engine e;
  bool seen[64] = {};
  for (int i = 0; i < 2000; i++) seen[encode(&e)[0]] = true;
  for (int n = 0; n < 64; n++) EXPECT_EQ(n >= 16 && n <= 47, seen[n]) << n;
}

TEST(SettingsBlob, ItemsInTableOrderWithChecksumLast) {
  Engine full;
  fill(&full);
  std::vector<uint32_t> want = {3,  4,  5,  7,  8,  39, 40, 9,  12, 13, 58, 112, 16, 17, 18,
                                59, 31, 19, 22, 42, 20, 21, 25, 97, 43, 98, 23,  24, 44, 66,
                                38, 80, 81, 82, 14, 26, 27, 28, 30, 29, 10, 11,  52, 49, 50,
                                51, 69, 32, 33, 34, 35, 37, 41, 36};
  for (uint32_t i = 0; i < SETTINGS_MAX_TICKETS; i++) want.insert(want.end(), {64, 65});
  want.insert(want.end(), {96, 46, 45});
  EXPECT_EQ(want, item_types(unscramble(encode(&full))));

  // A cleared record still carries the save stamps, items 66 and 96 (a
  // zero byte for "no notice") and the checksum.
  Engine empty;
  Bytes body = unscramble(encode(&empty));
  EXPECT_EQ((std::vector<uint32_t>{3, 4, 5, 66, 96, 46, 45}), item_types(body));
  const uint8_t *v;
  ASSERT_EQ(1, tlv_find(body.data(), (uint32_t)body.size(), 96, &v));
  EXPECT_EQ(0, v[0]);
}

// The record a failed load must leave: reset, fresh and dirty, with the
// installation id it had.
void expect_reset(const Engine &e, uint32_t installation) {
  EXPECT_EQ(0u, e.s.login_serial);
  EXPECT_EQ(0u, e.s.tls_session.len);
  EXPECT_EQ(0u, e.s.tickets[0].len);
  EXPECT_EQ(-1, e.s.server_uid);
  EXPECT_EQ(installation, e.s.installation_id);
  EXPECT_TRUE(e.s.fresh);
  EXPECT_TRUE(e.s.dirty);
}

TEST(SettingsBlob, DamagedBlobsResetTheSettings) {
  Engine src;
  fill(&src);
  const Bytes good = encode(&src);
  struct Case {
    const char *what;
    Bytes blob;
  };
  auto with_first = [&](uint8_t n) { Bytes b = good; b[0] = n; return b; };
  auto cut = [&](size_t keep) { return Bytes(good.begin(), good.begin() + keep); };
  const Case cases[] = {
      {"empty", {}},
      {"prefix length 15", with_first(15)},
      {"prefix length 65", with_first(65)},
      {"prefix as long as the blob", cut(good[0])},
      {"last byte cut", cut(good.size() - 1)},
      {"cut after the prefix", cut(good[0] + 1)},
      {"cut in the middle", cut(good.size() / 2)},
  };
  StdoutCapture quiet;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Engine e;
    fill(&e);
    e.s.installation_id = 77;
    EXPECT_EQ(SETTINGS_BAD, decode(&e, c.blob));
    expect_reset(e, 77);
  }
}

TEST(SettingsBlob, EveryFlippedByteIsRejected) {
  Engine src;
  fill(&src);
  src.s.tls_session.clear();  // a shorter blob, every byte still visited
  src.s.server_notice.clear();
  src.s.e2e_identity.clear();
  const Bytes good = encode(&src);
  StdoutCapture quiet;
  for (uint8_t mask : {0x01, 0x80, 0xFF}) {
    for (size_t i = 0; i < good.size(); i++) {
      Bytes b = good;
      b[i] ^= mask;
      Engine e;
      ASSERT_EQ(SETTINGS_BAD, decode(&e, b)) << "byte " << i << " mask " << (int)mask;
    }
  }
}

// Builds a blob around a hand-made body: a fixed prefix, then item 46 and
// 45 placed as `seal` says.
enum Seal { SEAL_GOOD, SEAL_SHORT_COVER, SEAL_LONG_COVER, SEAL_HUGE_COVER, SEAL_NO_COVER,
            SEAL_NO_CRC, SEAL_ITEM_AFTER };

Bytes sealed(Bytes body, Seal seal) {
  uint32_t covered = (uint32_t)body.size();
  if (seal == SEAL_SHORT_COVER) covered--;  // consistent, but the last byte goes unchecked
  uint64_t crc = crc64_ecma(body.data(), covered);
  uint8_t tail[64];
  TlvBuffer t;
  tlv_init(&t, tail, sizeof tail);
  if (seal != SEAL_NO_CRC && crc) t.put_u64(46, crc);
  if (seal == SEAL_LONG_COVER) covered += 2;
  if (seal == SEAL_HUGE_COVER) covered = 1000000;
  if (seal != SEAL_NO_COVER) t.put_u32(45, covered);
  if (seal == SEAL_ITEM_AFTER) t.put_u32(19, 1);
  body.insert(body.end(), tail, tail + t.pos);

  Bytes blob(16);
  for (int i = 0; i < 16; i++) blob[i] = (uint8_t)(i * 17);
  blob[0] = 16;
  for (size_t i = 0; i < body.size(); i++) blob.push_back(body[i] ^ blob[i % 16]);
  return blob;
}

Bytes items(std::initializer_list<Bytes> list) {
  Bytes out;
  for (const Bytes &b : list) out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes item(uint32_t type, const Bytes &value) {
  uint8_t buf[512];
  int n = tlv_add(buf, sizeof buf, type, (uint32_t)value.size(), value.data(), false);
  return Bytes(buf, buf + n);
}

TEST(SettingsBlob, ChecksumMustCoverExactlyTheItemsBeforeIt) {
  const Bytes body = items({item(5, {42}), item(19, {0x34, 0x12})});
  const Bytes zeros = {0, 0, 0};  // three empty type-0 items: CRC 0
  struct Case {
    const char *what;
    Bytes blob;
    int want;
  } cases[] = {
      {"good", sealed(body, SEAL_GOOD), SETTINGS_OK},
      {"cover stops short", sealed(body, SEAL_SHORT_COVER), SETTINGS_BAD},
      {"cover reaches into the checksum", sealed(body, SEAL_LONG_COVER), SETTINGS_BAD},
      {"cover beyond the end of the blob", sealed(body, SEAL_HUGE_COVER), SETTINGS_BAD},
      {"no covered length", sealed(body, SEAL_NO_COVER), SETTINGS_BAD},
      {"no checksum, body CRC not 0", sealed(body, SEAL_NO_CRC), SETTINGS_BAD},
      {"item after the covered length", sealed(body, SEAL_ITEM_AFTER), SETTINGS_BAD},
      {"no checksum, body CRC 0", sealed(zeros, SEAL_GOOD), SETTINGS_OK},
  };
  StdoutCapture quiet;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Engine e;
    EXPECT_EQ(c.want, decode(&e, c.blob));
  }
}

TEST(SettingsBlob, ItemsLongerThanTheirFieldAreIgnored) {
  Bytes long_ticket(sizeof(SessionTicket::text), 'x');
  const Bytes body = items({
      item(5, pattern(5, 1)),   // 4-byte field
      item(43, {1, 2, 3}),      // 2-byte field
      item(25, {1, 2}),         // 1-byte field
      item(7, pattern(5, 2)),   // server uid, 4 bytes
      item(19, {0x34, 0x12}),
      item(64, long_ticket), item(65, {9}),
      item(64, {'h', '.', 't', ':', ':', 'k'}), item(65, {7}),
      item(777, {1}),           // unknown
  });
  Engine e;
  ASSERT_EQ(SETTINGS_OK, decode(&e, sealed(body, SEAL_GOOD)));
  EXPECT_EQ(0u, e.s.saved_uid);
  EXPECT_EQ(0u, e.s.failures);
  EXPECT_EQ(0u, e.s.control_op);
  EXPECT_EQ(-1, e.s.server_uid);
  EXPECT_EQ(0x1234u, e.s.last_login_s);
  EXPECT_EQ(std::string("h.t::k"), std::string(e.s.tickets[0].text));
  EXPECT_EQ(7u, e.s.tickets[0].stored_s);
  EXPECT_EQ(0u, e.s.tickets[1].len);
}

TEST(SettingsBlob, BlobOfAnotherUserResetsSettingsAndLocalData) {
  Engine src;
  fill(&src);
  const Bytes of7 = encode(&src, 7);
  struct Case {
    uint32_t uid;
    int want;
  } cases[] = {{9, SETTINGS_OTHER_OWNER}, {7, SETTINGS_OK}, {0, SETTINGS_OK}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.uid);
    MemoryStore store;
    Engine e;
    e.s.installation_id = 55;
    StdoutCapture log;
    EXPECT_EQ(c.want, settings_load(e.ctx(&store, c.uid), of7.data(), (uint32_t)of7.size()));
    bool other = c.want == SETTINGS_OTHER_OWNER;
    EXPECT_EQ(other, log.contains("invalid database: uid 9 db belongs to 7"));
    EXPECT_EQ(other ? std::vector<uint32_t>{7} : std::vector<uint32_t>{}, store.resets);
    if (other) expect_reset(e, 55);
    else EXPECT_EQ(src.s.login_serial, e.s.login_serial);
  }
}

TEST(SettingsBlob, AnotherProtocolVersionForgetsTheRedirectLease) {
  Engine src;
  fill(&src);
  const Bytes blob = encode(&src, 42, kVersion - 100);
  Engine e;
  ASSERT_EQ(SETTINGS_OK, decode(&e, blob, 42, kVersion));
  EXPECT_TRUE(e.s.other_version);
  EXPECT_TRUE(e.s.dirty);
  EXPECT_EQ(0u, e.s.redirect_expiry_s);
  EXPECT_EQ(0u, e.s.redirect_attempts);
  EXPECT_EQ(0u, e.s.redirect_serial);
  EXPECT_EQ(src.s.login_serial, e.s.login_serial);

  Engine same;
  ASSERT_EQ(SETTINGS_OK, decode(&same, blob, 42, kVersion - 100));
  EXPECT_FALSE(same.s.other_version);
  EXPECT_EQ(src.s.redirect_expiry_s, same.s.redirect_expiry_s);
}

// ---- saving and preparing -------------------------------------------------------

TEST(SettingsStoreOps, SaveWritesOneValueAndKeepsTheDirtyMarkOnFailure) {
  MemoryStore store;
  Engine e;
  fill(&e);
  EXPECT_EQ(-1, settings_save(e.ctx(nullptr)));
  EXPECT_TRUE(e.s.dirty);

  ASSERT_EQ(0, settings_save(e.ctx(&store)));
  EXPECT_FALSE(e.s.dirty);
  EXPECT_EQ(1, store.blob_writes);
  const Bytes first = store.blobs[SETTINGS_KEY];

  e.s.login_serial++;
  e.s.dirty = true;
  store.fail_writes = true;
  {
    StdoutCapture quiet;
    EXPECT_EQ(-1, settings_save(e.ctx(&store)));
  }
  EXPECT_TRUE(e.s.dirty);
  EXPECT_EQ(first, store.blobs[SETTINGS_KEY]);
}

TEST(SettingsPrepare, MigratesTheOldKeysAndDeletesThemAfterTheSave) {
  const char *old_keys[] = {"r_exp", "r_err", "r_tic", "p_token", "p_vtoken", "l_uniqid",
                            "l_suid", "l_ts", "l_bid", "l_dts", "l_ats", "l_aid", "l_tid",
                            "ls_session", "ls_tid", "ls_addr", "s_psts", "s_prts", "s_cts",
                            "s_cid", "s_gsp"};
  MemoryStore store;
  for (const char *k : old_keys) store.ints[k] = 1;
  store.ints["l_uniqid"] = 0x1234;
  store.ints["l_suid"] = 77;
  store.ints["l_bid"] = 5000123;
  store.ints["l_dts"] = 99000000;
  store.ints["dbschema"] = 16;

  Engine e;
  EXPECT_EQ(SETTINGS_OK, settings_prepare(e.ctx(&store)));
  EXPECT_TRUE(e.s.fresh);
  EXPECT_EQ(0x1234u, e.s.installation_id);
  EXPECT_EQ(77, e.s.server_uid);
  EXPECT_EQ(5000123u, e.s.refused_serial);
  EXPECT_EQ(99000000u, e.s.holdoff_until_us);
  EXPECT_EQ(1, store.blob_writes);
  EXPECT_EQ((std::map<std::string, int64_t>{{"dbschema", 16}}), store.ints);

  // The next start finds the blob and the same values.
  Engine next;
  EXPECT_EQ(SETTINGS_OK, settings_prepare(next.ctx(&store)));
  EXPECT_FALSE(next.s.fresh);
  EXPECT_EQ(0x1234u, next.s.installation_id);
  EXPECT_EQ(5000123u, next.s.refused_serial);
  EXPECT_EQ(1, store.blob_writes);
}

TEST(SettingsPrepare, WithoutOldInstallationIdNothingIsMigrated) {
  MemoryStore store;
  store.ints["l_uniqid"] = 0;
  store.ints["l_bid"] = 5000123;
  Engine e;
  EXPECT_EQ(SETTINGS_OK, settings_prepare(e.ctx(&store)));
  EXPECT_EQ(0u, e.s.refused_serial);
  EXPECT_NE(0u, e.s.installation_id);
  EXPECT_EQ(1u, store.ints.count("l_bid"));
  ASSERT_EQ(1u, store.blobs.count(SETTINGS_KEY));
  Engine next;
  ASSERT_EQ(SETTINGS_OK, decode(&next, store.blobs[SETTINGS_KEY]));
  EXPECT_EQ(e.s.installation_id, next.s.installation_id);
}

TEST(SettingsPrepare, StoreFailuresLoseNothing) {
  // A failed save keeps the old keys for the next attempt.
  MemoryStore store;
  store.ints["l_uniqid"] = 0x1234;
  store.ints["l_bid"] = 5000123;
  store.fail_writes = true;
  Engine e;
  {
    StdoutCapture quiet;
    settings_prepare(e.ctx(&store));
  }
  EXPECT_EQ(2u, store.ints.size());
  EXPECT_TRUE(e.s.dirty);

  // An unreadable store is not an empty one: nothing migrated, made or written.
  MemoryStore unreadable;
  unreadable.ints["l_uniqid"] = 0x1234;
  unreadable.fail_reads = true;
  Engine f;
  {
    StdoutCapture quiet;
    EXPECT_EQ(SETTINGS_NO_STORE, settings_prepare(f.ctx(&unreadable)));
  }
  EXPECT_EQ(0u, f.s.installation_id);
  EXPECT_EQ(0, unreadable.blob_writes);
  EXPECT_EQ(SETTINGS_NO_STORE, settings_prepare(f.ctx(nullptr)));
}

TEST(SettingsPrepare, InstallationIdSurvivesResetsLoadsAndOtherOwners) {
  MemoryStore store;
  Engine first;
  settings_prepare(first.ctx(&store, 7));
  const uint32_t id = first.s.installation_id;
  ASSERT_NE(0u, id);

  settings_clear(&first.s);
  EXPECT_EQ(id, first.s.installation_id);

  Engine running;  // an id already in memory wins over the stored one
  running.s.installation_id = id + 1;
  EXPECT_EQ(SETTINGS_OK, settings_prepare(running.ctx(&store, 7)));
  EXPECT_EQ(id + 1, running.s.installation_id);

  Engine other;  // another user on the same installation starts fresh
  StdoutCapture quiet;
  EXPECT_EQ(SETTINGS_OTHER_OWNER, settings_prepare(other.ctx(&store, 9)));
  EXPECT_EQ(std::vector<uint32_t>{SETTINGS_RESET_MASK}, store.resets);
  EXPECT_TRUE(other.s.fresh);
  EXPECT_EQ(id, other.s.installation_id);
}

TEST(SettingsPrepare, StaleRedirectIsForgottenAndSaved) {
  const uint32_t now = (uint32_t)clock_now_s();
  const uint64_t serial = 5000000;
  struct Case {
    const char *what;
    uint32_t expiry;
    uint64_t redirect_serial;
    bool kept;
  } cases[] = {
      {"valid", now + 600, serial, true},
      {"expired", now - 1, serial, false},
      {"other token serial", now + 600, serial + 1, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    MemoryStore store;
    Engine src;
    src.s.installation_id = 1;
    src.s.redirect_expiry_s = c.expiry;
    src.s.redirect_serial = c.redirect_serial;
    src.s.redirect_attempts = 2;
    put(&src.s.redirect_body, "body");
    store.blobs[SETTINGS_KEY] = encode(&src);

    Engine e;
    settings_prepare(e.ctx(&store, 42, serial));
    EXPECT_EQ(c.kept ? 4u : 0u, e.s.redirect_body.len);
    EXPECT_EQ(c.kept ? c.expiry : 0u, e.s.redirect_expiry_s);
    EXPECT_EQ(c.kept ? 0 : 1, store.blob_writes);
    EXPECT_FALSE(e.s.dirty);
  }
}

TEST(SettingsStoreOps, ConcurrentUpdatesAndSavesStayConsistent) {
  MemoryStore store;
  Engine e;
  fill(&e);
  SettingsContext c = e.ctx(&store);
  std::thread writer([&] {
    for (int i = 0; i < 400; i++) {
      Bytes v = pattern(100 + (i % 7) * 3000, (uint8_t)i);
      settings_set_bytes(c, &e.s.tls_session, v.data(), (uint32_t)v.size());
      uint8_t ticket[4] = {1, 2, 3, (uint8_t)i};
      ticket_store(c, i % 2 ? "a.test" : "b.test", ticket, 4, (uint32_t)i);
    }
  });
  for (int i = 0; i < 400; i++) ASSERT_EQ(0, settings_save(c));
  writer.join();
  Engine back;
  EXPECT_EQ(SETTINGS_OK, decode(&back, store.blobs[SETTINGS_KEY]));
}

// ---- session tickets ----------------------------------------------------------

TEST(SessionTickets, ReplacementRule) {
  Engine e;
  SettingsContext c = e.ctx(nullptr);
  auto store_one = [&](const char *host, uint8_t tag, uint32_t when) {
    uint8_t t[3] = {tag, 0, tag};
    return ticket_store(c, host, t, 3, when);
  };
  auto load_tag = [&](const char *host) {
    uint8_t out[SETTINGS_TICKET_MAX];
    int n = ticket_load(c, host, out);
    return n == 3 ? out[0] : n;
  };
  // Stored out of time order, so "oldest" is not "first slot".
  const uint32_t times[] = {500, 100, 800, 300, 700, 200, 600, 400};
  for (int i = 0; i < 8; i++) {
    std::string host = "h" + std::to_string(i) + ".test";
    ASSERT_EQ(0, store_one(host.c_str(), (uint8_t)(10 + i), times[i]));
  }
  e.s.dirty = false;

  ASSERT_EQ(0, store_one("h0.test", 99, 900));  // same host: its own slot
  EXPECT_TRUE(e.s.dirty);
  EXPECT_EQ(99, load_tag("h0.test"));
  for (int i = 1; i < 8; i++) EXPECT_EQ(10 + i, load_tag(("h" + std::to_string(i) + ".test").c_str()));

  ASSERT_EQ(0, store_one("new.test", 50, 1000));  // full: the oldest (h1, 100) goes
  EXPECT_EQ(50, load_tag("new.test"));
  EXPECT_EQ(-1, load_tag("h1.test"));
  EXPECT_EQ(15, load_tag("h5.test"));

  EXPECT_EQ(-1, load_tag("h0.tes"));      // a prefix of a host is another host
  EXPECT_EQ(-1, load_tag("h0.test.x"));

  e.s.tickets[3].len = 0;  // a free slot is used before the oldest entry
  ASSERT_EQ(0, store_one("free.test", 60, 1100));
  EXPECT_EQ(std::string("free.test::"), std::string(e.s.tickets[3].text, 11));
  EXPECT_EQ(15, load_tag("h5.test"));
}

TEST(SessionTickets, RefusesWhatDoesNotFit) {
  Engine e;
  SettingsContext c = e.ctx(nullptr);
  const std::string host64(64, 'h'), host65(65, 'h');
  const Bytes t127(127, 1), t128(128, 1);
  struct Case {
    const char *what;
    const char *host;
    Bytes ticket;
    int want;
  } cases[] = {
      {"longest host and ticket", host64.c_str(), t127, 0},
      {"host too long", host65.c_str(), {1}, -1},
      {"empty host", "", {1}, -1},
      {"no host", nullptr, {1}, -1},
      {"ticket too long", "h.test", t128, -1},
      {"empty ticket", "h.test", {}, -1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(k.want, ticket_store(c, k.host, k.ticket.data(), (uint32_t)k.ticket.size(), 1));
  }
  uint8_t out[SETTINGS_TICKET_MAX];
  EXPECT_EQ(127, ticket_load(c, host64.c_str(), out));
  EXPECT_EQ(-1, ticket_load(c, nullptr, out));
}

// ---- fingerprint file ---------------------------------------------------------

TEST(FingerprintFile, MissingOrGarbledReadsAsZeros) {
  struct Case {
    const char *what;
    Bytes content;  // empty with `create` false: no file at all
    bool create;
  } cases[] = {
      {"missing", {}, false},
      {"empty", {}, true},
      {"garbled after a good item", {0x25, 0x2A, 0xA5, 0x09, 1, 2}, true},
      {"too long", Bytes(513, 0), true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    if (c.create) {
      FILE *f = fopen(dir.file("DB.SHA256").c_str(), "wb");
      fwrite(c.content.data(), 1, c.content.size(), f);
      fclose(f);
    }
    Fingerprint fp = {1, 2, 3};
    EXPECT_EQ(-1, read_fingerprint(dir.path().c_str(), &fp));
    EXPECT_EQ(0u, fp.uid + fp.app_id + fp.installation_id);
  }
}

TEST(FingerprintFile, RewrittenOnlyWhenTheValuesChange) {
  TempDir dir;
  const char *d = dir.path().c_str();
  Fingerprint previous = {};
  EXPECT_EQ(0, write_fingerprint(d, Fingerprint{0, 0, 0}, &previous));
  struct stat st;
  EXPECT_NE(0, stat(dir.file("DB.SHA256").c_str(), &st));

  const Fingerprint now = {42, 0x10000001, 0xCAFE};
  EXPECT_EQ(1, write_fingerprint(d, now, &previous));
  EXPECT_EQ(42u, previous.uid);
  Fingerprint read = {};
  ASSERT_EQ(0, read_fingerprint(d, &read));
  EXPECT_EQ(42u, read.uid);
  EXPECT_EQ(0x10000001u, read.app_id);
  EXPECT_EQ(0xCAFEu, read.installation_id);
  EXPECT_EQ(0, write_fingerprint(d, now, &previous));

  // A failed write keeps the previous values, so the next report tries again.
  std::string missing = dir.file("no/such/dir");
  EXPECT_EQ(-1, write_fingerprint(missing.c_str(), Fingerprint{43, 1, 1}, &previous));
  EXPECT_EQ(42u, previous.uid);
  std::string too_long(5000, 'd');
  EXPECT_EQ(-1, write_fingerprint(too_long.c_str(), Fingerprint{43, 1, 1}, &previous));
}

}  // namespace
