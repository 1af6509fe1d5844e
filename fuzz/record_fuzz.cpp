// Decodes arbitrary bytes as a bundle body in both modes. Pointers handed
// out must lie inside the body, and each record read must survive the
// client's encoder and decoder with the fields the client writes intact.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/tlv.h"

static void check_inside(const void *p, uint32_t len, const uint8_t *data, size_t size) {
  if (p == nullptr) {
    if (len) __builtin_trap();
    return;
  }
  const uint8_t *b = (const uint8_t *)p;
  if (b < data || b + len > data + size) __builtin_trap();
}

static bool same_bytes(const void *a, uint32_t alen, const void *b, uint32_t blen) {
  return alen == blen && (alen == 0 || memcmp(a, b, alen) == 0);
}

// Encodes what was read and reads it back: the destination rule keeps one
// of group, uid and address; 64-bit ids and flags travel as 32 bits.
static void reencode(const MessageParams &p, const RecordExtras &x, size_t size) {
  std::vector<uint8_t> buf(size + 64);
  TlvBuffer t;
  tlv_init(&t, buf.data(), (uint32_t)buf.size());
  if (record_encode(&t, p, x) != 0) __builtin_trap();
  MessageParams q;
  RecordExtras y;
  TlvBuffer r;
  tlv_init(&r, buf.data(), t.pos);
  if (record_decode(&r, &q, &y, false) != 0 || !y.last) __builtin_trap();
  bool ok = q.id == (uint32_t)p.id && q.flags == (uint32_t)p.flags && q.type == p.type &&
            q.channel == p.channel && q.expiry == p.expiry && q.agesent == p.agesent &&
            q.agerecv == p.agerecv && q.ageread == p.ageread && q.tid == p.tid &&
            q.userdata == p.userdata && q.sensitivity == p.sensitivity && q.refid == p.refid &&
            q.peerversion == p.peerversion && q.aux64 == p.aux64 && q.syncid == p.syncid &&
            q.syncext == (p.syncid ? p.syncext : 0) && q.syncref == p.syncref &&
            same_bytes(q.envelope, q.envelope_len, p.envelope, p.envelope_len) &&
            same_bytes(y.payload, y.payload_len, x.payload, x.payload_len);
  if (p.groupid) {
    ok = ok && q.groupid == p.groupid && q.uid == 0 && y.group_param == x.group_param;
  } else if (p.uid) {
    ok = ok && q.uid == p.uid && y.address_len == 0;
  } else {
    ok = ok && same_bytes(y.address, y.address_len, x.address, x.address_len);
  }
  if (!ok) __builtin_trap();
}

static void decode_body(const uint8_t *data, size_t size, bool sent_mode) {
  TlvBuffer t;
  tlv_init(&t, data, (uint32_t)size);
  for (int records = 0; records <= (int)size; records++) {
    MessageParams p;
    RecordExtras x;
    uint32_t at = t.pos;
    int r = record_decode(&t, &p, &x, sent_mode);
    if (r != 0) return;
    if (t.pos <= at || t.pos > t.cap) __builtin_trap();
    check_inside(x.address, x.address_len, data, size);
    check_inside(x.payload, x.payload_len, data, size);
    check_inside(p.envelope, p.envelope_len, data, size);
    if (!sent_mode) reencode(p, x, size);
    if (x.last) return;
  }
  __builtin_trap();  // more records than bytes: the walk did not advance
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  decode_body(data, size, false);
  decode_body(data, size, true);
  return 0;
}
