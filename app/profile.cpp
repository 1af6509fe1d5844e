// Profile record encoding. See profile.h.
#include "app/profile.h"

#include <cstring>

#include "core/tlv.h"
#include "util/logs.h"

// Integer items: where each lands and how wide it may be. A value wider than
// its field is ignored, as the message record reader does.
struct IntItem {
  uint32_t type;
  uint32_t width;
  size_t offset;
};

#define INT_ITEM(type, width, field) {type, width, offsetof(ProfileRecord, field)}

// In encoding order (the settings and the trailing values follow apart).
static const IntItem INT_ITEMS[] = {
    INT_ITEM(PROF_REVISION, 4, revision),   INT_ITEM(PROF_CURSOR_A, 4, cursor_a),
    INT_ITEM(PROF_UID, 4, uid),             INT_ITEM(PROF_GID, 4, gid),
    INT_ITEM(PROF_OWNER, 4, owner),         INT_ITEM(PROF_SYNC_ID, 8, sync_id),
    INT_ITEM(PROF_VALUE14, 8, value14),     INT_ITEM(PROF_CURSOR_C, 8, cursor_c),
    INT_ITEM(PROF_VERSION, 4, version),     INT_ITEM(PROF_VALUE48, 4, value48),
    INT_ITEM(PROF_FLAGS, 4, flags),         INT_ITEM(PROF_SYNC_FLAGS, 4, sync_flags),
    INT_ITEM(PROF_LOOP, 4, loop),
};

static const IntItem TAIL_ITEMS[] = {
    INT_ITEM(PROF_VALUE58, 4, value58),
    INT_ITEM(PROF_VALUE59, 2, value59),
    INT_ITEM(PROF_VALUE60, 4, value60),
    INT_ITEM(PROF_VALUE128, 4, value128),
};

#undef INT_ITEM

// Byte items with the field-mask bit each stands for (0: none).
struct BytesItem {
  uint32_t type;
  uint32_t field_bit;
  size_t offset;
};

#define BYTES_ITEM(type, bit, field) {type, bit, offsetof(ProfileRecord, field)}

static const BytesItem BYTES_ITEMS[] = {
    BYTES_ITEM(PROF_TEXT8, PROFILE_FIELD_TEXT8, text8),
    BYTES_ITEM(PROF_TEXT9, PROFILE_FIELD_TEXT9, text9),
    BYTES_ITEM(PROF_TEXT10, PROFILE_FIELD_TEXT10, text10),
    BYTES_ITEM(PROF_PICTURE, PROFILE_FIELD_PICTURE, picture),
    BYTES_ITEM(PROF_TEXT20, PROFILE_FIELD_TEXT20, text20),
    BYTES_ITEM(PROF_THUMBNAIL, PROFILE_FIELD_THUMBNAIL, thumbnail),
    BYTES_ITEM(PROF_BLOB80, 0, blob80),
};

static const BytesItem EXTRA_ITEMS[] = {
    BYTES_ITEM(PROF_EXTRA258, 0, extra258),
    BYTES_ITEM(PROF_EXTRA259, 0, extra259),
};

#undef BYTES_ITEM

// Group settings are written in this order.
static const uint32_t SETTING_ORDER[PROFILE_SETTINGS] = {64, 65, 66, 72, 67, 68, 69, 70, 71, 73, 74};

static const uint8_t ZERO_BYTE = 0;

static void store_int(ProfileRecord *r, const IntItem &it, uint64_t v) {
  uint8_t *field = (uint8_t *)r + it.offset;
  switch (it.width) {
    case 2: {
      uint16_t x = (uint16_t)v;
      memcpy(field, &x, sizeof x);
      break;
    }
    case 4: {
      uint32_t x = (uint32_t)v;
      memcpy(field, &x, sizeof x);
      break;
    }
    default:
      memcpy(field, &v, sizeof v);
  }
}

static uint64_t load_int(const ProfileRecord *r, const IntItem &it) {
  const uint8_t *field = (const uint8_t *)r + it.offset;
  switch (it.width) {
    case 2: {
      uint16_t x;
      memcpy(&x, field, sizeof x);
      return x;
    }
    case 4: {
      uint32_t x;
      memcpy(&x, field, sizeof x);
      return x;
    }
    default: {
      uint64_t x;
      memcpy(&x, field, sizeof x);
      return x;
    }
  }
}

static ProfileBytes *bytes_field(ProfileRecord *r, const BytesItem &it) {
  return (ProfileBytes *)((uint8_t *)r + it.offset);
}

static const ProfileBytes *bytes_field(const ProfileRecord *r, const BytesItem &it) {
  return (const ProfileBytes *)((const uint8_t *)r + it.offset);
}

template <size_t N>
static bool take_int(const IntItem (&table)[N], ProfileRecord *r, uint32_t type,
                     const uint8_t *v, uint32_t len) {
  for (const IntItem &it : table) {
    if (it.type != type) continue;
    if (len <= it.width) store_int(r, it, tlv_uint(v, len, it.width));
    return true;
  }
  return false;
}

template <size_t N>
static bool take_bytes(const BytesItem (&table)[N], ProfileRecord *r, uint32_t type,
                       const uint8_t *v, uint32_t len) {
  for (const BytesItem &it : table) {
    if (it.type != type) continue;
    *bytes_field(r, it) = {v, len};
    r->fields |= it.field_bit;
    return true;
  }
  return false;
}

static void take_address(ProfileRecord *r, ProfileAddressList *list, const uint8_t *v,
                         uint32_t len) {
  if (len > PROFILE_ADDRESS_MAX) return;
  if (r->address_count == 0) r->address = {v, len};
  r->address_count++;
  if (list && list->count < list->cap) {
    list->items[list->count++] = {v, len};
    list->total_len += len;
  }
}

int profile_decode(const uint8_t *buf, uint32_t len, ProfileRecord *r, ProfileAddressList *list,
                   bool partial) {
  memset(r, 0, sizeof *r);
  if (buf == nullptr || len < 2) return -1;
  TlvBuffer t;
  tlv_init(&t, buf, len);
  uint32_t type, n;
  const uint8_t *v;
  while (t.pos < t.cap) {
    if (t.get(&type, &n, &v) != 0) return -1;
    if (type == 0) break;
    if (type == PROF_END) return (int)t.pos;
    if (type == PROF_START) continue;
    if (type == PROF_ADDRESS) {
      take_address(r, list, v, n);
    } else if (type >= PROFILE_SETTING_FIRST &&
               type < PROFILE_SETTING_FIRST + PROFILE_SETTINGS) {
      if (n <= 4) r->settings[type - PROFILE_SETTING_FIRST] = (uint32_t)tlv_uint(v, n, 4);
    } else if (!take_int(INT_ITEMS, r, type, v, n) && !take_int(TAIL_ITEMS, r, type, v, n) &&
               !take_bytes(BYTES_ITEMS, r, type, v, n)) {
      take_bytes(EXTRA_ITEMS, r, type, v, n);  // anything else is skipped
    }
  }
  if (partial) return 0;
  LOGE("*** BUG *** profile_decode: zero type");
  return -1;
}

uint32_t profile_encode_size(const ProfileRecord *r, const ProfileBytes *extra, uint32_t n_extra,
                             bool with_extras) {
  uint64_t size = PROFILE_ENCODE_BASE + (uint64_t)r->address.len + r->text8.len + r->text9.len +
                  r->text10.len + r->picture.len + r->thumbnail.len + r->text20.len +
                  r->blob80.len;
  if (with_extras) size += (uint64_t)r->extra258.len + r->extra259.len;
  for (uint32_t i = 0; i < n_extra; i++) size += PROFILE_ENCODE_PER_ADDRESS + extra[i].len;
  return size > UINT32_MAX ? UINT32_MAX : (uint32_t)size;
}

static int put_bytes_items(TlvBuffer *t, const ProfileRecord *r, const BytesItem *items,
                           size_t n) {
  for (size_t i = 0; i < n; i++) {
    const ProfileBytes *b = bytes_field(r, items[i]);
    if (b->len && b->p && t->put_bytes(items[i].type, b->p, b->len) != 0) return -1;
  }
  return 0;
}

int profile_encode(const ProfileRecord *r, const ProfileBytes *extra, uint32_t n_extra,
                   bool with_extras, uint8_t *buf, uint32_t cap) {
  if (r == nullptr || buf == nullptr ||
      cap < profile_encode_size(r, extra, n_extra, with_extras))
    return -1;
  TlvBuffer t;
  tlv_init(&t, (void *)buf, cap);
  if (t.put(PROF_START, 1, &ZERO_BYTE, false) != 0) return -1;
  for (const IntItem &it : INT_ITEMS) {
    uint64_t v = load_int(r, it);
    if (v && t.put_u64(it.type, v) != 0) return -1;
  }
  if (put_bytes_items(&t, r, BYTES_ITEMS, sizeof BYTES_ITEMS / sizeof BYTES_ITEMS[0]) != 0)
    return -1;
  for (uint32_t type : SETTING_ORDER) {
    uint32_t v = r->settings[type - PROFILE_SETTING_FIRST];
    if (v && t.put_u32(type, v) != 0) return -1;
  }
  for (const IntItem &it : TAIL_ITEMS) {
    uint64_t v = load_int(r, it);
    if (v && t.put_u64(it.type, v) != 0) return -1;
  }
  if (r->address.len && r->address.p && t.put_bytes(PROF_ADDRESS, r->address.p, r->address.len))
    return -1;
  for (uint32_t i = 0; i < n_extra; i++)
    if (extra[i].len && extra[i].p && t.put_bytes(PROF_ADDRESS, extra[i].p, extra[i].len) != 0)
      return -1;
  if (with_extras &&
      put_bytes_items(&t, r, EXTRA_ITEMS, sizeof EXTRA_ITEMS / sizeof EXTRA_ITEMS[0]) != 0)
    return -1;
  if (t.put(PROF_END, 1, &ZERO_BYTE, false) != 0) return -1;
  return (int)t.pos;
}

int profile_remove_thumbnail(uint8_t *buf, uint32_t len) {
  int n = tlv_remove(buf, (int)len, PROF_THUMBNAIL);
  return n < 0 ? (int)len : n;
}
