// IZalvio: the engine interface, in its full declaration order.
//
// One flat table of operations. CAPI (the core engine) implements every
// one of them; the operations that need the local store are replaced by the
// application layer (DBApp), and their CAPI defaults answer "not available"
// (-1 unless the comment says 0, 1 or nothing). The facade, read sessions,
// message objects and the engine's own modules (file transfer, calls,
// group calls, end-to-end) reach the engine only through this table, so the
// order is fixed: bindings that use the table directly depend on it.
//
// Conventions: 0 success and -1 failure (or "not available") unless a
// count, text, pointer or 64-bit value is stated. Texts are borrowed by the
// engine for the call only (it keeps copies); texts it returns stay owned
// by the engine unless the comment says "heap copy, caller frees".
//
// The table also repeats the operations of the call observer (173-177), the
// TURN provider listener (178-180), the TLS session listener (181) and the
// conference interface (182-192). When CAPI derives from those interfaces
// as well, one override with the same signature serves both declarations.
#pragma once

#include <cstdint>

#include "core/notify.h"
#include "core/params.h"

struct MessageBundle;
struct ContactRecord;
struct FileTransfer;
struct ImageBuffer;
struct Bitmap;          // decoded RGBA picture: pixels, width, height, kind
struct DateFields;      // calendar fields of a timestamp
struct SfuPair;         // one relayed (a, b) pair of a group-call message
struct SfuParticipant;  // participant group of a group-call PDU
struct SfuInfo;         // info record of a group-call PDU
struct ssl_session_st;  // the TLS library's session object
class ZalvioCall;

typedef ZalvioCall *(*ZalvioCallFactory)();

class IZalvio {
 public:
  // ---- destruction (1-2) ----
  // A virtual destructor takes the first two table entries: destroy, and
  // destroy and free. The caller must have stopped and joined the engine.
  virtual ~IZalvio() {}

  // ---- lifecycle (3-5) ----
  // Starts the engine thread; 0, or -1 when refused (no token, no listener...).
  virtual int start() = 0;
  // Joins the engine thread when one was started.
  virtual int wait() = 0;
  // Asks the engine thread to stop and shuts the socket down; does not wait.
  virtual int stop() = 0;

  // ---- login values and early configuration (6-27) ----
  // Reserved entry; returns -1.
  virtual int reserved_6() = 0;
  // 64 when bit 6 of the server's login flags is set, else 0.
  virtual int login_flag_query() = 0;
  // The 32-bit value the engine keeps on behalf of the application layer.
  virtual uint32_t get_app_value() = 0;
  // Reserved entry; returns -1.
  virtual int reserved_9() = 0;
  // Stores the foreground state; coming forward speeds up reconnection.
  virtual int set_foreground(int foreground) = 0;
  // Second entry for the same operation: forwards to set_foreground.
  virtual int set_foreground_state(int foreground) = 0;
  // 1 always tries the first default port, 2 leaves it out.
  virtual int set_port_setting(int setting) = 0;
  // Sets the 32-bit value kept for the application layer.
  virtual int set_app_value(uint32_t value) = 0;
  // Engine flags word; bit 0x4 travels in the login session flags.
  virtual int set_engine_flags(uint32_t flags) = 0;
  // Platform, SDK kind, application name, API and OS version texts.
  virtual int versions(int platform, const char *sdk_kind, const char *app_name,
                       const char *api_version, const char *os_version) = 0;
  // CPU count, descriptor and flags sent at login.
  virtual int set_cpu(int count, uint64_t descriptor, int flags) = 0;
  // Accepts an access token; -1 when it is malformed.
  virtual int set_credentials(const char *token) = 0;
  // Listener for channels 0-127 (DBApp keeps it as the application's).
  virtual int register_listener(int channel, INotify *listener, int make_default) = 0;
  // Client kind for login; with kind 10 the text travels too.
  virtual int set_client_kind(uint32_t kind, const char *text) = 0;
  // Push token (null deletes); voip selects the VoIP token.
  virtual int set_push_token(const char *token, int voip) = 0;
  // Recreates the outgoing queue; sizes below 64,000 are refused.
  virtual int set_queue_size(uint32_t bytes) = 0;
  // Network type (255 none), local address and its companion value.
  virtual int set_network(int type, const char *ip, int value) = 0;
  // Data root and optional separate temporary directory; -1 without a root.
  virtual int set_paths(const char *root, const char *temp) = 0;
  // Storage endpoint and its authorisation; -1 unless http:// or https://.
  virtual int set_upload_url(const char *url, const char *auth) = 0;
  // 1 always counts as active, 2 active only in the foreground.
  virtual int set_presence_mode(int mode) = 0;
  // Device type sent at login; also derives the device class.
  virtual int set_device_type(int type) = 0;
  // Overrides the device class.
  virtual int set_device_class(int device_class) = 0;

  // ---- storage layout (28-37) ----
  // Creates a uniquely named temporary file; returns the name's length.
  virtual int temp_file_name(const char *prefix, const char *ext, char *out, int cap) = 0;
  // Data root.
  virtual const char *get_base_path() = 0;
  // Directory of the database files.
  virtual const char *get_database_path() = 0;
  // Directory of profile thumbnails.
  virtual const char *get_tn_path() = 0;
  // Directory of profile pictures.
  virtual const char *get_profiles_path() = 0;
  // Media folder of a file type (1 image, 2 video, 3 audio, else other);
  // with dated, the month folder under Sent or Inbox.
  virtual const char *get_media_folder(int type, int dated, int sent) = 0;
  // Dated folders per media type, Sent when sent is non-zero else Inbox.
  virtual const char *get_image_path(int sent) = 0;
  virtual const char *get_video_path(int sent) = 0;
  virtual const char *get_audio_path(int sent) = 0;
  virtual const char *get_file_path(int sent) = 0;

  // ---- profile check and login tuning (38-41) ----
  // Which kinds of message trigger the profile-version check (default 255).
  virtual int set_profile_check(uint32_t mask) = 0;
  virtual uint32_t get_profile_check() = 0;
  // Tuning value from the login answer (default 100).
  virtual uint32_t get_tuning_value() = 0;
  // Value the application layer adds to the login (core: 0).
  virtual uint32_t get_login_value() = 0;

  // ---- messages (42-50) ----
  // Sends a message; a send result code (0, 133, 138, 155, 157, 158).
  virtual int message(MessageParams *p, const char *peer, const uint8_t *payload,
                      uint32_t len) = 0;
  // Wakes the engine thread unless a bundle is already pending.
  virtual int notify_send() = 0;
  // Reserved entry; returns 0.
  virtual int reserved_44() = 0;
  // Random 32-bit id (DBApp: one no stored message uses).
  virtual uint32_t random_id() = 0;
  // Wall clock in milliseconds.
  virtual uint64_t now_ms() = 0;
  // Stores a message and announces it without sending (core: -1).
  virtual int save_local_message(MessageParams *p, const char *peer, const uint8_t *payload,
                                 uint32_t len) = 0;
  // Webhook message on the system channel.
  virtual int send_webhook(const char *address, uint64_t id, uint32_t expiry,
                           const uint8_t *payload, uint32_t len) = 0;
  // Capability switch kept for older callers; has no effect.
  virtual void set_capability(int flag, uint64_t value) = 0;
  // Server host name (at most 64 characters).
  virtual int set_server(const char *host) = 0;

  // ---- end-to-end protection (51-66) ----
  // A peer of null or "" means the own context.
  // Protection level (0 off); returns the effective level.
  virtual int e2e_set_level(int level, int option) = 0;
  // Allowed and preferred cipher bits; -1 when none is usable.
  virtual int e2e_set_ciphers(uint32_t allowed, uint32_t preferred) = 0;
  // Tag length, rounded down to a multiple of 4 and capped at 16; returns it.
  virtual int e2e_set_tag_length(int n) = 0;
  // Extra authenticated data (null or 0 clears).
  virtual int e2e_set_aad(const char *peer, const void *data, int len) = 0;
  // Shared password; the digest is kept (null or 0 clears).
  virtual int e2e_set_password(const char *peer, const void *data, int len) = 0;
  // Own certificate and key (peer empty or own address) or a peer's certificate.
  virtual int e2e_load_certificate(const char *peer, const char *path) = 0;
  // Writes the own certificate (never the private key).
  virtual int e2e_save_certificate(const char *path) = 0;
  // Forgets everything known about a peer.
  virtual int e2e_reset_peer(const char *peer) = 0;
  // Certificate text of a peer: 0 name, 1 common name, 2 user id.
  virtual const char *e2e_get_peer_info(const char *peer, int which) = 0;
  // 32 hex characters and a terminator into out (at least 33 bytes); 32 or -1.
  virtual int e2e_get_fingerprint(const char *peer, int mode, char *out) = 0;
  // The peer's protection state.
  virtual int e2e_get_status(const char *peer) = 0;
  // 1 while the peer's messages are protected.
  virtual int e2e_is_active(const char *peer) = 0;
  // Stores a peer's protection record with its contact (core: -1).
  virtual int e2e_store_peer(uint32_t uid, const char *address, const uint8_t *record,
                             uint32_t len) = 0;
  // Loads a peer's protection record; heap copy, caller frees (core: -1).
  virtual int e2e_load_peer(const char *address, uint8_t **record, uint32_t *len) = 0;
  // Key lifetime limits of the root chain (root set) or the dh chain.
  virtual int e2e_set_key_lifetime(int root, int min_uses, int max_uses, int min_secs,
                                   int max_secs) = 0;
  // Display form of a fingerprint into out (at least 25 bytes).
  virtual int e2e_format_fingerprint(const char *hex, int long_form, char *out) = 0;

  // ---- database (67-97), DBApp; core: -1 ----
  // Opens the per-user database and loads the engine settings from it.
  virtual int open_database(const char *path) = 0;
  // Empties tables by mask (1 messages, 2 contacts, 4 settings).
  virtual int reset_database(uint32_t mask) = 0;
  // Settings: integer, text and binary values by name, and deletion.
  virtual uint64_t db_get_int_value(const char *name, uint64_t def) = 0;
  virtual int db_set_int_value(const char *name, uint64_t value) = 0;
  // With copy_out: the first value (heap copy, caller frees); else every
  // row matching name ('%' wildcards) to the listener. Rows visited or -1.
  virtual int db_get_value(const char *name, char **copy_out, INotify *listener) = 0;
  virtual int db_set_value(const char *name, const char *value) = 0;
  // Heap copy with a trailing 0, caller frees; null and 0 when absent.
  virtual int db_get_binary_value(const char *name, uint8_t **out, uint32_t *len) = 0;
  virtual int db_set_binary_value(const char *name, const void *data, uint32_t len) = 0;
  virtual int db_delete_key(const char *name) = 0;
  // Copies the database to a file or back; 0, -1, -2 other user, -3 same file.
  virtual int db_backup_restore(const char *path, int backup) = 0;
  // Messages.
  // One stored message; payload is a heap copy, caller frees.
  virtual int db_get_message(uint64_t id, MessageParams *out, char *peer, int peer_cap,
                             uint8_t **payload, uint32_t *len) = 0;
  // Marks a conversation's unread messages between two times read.
  virtual int db_mark_read(uint32_t gid, const char *peer, uint64_t from, uint64_t to) = 0;
  // Puts a failed message back into the outbox and resends.
  virtual int db_resend_failed(uint64_t id) = 0;
  // Puts recent messages to a peer, from id on, back into the outbox.
  virtual int db_resend_recent(const char *peer, uint64_t id) = 0;
  // Adds flags to a stored message (clears its hold) and resends.
  virtual int db_change_message_flags(uint64_t id, uint64_t flags) = 0;
  // Changes every stored status old into new.
  virtual int db_replace_status(int old_status, int new_status) = 0;
  // Deletes by channel, type, peer, group, status, time (-1, null, 0: any).
  virtual int db_delete_messages(int channel, int type, const char *peer, uint32_t gid,
                                 int status, uint64_t until) = 0;
  // Edit and delete window in seconds and mask (-1 keeps); returns the window.
  virtual int db_set_edit_window(int seconds, int mask) = 0;
  // Contacts.
  // The application sets a contact, a group or its own profile.
  virtual int db_set_contact(ContactRecord *contact) = 0;
  // One contact (by address, group or self; local or server profile);
  // heap block, caller frees; null when absent.
  virtual ContactRecord *db_get_contact(const char *address, uint32_t gid, int self,
                                        int server_profile) = 0;
  // Merged contacts to the listener, newest incoming message first.
  virtual int db_read_contacts(const char *address, uint32_t gid, int limit, uint32_t flags,
                               INotify *listener) = 0;
  // Clears the local (1) or server (2) profile, or deletes the row (3).
  virtual int db_clear_profile(const char *address, uint32_t gid, int what) = 0;
  // Sets and clears contact flag bits.
  virtual int db_set_contact_flags(const char *address, uint32_t gid, uint32_t set,
                                   uint32_t clear) = 0;
  // Whether unknown senders are queued for a profile fetch.
  virtual int db_set_contact_autosync(int on) = 0;
  // Groups.
  // Member rows to the application, or a member request to the server.
  virtual int db_get_members(uint32_t gid, uint32_t first_id, int limit) = 0;
  // Contact flags of a group row (0 when absent).
  virtual uint32_t db_get_group_flags(uint32_t gid) = 0;
  // Read sessions.
  // Creates (id 0), pauses, resumes or closes (flag 0x200) a session;
  // listener_data is copied into every delivered record. Returns the id.
  virtual int db_create_read_session(uint32_t id, uint32_t flags, uint64_t tid,
                                     const char *peer, uint32_t gid, const char *search,
                                     void *listener_data) = 0;
  // Delivers the next page; the number of rows or -1.
  virtual int db_read_messages(uint32_t id, int count) = 0;
  // Asks the server for older messages; 1 asked, 0 nothing to do.
  virtual int db_sync_from_server(uint32_t id, int count) = 0;
  // Messages of the session's conversation by status selector.
  virtual int db_count_messages(uint32_t id, int selector) = 0;
  // The same count without a session.
  virtual int db_count_conversation_messages(uint32_t gid, const char *peer, uint64_t tid,
                                             int selector) = 0;

  // ---- profile pictures (98-101) ----
  // Full profile picture of an address, group or self.
  virtual int profile_picture_path(const char *address, uint32_t gid, int self, char *out,
                                   int cap) = 0;
  // Large or small profile thumbnail of an address, group or self.
  virtual int profile_thumbnail_path(const char *address, uint32_t gid, int self, int large,
                                     char *out, int cap) = 0;
  // Writes the picture set from an image or a file; the thumbnail's pixels to out.
  virtual int save_profile_pictures(const ImageBuffer *image, const char *file,
                                    const char *address, uint32_t gid, int self, int make_large,
                                    int make_small, Bitmap *out) = 0;
  // Deletes the picture and both thumbnails.
  virtual int delete_profile_pictures(const char *address, uint32_t gid, int self) = 0;

  // ---- more database (102-109), DBApp; core: -1 ----
  // Adds flags and sets status, thumbnail, path, tag or url of a message.
  virtual int db_update_message_fields(uint64_t id, uint64_t add_flags, int status,
                                       const uint8_t *thumb, uint32_t thumb_len,
                                       const char *path, const char *tag, const char *url) = 0;
  // Path of a stored file by its file tag.
  virtual int db_get_file_by_tag(const char *tag, char *out, int cap) = 0;
  // Unsent, unexpired messages waiting in the outbox.
  virtual int db_count_pending_messages() = 0;
  // When a member received (read 0) or read a message; 0 when unknown.
  virtual uint64_t db_get_receipt_time(uint64_t id, const char *address, int read) = 0;
  // A message's receipts to the listener, then an end call; rows or -1.
  virtual int db_read_status_history(uint64_t id, INotify *listener) = 0;
  // Sends a read receipt for a message.
  virtual int db_send_read_receipt(int type, const char *peer, uint32_t gid, uint64_t id) = 0;
  // User id of an address (0 when unknown).
  virtual uint32_t db_get_uid(const char *address) = 0;
  // Address of a user id; its length or -1.
  virtual int db_get_address(uint32_t uid, char *out, int cap) = 0;

  // ---- connection (110-112) ----
  virtual int is_logged_in() = 0;
  // Stored connection status.
  virtual int connection_status() = 0;
  // Time of the last successful login (seconds).
  virtual uint32_t last_login_time() = 0;

  // ---- application-level sends and queries (113-124), DBApp; core: -1 ----
  // Typing, online, joined and left, throttled; 0 when suppressed.
  virtual int send_activity(MessageParams *p, const char *peer, int type, int value,
                            int interval) = 0;
  // Announces the own foreground (1) or background (2) state.
  virtual int send_presence(int activity) = 0;
  // Subscribes to (or cancels) the presence of addresses.
  virtual int presence_subscribe(const char **addresses, int count, uint32_t gid,
                                 int subscribe) = 0;
  // Queues addresses for profile synchronisation; optionally starts one.
  virtual int queue_contacts(const char **addresses, int count, int bit0, int bit1,
                             uint32_t version, int pending, int trigger) = 0;
  // Asks the server for a peer's or group's profile.
  virtual int request_profile(const char *peer, uint32_t gid) = 0;
  // Sends a profile or group record of the given type.
  virtual int profile_send(int type, ContactRecord *record, const char **addresses,
                           int count) = 0;
  // Deletes messages locally, optionally for everyone within the window.
  virtual int delete_messages_by_id(const uint64_t *ids, int count, int tombstone,
                                    int remote) = 0;
  // Deletes one message (id) or a conversation and tells the user's devices.
  virtual int delete_conversation(uint64_t id, const char *peer, uint32_t gid,
                                  uint64_t until) = 0;
  // 0 go on, 1 the user blocks the peer, 2 the peer blocks the user (core: 0).
  virtual int check_blocked(MessageParams *p, const char *peer, int receiving) = 0;
  // 1 when the contact policy lets the message pass (core: 1).
  virtual int check_policy(MessageParams *p, const char *peer) = 0;
  // Sends a copy of a stored message to another peer.
  virtual int forward_message(MessageParams *p, const char *peer, uint64_t stored_id,
                              int mark) = 0;
  // Sends a rich message: files, thumbnails, previews, location.
  virtual int send_rich_message(MessageParams *p, const char *peer, MessageBundle *bundle) = 0;

  // ---- one-to-one calls (125-136) ----
  virtual int call_start(const char *peer, int video) = 0;
  virtual int call_answer(int video) = 0;
  // status < 0 lets the engine choose.
  virtual int call_hangup(uint32_t callid, int status) = 0;
  virtual int call_mute(int audio, int video, int mute) = 0;
  virtual int call_hold(int hold) = 0;
  // Reserved entry; returns 0.
  virtual int call_reserved() = 0;
  // Callee side once the ringing screen is up: servers and call engine.
  virtual int call_prepare(int value) = 0;
  // Two application values to the peer.
  virtual int call_send_info(uint64_t value, uint16_t a, uint16_t b) = 0;
  // The device's telephony state.
  virtual int call_set_phone_state(int busy_status, int event) = 0;
  // 0x1 audio muted, 0x2 video muted, 0x4 on hold; 0 without a call.
  virtual int call_get_state() = 0;
  // Call engine factory for video or audio calls (null: the proxy).
  virtual int set_call_factory(int video, ZalvioCallFactory factory) = 0;
  // Media stack outside the library: 8 local description, else a state.
  virtual int call_engine_event(int type, const char *data, int len) = 0;
  // ---- identity and login queries (137-151) ----
  // Own user id.
  virtual uint32_t get_uid() = 0;
  // Reserved entry; returns -1.
  virtual int reserved_138() = 0;
  // Linked primary user id.
  virtual uint32_t get_primary_uid() = 0;
  virtual uint32_t get_installation_id() = 0;
  virtual uint32_t get_app_id() = 0;
  // The token's third identity value, else the own user id.
  virtual uint32_t get_identity3() = 0;
  // Own address.
  virtual const char *get_address() = 0;
  // Application name as the server knows it, or "zalvio".
  virtual const char *get_app_name() = 0;
  // Own user id as the server knows it.
  virtual uint32_t get_server_uid() = 0;
  // 1 for the own or the linked primary user id.
  virtual int is_own_uid(uint32_t uid) = 0;
  // Own 64-bit ids become 32-bit, others' become 0, 32-bit ids stay.
  virtual uint64_t local_id(uint64_t id) = 0;
  // Linked primary user id when set, else the own one.
  virtual uint32_t get_effective_uid() = 0;
  // Linked primary address when a primary is set, else the own one.
  virtual const char *get_effective_address() = 0;
  // The server runs this engine as the forwarding side of group calls.
  virtual int is_sfu_mode() = 0;
  // 32-bit value from the login answer.
  virtual uint32_t get_server_value() = 0;
  // ---- call and conference queries, peers, configuration (152-156) ----
  // Call type (2 audio, 3 video) of a group or of the current call's peer.
  virtual int call_get_type(uint32_t uid, uint32_t gid) = 0;
  // Current call's peer address, or null.
  virtual const char *call_get_peer() = 0;
  // Group of the active conference, else 0.
  virtual uint32_t conf_get_group() = 0;
  // Forces a fresh uid lookup for an address.
  virtual int set_peer_uid(uint32_t uid, const char *address) = 0;
  // Numeric configuration codes (call settings); other codes are ignored.
  virtual int set_config(uint32_t code, uint32_t value) = 0;

  // ---- presence queries (157-160), DBApp; core: -1 ----
  // 1 while the peer counts as online.
  virtual int is_online(const char *address) = 0;
  // 1 while the peer is typing in the given conversation.
  virtual int is_typing(const char *address, uint32_t gid) = 0;
  // 1 while the peer is online and active in the given conversation.
  virtual int is_active(const char *address, uint32_t gid) = 0;
  // Seconds since the peer was last seen; 0 online, -1 unknown.
  virtual int last_seen(const char *address) = 0;

  // ---- file transfer (161-165) ----
  // Starts the upload or download of a message's (source 0) or other file.
  virtual int file_transfer_start(uint64_t id, uint32_t source, const char *url,
                                  const char *post_data) = 0;
  // Transfer record for a source other than 0; returns its op.
  virtual int file_transfer_create(uint64_t id, uint32_t source, uint32_t local_flags,
                                   const char *path, const char *url) = 0;
  virtual int file_transfer_cancel(uint64_t id, uint32_t source) = 0;
  // The one reporting path: percent, -1 failed, 100 done.
  virtual int file_transfer_progress(uint64_t id, uint32_t source, int percent,
                                     FileTransfer *record, const char *url) = 0;
  // Number of running transfers.
  virtual int file_transfer_active() = 0;

  // ---- attachments (166-168), DBApp; core: -1 ----
  // A transfer ended: stores the outcome and tells the application.
  virtual int file_transfer_done(uint64_t id, int result, const uint8_t *thumb,
                                 uint32_t thumb_len, const char *url, const char *tag,
                                 const char *path) = 0;
  // Makes a stored message's thumbnail from bytes or a file; marks the file present.
  virtual int set_message_file(uint64_t id, const uint8_t *thumb, uint32_t thumb_len,
                               const char *path) = 0;
  // Merges new fields into a held outbox message and sends it.
  virtual int send_updated_message(uint64_t id, MessageBundle *fields, const uint8_t *thumb,
                                   uint32_t thumb_len) = 0;

  // ---- items and hooks (169-172) ----
  // First item of a type before any type-0 item: its length (value set),
  // 0 not found, -1 malformed.
  virtual int tlv_find_item(const uint8_t *buf, uint32_t len, uint32_t type,
                            const uint8_t **value) = 0;
  // Starts a profile synchronisation (core: nothing).
  virtual void profile_sync(int force, int groups, int loop) = 0;
  // Server-synchronised time in microseconds and in seconds.
  virtual uint64_t server_time_us() = 0;
  virtual uint32_t server_time_s() = 0;

  // ---- call engine observer and TURN provider listener (173-180) ----
  // Media state of the call engine (2 connected, 3 disconnected, 16 failed).
  virtual int on_call_state(int state) = 0;
  // Reserved entry; returns 0.
  virtual int observer_reserved_1() = 0;
  // Local session description from the call engine.
  virtual int on_local_sdp(const char *data, int len) = 0;
  // Reserved entry; returns 0.
  virtual int observer_reserved_2() = 0;
  // Call engine log line.
  virtual void call_log(const char *format, ...) = 0;
  // A server from the ICE request: 1 STUN, 2 TURN, 0 end of list.
  virtual int on_ice_server(int kind, const char *url, const char *username,
                            const char *credential) = 0;
  // Settings text by name (null deletes); fails without a database.
  virtual int save_value(const char *name, const char *value) = 0;
  // Heap copy into out, caller frees; fails without a database.
  virtual int load_value(const char *name, char **out) = 0;

  // ---- TLS session store (181) ----
  // The TLS library issued a session: kept for resumption.
  virtual void on_new_session(ssl_session_st *session) = 0;

  // ---- conferences (182-192) ----
  // Header-only join announcement.
  virtual int conf_status(uint32_t value) = 0;
  // Relays an application message (type 100 and above).
  virtual int conf_send(uint16_t type, uint32_t value, uint16_t a, uint16_t b, uint64_t value64,
                        const SfuPair *pairs, int count) = 0;
  // Conference text message.
  virtual int conf_message(uint32_t value, uint32_t value2, const char *text) = 0;
  // Subscribes to a participant's stream (uid 0: publishes the own).
  virtual int conf_subscribe(uint32_t uid, uint32_t stream, uint32_t media, uint32_t load,
                             int flag) = 0;
  virtual int conf_unsubscribe(uint32_t uid, uint32_t stream) = 0;
  // Session description (1 offer, 2 answer) or candidate (3).
  virtual int conf_send_sdp(uint32_t uid, uint32_t stream, uint32_t load, int sdp_type,
                            const char *sdp, const char *mid, int mline) = 0;
  // Starts a conference for a group.
  virtual int conf_init(uint32_t gid) = 0;
  virtual int conf_leave(uint32_t value) = 0;
  virtual int conf_mute(uint32_t uid, uint32_t stream, int audio, int video, int mute) = 0;
  virtual int conf_set_load(uint32_t uid, uint32_t stream, uint32_t load, uint32_t reserved) = 0;
  // Records the own stream and media.
  virtual int conf_set_local(uint32_t stream, uint32_t media) = 0;

  // ---- utilities and engine hooks (193-199) ----
  // Short display form of a name.
  virtual int name_short(const char *name, char *out, int cap) = 0;
  // Foreground change seen by the application layer (core: nothing).
  virtual void on_foreground(int foreground) = 0;
  // An expired timer of kind 1 (core: nothing).
  virtual void on_timer(void *user, int subkind) = 0;
  // Listener for any channel 0-255 (calls, conferences, end-to-end control).
  virtual int register_listener_internal(int channel, INotify *listener, int make_default) = 0;
  // Static map image URL with a key, else a map tile URL; its length.
  virtual int map_image_url(int zoom, const char *key, char *out, int cap, double latitude,
                            double longitude) = 0;
  // International digits of a phone number; empty output on failure.
  virtual int format_phone(const char *number, uint32_t country, uint32_t flags, char *out,
                           int cap) = 0;
  // At most 16 decimal digits of a text into out (at least 17 bytes); the count.
  virtual int extract_digits(const char *text, int normalise, char *out) = 0;

  // ---- delivery, pictures and dates (200-202), DBApp; core: -1 ----
  // Hands a stored or updated rich message to the application.
  virtual int deliver_rich_message(MessageParams *p, const char *peer, MessageBundle *bundle,
                                   int repeat) = 0;
  // Decodes a picture (file, bytes or a message's thumbnail) to RGBA.
  virtual int get_image_bitmap(uint64_t id, const char *path, const uint8_t *bytes,
                               uint32_t len, Bitmap *out) = 0;
  // Calendar fields of a timestamp in local time.
  virtual int fill_date(uint64_t ms, DateFields *out) = 0;

  // ---- file and country-code utilities (203-210) ----
  // Creates each missing component; with parents_only not the last.
  virtual int make_directories(const char *path, uint32_t mode, int parents_only) = 0;
  virtual int copy_file(const char *from, const char *to) = 0;
  // Size of a regular file, -1 when there is none.
  virtual int64_t file_size(const char *path) = 0;
  virtual int write_file(const char *path, const void *data, uint32_t len) = 0;
  // Heap copy with a trailing 0, caller frees.
  virtual int read_file(const char *path, uint8_t **data, uint32_t *len) = 0;
  // Removes a file only when it lies inside dir.
  virtual int remove_file_below(const char *dir, const char *path) = 0;
  // Calling code at the start of an international number.
  virtual int phone_country_code(const char *number) = 0;
  // Calling code of a mobile country code, 0 when none.
  virtual int mcc_to_country_code(uint32_t mcc) = 0;

  // ---- forwarding side of group calls (211-213) ----
  // Raw group-call message for a group.
  virtual int sfu_send_raw(uint32_t gid, const uint8_t *data, uint32_t len) = 0;
  // One participant record written with the given mode; -1 outside that mode.
  virtual int sfu_send_participant(const SfuParticipant *record, uint32_t mode) = 0;
  // One info record; -1 outside that mode.
  virtual int sfu_send_info(const SfuInfo *record, int flag) = 0;
};
