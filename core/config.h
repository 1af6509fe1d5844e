// Engine settings: the protocol state that survives restarts.
//
// `EngineSettings` gathers every persisted field in one record, so the
// login, transport and message paths update plain fields and mark the
// settings dirty, and the settings blob is built from and read into this one
// place. The blob is one value, "g_data", in the application layer's
// key/value settings store; the core knows no database and reaches that
// store through the small `SettingsStore` interface below. The fingerprint
// file "DB.SHA256" records which user, application and installation the
// local data belongs to.
//
// Blob: byte 0 is N (16..47 when written, 16..64 accepted), bytes 1..N-1
// are random, and the rest is the TLV body with body byte i XORed with blob
// byte (i mod N). The body holds the items in a fixed order, then item 46
// (CRC-64 of everything before it, left out when that CRC is 0) and item 45
// (the number of bytes the CRC covers) last.
//
// Locking: the engine thread and application threads both save, and a save
// reads the heap-owned fields (TLS session, tickets, texts) that other
// threads replace. Every operation that takes a `SettingsContext` takes its
// lock for its whole length, including the write to the store, so a save
// never reads a half-updated record and two saves never interleave. The
// caller must not hold that lock when calling them; code that updates fields
// itself takes the same lock.
#pragma once

#include <pthread.h>

#include <cstdint>

enum : uint32_t {
  SETTINGS_MAX_TICKETS = 8,
  SETTINGS_TICKET_MAX = 127,  // ticket bytes per host
  SETTINGS_HOST_MAX = 64,
  SETTINGS_PREFIX_MIN = 16,   // random prefix length written: 16..47
  SETTINGS_PREFIX_SPAN = 32,
  SETTINGS_RESET_MASK = 7,    // local data wiped when the blob belongs to another user
};

// Results of loading and preparing the settings.
enum : int {
  SETTINGS_OK = 0,
  SETTINGS_BAD = -1,          // bad prefix, malformed body or CRC mismatch: settings reset
  SETTINGS_OTHER_OWNER = -2,  // saved for another user: settings and local data reset
  SETTINGS_NO_STORE = -3,     // no store, or it could not be read: nothing changed
};

// The key of the blob in the settings store.
extern const char SETTINGS_KEY[];

struct SessionTicket {
  char text[SETTINGS_HOST_MAX + 2 + SETTINGS_TICKET_MAX + 1];  // host "::" ticket
  uint32_t len;                                               // bytes of text, 0 for a free slot
  uint32_t stored_s;                                          // when it was stored
};

// A growable owned byte buffer for the variable-length persisted values.
struct SettingsBytes {
  uint8_t *data = nullptr;
  uint32_t len = 0;
  uint32_t cap = 0;
  int assign(const void *bytes, uint32_t n);  // -1 when out of memory
  void clear() { len = 0; }
  void release();
};

// Every persisted field; the comment names the blob item. Integers are
// written only when not 0 and buffers only when not empty, except where
// noted. A field's width is also the most a stored item may carry: a longer
// integer item is ignored when read.
struct EngineSettings {
  // identity
  uint32_t saved_s;           // 3: time of the last save (s)
  uint32_t saved_version;     // 4: protocol version of the saving engine
  uint32_t saved_uid;         // 5: user id at the last save
  int64_t server_uid;         // 7: own uid as known to the server, -1 unknown (written when > 0)
  uint32_t installation_id;   // 8: made once per installation, survives resets
  uint32_t primary_uid;       // 39: linked primary user id
  SettingsBytes primary_address;  // 40
  SettingsBytes app_name_server;  // 9: login response item 28
  SettingsBytes turn_host;        // 12: login response item 26
  SettingsBytes ice_url;          // 13: login response item 24
  SettingsBytes app_text;         // 58: login response item 36
  SettingsBytes server_notice;    // 112: login response item 50
  // login history
  uint64_t login_serial;      // 16: serial of the last successful login
  uint64_t refused_serial;    // 17: serial the server refused
  uint64_t server_time;       // 18: server time of the last login
  uint64_t app_time64;        // 59: kept for the application layer
  uint32_t login_flags;       // 31
  uint32_t last_login_s;      // 19
  uint32_t last_frame_s;      // 22
  uint32_t last_attempt_s;    // 42
  uint64_t holdoff_until_us;  // 20: engine clock
  uint32_t last_refusal_s;    // 21
  uint8_t control_op;         // 25: op byte of the last server control frame
  uint32_t control_flags;     // 97
  uint16_t failures;          // 43: persisted failure count
  uint16_t forgiven;          // 98: refusals forgiven for newer serials
  uint64_t connect_estimate[2];  // 23, 24: us, network type 0 and other types
  uint64_t server_identity;      // 44: last server connected
  uint16_t login_value45;     // 66: login response item 45 (always written)
  uint32_t value38;           // 38: login response item 30, echoed as login item 36
  uint32_t echo50, echo51, echo52;  // 80, 81, 82: echoed as login items 50-52
  uint32_t turn_options;      // 14: login response item 31
  // on-premise redirect
  uint32_t redirect_expiry_s;     // 26
  uint32_t redirect_attempts;     // 27
  uint64_t redirect_serial;       // 28: token serial it arrived under
  uint32_t redirect_received_s;   // 30
  SettingsBytes redirect_body;    // 29: raw body, parsed again at start
  // push tokens confirmed by the server
  SettingsBytes push_token, voip_token;  // 10, 11
  // TLS session
  uint32_t tls_saved_s;       // 52
  uint64_t tls_serial;        // 49: token serial it belongs to
  uint64_t tls_server;        // 50: server identity it belongs to
  SettingsBytes tls_session;  // 51
  // other modules
  SettingsBytes e2e_identity;  // 69
  uint64_t value32, value33, value34, value35, value37, value41;  // same items
  uint32_t value36;            // 36
  SessionTicket tickets[SETTINGS_MAX_TICKETS];  // 64 text, 65 time, per used slot
  SettingsBytes control_notice;  // 96: text of the last control frame (always written)

  // bookkeeping (not persisted)
  bool dirty;
  bool fresh;          // no usable blob was found: newly created settings
  bool other_version;  // the blob was written by another protocol version
};

// Clears every persisted field (buffers kept for reuse) and marks the
// record dirty; the server-side uid becomes -1 (unknown). The installation
// id is kept: it identifies the installation, not the session.
void settings_clear(EngineSettings *s);
void settings_release(EngineSettings *s);

// ---- the blob as a value ----------------------------------------------------

// Builds the blob of `s` into `out`, stamping the save time, `uid` and
// `version` into the record first. 0, or -1 when out of memory.
int settings_encode(EngineSettings *s, uint32_t uid, uint32_t version, uint32_t now_s,
                    SettingsBytes *out);

// Reads a blob into `s` with every check: the prefix length, a well-formed
// body, item 46 and 45 last with the CRC covering exactly the items before
// them, and the owner (both `uid` and the saved uid set and different:
// logged "invalid database: uid %u db belongs to %u"). On failure `s` is
// cleared, marked fresh and dirty, and keeps its installation id. On success
// a blob of another `version` forgets the redirect's expiry, counter and
// serial and leaves the record dirty. SETTINGS_OK, SETTINGS_BAD or
// SETTINGS_OTHER_OWNER.
int settings_decode(EngineSettings *s, const uint8_t *blob, uint32_t len, uint32_t uid,
                    uint32_t version);

// ---- the store and the operations on it ------------------------------------

// The application layer's key/value settings store, implemented over its
// database (tests implement it in memory).
struct SettingsStore {
  // 0 with *out a malloc'd copy (the caller frees it) and *len, or with
  // *out null when the key is absent; -1 when the store cannot be read.
  virtual int get_blob(const char *key, uint8_t **out, uint32_t *len) = 0;
  // Replaces the value in one write (a crash leaves the old or the new
  // value): 0, or -1.
  virtual int set_blob(const char *key, const void *data, uint32_t len) = 0;
  virtual int64_t get_int(const char *key, int64_t dflt) = 0;
  virtual int delete_key(const char *key) = 0;  // 0 also when absent, -1 on failure
  // Wipes the local data of the application layer (mask bits 1 messages,
  // 2 contacts, 4 settings).
  virtual void reset_store(uint32_t mask) = 0;

 protected:
  ~SettingsStore() = default;
};

// What the operations below need from the engine.
struct SettingsContext {
  EngineSettings *settings;
  pthread_mutex_t *lock;  // guards *settings; taken by every operation below
  SettingsStore *store;   // null while no database is open
  uint32_t uid;           // current user id, 0 when none
  uint64_t serial;        // current token serial
  uint32_t version;       // this engine's protocol version number
};

// Writes the blob in one set_blob call and clears the dirty mark. -1 (the
// dirty mark kept) without a store or when the write fails.
int settings_save(const SettingsContext &c);

// settings_decode under the lock; for another owner also asks the store to
// wipe its data (SETTINGS_RESET_MASK).
int settings_load(const SettingsContext &c, const uint8_t *blob, uint32_t len);

// Run when the engine prepares to start and after the application layer
// opened its database: loads "g_data", or without it marks the settings
// fresh and migrates the old one-key-per-value layout (the old keys are
// deleted only once the new blob is saved); creates the installation id
// when there is none and saves; forgets a stored redirect that expired or
// arrived under another token serial and saves. The load result, or
// SETTINGS_NO_STORE (nothing read, nothing written). Left to the engine:
// asking for the own address, restoring the TLS session (it checks
// tls_serial and tls_server) and parsing the kept redirect body again.
int settings_prepare(const SettingsContext &c);

// Replaces a heap-owned field of c.settings under the lock and marks the
// settings dirty. 0, or -1 when out of memory (the field is left as it was).
int settings_set_bytes(const SettingsContext &c, SettingsBytes *field, const void *data,
                       uint32_t len);

// Session tickets per host. ticket_load copies the ticket of `host` into
// `out` and returns its length, or -1 when there is none. ticket_store
// replaces the entry of `host`, else fills a free slot, else replaces the
// entry stored longest ago, and marks the settings dirty; -1 for an empty
// or too long host or ticket.
int ticket_load(const SettingsContext &c, const char *host, uint8_t out[SETTINGS_TICKET_MAX]);
int ticket_store(const SettingsContext &c, const char *host, const uint8_t *ticket, uint32_t len,
                 uint32_t now_s);

// ---- fingerprint file ---------------------------------------------------------

// User, application and installation the local data belongs to.
struct Fingerprint {
  uint32_t uid, app_id, installation_id;
};

// Reads "DB.SHA256" in `data_dir`: 0, or -1 with all zeros when the file is
// missing, empty, too long or garbled.
int read_fingerprint(const char *data_dir, Fingerprint *out);
// Rewrites the file when `current` differs from `*previous` (replacing it
// whole, so a crash leaves the old or the new file) and then makes
// `current` the previous values. 0 when nothing changed, 1 when written,
// -1 on failure (`*previous` kept).
int write_fingerprint(const char *data_dir, const Fingerprint &current, Fingerprint *previous);
