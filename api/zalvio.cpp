// The public facade, its notification mapping, the end-to-end settings
// object, read sessions and the exported entry points. See zalvio.h.
#include "api/zalvio.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/message.h"
#include "api/msgprop.h"
#include "api/presence.h"
#include "api/richmessage.h"
#include "app/app.h"
#include "core/openssl.h"
#include "http/utf8.h"
#include "util/logs.h"

static const char kFallbackHome[] = "/var/tmp";
static const char kSdkKind[] = "CPP";

// ---- process-wide state ------------------------------------------------

static std::atomic<CZalvio *> g_facade{nullptr};
static std::atomic<uint32_t> g_creation{0};
static std::atomic<IZalvio *> g_engine{nullptr};
static std::atomic<EngineFactory> g_engine_factory{nullptr};

IZalvio *get_api() {
  IZalvio *engine = g_engine.load(std::memory_order_acquire);
  if (!engine) LOGE("zalvio is not initialized");
  return engine;
}

CZalvio *zalvio_facade() { return g_facade.load(std::memory_order_acquire); }

void zalvio_set_engine_factory(EngineFactory factory) { g_engine_factory.store(factory); }

static IZalvio *create_engine(const char *path, uint32_t queue_size) {
  EngineFactory factory = g_engine_factory.load();
  return factory ? factory(path, queue_size) : query_zalvio(path, queue_size);
}

int zalvio_data_directory(const char *home, uid_t uid, char *out, size_t cap) {
  char *scratch = nullptr;
  const char *dir = home && *home ? home : nullptr;
  if (!dir) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0) size = 16384;
    scratch = (char *)malloc((size_t)size);
    struct passwd entry, *found = nullptr;
    if (scratch && getpwuid_r(uid, &entry, scratch, (size_t)size, &found) == 0 && found &&
        found->pw_dir && *found->pw_dir)
      dir = found->pw_dir;
  }
  if (!dir) dir = kFallbackHome;
  int n = snprintf(out, cap, "%s/.zalvio", dir);
  if (n < 0 || (size_t)n >= cap) {
    LOGE("home directory too long, using %s", kFallbackHome);
    n = snprintf(out, cap, "%s/.zalvio", kFallbackHome);
  }
  free(scratch);
  return n;
}

// ---- listener gate -----------------------------------------------------

// Callbacks this thread is inside of: setListener called from one of them
// must not wait for itself.
static thread_local int t_callback_depth = 0;

int ListenerGate::busy_count(ZalvioListener *listener) const {
  for (const auto &entry : busy_)
    if (entry.first == listener) return entry.second;
  return 0;
}

ZalvioListener *ListenerGate::enter(ZalvioListener *target) {
  std::lock_guard<std::mutex> guard(lock_);
  ZalvioListener *l = target ? target : listener_;
  if (!l) return nullptr;
  bool found = false;
  for (auto &entry : busy_)
    if (entry.first == l) {
      entry.second++;
      found = true;
      break;
    }
  if (!found) busy_.push_back({l, 1});
  t_callback_depth++;
  return l;
}

void ListenerGate::leave(ZalvioListener *listener) {
  std::lock_guard<std::mutex> guard(lock_);
  t_callback_depth--;
  for (size_t i = 0; i < busy_.size(); i++) {
    if (busy_[i].first != listener) continue;
    if (--busy_[i].second == 0) busy_.erase(busy_.begin() + (long)i);
    break;
  }
  idle_.notify_all();
}

ZalvioListener *ListenerGate::current() {
  std::lock_guard<std::mutex> guard(lock_);
  return listener_;
}

void ListenerGate::set(ZalvioListener *listener) {
  std::unique_lock<std::mutex> guard(lock_);
  ZalvioListener *old = listener_;
  listener_ = listener;
  if (!old || old == listener || t_callback_depth > 0) return;
  idle_.wait(guard, [&] { return busy_count(old) == 0; });
}

// One callback through the gate: enters on construction, leaves on
// destruction.
class Delivery {
 public:
  Delivery(ListenerGate *gate, ZalvioListener *target) : gate_(gate), l(gate->enter(target)) {}
  ~Delivery() {
    if (l) gate_->leave(l);
  }
  Delivery(const Delivery &) = delete;
  Delivery &operator=(const Delivery &) = delete;

 private:
  ListenerGate *gate_;

 public:
  ZalvioListener *const l;
};

// Runs an application callback; what it throws stops here, logged, as -1.
template <class Call>
static int guarded(const char *what, Call call) {
  try {
    return call();
  } catch (...) {
    LOGE("listener threw an exception in %s", what);
    return -1;
  }
}

// ---- notification mapping ----------------------------------------------

// Read sessions give the engine their own listener, which comes back in
// every row they read.
static ZalvioListener *record_listener(const MessageParams *p) {
  return static_cast<ZalvioListener *>(static_cast<void *>(p->listener));
}

static bool session_row(const MessageParams *p) {
  return p->origin == ORIGIN_SESSION_READ || p->origin == ORIGIN_SUMMARY_READ;
}

int CZalvio::on_message(MessageParams *p, const char *peer, const uint8_t *payload,
                        uint32_t len) {
  MessageBundle bundle;
  memset(&bundle, 0, sizeof bundle);
  bundle.data = payload;
  bundle.datalen = len;
  return on_message_bundle(p, peer, &bundle);
}

int CZalvio::on_message_bundle(MessageParams *p, const char *peer, MessageBundle *bundle) {
  if (!p) return 0;
  Delivery d(&gate_, record_listener(p));
  if (!d.l) return 0;
  MessageBundle empty;
  memset(&empty, 0, sizeof empty);
  if (!bundle) bundle = &empty;
  bool update = (p->flags & PROP_FLAG_UPDATE) != 0;
  if ((bundle->transfer_mode == 1 || bundle->transfer_mode == 2) &&
      !(p->flags & (PROP_FLAG_UPDATE | PROP_FLAG_FILE_FAILED)))
    engine_->file_transfer_start(p->id, 0, nullptr, nullptr);
  ZalvioMessageImpl message(p, bundle, peer);
  message.set_borrowed();
  int r = guarded("onMessage", [&] {
    return update ? d.l->onMessageUpdate(message) : d.l->onMessage(message);
  });
  // A negative answer stops a page of a read session; live deliveries
  // ignore it.
  return session_row(p) ? r : 0;
}

int CZalvio::on_message_status(MessageParams *p, const char *peer, int last) {
  (void)last;
  if (!p) return 0;
  Delivery d(&gate_, nullptr);
  if (!d.l) return 0;
  ZalvioMessageImpl message(p, nullptr, peer);
  message.set_borrowed();
  guarded("onMessageStatus", [&] { return d.l->onMessageStatus(message); });
  return 0;
}

// The facade has no thumbnails of its own to offer.
int CZalvio::on_thumbnail_request(int file_type, const char *path, ThumbImage *out) {
  (void)file_type, (void)path, (void)out;
  return -1;
}

int CZalvio::on_status(int status, uint32_t detail, uint32_t reserved1, uint32_t reserved2) {
  (void)detail, (void)reserved1, (void)reserved2;
  // Bundle acknowledgements are the engine's business.
  if (status == STATUS_SENT) return 0;
  Delivery d(&gate_, nullptr);
  if (!d.l) return 0;
  return guarded("onConnectionStatus", [&] { return d.l->onConnectionStatus(status); });
}

int CZalvio::on_activity(MessageParams *p, const char *peer, int type, int value) {
  Delivery d(&gate_, nullptr);
  if (!d.l) return 0;
  ZalvioPresenceImpl presence(peer, p ? p->groupid : 0);
  presence.activity = (uint32_t)type;
  presence.value = (uint32_t)value;
  guarded("onPresence", [&] { return d.l->onPresence(presence); });
  return 0;
}

int CZalvio::on_e2e_status(const char *address, int state) {
  Delivery d(&gate_, nullptr);
  if (!d.l) return 0;
  guarded("onEndToEndEncryption", [&] { return d.l->onEndToEndEncryption(address, state); });
  return 0;
}

// ---- the facade --------------------------------------------------------

static bool empty_text(const char *s) { return !s || !*s; }

static char *copy_text(const char *s) { return s ? strdup(s) : nullptr; }

CZalvio::CZalvio(const char *data_dir, int buffer_size, uint8_t platform,
                 const char *wrapper_version)
    : platform_(platform) {
  if (buffer_size == 0) buffer_size = FACADE_DEFAULT_BUFFER;
  uint32_t queue = buffer_size > (int)FACADE_MIN_BUFFER ? (uint32_t)buffer_size : FACADE_MIN_BUFFER;
  engine_ = create_engine(data_dir ? data_dir : "/var/tmp/.zalvio", queue);
  engine_->register_listener(CHANNEL_MESSAGE, static_cast<INotify *>(this), 1);
  wrapper_version_ = copy_text(wrapper_version);
  e2e_ = new EndToEndEncryption(engine_);
}

// The facade lives until the process ends; this runs only for facades
// that never became the singleton.
CZalvio::~CZalvio() {
  delete e2e_;
  free(path_);
  free(app_name_);
  free(wrapper_version_);
}

int CZalvio::getConnectionStatus() { return engine_->connection_status(); }

int CZalvio::setPath(const char *path) {
  if (empty_text(path)) return -1;
  {
    std::lock_guard<std::mutex> guard(texts_lock_);
    free(path_);
    path_ = strdup(path);
  }
  return engine_->set_paths(path, nullptr);
}

const char *CZalvio::getBasePath() { return engine_->get_base_path(); }
const char *CZalvio::getDatabasePath() { return engine_->get_database_path(); }
const char *CZalvio::getImagePath(int sent) { return engine_->get_image_path(sent); }
const char *CZalvio::getVideoPath(int sent) { return engine_->get_video_path(sent); }
const char *CZalvio::getAudioPath(int sent) { return engine_->get_audio_path(sent); }
const char *CZalvio::getFilePath(int sent) { return engine_->get_file_path(sent); }

// The application must learn when its store did not open: it would
// otherwise run on without history and lose what it sends offline.
int CZalvio::setDatabase(const char *name, uint32_t resetTables) {
  if (empty_text(name)) return -1;
  if (resetTables) engine_->reset_database(resetTables);
  return engine_->open_database(name);
}

int CZalvio::resetDatabase(uint32_t tables) {
  return tables ? engine_->reset_database(tables) : 0;
}

int CZalvio::backupDatabase(const char *path) {
  return empty_text(path) ? -1 : engine_->db_backup_restore(path, 1);
}

int CZalvio::restoreDatabase(const char *path) {
  return empty_text(path) ? -1 : engine_->db_backup_restore(path, 0);
}

int CZalvio::setAccessToken(const char *token) { return engine_->set_credentials(token); }

ZalvioEndToEndEncryption *CZalvio::getEndToEndEncryption() { return e2e_; }

void CZalvio::setPresenceMode(uint8_t mode) { engine_->set_presence_mode(mode); }

int CZalvio::setUploadUrl(const char *url, const char *auth) {
  return engine_->set_upload_url(url, auth);
}

int CZalvio::setListener(ZalvioListener *listener) {
  gate_.set(listener);
  return 0;
}

uint64_t CZalvio::getTimestamp() { return engine_->now_ms(); }

int CZalvio::resendMessage(uint64_t id) { return engine_->db_resend_failed(id & 0xFFFFFFFFull); }

int CZalvio::sendActivity(const char *to, uint32_t groupid, int activity, int value,
                          int interval) {
  if (empty_text(to) && groupid == 0) return -1;
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.groupid = groupid;
  return engine_->send_activity(&p, to, activity, value, interval);
}

int CZalvio::setBufferSize(int size, int ignored) {
  (void)ignored;
  return engine_->set_queue_size(size > 0 ? (uint32_t)size : 0);
}

int CZalvio::setDeleteWindow(int seconds) { return engine_->db_set_edit_window(seconds, -1); }
int CZalvio::getDeleteWindow() { return engine_->db_set_edit_window(-1, -1); }
int CZalvio::setRemoteActions(int mask) { return engine_->db_set_edit_window(-1, mask); }

int CZalvio::delete_ids(const uint64_t *ids, int count, int tombstone, int remote) {
  if (!ids || count <= 0) return -1;
  return engine_->delete_messages_by_id(ids, count, tombstone, remote);
}

int CZalvio::wipeMessages(const uint64_t *ids, int count, int remote) {
  return delete_ids(ids, count, 1, remote);
}
int CZalvio::removeMessage(uint64_t id, int remote) { return delete_ids(&id, 1, 0, remote); }
int CZalvio::wipeMessage(uint64_t id) { return delete_ids(&id, 1, 1, 0); }
int CZalvio::deleteMessages(const uint64_t *ids, int count, int remote) {
  return delete_ids(ids, count, 0, remote);
}
int CZalvio::deleteMessage(uint64_t id, int remote) { return delete_ids(&id, 1, 0, remote); }
int CZalvio::deleteMessage(uint64_t id) { return delete_ids(&id, 1, 0, 0); }

// The application gives whole seconds; the store compares milliseconds.
int CZalvio::deleteConversation(const char *peer, uint32_t groupid, uint32_t before) {
  if (empty_text(peer) && groupid == 0) return -1;
  return engine_->delete_conversation(0, peer, groupid, (uint64_t)before * 1000);
}

int CZalvio::setCapability(int flag, uint64_t value) {
  engine_->set_capability(flag, value);
  return 0;
}

ZalvioReadSession *CZalvio::createReadSession(const char *peer, uint32_t groupid,
                                              uint64_t ignored, ZalvioListener *listener) {
  (void)ignored;
  return new ZalvioReadSessionImpl(engine_, peer, groupid, listener ? listener : gate_.current());
}

int CZalvio::start() {
  {
    std::lock_guard<std::mutex> guard(texts_lock_);
    engine_->versions(platform_, kSdkKind, app_name_, wrapper_version_, nullptr);
  }
  return engine_->start();
}

int CZalvio::stop() { return engine_->stop(); }
int CZalvio::setForeground() { return engine_->set_foreground(1); }
int CZalvio::wait() { return engine_->wait(); }
uint32_t CZalvio::getUid() { return engine_->get_uid(); }
const char *CZalvio::getAddress() { return engine_->get_address(); }

void CZalvio::setAppName(const char *name) {
  std::lock_guard<std::mutex> guard(texts_lock_);
  free(app_name_);
  app_name_ = copy_text(name);
}

uint32_t CZalvio::getUniqueMessageId() { return engine_->random_id(); }
void *CZalvio::identity(void *p) { return p; }

int CZalvio::setKey(const char *name, const char *value) {
  if (empty_text(name) || !value) return -1;
  return engine_->db_set_value(name, value);
}

char *CZalvio::getKey(const char *name) {
  if (empty_text(name)) return nullptr;
  char *copy = nullptr;
  if (engine_->db_get_value(name, &copy, nullptr) < 0) {
    free(copy);
    return nullptr;
  }
  return copy;
}

int CZalvio::deleteKey(const char *name) {
  return empty_text(name) ? -1 : engine_->db_delete_key(name);
}

int CZalvio::setConfig(uint32_t code, uint32_t value) {
  engine_->set_config(code, value);
  return 0;
}

int CZalvio::setConfig(uint32_t code, const char *value) {
  (void)value;
  engine_->set_config(code, 0);
  return 0;
}

int CZalvio::getServerFlag() { return engine_->login_flag_query(); }

ZalvioMessage *CZalvio::newMessage(const char *peer, uint32_t groupid) {
  return new ZalvioMessageImpl(peer, groupid);
}
ZalvioMessage *CZalvio::newMessage(const char *peer) { return newMessage(peer, 0u); }
ZalvioMessage *CZalvio::newMessage(uint32_t groupid) { return newMessage(nullptr, groupid); }

ZalvioPresence *CZalvio::newPresence(const char *peer, uint32_t groupid) {
  return new ZalvioPresenceImpl(peer, groupid);
}

ZalvioMessage *CZalvio::newMessageProperties(const char *peer) { return newMessage(peer, 0u); }
ZalvioMessage *CZalvio::newMessageProperties(uint32_t groupid) {
  return newMessage(nullptr, groupid);
}
ZalvioPresence *CZalvio::newPresence(const char *peer) { return newPresence(peer, 0u); }
ZalvioPresence *CZalvio::newPresence(uint32_t groupid) { return newPresence(nullptr, groupid); }

int CZalvio::setServer(const char *hostPort) {
  return empty_text(hostPort) ? -1 : engine_->set_server(hostPort);
}

// The trust store belongs to the process's TLS client context, which the
// engine's connection and the HTTP client share.
int CZalvio::addTrustedCA(const char *pemFile) {
  return empty_text(pemFile) ? -1 : ssl_add_trusted_ca(pemFile);
}

// ---- end-to-end settings -----------------------------------------------

EndToEndEncryption::EndToEndEncryption(IZalvio *engine) : engine_(engine) {}

void EndToEndEncryption::enable(int on) {
  enabled_ = on ? 1 : 0;
  engine_->e2e_set_level(on ? (int)level_ : 0, option_ ? 1 : 0);
}

int EndToEndEncryption::getPeerStatus(const char *peer) { return engine_->e2e_get_status(peer); }
int EndToEndEncryption::isActive(const char *peer) { return engine_->e2e_is_active(peer); }

int EndToEndEncryption::setLevel(uint32_t level) {
  level_ = level;
  return enabled_ ? engine_->e2e_set_level((int)level, option_ ? 1 : 0) : 0;
}

int EndToEndEncryption::setCiphers(uint32_t allowed, uint32_t preferred) {
  return engine_->e2e_set_ciphers(allowed, preferred);
}

int EndToEndEncryption::setPassword(const char *peer, const void *data, int len) {
  return engine_->e2e_set_password(peer, data, data ? len : 0);
}

int EndToEndEncryption::setTagLength(uint32_t n) { return engine_->e2e_set_tag_length((int)n); }

int EndToEndEncryption::setAuthenticatedData(const char *peer, const void *data, int len) {
  return engine_->e2e_set_aad(peer, data, data ? len : 0);
}

int EndToEndEncryption::saveCertificate(const char *path) {
  return engine_->e2e_save_certificate(path);
}

int EndToEndEncryption::loadCertificate(const char *path) {
  return engine_->e2e_load_certificate(nullptr, path);
}

int EndToEndEncryption::loadPeerCertificate(const char *peer, const char *path) {
  return engine_->e2e_load_certificate(peer, path);
}

const char *EndToEndEncryption::getPeerName(const char *peer) {
  return engine_->e2e_get_peer_info(peer, 0);
}

const char *EndToEndEncryption::getPeerCommonName(const char *peer) {
  return engine_->e2e_get_peer_info(peer, 1);
}

char *EndToEndEncryption::fingerprint(const char *peer, int mode) {
  char buffer[FACADE_FINGERPRINT_SIZE];
  memset(buffer, 0, sizeof buffer);
  engine_->e2e_get_fingerprint(peer, mode, buffer);
  buffer[sizeof buffer - 1] = 0;
  return strdup(buffer);
}

char *EndToEndEncryption::getFingerprint(const char *peer) { return fingerprint(peer, 0); }
char *EndToEndEncryption::getPeerFingerprint(const char *peer) { return fingerprint(peer, 1); }

int EndToEndEncryption::setKeyLifetime(int root, int minUses, int maxUses, int minSeconds,
                                       int maxSeconds) {
  return engine_->e2e_set_key_lifetime(root, minUses, maxUses, minSeconds, maxSeconds);
}

// ---- read sessions -----------------------------------------------------

ZalvioReadSessionImpl::ZalvioReadSessionImpl(IZalvio *engine, const char *peer, uint32_t groupid,
                                             ZalvioListener *listener)
    : engine_(engine), peer_(copy_text(peer)), groupid_(groupid), listener_(listener) {}

// An open engine session holds a pointer to this object: close it first.
ZalvioReadSessionImpl::~ZalvioReadSessionImpl() {
  stop();
  free(peer_);
  free(search_);
}

int ZalvioReadSessionImpl::session_call(uint32_t flags) {
  return engine_->db_create_read_session(session_id_, flags, 0, peer_, groupid_, search_,
                                         listener_data());
}

int ZalvioReadSessionImpl::start() {
  if (session_id_) return 0;
  int id = session_call(flags_);
  if (id <= 0) return -1;
  session_id_ = (uint32_t)id;
  return 0;
}

int ZalvioReadSessionImpl::read(int count) {
  if (start() != 0) return -1;
  return engine_->db_read_messages(session_id_, count);
}

int ZalvioReadSessionImpl::stop() {
  if (!session_id_) return 0;
  int r = session_call(SESSION_CLOSE);
  session_id_ = 0;
  return r < 0 ? -1 : 0;
}

int ZalvioReadSessionImpl::sync(int count) {
  if (start() != 0) return -1;
  return engine_->db_sync_from_server(session_id_, count);
}

// The option is kept as well, so that a session started again reads with
// receipts as last asked.
int ZalvioReadSessionImpl::enableReadReceipt(int on) {
  option(SESSION_RECEIPTS, on);
  if (!session_id_) return 0;
  return session_call(on ? (uint32_t)SESSION_RECEIPTS : 0u) < 0 ? -1 : 0;
}

ZalvioReadSession *ZalvioReadSessionImpl::option(uint32_t bits, int on) {
  if (on)
    flags_ |= bits;
  else
    flags_ &= ~bits;
  return this;
}

ZalvioReadSession *ZalvioReadSessionImpl::enableSummary(int on) { return option(SESSION_SUMMARY, on); }
ZalvioReadSession *ZalvioReadSessionImpl::enableForward(int on) { return option(SESSION_FORWARD, on); }
ZalvioReadSession *ZalvioReadSessionImpl::enableFiles(int on) { return option(SESSION_FILES, on); }
ZalvioReadSession *ZalvioReadSessionImpl::enableIncludeMode(int on) {
  return option(SESSION_INCLUDE, on);
}
ZalvioReadSession *ZalvioReadSessionImpl::enableMissedCalls(int on) {
  return option(SESSION_MISSED_CALLS, on);
}
ZalvioReadSession *ZalvioReadSessionImpl::enableIncomingCalls(int on) {
  return option(SESSION_INCOMING_CALLS, on);
}
ZalvioReadSession *ZalvioReadSessionImpl::enableOutgoingCalls(int on) {
  return option(SESSION_OUTGOING_CALLS, on);
}
ZalvioReadSession *ZalvioReadSessionImpl::enableCalls(int on) { return option(SESSION_CALLS, on); }

int ZalvioReadSessionImpl::onMessage(ZalvioMessage &message) {
  return listener_ ? listener_->onMessage(message) : 0;
}

int ZalvioReadSessionImpl::onMessageUpdate(ZalvioMessage &message) {
  return listener_ ? listener_->onMessageUpdate(message) : 0;
}

int ZalvioReadSessionImpl::onMessageStatus(ZalvioMessage &) { return 0; }
int ZalvioReadSessionImpl::onPresence(ZalvioPresence &) { return 0; }
int ZalvioReadSessionImpl::onConnectionStatus(int) { return 0; }
int ZalvioReadSessionImpl::onEndToEndEncryption(const char *, int) { return 0; }

// ---- creation and exports ----------------------------------------------

static void stop_at_unload() {
  CZalvio *z = zalvio_facade();
  if (z) z->stop();
}

// The first caller builds the facade completely (engine, listener
// registration, data directory) before publishing it; others arriving
// meanwhile wait for the pointer.
static Zalvio *instance(int buffer_size, uint8_t platform, const char *wrapper_version) {
  CZalvio *z = zalvio_facade();
  if (z) return z;
  uint32_t previous = g_creation.load();
  while (!g_creation.compare_exchange_weak(previous, previous | 1)) {
  }
  if (previous & 1) {
    while (!(z = zalvio_facade())) usleep(FACADE_CREATION_WAIT_US);
    return z;
  }
  char dir[FACADE_DATA_DIR_SIZE];
  zalvio_data_directory(getenv("HOME"), getuid(), dir, sizeof dir);
  z = new CZalvio(dir, buffer_size, platform, wrapper_version);
  z->setPath(dir);
  g_engine.store(z->engine(), std::memory_order_release);
  g_library_unload_hook = stop_at_unload;
  g_facade.store(z, std::memory_order_release);
  return z;
}

extern "C" {

ZALVIO_PUBLIC Zalvio *ZalvioInstance(int bufferSize) {
  return instance(bufferSize, PLATFORM_CPP, nullptr);
}

ZALVIO_PUBLIC Zalvio *ZalvioPythonInstance(int bufferSize, const char *wrapperVersion) {
  return instance(bufferSize, PLATFORM_PYTHON, wrapperVersion);
}

ZALVIO_PUBLIC ZalvioMessage *ZalvioMessageInstance(const char *peer, uint32_t groupid) {
  return new ZalvioMessageImpl(peer, groupid);
}

ZALVIO_PUBLIC int ZalvioIsUTF8(const char *text, uint32_t len) { return utf8_is_valid(text, len); }

}  // extern "C"
