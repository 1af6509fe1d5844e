// Profile record encoding: the TLV form of a ProfileRecord (core/contact.h).
//
// A record is item 1 with one zero byte, the fields that are not zero or
// empty in a fixed order, and item 2 with one zero byte. Several records may
// follow each other in one payload; the decoder reports how many bytes one
// took so that the caller can go on with the next. Integers are compact
// little-endian; byte fields are written without terminator and decoded as
// pointers into the caller's buffer.
//
// Profiles reach us from the server and from peers: the decoder reads
// nothing outside its input and refuses malformed items.
#pragma once

#include <cstdint>

#include "core/contact.h"

// Item types of a profile record.
enum : uint32_t {
  PROF_START = 1,
  PROF_END = 2,
  PROF_REVISION = 4,
  PROF_UID = 5,
  PROF_ADDRESS = 6,
  PROF_GID = 7,
  PROF_TEXT8 = 8,
  PROF_TEXT9 = 9,
  PROF_TEXT10 = 10,
  PROF_PICTURE = 11,
  PROF_THUMBNAIL = 12,
  PROF_VERSION = 13,
  PROF_VALUE14 = 14,
  PROF_FLAGS = 15,
  PROF_SYNC_FLAGS = 16,
  PROF_CURSOR_A = 17,
  PROF_OWNER = 18,
  PROF_SYNC_ID = 19,
  PROF_TEXT20 = 20,
  PROF_LOOP = 42,
  PROF_CURSOR_C = 43,
  PROF_VALUE48 = 48,
  PROF_VALUE58 = 58,
  PROF_VALUE59 = 59,
  PROF_VALUE60 = 60,
  PROF_BLOB80 = 80,
  PROF_VALUE128 = 128,
  PROF_EXTRA258 = 258,
  PROF_EXTRA259 = 259,
};

enum : uint32_t {
  PROFILE_ADDRESS_MAX = 256,     // bytes of one address
  PROFILE_ENCODE_BASE = 512,     // size estimate: fixed part
  PROFILE_ENCODE_PER_ADDRESS = 8,
  PROFILE_SEND_MAX = 0x4000,     // records sent to the server
};

// Addresses collected by the decoder (item 6), up to `cap`; `total_len` sums
// the lengths of those collected.
struct ProfileAddressList {
  ProfileBytes *items;
  uint32_t cap;
  uint32_t count;
  uint32_t total_len;
};

// Decodes one record into `r` (zeroed first). Returns the bytes consumed up
// to and including item 2; 0 when the data ended without item 2 and
// `partial` is set; -1 for fewer than 2 bytes, a malformed item, or an end
// without item 2 (logged). `list` may be null.
int profile_decode(const uint8_t *buf, uint32_t len, ProfileRecord *r, ProfileAddressList *list,
                   bool partial);

// Bytes the encoder may need for `r` with `extra` addresses and, when
// `with_extras`, items 258 and 259.
uint32_t profile_encode_size(const ProfileRecord *r, const ProfileBytes *extra, uint32_t n_extra,
                             bool with_extras);

// Encodes `r`, its address and then each of `extra`. Returns the length, or
// -1 when `cap` is below profile_encode_size or an item does not fit.
int profile_encode(const ProfileRecord *r, const ProfileBytes *extra, uint32_t n_extra,
                   bool with_extras, uint8_t *buf, uint32_t cap);

// Removes the thumbnail item from an encoded record; returns the new length.
int profile_remove_thumbnail(uint8_t *buf, uint32_t len);
