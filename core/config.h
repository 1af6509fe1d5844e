// Engine settings: the protocol state that survives restarts.
//
// `EngineSettings` gathers every persisted field in one record, so the
// login, transport and message paths update plain fields and mark the
// settings dirty, and the settings blob ("g_data" in the application's
// key-value store) is built from and read into this one place. The
// fingerprint file "DB.SHA256" records which user, application and
// installation the local data belongs to.
#pragma once

#include <pthread.h>

#include <cstdint>

enum : uint32_t {
  SETTINGS_MAX_TICKETS = 8,
  SETTINGS_TICKET_MAX = 127,  // ticket bytes per host
  SETTINGS_HOST_MAX = 64,
};

struct SessionTicket {
  char text[SETTINGS_HOST_MAX + 2 + SETTINGS_TICKET_MAX + 1];  // host "::" ticket
  uint32_t stored_s;                                          // 0 for a free slot
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

struct EngineSettings {
  // identity
  uint32_t saved_uid;         // user id at the last save
  uint32_t saved_version;     // protocol version of the saving engine
  int64_t server_uid;         // own uid as known to the server, -1 unknown
  uint32_t installation_id;
  uint32_t primary_uid;       // linked primary user id
  SettingsBytes primary_address;
  SettingsBytes app_name_server, turn_host, ice_url, app_text;  // login items 28, 26, 24, 36
  SettingsBytes server_notice;  // login item 50
  // login history
  uint64_t login_serial;      // serial of the last successful login
  uint64_t refused_serial;    // serial the server refused
  uint64_t server_time;       // server time of the last login (us)
  uint64_t app_time64;        // kept for the application layer
  uint32_t login_flags;
  uint32_t last_login_s;
  uint32_t last_frame_s;
  uint32_t last_attempt_s;
  uint64_t holdoff_until_us;
  uint32_t last_refusal_s;
  uint8_t control_op;         // op byte of the last server control frame
  uint32_t control_flags;
  uint16_t failures;          // persisted failure count
  uint16_t forgiven;          // refusals forgiven for newer serials
  uint64_t connect_estimate[2];  // us: network type 0, other types
  uint64_t server_identity;      // last server connected
  uint16_t value66;           // login response item 45
  uint32_t value38;           // login response item 30, echoed as login item 36
  uint32_t echo50, echo51, echo52;
  uint32_t turn_options;      // login response item 31
  // on-premise redirect
  uint32_t redirect_expiry_s;
  uint32_t redirect_attempts;
  uint64_t redirect_serial;
  uint32_t redirect_received_s;
  SettingsBytes redirect_body;
  // push tokens confirmed by the server
  SettingsBytes push_token, voip_token;
  // TLS session
  uint32_t tls_saved_s;
  uint64_t tls_serial;
  uint64_t tls_server;
  SettingsBytes tls_session;
  // other modules
  SettingsBytes e2e_identity;
  uint64_t value32, value33, value34, value35, value37, value41;
  uint32_t value36;
  SessionTicket tickets[SETTINGS_MAX_TICKETS];
  SettingsBytes control_notice;  // text of the last control frame

  // bookkeeping (not persisted)
  bool dirty;
  bool fresh;          // no blob was found
  bool other_version;  // written by another protocol version
};

// Clears every persisted field (buffers kept for reuse); the server-side uid
// becomes -1 (unknown).
void settings_clear(EngineSettings *s);
void settings_release(EngineSettings *s);

// Fingerprint file: user, application and installation the data belongs to.
struct Fingerprint {
  uint32_t uid, app_id, installation_id;
};
int read_fingerprint(const char *data_dir, Fingerprint *out);   // zeros when missing
int write_fingerprint(const char *data_dir, const Fingerprint &f);
