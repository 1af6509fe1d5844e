// The profile record and the contact record.
//
// A profile record is what travels (TLV-encoded, app/profile.h) between the
// application, the server and the user's other devices: the identity of a
// person or a group, its texts and picture, its group settings and the
// synchronisation cursors. A contact record is a profile record plus what
// the local store keeps beside it; it is the unit the store's contact
// statements exchange and what listeners receive through on_profile.
//
// Both are plain fixed-size records, zeroed before use and copied by value.
// Their byte fields point into a buffer owned by whoever decoded them (a
// payload, a stored blob); they are borrowed, never owned.
#pragma once

#include <cstdint>

// A value inside someone else's buffer.
struct ProfileBytes {
  const uint8_t *p;
  uint32_t len;
};

// Field-mask bits: which parts of a profile a record carries or a merge
// takes. Bit 0x1 asks the store to hand the merged contact back.
enum : uint32_t {
  PROFILE_FIELD_DELIVER = 0x1,
  PROFILE_FIELD_TEXT8 = 0x2,
  PROFILE_FIELD_TEXT9 = 0x4,
  PROFILE_FIELD_TEXT10 = 0x8,
  PROFILE_FIELD_PICTURE = 0x10,
  PROFILE_FIELD_TEXT20 = 0x20,
  PROFILE_FIELD_THUMBNAIL = 0x40,
  PROFILE_FIELD_PARTS = 0x7E,
};

// Record flags (item 15).
enum : uint32_t {
  PROFILE_REMOVAL = 0x4,
  PROFILE_MORE = 0x8,
  PROFILE_FULL_LIST = 0x10,
  PROFILE_CURSORS = 0x40,
  PROFILE_NOTHING_MORE = 0x80,
  PROFILE_IGNORE = 0x200,
  PROFILE_GROUP_SYNC = 0x1000,
};

enum : uint32_t {
  PROFILE_SETTING_FIRST = 64,  // group settings values are items 64..74
  PROFILE_SETTINGS = 11,
};

struct ProfileRecord {
  uint32_t revision;    // prts
  uint32_t cursor_a;
  uint32_t uid;
  uint32_t gid;
  uint32_t owner;       // account the record is meant for, 0 = any
  uint64_t sync_id;     // position in the synced queue
  uint64_t value14;
  uint64_t cursor_c;
  uint32_t version;     // high 16 bits of synced.f
  uint32_t value48;
  uint32_t flags;       // PROFILE_* record flags
  uint32_t sync_flags;  // low 16 bits of synced.f
  uint32_t loop;
  ProfileBytes text8;   // a group's name
  ProfileBytes text9;
  ProfileBytes text10;
  ProfileBytes picture;  // reference of the full-size picture
  ProfileBytes text20;
  ProfileBytes thumbnail;
  ProfileBytes blob80;   // group settings data
  uint32_t settings[PROFILE_SETTINGS];  // items 64..74, by item - 64
  uint32_t value58;
  uint16_t value59;
  uint32_t value60;
  uint32_t value128;
  ProfileBytes address;  // the first address (item 6)
  uint32_t address_count;
  ProfileBytes extra258;
  ProfileBytes extra259;
  uint32_t fields;       // PROFILE_FIELD_* present or wanted
};

// Contact flags (contacts.flag) the store reads or writes.
enum : uint32_t {
  CONTACT_FLAG_SELF = 0x10,
  CONTACT_FLAG_REMOVED = 0x80,       // group: the user was removed
  CONTACT_FLAG_SERVER = 0x100,       // a server profile is stored
  CONTACT_FLAG_LOCAL = 0x200,        // set by the read merge: a local profile exists
  CONTACT_FLAG_LEFT = 0x2000,        // group: the user left
  CONTACT_FLAG_DELETED = 0x4000,     // profile deleted by its owner; also: server wins
  CONTACT_FLAG_GONE = 0x2080,        // removed or left
  CONTACT_FLAG_READ_MARK = 0x8000000,
};

struct ContactRecord {
  ProfileRecord profile;
  uint32_t prts;          // server profile revision
  uint64_t ts;            // profile time stamp, ms
  uint64_t lastseen;
  uint32_t flags;         // CONTACT_FLAG_*
  uint8_t server;         // 1: a server profile (stored in p), 0: a local one (lp)
  uint32_t sync_flags;    // synced.f
  uint64_t sync_time;     // when sync_flags were read, ms
  uint32_t member_count;  // contacts.gmc
  uint64_t udts;          // when the uid/address pair was learnt, s
  ProfileBytes e2e_key;   // contacts.ep
};
