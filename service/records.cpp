// Client records in, relayed records out: see records.h.
#include "service/records.h"

#include <cstring>

#include "core/params.h"

// Items a relayed record must not pass through: the destination (replaced
// by the sender's identity), the bundle's own items, and those only the
// service writes (added per delivery, or by the service alone).
static bool replaced_item(uint32_t type) {
  switch (type) {
    case REC_START: case REC_END: case REC_ADDRESS: case REC_UID: case REC_GROUPID:
    case REC_FLAGS: case REC_AGE: case REC_BUNDLE_SEQ: case REC_STOREDMARK: case REC_AUX32:
    case REC_TOUID: case REC_PROFILEVERSION:
      return true;
    default:
      return false;
  }
}

static void take(ClientRecord *r, uint32_t type, const uint8_t *v, uint32_t n) {
  switch (type) {
    case REC_ID: r->id = (uint32_t)tlv_uint(v, n, 8); break;
    case REC_UID: r->uid = (uint32_t)tlv_uint(v, n, 4); break;
    case REC_GROUPID: r->groupid = (uint32_t)tlv_uint(v, n, 4); break;
    case REC_ADDRESS: r->address = (const char *)v; r->address_len = n; break;
    case REC_FLAGS: r->flags = tlv_uint(v, n, 8); break;
    case REC_EXPIRY:
      r->expiry = (uint32_t)tlv_uint(v, n, 4);
      r->has_expiry = true;
      break;
    case REC_CHANNEL: r->channel = (uint16_t)tlv_uint(v, n, 2); break;
    case REC_TYPE: r->type = (uint16_t)tlv_uint(v, n, 2); break;
    case REC_STATUS:
      r->status = (uint16_t)tlv_uint(v, n, 2);
      r->is_status = true;
      break;
    case REC_PAYLOAD: r->has_payload = true; break;
    case REC_REFID: r->refid = tlv_uint(v, n, 8); break;
    case REC_AGESENT: r->agesent = (uint32_t)tlv_uint(v, n, 4); break;
    case REC_SYNCREF: r->syncref = tlv_uint(v, n, 8); break;
    case REC_SYNCID: r->syncid = tlv_uint(v, n, 8); break;
    case REC_SYNCEXT: r->syncext = (uint16_t)tlv_uint(v, n, 2); break;
    default: break;
  }
}

void bundle_read(const uint8_t *body, uint32_t len, ClientBundle *out) {
  out->has_seq = false;
  out->seq = 0;
  out->malformed = false;
  out->records.clear();
  TlvBuffer t;
  tlv_init(&t, body, len);
  ClientRecord cur{};
  bool open = false;
  for (;;) {
    uint32_t at = t.pos, type, n;
    const uint8_t *v;
    if (t.get(&type, &n, &v) != 0) {
      out->malformed = t.pos != t.cap;
      if (open && !out->malformed) {
        cur.items_len = at - (uint32_t)(cur.items - body);
        out->records.push_back(cur);
      }
      return;
    }
    if (type == REC_START || type == REC_END) {
      if (open) {
        cur.items_len = at - (uint32_t)(cur.items - body);
        out->records.push_back(cur);
      }
      open = type == REC_START;
      if (type == REC_END) return;
      cur = ClientRecord{};
      cur.items = body + t.pos;
      continue;
    }
    if (!open) {
      if (type == REC_BUNDLE_SEQ && !out->has_seq) {
        out->seq = (uint16_t)tlv_uint(v, n, 2);
        out->has_seq = true;
      }
      continue;  // anything else before the first record is ignored
    }
    take(&cur, type, v, n);
  }
}

static bool sync_item(uint32_t type) {
  return type == REC_SYNCREF || type == REC_SYNCID || type == REC_SYNCEXT;
}

// Copies the record's items but those `drop` refuses to `o`, as they came:
// their encoding was checked when the bundle was read.
static void copy_items(const ClientRecord &r, bool (*drop)(uint32_t), TlvBuffer *o) {
  TlvBuffer in;
  tlv_init(&in, r.items, r.items_len);
  for (;;) {
    uint32_t at = in.pos, type, n;
    const uint8_t *v;
    if (in.get(&type, &n, &v) != 0) break;
    if (drop(type)) continue;
    uint32_t size = in.pos - at;
    if (o->pos + size > o->cap) break;  // cannot happen: out is items_len + slack
    memcpy(o->buf + o->pos, r.items + at, size);
    o->pos += size;
  }
}

std::string relay_items(const ClientRecord &r, uint32_t sender, const std::string &address,
                        uint32_t groupid, uint32_t touid) {
  std::string out(r.items_len + RELAY_RECORD_SLACK + address.size(), '\0');
  TlvBuffer o;
  tlv_init(&o, &out[0], (uint32_t)out.size());
  o.put_u32(REC_UID, sender);
  if (!address.empty()) o.put_bytes(REC_ADDRESS, address.data(), (uint32_t)address.size());
  if (groupid) o.put_u32(REC_GROUPID, groupid);
  if (touid) o.put_u32_fixed(REC_TOUID, touid);
  copy_items(r, replaced_item, &o);
  out.resize(o.pos);
  return out;
}

std::string history_items(const ClientRecord &r) {
  std::string out(r.items_len, '\0');
  TlvBuffer o;
  tlv_init(&o, (uint8_t *)&out[0], (uint32_t)out.size());
  copy_items(r, [](uint32_t type) { return replaced_item(type) || sync_item(type); }, &o);
  out.resize(o.pos);
  return out;
}

std::string sync_items(const SyncFields &s, const std::string &kept) {
  std::string out(kept.size() + RELAY_RECORD_SLACK + s.address.size(), '\0');
  TlvBuffer o;
  tlv_init(&o, (uint8_t *)&out[0], (uint32_t)out.size());
  o.put_u32(REC_UID, s.uid);
  if (!s.address.empty()) o.put_bytes(REC_ADDRESS, s.address.data(), (uint32_t)s.address.size());
  if (s.groupid) o.put_u32(REC_GROUPID, s.groupid);
  if (s.status) o.put_u16_fixed(REC_STATUS, s.status);
  if (s.time_ms) o.put_u32(REC_AGE, s.age_s);
  // The client writes 30 right after 29; so does the service.
  o.put_u64(REC_SYNCID, s.syncid);
  o.put_u16(REC_SYNCEXT, s.syncext);
  if (s.time_ms) o.put_u64(REC_SYNCREF, s.time_ms);
  if (kept.empty()) {
    o.put_bytes(REC_PAYLOAD, " ", 1);
  } else if (o.pos + kept.size() <= o.cap) {
    memcpy(o.buf + o.pos, kept.data(), kept.size());
    o.pos += (uint32_t)kept.size();
  }
  out.resize(o.pos);
  return out;
}

std::string report_items(const ReportFields &s) {
  std::string out(64 + s.address.size(), '\0');
  TlvBuffer o;
  tlv_init(&o, &out[0], (uint32_t)out.size());
  o.put_u16_fixed(REC_STATUS, s.status);
  o.put_u32(REC_ID, s.id);
  if (s.uid) o.put_u32(REC_UID, s.uid);
  if (!s.address.empty()) o.put_bytes(REC_ADDRESS, s.address.data(), (uint32_t)s.address.size());
  if (s.groupid) o.put_u32(REC_GROUPID, s.groupid);
  if (s.channel) o.put_u16(REC_CHANNEL, s.channel);
  if (s.type) o.put_u16(REC_TYPE, s.type);
  out.resize(o.pos);
  return out;
}

// Copies encoded items as they are; -1 when they do not fit.
static int put_raw(TlvBuffer *out, const std::string &items) {
  if (items.size() > out->cap - out->pos) return -1;
  memcpy(out->buf + out->pos, items.data(), items.size());
  out->pos += (uint32_t)items.size();
  return 0;
}

int relay_write(TlvBuffer *out, uint64_t flags, const std::string &items, bool stored,
                uint32_t age_s, uint32_t mark) {
  uint32_t start = out->pos;
  if (stored) flags |= MSG_FLAG_STORED;
  bool ok = out->put_empty(REC_START) == 0 && (flags == 0 || out->put_u64(REC_FLAGS, flags) == 0) &&
            (!stored || out->put_u32(REC_AGE, age_s) == 0) &&
            (mark == 0 || out->put_u32_fixed(REC_STOREDMARK, mark) == 0) &&
            put_raw(out, items) == 0;
  if (!ok) out->pos = start;
  return ok ? 0 : -1;
}
