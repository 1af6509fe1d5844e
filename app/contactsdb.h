// Contacts and groups: the behaviour around the contacts and members
// tables that needs more than one statement.
//
// The statements themselves are ZalvioDB methods (zalviodb.h, written in
// contactsdb.cpp). Here are the operations the application layer runs on
// top of them: answering the core's uid/address questions, the
// application's set-contact operation, the group member record the server
// sends, and the member list the application asks for. What they need from
// the engine (own identity, sending control records, the in-memory peer
// and group records) comes through ContactHost.
//
// Person rows are keyed by address (gid 0); group rows by gid with an empty
// address. A uid names at most one person row: when a uid moves to another
// address, the row that held it loses it.
#pragma once

#include <cstdint>

#include "app/zalviodb.h"
#include "core/contact.h"
#include "core/notify.h"

enum : uint32_t {
  CONTACT_UID_REFRESH_S = 86400,    // a uid/address pair older than this is asked again
  CONTACT_MEMBERS_FRESH_S = 777601, // a stored member list younger than this is served
  CONTACT_MEMBER_MAX = 1024,        // addresses in one member record
  CONTACT_PROFILE_KEEP = 0xC0023,        // contact flags a profile record cannot change
  CONTACT_PROFILE_KEEP_GROUP = 0xC20A3,  // the same for a group merged from the application
  CONTACT_NOT_STORED = 0x210,       // marks computed on reading, never stored
  CONTACT_SYNC_AUTO = 2,            // sync flags of an address met for the first time
  CONTACT_SYNC_QUEUE_MASK = 0xFFFF4003,
  CONTACT_SYNC_DELETED = 0x4000,    // synced.f: the owner deleted the profile
  CONTACT_SYNC_MARKS = 0x3000000,   // set-contact extra marks, never stored
  CONTACT_BLOCKING_BITS = 0x4C,
  CONTACT_HIDES_PRESENCE = 0x44,
};

// Member types; 11 to 13 are marker rows holding a number.
enum : int {
  MEMBER_PLAIN = 0,
  MEMBER_CLASS1 = 1,
  MEMBER_CLASS2 = 2,
  MEMBER_MARK_FETCHED = 11,  // s; 0: fetch again
  MEMBER_MARK_VALUE = 12,    // a group value the server announced
  MEMBER_MARK_FULL = 13,     // s of the last full list
};

// setMember actions.
enum : int { MEMBER_STORE = 0, MEMBER_REMOVE = 1, MEMBER_REMOVE_ALL = 2 };

// on_group_member flags of readMembers.
enum : uint32_t { MEMBER_LIST_FLAGS = 0x28, MEMBER_FIRST = 0x20 };

enum : uint16_t {
  CONTROL_PROFILE_SELF = 32,
  CONTROL_PROFILE_GROUP = 40,
  CONTROL_MEMBERS = 41,
  CONTROL_MEMBERS_REQUEST = 42,
};

class ContactHost {
 public:
  // The user's uid (the linked primary's on a linked device), 0 unknown.
  virtual uint32_t contact_uid() = 0;
  // The user's own user id as the server knows it.
  virtual uint32_t contact_server_uid() = 0;
  // The user's own address, null when unknown.
  virtual const char *contact_address() = 0;
  // Whether addresses met for the first time are queued for their profile.
  virtual bool contact_auto_sync() = 0;
  // Sends a control record of `type` to a peer or a group (neither: the
  // user's own id). 0 or -1.
  virtual int contact_send_control(uint16_t type, const char *peer, uint32_t gid,
                                   const uint8_t *payload, uint32_t len) = 0;
  // Starts a profile synchronisation (of groups when asked).
  virtual void contact_sync_start(bool groups) = 0;
  // The application set the profile of a group (gid) or its own (0).
  virtual void contact_profile_sent(uint32_t gid) = 0;
  // The in-memory record of an address takes new flags.
  virtual void contact_peer_flags(const char *address, uint32_t sync_flags,
                                  uint32_t contact_flags) = 0;
  // Tells the peer which blocking bits now apply (with the extra marks).
  virtual void contact_blocking_notice(const char *address, uint32_t bits, uint32_t marks) = 0;
  virtual void contact_presence_reset(const char *address) = 0;
  // The in-memory group record's flags.
  virtual void contact_group_flags(uint32_t gid, uint32_t set, uint32_t clear) = 0;
  // A member record asked for the group's profile to be fetched again.
  virtual void contact_group_refresh(uint32_t gid) = 0;

 protected:
  ~ContactHost() = default;
};

// What the store knows of a uid/address pair.
struct UserInfo {
  uint32_t uid;
  char *address;  // heap (free()), or null
  uint32_t udts;  // s, when the pair was learnt
  bool stale;     // never learnt, or older than CONTACT_UID_REFRESH_S
};

// The core's question (uid, address): both given teaches the pair (and
// queues a new address for its profile); one given looks up the other;
// neither marks every pair stale. 1 when something was found or changed,
// 0 when not, -1 on error.
int contact_user_info(ZalvioDB *db, ContactHost *host, uint32_t uid, const char *address,
                      UserInfo *out);

// The self mark of a record reported by the core.
void contact_mark_self(ContactRecord *c, uint32_t own_uid);

// The application's set-contact operation: the own profile and shared
// groups go to the server, anything else is stored as a local profile;
// `app` receives the merged contact when the record asks for it (field
// 0x1). 0 or -1.
int set_contact(ZalvioDB *db, ContactHost *host, ContactRecord *c, INotify *app);

// A member record (control type 41) received at `when_ms`; each member is
// reported to `listener`. 0, or -1 for a payload that does not decode.
int group_member_record(ZalvioDB *db, ContactHost *host, INotify *listener, uint64_t when_ms,
                        const uint8_t *payload, uint32_t len);

// The members of a group for the application: stored ones when they are
// fresh (or the user has left), else a request to the server and 0.
int get_members(ZalvioDB *db, ContactHost *host, uint32_t gid, uint32_t first, int limit,
                INotify *listener);
