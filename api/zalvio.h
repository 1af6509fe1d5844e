// The public facade: the process-wide engine object applications get from
// ZalvioInstance, and the other end of the engine's notifications.
//
// CZalvio owns the engine (the application-layer engine from query_zalvio)
// and forwards nearly every public method to one engine operation. The
// engine reports to it as its INotify; CZalvio turns the six operations
// that concern applications into ZalvioListener callbacks carrying message
// and presence objects built on its stack for the duration of the call.
//
// Callbacks and the listener. Every callback runs through a gate that
// counts the callbacks in flight per listener, so setListener can wait
// until no other thread still runs one with the old listener (after which
// the application may delete it). A callback that throws is caught here:
// the application's exceptions never unwind through the engine thread.
//
// Message and presence objects reach the engine through get_api, which is
// null (with a log line) until the facade exists.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/izalvio.h"
#include "core/notify.h"
#include "include/zalvio.h"

enum : uint8_t {
  PLATFORM_CPP = 3,
  PLATFORM_PYTHON = 4,
};

enum : uint32_t {
  FACADE_DEFAULT_BUFFER = 128000,   // queue bytes when the application gives 0
  FACADE_MIN_BUFFER = 64000,
  FACADE_DATA_DIR_SIZE = 1024,
  FACADE_FINGERPRINT_SIZE = 128,
  FACADE_E2E_DEFAULT_LEVEL = 5,
  FACADE_CREATION_WAIT_US = 10000,  // a second creator polls this often
};

// Read options of a session.
enum : uint32_t {
  SESSION_RECEIPTS = 0x1,
  SESSION_FORWARD = 0x4,
  SESSION_SUMMARY = 0x10,
  SESSION_INCLUDE = 0x20,
  SESSION_FILES = 0x80,
  SESSION_CLOSE = 0x200,
  SESSION_MISSED_CALLS = 0x1000,
  SESSION_INCOMING_CALLS = 0x2000,
  SESSION_OUTGOING_CALLS = 0x4000,
  SESSION_CALLS = SESSION_MISSED_CALLS | SESSION_INCOMING_CALLS | SESSION_OUTGOING_CALLS,
};

class CZalvio;

// The engine for message, presence and date-time objects; null (logged as
// "zalvio is not initialized") before the facade exists.
IZalvio *get_api();
// The facade, or null before ZalvioInstance.
CZalvio *zalvio_facade();

// The data directory for a home directory text (null or empty: the home of
// `uid` from the password database, else "/var/tmp"): "<home>/.zalvio".
// Returns its length; a home too long for `cap` gives "/var/tmp/.zalvio".
int zalvio_data_directory(const char *home, uid_t uid, char *out, size_t cap);

// Replaces query_zalvio for the facade created next (tests put a recording
// engine under the facade with it). Null restores query_zalvio.
typedef IZalvio *(*EngineFactory)(const char *path, uint32_t queue_size);
void zalvio_set_engine_factory(EngineFactory factory);

// Listener callbacks in flight, per listener. See the file comment.
class ListenerGate {
 public:
  // Enters a callback: with `target` set, that listener; else the current
  // one. Returns the listener to call, or null (nothing entered).
  ZalvioListener *enter(ZalvioListener *target);
  void leave(ZalvioListener *listener);
  ZalvioListener *current();
  // Installs `listener`; outside a callback, waits until no other thread
  // runs a callback with the previous one.
  void set(ZalvioListener *listener);

 private:
  std::mutex lock_;
  std::condition_variable idle_;
  ZalvioListener *listener_ = nullptr;
  std::vector<std::pair<ZalvioListener *, int>> busy_;
  int busy_count(ZalvioListener *listener) const;
};

// Gives every engine notification the facade does not handle a body that
// ignores it and answers 0.
class CZalvioNotify : public INotify {
 public:
  int on_user_info(uint32_t, const char *, PeerEntry *) override { return 0; }

 protected:
  ~CZalvioNotify() = default;
};

class EndToEndEncryption : public ZalvioEndToEndEncryption {
 public:
  explicit EndToEndEncryption(IZalvio *engine);

  void enable(int on) override;
  int getPeerStatus(const char *peer) override;
  int isActive(const char *peer) override;
  int setLevel(uint32_t level) override;
  int setCiphers(uint32_t allowed, uint32_t preferred) override;
  int setPassword(const char *peer, const void *data, int len) override;
  int setTagLength(uint32_t n) override;
  int setAuthenticatedData(const char *peer, const void *data, int len) override;
  int saveCertificate(const char *path) override;
  int loadCertificate(const char *path) override;
  int loadPeerCertificate(const char *peer, const char *path) override;
  const char *getPeerName(const char *peer) override;
  const char *getPeerCommonName(const char *peer) override;
  char *getFingerprint(const char *peer) override;
  char *getPeerFingerprint(const char *peer) override;
  int setKeyLifetime(int root, int minUses, int maxUses, int minSeconds, int maxSeconds) override;

 private:
  char *fingerprint(const char *peer, int mode);

  IZalvio *engine_;
  uint32_t level_ = FACADE_E2E_DEFAULT_LEVEL;
  uint32_t option_ = 0;
  uint32_t enabled_ = 0;
};

// A read session: the engine delivers the session's rows to it (it is the
// listener carried in each row), and it passes them to its own listener.
class ZalvioReadSessionImpl : public ZalvioReadSession, public ZalvioListener {
 public:
  ZalvioReadSessionImpl(IZalvio *engine, const char *peer, uint32_t groupid,
                        ZalvioListener *listener);
  ~ZalvioReadSessionImpl() override;

  int read(int count) override;
  int start() override;
  int stop() override;
  int sync(int count) override;
  int enableReadReceipt(int on) override;
  ZalvioReadSession *enableSummary(int on) override;
  ZalvioReadSession *enableForward(int on) override;
  ZalvioReadSession *enableFiles(int on) override;
  ZalvioReadSession *enableIncludeMode(int on) override;
  ZalvioReadSession *enableMissedCalls(int on) override;
  ZalvioReadSession *enableIncomingCalls(int on) override;
  ZalvioReadSession *enableOutgoingCalls(int on) override;
  ZalvioReadSession *enableCalls(int on) override;

  int onMessage(ZalvioMessage &message) override;
  int onMessageUpdate(ZalvioMessage &message) override;
  int onMessageStatus(ZalvioMessage &message) override;
  int onPresence(ZalvioPresence &presence) override;
  int onConnectionStatus(int status) override;
  int onEndToEndEncryption(const char *peer, int status) override;

  uint32_t session_id() const { return session_id_; }
  uint32_t options() const { return flags_; }
  ZalvioListener *target() const { return listener_; }

 private:
  ZalvioReadSession *option(uint32_t bits, int on);
  int session_call(uint32_t flags);
  void *listener_data() { return static_cast<ZalvioListener *>(this); }

  uint32_t session_id_ = 0;
  IZalvio *engine_;
  uint32_t flags_ = 0;
  char *peer_;
  char *search_ = nullptr;
  uint32_t groupid_;
  ZalvioListener *listener_;
};

class CZalvio : public CZalvioNotify, public Zalvio {
 public:
  CZalvio(const char *data_dir, int buffer_size, uint8_t platform, const char *wrapper_version);
  ~CZalvio() override;

  // ---- INotify: what the engine reports ----
  int on_message(MessageParams *p, const char *peer, const uint8_t *payload,
                 uint32_t len) override;
  int on_message_bundle(MessageParams *p, const char *peer, MessageBundle *bundle) override;
  int on_message_status(MessageParams *p, const char *peer, int last) override;
  int on_thumbnail_request(int file_type, const char *path, ThumbImage *out) override;
  int on_status(int status, uint32_t detail, uint32_t reserved1, uint32_t reserved2) override;
  int on_activity(MessageParams *p, const char *peer, int type, int value) override;
  int on_e2e_status(const char *address, int state) override;

  // ---- Zalvio ----
  int getConnectionStatus() override;
  int setPath(const char *path) override;
  const char *getBasePath() override;
  const char *getDatabasePath() override;
  const char *getImagePath(int sent) override;
  const char *getVideoPath(int sent) override;
  const char *getAudioPath(int sent) override;
  const char *getFilePath(int sent) override;
  int setDatabase(const char *name, uint32_t resetTables) override;
  int resetDatabase(uint32_t tables) override;
  int backupDatabase(const char *path) override;
  int restoreDatabase(const char *path) override;
  int setAccessToken(const char *token) override;
  ZalvioEndToEndEncryption *getEndToEndEncryption() override;
  void setPresenceMode(uint8_t mode) override;
  int setUploadUrl(const char *url, const char *auth) override;
  int setListener(ZalvioListener *listener) override;
  uint64_t getTimestamp() override;
  int resendMessage(uint64_t id) override;
  int sendActivity(const char *to, uint32_t groupid, int activity, int value,
                   int interval) override;
  int setBufferSize(int size, int ignored) override;
  int setDeleteWindow(int seconds) override;
  int getDeleteWindow() override;
  int setRemoteActions(int mask) override;
  int wipeMessages(const uint64_t *ids, int count, int remote) override;
  int removeMessage(uint64_t id, int remote) override;
  int wipeMessage(uint64_t id) override;
  int deleteMessages(const uint64_t *ids, int count, int remote) override;
  int deleteMessage(uint64_t id, int remote) override;
  int deleteMessage(uint64_t id) override;
  int deleteConversation(const char *peer, uint32_t groupid, uint32_t before) override;
  int setCapability(int flag, uint64_t value) override;
  ZalvioReadSession *createReadSession(const char *peer, uint32_t groupid, uint64_t ignored,
                                       ZalvioListener *listener) override;
  int start() override;
  int stop() override;
  int setForeground() override;
  int wait() override;
  uint32_t getUid() override;
  const char *getAddress() override;
  void setAppName(const char *name) override;
  uint32_t getUniqueMessageId() override;
  void *identity(void *p) override;
  int setKey(const char *name, const char *value) override;
  char *getKey(const char *name) override;
  int deleteKey(const char *name) override;
  int setConfig(uint32_t code, uint32_t value) override;
  int setConfig(uint32_t code, const char *value) override;
  int getServerFlag() override;
  ZalvioMessage *newMessage(const char *peer, uint32_t groupid) override;
  ZalvioMessage *newMessage(const char *peer) override;
  ZalvioMessage *newMessage(uint32_t groupid) override;
  ZalvioPresence *newPresence(const char *peer, uint32_t groupid) override;
  ZalvioMessage *newMessageProperties(const char *peer) override;
  ZalvioMessage *newMessageProperties(uint32_t groupid) override;
  ZalvioPresence *newPresence(const char *peer) override;
  ZalvioPresence *newPresence(uint32_t groupid) override;
  int setServer(const char *hostPort) override;
  int addTrustedCA(const char *pemFile) override;

  IZalvio *engine() const { return engine_; }

 private:
  int delete_ids(const uint64_t *ids, int count, int tombstone, int remote);

  IZalvio *engine_;
  ListenerGate gate_;
  EndToEndEncryption *e2e_;
  uint8_t platform_;
  std::mutex texts_lock_;  // path, app name
  char *path_ = nullptr;
  char *app_name_ = nullptr;
  char *wrapper_version_ = nullptr;
};
