// TLV codec, frame header and message record: see tlv.h for the formats.
#include "core/tlv.h"

#include <climits>
#include <cstring>

#include "util/logs.h"

// ---- items ----------------------------------------------------------------

static void store_le(uint8_t *out, uint64_t v, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) out[i] = (uint8_t)(v >> (8 * i));
}

static uint64_t load_le(const uint8_t *in, uint32_t n) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < n; i++) v |= (uint64_t)in[i] << (8 * i);
  return v;
}

static uint32_t length_bytes(uint32_t length) {
  if (length >= 0x1000000) return 4;
  if (length >= 0x10000) return 3;
  if (length > 255) return 2;
  return length > 0 ? 1 : 0;
}

int tlv_add(void *buf, uint32_t cap, uint32_t type, uint32_t length, const void *value,
            bool compact) {
  if (type >= TLV_TYPE_LIMIT) return -1;
  const uint8_t *v = (const uint8_t *)value;
  if (compact && v && length > 0) {
    while (length > 1 && v[length - 1] == 0) length--;
  }
  uint32_t n = length_bytes(length);
  bool extended = type > 31 || n > 2;
  uint8_t code;
  if (extended) {
    code = 7;
    // The extended form cannot say "no length bytes": an empty value gets
    // one length byte holding 0 rather than a wrapped count in byte 1.
    if (n == 0) n = 1;
  } else if (length > 4) {
    code = (uint8_t)(n + 4);
  } else {
    code = (uint8_t)length;
    n = 0;
  }
  uint32_t h = extended ? 2 : 1;

  uint64_t total = (uint64_t)h + n + length;
  if (buf == nullptr || total > cap || total > INT_MAX) {
    LOGE("maxlen %u < %u + %u + %u + %u (type %u)", cap, h, n, length, 0u, type);
    return -1;
  }

  uint8_t *out = (uint8_t *)buf;
  out[0] = (uint8_t)((code << 5) | (type & 0x1F));
  if (extended) out[1] = (uint8_t)((type >> 5) | ((n - 1) << 6));
  store_le(out + h, length, n);
  uint8_t *dst = out + h + n;
  if (v == nullptr) {
    memset(dst, 0, length);
  } else if (length <= 8) {
    // Integers dominate; a library call costs more than the copy. Through a
    // temporary, so an overlapping source is as safe as with memmove.
    uint8_t tmp[8];
    for (uint32_t i = 0; i < length; i++) tmp[i] = v[i];
    for (uint32_t i = 0; i < length; i++) dst[i] = tmp[i];
  } else {
    memmove(dst, v, length);
  }
  return (int)total;
}

void tlv_init(TlvBuffer *t, void *buf, uint32_t cap) {
  t->buf = (uint8_t *)buf;
  t->pos = 0;
  t->cap = cap;
  t->skip = 0;
  t->flags = 0;
}

void tlv_init(TlvBuffer *t, const void *buf, uint32_t cap) { tlv_init(t, (void *)buf, cap); }

int TlvBuffer::put(uint32_t type, uint32_t length, const void *value, bool compact) {
  if (pos > cap) {
    LOGE("*** BUG *** tlv put bad maxlen: %u datalen: %u", cap, pos);
    return -1;
  }
  int n = tlv_add(buf + pos, cap - pos, type, length, value, compact);
  if (n < 0) return -1;
  pos += (uint32_t)n;
  return 0;
}

int TlvBuffer::get(uint32_t *type, uint32_t *length, const uint8_t **value) {
  if (pos > cap) {
    LOGE("*** BUG *** tlv get bad maxlen: %u datalen: %u", cap, pos);
    return -1;
  }
  uint64_t r = cap - pos;
  if (r == 0 || buf == nullptr) return -1;
  const uint8_t *p = buf + pos;
  uint32_t code = p[0] >> 5;
  uint32_t t = p[0] & 0x1F;
  uint64_t h = 1, n = 0, l = code;
  if (code == 5 || code == 6) {
    n = code - 4;
  } else if (code == 7) {
    if (r < 2) return -1;
    h = 2;
    n = (uint64_t)(p[1] >> 6) + 1;
    t |= (uint32_t)(p[1] & 0x3F) << 5;
  }
  if (r < h + n) return -1;
  if (n > 0) l = load_le(p + h, (uint32_t)n);
  // 64-bit sums: a 4-byte length near 0xFFFFFFFF must not wrap.
  if (r < h + n + l) return -1;
  *type = t;
  *length = (uint32_t)l;
  *value = p + h + n;
  pos += (uint32_t)(h + n + l);
  return 0;
}

int TlvBuffer::put_u16(uint32_t type, uint16_t v) { return put_u64(type, v); }
int TlvBuffer::put_u32(uint32_t type, uint32_t v) { return put_u64(type, v); }

// The compact width comes straight from the value instead of scanning the
// bytes for trailing zeros: most record items are integers.
int TlvBuffer::put_u64(uint32_t type, uint64_t v) {
  uint8_t b[8];
  uint32_t n = 1;
  while (n < 8 && (v >> (8 * n)) != 0) n++;
  store_le(b, v, n);
  return put(type, n, b, false);
}

int TlvBuffer::put_u16_fixed(uint32_t type, uint16_t v) {
  uint8_t b[2];
  store_le(b, v, 2);
  return put(type, 2, b, false);
}

int TlvBuffer::put_u32_fixed(uint32_t type, uint32_t v) {
  uint8_t b[4];
  store_le(b, v, 4);
  return put(type, 4, b, false);
}

int TlvBuffer::put_text(uint32_t type, const char *text) {
  size_t n = text ? strlen(text) : 0;
  if (n > UINT32_MAX) return -1;
  return put(type, (uint32_t)n, text, false);
}

uint64_t tlv_uint(const uint8_t *value, uint32_t length, uint32_t width) {
  if (value == nullptr || length > width || length > 8) return 0;
  return load_le(value, length);
}

// Shared walk of tlv_find and tlv_find_item; `stop_at_zero` ends at type 0.
static int find_item(const void *buf, uint32_t length, uint32_t type, const uint8_t **value,
                     bool stop_at_zero) {
  if (buf == nullptr) return -1;
  TlvBuffer t;
  tlv_init(&t, buf, length);
  uint32_t ty, len;
  const uint8_t *v;
  while (t.get(&ty, &len, &v) == 0) {
    if (ty == type) {
      if (len > INT_MAX) return -1;
      *value = v;
      return (int)len;
    }
    if (stop_at_zero && ty == 0) {
      *value = nullptr;
      return 0;
    }
  }
  return -1;
}

int tlv_find(const void *buf, uint32_t length, uint32_t type, const uint8_t **value) {
  return find_item(buf, length, type, value, false);
}

int tlv_find_item(const void *buf, uint32_t length, uint32_t type, const uint8_t **value) {
  return find_item(buf, length, type, value, true);
}

int tlv_remove(void *buf, int length, uint32_t type) {
  if (buf == nullptr || length <= 1) return -1;
  TlvBuffer t;
  tlv_init(&t, buf, (uint32_t)length);
  uint32_t ty, len;
  const uint8_t *v;
  uint32_t start = 0;
  while (t.get(&ty, &len, &v) == 0) {
    if (ty == type) {
      uint8_t *b = (uint8_t *)buf;
      memmove(b + start, b + t.pos, (size_t)length - t.pos);
      return length - (int)(t.pos - start);
    }
    start = t.pos;
  }
  return length;
}

static void dump_hex(const char *label, const uint8_t *v, uint32_t len) {
  static const char digits[] = "0123456789abcdef";
  const uint32_t ROW = 32;
  for (uint32_t off = 0; off < len; off += ROW) {
    char row[32 * 3 + 1];
    uint32_t n = len - off < ROW ? len - off : ROW;
    for (uint32_t i = 0; i < n; i++) {
      row[i * 3] = digits[v[off + i] >> 4];
      row[i * 3 + 1] = digits[v[off + i] & 0xF];
      row[i * 3 + 2] = ' ';
    }
    row[n * 3] = 0;
    LOGD("tlv_dump (%s): %04x: %s", label, off, row);
  }
}

void tlv_dump(const char *label, const void *buf, uint32_t length, bool hex) {
  if (label == nullptr) label = "";
  LOGD("tlv_dump -------------- (%s) len %d -------------", label, (int)length);
  if (buf == nullptr) return;
  TlvBuffer t;
  tlv_init(&t, buf, length);
  uint32_t ty, len;
  const uint8_t *v;
  while (t.get(&ty, &len, &v) == 0 && len > 0) {
    LOGD("tlv_dump (%s): type %u len %u", label, ty, len);
    if (hex) dump_hex(label, v, len);
  }
}

// ---- frames ---------------------------------------------------------------

int frame_encode(uint8_t out[FRAME_HEADER_SIZE], const FrameHeader &h) {
  if (h.code > 0xF || h.length > FRAME_MAX_BODY) return -1;
  out[0] = (uint8_t)(h.code | ((h.length >> 16) << 4));
  out[1] = h.op;
  store_le(out + 2, h.length & 0xFFFF, 2);
  store_le(out + 4, h.param, 4);
  return 0;
}

void frame_decode(const uint8_t in[FRAME_HEADER_SIZE], FrameHeader *h) {
  h->code = in[0] & 0xF;
  h->op = in[1];
  h->length = (uint32_t)(in[0] >> 4) << 16 | (uint32_t)load_le(in + 2, 2);
  h->param = (uint32_t)load_le(in + 4, 4);
}

FrameClass frame_class(uint8_t op) {
  switch (op) {
    case OP_DATA: return FRAME_CLASS_DATA;
    case OP_PING_REQUEST: return FRAME_CLASS_PING_REQUEST;
    case OP_CLOSE: return FRAME_CLASS_CLOSE;
    case OP_SIGNED_OUT: return FRAME_CLASS_SIGNED_OUT;
    default: break;
  }
  if (op >= OP_AUTHFAIL_FIRST) return FRAME_CLASS_AUTHFAIL;
  if (op >= OP_CONTROL_FIRST) return FRAME_CLASS_CONTROL;
  if (op & 0x40) return FRAME_CLASS_OTHER;
  return FRAME_CLASS_ACK;
}

// ---- message records ------------------------------------------------------

int bundle_begin(TlvBuffer *out, uint16_t sequence) {
  return out->put_u16(REC_BUNDLE_SEQ, sequence);
}

// The client's item order; each writer returns -1 when the item does not fit.
static int encode_items(TlvBuffer *o, const MessageParams &p, const RecordExtras &x) {
  if (o->put_empty(REC_START)) return -1;
  if (p.id && o->put_u32(REC_ID, (uint32_t)p.id)) return -1;
  if (p.type && o->put_u16(REC_TYPE, p.type)) return -1;
  if (p.flags && o->put_u32(REC_FLAGS, (uint32_t)p.flags)) return -1;
  if (p.channel && o->put_u16(REC_CHANNEL, p.channel)) return -1;
  if (p.groupid) {
    if (o->put_u32(REC_GROUPID, p.groupid)) return -1;
    if (x.group_param && o->put_u16(REC_GROUPPARAM, x.group_param)) return -1;
  } else if (p.uid) {
    if (o->put_u32(REC_UID, p.uid)) return -1;
  } else if (x.address && x.address_len) {
    if (o->put_bytes(REC_ADDRESS, x.address, x.address_len)) return -1;
  }
  if (o->put_u32(REC_EXPIRY, p.expiry)) return -1;
  if (p.agesent && o->put_u32(REC_AGESENT, p.agesent)) return -1;
  if (p.agerecv && o->put_u32(REC_AGERECV, p.agerecv)) return -1;
  if (p.ageread && o->put_u32(REC_AGEREAD, p.ageread)) return -1;
  if (p.tid && o->put_u64(REC_TID, p.tid)) return -1;
  if (p.userdata && o->put_u64(REC_USERDATA, p.userdata)) return -1;
  if (p.sensitivity && o->put_u32(REC_SENSITIVITY, p.sensitivity)) return -1;
  if (p.refid && o->put_u64(REC_REFID, p.refid)) return -1;
  if (p.peerversion && o->put_u32(REC_PEERVERSION, p.peerversion)) return -1;
  if (p.aux64 && o->put_u64(REC_AUX64, p.aux64)) return -1;
  if (p.syncid) {
    if (o->put_u64(REC_SYNCID, p.syncid)) return -1;
    if (o->put_u16(REC_SYNCEXT, p.syncext)) return -1;
  }
  if ((p.syncid || p.syncref) && o->put_u64(REC_SYNCREF, p.syncref)) return -1;
  if (p.envelope && p.envelope_len && o->put_bytes(REC_ENVELOPE, p.envelope, p.envelope_len))
    return -1;
  if (x.payload && x.payload_len && o->put_bytes(REC_PAYLOAD, x.payload, x.payload_len))
    return -1;
  return 0;
}

int record_encode(TlvBuffer *out, const MessageParams &p, const RecordExtras &x) {
  uint32_t start = out->pos;
  if (encode_items(out, p, x) == 0) return 0;
  out->pos = start;
  return -1;
}

// Items the client writes about a message itself: the only ones trusted when
// an acknowledged bundle of ours is read back.
static bool sent_item(uint32_t type) {
  switch (type) {
    case REC_ID: case REC_ADDRESS: case REC_UID: case REC_GROUPID: case REC_FLAGS:
    case REC_CHANNEL: case REC_TYPE: case REC_REFID: case REC_AUX64:
    case REC_AGESENT: case REC_AGERECV: case REC_AGEREAD:
      return true;
    default:
      return false;
  }
}

static void take_item(uint32_t type, const uint8_t *v, uint32_t len, MessageParams *p,
                      RecordExtras *x) {
  switch (type) {
    case REC_ID: p->id = tlv_uint(v, len, 8); break;
    case REC_ADDRESS: x->address = (const char *)v; x->address_len = len; break;
    case REC_UID: p->uid = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_GROUPID: p->groupid = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_PAYLOAD: x->payload = v; x->payload_len = len; break;
    case REC_EXPIRY: p->expiry = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_FLAGS: p->flags = tlv_uint(v, len, 8); break;
    case REC_CHANNEL: p->channel = (uint16_t)tlv_uint(v, len, 2); break;
    case REC_TYPE: p->type = (uint16_t)tlv_uint(v, len, 2); break;
    case REC_STATUS:
      p->status = (uint16_t)tlv_uint(v, len, 2);
      x->is_status = true;
      break;
    case REC_REFID: p->refid = tlv_uint(v, len, 8); break;
    case REC_GROUPPARAM: x->group_param = (uint16_t)tlv_uint(v, len, 2); break;
    case REC_AUX64: p->aux64 = tlv_uint(v, len, 8); break;
    case REC_AGE:
      x->age = tlv_uint(v, len, 8);
      x->has_age = true;
      break;
    case REC_ENVELOPE: p->envelope = v; p->envelope_len = len; break;
    case REC_STOREDMARK: p->storedmark = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_AUX32: p->aux32 = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_TOUID: p->touid = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_PROFILEVERSION: p->profileversion = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_AGESENT: p->agesent = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_AGERECV: p->agerecv = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_AGEREAD: p->ageread = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_SYNCREF: p->syncref = tlv_uint(v, len, 8); break;
    case REC_SYNCID: p->syncid = tlv_uint(v, len, 8); break;
    case REC_SYNCEXT: p->syncext = (uint16_t)tlv_uint(v, len, 2); break;
    case REC_TID: p->tid = tlv_uint(v, len, 8); break;
    case REC_USERDATA: p->userdata = tlv_uint(v, len, 8); break;
    case REC_SENSITIVITY: p->sensitivity = (uint32_t)tlv_uint(v, len, 4); break;
    case REC_PEERVERSION: p->peerversion = (uint32_t)tlv_uint(v, len, 4); break;
    default: break;  // bundle sequence and unknown items
  }
}

int record_decode(TlvBuffer *in, MessageParams *p, RecordExtras *x, bool sent_mode) {
  *p = MessageParams{};
  *x = RecordExtras{};
  p->status = MSG_STATUS_UNREAD;

  uint32_t type, len;
  const uint8_t *v;
  for (;;) {
    if (in->get(&type, &len, &v) < 0) return in->pos == in->cap ? 1 : -1;
    if (type == REC_START) break;
    if (type == REC_END) return 1;
  }
  for (;;) {
    uint32_t at = in->pos;
    if (in->get(&type, &len, &v) < 0) {
      if (in->pos != in->cap) return -1;
      x->last = true;
      return 0;
    }
    if (type == REC_START) {
      in->pos = at;
      return 0;
    }
    if (type == REC_END) {
      x->last = true;
      return 0;
    }
    if (!sent_mode || sent_item(type)) take_item(type, v, len, p, x);
  }
}
