// Rich message payload: encoder, decoder, location code and debug dumps.
// See richmessage.h.
#include "api/richmessage.h"

#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/tlv.h"
#include "util/logs.h"

// ---- location -------------------------------------------------------------

static const double LAT_SCALE = 23860800.0;  // 2^32 / 180, rounded
static const double LON_SCALE = 11930400.0;  // 2^32 / 360, rounded

bool rich_location_valid(double lat, double lon) {
  float la = (float)lat, lo = (float)lon;
  if (!(la >= -90.0f && la <= 90.0f && lo >= -180.0f && lo <= 180.0f)) return false;
  // Senders without a fix report the origin; it is no location.
  bool near_origin = la >= 0.0f && la < 0.01f && lo >= 0.0f && lo < 0.01f;
  return !near_origin;
}

uint64_t rich_location_encode(double lat, double lon) {
  if (!rich_location_valid(lat, lon)) return 0;
  double la = (float)lat, lo = (float)lon;
  uint64_t hi = (uint32_t)std::trunc((la + 90.0) * LAT_SCALE);
  uint64_t low = (uint32_t)std::trunc((lo + 180.0) * LON_SCALE);
  return hi << 32 | low;
}

int rich_location_decode(uint64_t code, double *lat, double *lon) {
  *lat = (double)(float)((double)(uint32_t)(code >> 32) / LAT_SCALE) - 90.0;
  *lon = (double)(float)((double)(uint32_t)code / LON_SCALE) - 180.0;
  return rich_location_valid(*lat, *lon) ? 1 : 0;
}

// ---- encoding -------------------------------------------------------------

static uint64_t text_size(const char *s) { return s && *s ? strlen(s) + 1 : 0; }

// Texts travel with their zero byte.
static int put_text_item(TlvBuffer *t, uint32_t type, const char *s) {
  if (s == nullptr || *s == 0) return 0;
  return t->put(type, (uint32_t)strlen(s) + 1, s, false);
}

static int put_number(TlvBuffer *t, uint32_t type, uint64_t v) {
  return v ? t->put_u64(type, v) : 0;
}

static int encode_items(TlvBuffer *t, const MessageBundle *b) {
  int rv = 0;
  rv |= put_number(t, RICH_FILETYPE, b->filetype);
  rv |= put_number(t, RICH_FILESUBTYPE, b->filesubtype);
  rv |= put_number(t, RICH_FILEFLAGS, b->fileflags);
  rv |= put_number(t, RICH_FILESIZE, b->filesize);
  rv |= put_text_item(t, RICH_FILEURL, b->fileurl);
  rv |= put_text_item(t, RICH_TITLE, b->title);
  rv |= put_text_item(t, RICH_SUBTITLE, b->subtitle);
  rv |= put_text_item(t, RICH_CUSTOM, b->custom);
  rv |= put_text_item(t, RICH_MESSAGE, b->message);
  rv |= put_text_item(t, RICH_FILENAME, b->filename);
  rv |= put_text_item(t, RICH_FOOTER, b->footer);
  rv |= put_text_item(t, RICH_MIMETYPE, b->mimetype);
  if (b->thumbnail && b->thumbnail_len)
    rv |= t->put(RICH_THUMBNAIL, b->thumbnail_len, b->thumbnail, false);
  if (rich_location_valid(b->lat, b->lon) || b->location_code) {
    uint64_t code = b->location_code ? b->location_code : rich_location_encode(b->lat, b->lon);
    rv |= put_number(t, RICH_LOCATION, code);
    rv |= put_number(t, RICH_ITEM7, b->item7);
  }
  rv |= put_number(t, RICH_ITEM26, b->item26);
  rv |= put_number(t, RICH_ITEM30, b->item30);
  rv |= t->put_u32(RICH_END, 0);
  return rv;
}

int rich_encode(const MessageBundle *b, uint8_t **out, uint32_t *out_len) {
  if (b == nullptr || out == nullptr || out_len == nullptr) return -1;
  *out = nullptr;
  *out_len = 0;
  uint64_t size = text_size(b->fileurl) + text_size(b->title) + text_size(b->subtitle) +
                  text_size(b->message) + text_size(b->footer) + text_size(b->filename) +
                  text_size(b->mimetype) + text_size(b->custom);
  if (b->thumbnail) size += b->thumbnail_len;
  if (size >= RICH_TEXT_LIMIT) return -1;
  uint32_t cap = (uint32_t)size + RICH_SLACK;
  uint8_t *buf = (uint8_t *)calloc(1, cap);
  if (buf == nullptr) return -1;
  TlvBuffer t;
  tlv_init(&t, buf, cap);
  // The bundle record around the payload needs the rest of its frame.
  if (encode_items(&t, b) != 0 || t.pos > RICH_PAYLOAD_LIMIT) {
    free(buf);
    return -1;
  }
  *out = buf;
  *out_len = t.pos;
  return 0;
}

// ---- decoding -------------------------------------------------------------

// A text is taken only with its zero byte inside the item.
static const char *text_of(const uint8_t *v, uint32_t len, const char *current) {
  if (len >= 1 && v[len - 1] == 0) return (const char *)v;
  return current;
}

// Bytes a numeric item may have; 0 for the other items.
static uint32_t numeric_width(uint32_t type) {
  switch (type) {
    case RICH_ITEM7: case RICH_FILESUBTYPE: case RICH_FILETYPE: case RICH_ITEM26: return 2;
    case RICH_FILESIZE: case RICH_FILEFLAGS: case RICH_ACTIVITY_TYPE: case RICH_ACTIVITY_VALUE:
    case RICH_ACTIVITY_DURATION: return 4;
    case RICH_LOCATION: case RICH_RECEIPT_REF: case RICH_ITEM30: return 8;
    default: return 0;
  }
}

static void decode_item(MessageBundle *b, uint32_t type, const uint8_t *v, uint32_t len) {
  // A number longer than its field is skipped, not cut.
  uint32_t width = numeric_width(type);
  if (width && len > width) return;
  switch (type) {
    case RICH_TITLE: b->title = text_of(v, len, b->title); break;
    case RICH_MESSAGE: b->message = text_of(v, len, b->message); break;
    case RICH_SUBTITLE: b->subtitle = text_of(v, len, b->subtitle); break;
    case RICH_FOOTER: b->footer = text_of(v, len, b->footer); break;
    case RICH_MIMETYPE: b->mimetype = text_of(v, len, b->mimetype); break;
    case RICH_FILENAME: b->filename = text_of(v, len, b->filename); break;
    case RICH_ITEM14: b->item14 = text_of(v, len, b->item14); break;
    case RICH_CUSTOM: b->custom = text_of(v, len, b->custom); break;
    case RICH_FILEURL: b->fileurl = text_of(v, len, b->fileurl); break;
    case RICH_THUMBNAIL:
      b->thumbnail = v;
      b->thumbnail_len = len;
      break;
    case RICH_LOCATION:
      b->location_code = tlv_uint(v, len, 8);
      if (b->location_code)
        b->location_present = rich_location_decode(b->location_code, &b->lat, &b->lon);
      break;
    case RICH_ITEM7: b->item7 = (uint16_t)tlv_uint(v, len, 2); break;
    case RICH_FILESUBTYPE: b->filesubtype = (uint16_t)tlv_uint(v, len, 2); break;
    case RICH_FILETYPE: b->filetype = (uint16_t)tlv_uint(v, len, 2); break;
    case RICH_FILESIZE: b->filesize = (uint32_t)tlv_uint(v, len, 4); break;
    case RICH_FILEFLAGS: b->fileflags = (uint32_t)tlv_uint(v, len, 4); break;
    case RICH_RECEIPT_REF: b->receipt_ref = tlv_uint(v, len, 8); break;
    case RICH_ACTIVITY_TYPE:
      b->activity_type = (uint32_t)tlv_uint(v, len, 4);
      b->activity_present = 1;
      break;
    case RICH_ACTIVITY_VALUE: b->activity_value = (uint32_t)tlv_uint(v, len, 4); break;
    case RICH_ACTIVITY_DURATION: b->activity_duration = (uint32_t)tlv_uint(v, len, 4); break;
    case RICH_ITEM26: b->item26 = (uint16_t)tlv_uint(v, len, 2); break;
    case RICH_ITEM30: b->item30 = tlv_uint(v, len, 8); break;
    default: break;
  }
}

int rich_decode(const uint8_t *payload, uint32_t len, MessageBundle *b) {
  if (payload == nullptr || len <= 1 || b == nullptr) {
    LOGE("*** BUG *** rich_decode failed: bad len %d", payload ? (int)len : -1);
    return -1;
  }
  memset(b, 0, sizeof *b);
  b->lat = RICH_NO_COORDINATE;
  b->lon = RICH_NO_COORDINATE;
  TlvBuffer t;
  tlv_init(&t, payload, len);
  uint32_t type = 0, vlen = 0;
  const uint8_t *v = nullptr;
  int rv;
  while ((rv = t.get(&type, &vlen, &v)) == 0) {
    if (type == RICH_END) return 0;
    decode_item(b, type, v, vlen);
  }
  LOGE("*** BUG *** rich_decode failed: type %u rv %d", type, rv);
  return -1;
}

// ---- debug dumps ----------------------------------------------------------

static const char *shown(const char *s) { return s ? s : "(null)"; }

void printMessageParams(const MessageParams *p) {
  if (p == nullptr) return;
  LOGE("channel: %u", p->channel);
  LOGE("type: %u", p->type);
  LOGE("expiry: %u", p->expiry);
  LOGE("status: %u", p->status);
  LOGE("origin: %u", p->origin);
  LOGE("id: %" PRIu64, p->id);
  LOGE("refid: %" PRIu64, p->refid);
  LOGE("tid: %" PRIu64, p->tid);
  LOGE("syncid: %" PRIu64, p->syncid);
  LOGE("uid: %u", p->uid);
  LOGE("groupid: %u", p->groupid);
  LOGE("flags: %" PRIu64, p->flags);
  LOGE("age sent: %u", p->agesent);
  LOGE("age recv: %u", p->agerecv);
  LOGE("age read: %u", p->ageread);
  LOGE("userdata: %" PRIu64, p->userdata);
  LOGE("sensitivity: %u", p->sensitivity);
  LOGE("status_flags: %u", p->status_flags);
  LOGE("when: %" PRIu64, p->when);
}

void printMessageBundle(const MessageBundle *b) {
  if (b == nullptr) return;
  LOGE("title: %s", shown(b->title));
  LOGE("subtitle: %s", shown(b->subtitle));
  LOGE("message: %s", shown(b->message));
  LOGE("footer: %s", shown(b->footer));
  LOGE("filepath: %s", shown(b->filepath));
  LOGE("fileurl: %s", shown(b->fileurl));
  LOGE("filename: %s", shown(b->filename));
  LOGE("mimetype: %s", shown(b->mimetype));
  LOGE("custom: %s", shown(b->custom));
  LOGE("filesize: %u", b->filesize);
  LOGE("fileflags: 0x%" PRIx64, (uint64_t)b->fileflags);
  LOGE("localflags: 0x%" PRIx64, (uint64_t)b->localflags);
  LOGE("passthrough: %u", b->passthrough);
  LOGE("url transfer size: %u", b->url_transfer_size);
  LOGE("filetype: %u", b->filetype);
  LOGE("filesubtype: %u", b->filesubtype);
  LOGE("transfer_mode: %u", b->transfer_mode);
  LOGE("progress: %d", b->progress);
  LOGE("source: %u", b->source);
  LOGE("lat: %.2f", b->lat);
  LOGE("lon: %.2f", b->lon);
  LOGE("datalen: %d", (int)b->datalen);
}
