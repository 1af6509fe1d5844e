#include "fake_engine_helper.h"

#include <cstdlib>
#include <cstring>

#include "api/datetime.h"
#include "support/tempdir.h"

static std::string text_of(const char *s) { return s ? s : ""; }

void RecordingEngine::clear() {
  send_result = 0;
  open_result = 0;
  rows_per_read = 0;
  sends.clear();
  forwards.clear();
  deletes.clear();
  conversation_deletes.clear();
  opened.clear();
  resets.clear();
  resent.clear();
  session_calls.clear();
  open_sessions.clear();
  transfers.clear();
  activities.clear();
  receipt_times.clear();
  receipt_queries = 0;
  keys.clear();
  e2e_levels.clear();
  edit_window = 1800;
  edit_mask = 0xFFFF;
}

int RecordingEngine::register_listener(int channel, INotify *listener, int make_default) {
  sink = listener;
  return CAPI::register_listener(channel, listener, make_default);
}

int RecordingEngine::send_rich_message(MessageParams *p, const char *peer, MessageBundle *b) {
  RecordedSend s;
  s.p = *p;
  s.peer = text_of(peer);
  s.has_peer = peer != nullptr;
  s.data = b->data ? std::string((const char *)b->data, b->datalen) : "";
  s.message = text_of(b->message);
  s.has_message = b->message != nullptr;
  s.title = text_of(b->title);
  s.has_title = b->title != nullptr;
  s.subtitle = text_of(b->subtitle);
  s.fileurl = text_of(b->fileurl);
  s.filepath = text_of(b->filepath);
  s.thumbnail = b->thumbnail ? std::string((const char *)b->thumbnail, b->thumbnail_len) : "";
  s.filetype = b->filetype;
  s.lat = b->lat;
  s.lon = b->lon;
  s.localflags = b->localflags;
  sends.push_back(s);
  return send_result;
}

int RecordingEngine::forward_message(MessageParams *p, const char *peer, uint64_t stored_id,
                                     int mark) {
  forwards.push_back({*p, text_of(peer), stored_id, mark});
  return send_result;
}

int RecordingEngine::delete_messages_by_id(const uint64_t *ids, int count, int tombstone,
                                           int remote) {
  deletes.push_back({std::vector<uint64_t>(ids, ids + count), tombstone, remote});
  return 0;
}

int RecordingEngine::delete_conversation(uint64_t id, const char *peer, uint32_t gid,
                                         uint64_t until) {
  conversation_deletes.push_back({id, text_of(peer), gid, until});
  return 0;
}

int RecordingEngine::open_database(const char *path) {
  opened.push_back(text_of(path));
  return open_result;
}

int RecordingEngine::reset_database(uint32_t mask) {
  resets.push_back(mask);
  return 0;
}

int RecordingEngine::db_set_edit_window(int seconds, int mask) {
  if (seconds >= 0) edit_window = seconds;
  if (mask >= 0) edit_mask = mask;
  return edit_window;
}

int RecordingEngine::db_resend_failed(uint64_t id) {
  resent.push_back(id);
  return 0;
}

int RecordingEngine::db_create_read_session(uint32_t id, uint32_t flags, uint64_t tid,
                                            const char *peer, uint32_t gid, const char *search,
                                            void *listener_data) {
  (void)tid, (void)search;
  session_calls.push_back({id, flags, text_of(peer), peer != nullptr, gid, listener_data});
  if (id == 0) {
    uint32_t created = next_session_++;
    session_listener_[created] = listener_data;
    open_sessions.push_back(created);
    return (int)created;
  }
  if (flags & SESSION_CLOSE) {
    for (size_t i = 0; i < open_sessions.size(); i++)
      if (open_sessions[i] == id) open_sessions.erase(open_sessions.begin() + (long)i);
    session_listener_.erase(id);
    return 0;
  }
  return (int)id;
}

// Rows come back through the facade as the application layer delivers
// them: origin "session read", the session's listener in the record.
int RecordingEngine::db_read_messages(uint32_t id, int count) {
  auto it = session_listener_.find(id);
  if (it == session_listener_.end() || !sink) return -1;
  int n = count < rows_per_read ? count : rows_per_read;
  int delivered = 0;
  for (int i = 0; i < n; i++) {
    MessageParams p;
    memset(&p, 0, sizeof p);
    p.id = 5000 + (uint64_t)i;
    p.status = MSG_STATUS_RECEIVED_READ;
    p.origin = ORIGIN_SESSION_READ;
    p.listener = static_cast<INotify *>(it->second);
    delivered++;
    if (sink->on_message(&p, "bob", (const uint8_t *)"row", 3) < 0) break;
  }
  return delivered;
}

int RecordingEngine::db_sync_from_server(uint32_t id, int count) {
  (void)count;
  return session_listener_.count(id) ? 1 : -1;
}

uint64_t RecordingEngine::db_get_receipt_time(uint64_t id, const char *address, int read) {
  (void)id;
  receipt_queries++;
  auto it = receipt_times.find({text_of(address), read});
  return it == receipt_times.end() ? 0 : it->second;
}

int RecordingEngine::file_transfer_start(uint64_t id, uint32_t source, const char *url,
                                         const char *post_data) {
  (void)source, (void)url, (void)post_data;
  transfers.push_back(id);
  return 0;
}

int RecordingEngine::send_activity(MessageParams *p, const char *peer, int type, int value,
                                   int interval) {
  activities.push_back({*p, text_of(peer), type, value, interval});
  return 0;
}

int RecordingEngine::fill_date(uint64_t ms, DateFields *out) {
  return date_fields_fill(ms, now_ms(), out);
}

int RecordingEngine::db_set_value(const char *name, const char *value) {
  keys[name] = value;
  return 0;
}

int RecordingEngine::db_get_value(const char *name, char **copy_out, INotify *listener) {
  (void)listener;
  auto it = keys.find(name);
  if (it == keys.end()) return 0;
  if (copy_out) *copy_out = strdup(it->second.c_str());
  return 1;
}

int RecordingEngine::db_delete_key(const char *name) {
  return keys.erase(name) ? 0 : -1;
}

int RecordingEngine::e2e_set_level(int level, int option) {
  e2e_levels.push_back({level, option});
  return level;
}

// ---- the test process's facade ------------------------------------------

static RecordingEngine *g_engine = nullptr;

static IZalvio *make_engine(const char *path, uint32_t queue_size) {
  g_engine = new RecordingEngine(path, queue_size);
  return g_engine;
}

Zalvio *test_facade() {
  static TempDir *home = nullptr;
  if (!home) {
    home = new TempDir();  // kept for the process: the facade lives as long
    setenv("HOME", home->path().c_str(), 1);
    zalvio_set_engine_factory(make_engine);
  }
  return ZalvioInstance(0);
}

RecordingEngine &engine() {
  test_facade();
  return *g_engine;
}

// ---- recording listener ---------------------------------------------------

int RecordingListener::note(const char *kind, ZalvioMessage &m) {
  Heard h;
  h.kind = kind;
  h.id = m.id;
  h.status = m.status;
  h.peer = text_of(m.peer);
  h.text = m.data.data ? std::string((const char *)m.data.data, m.data.length) : text_of(m.message);
  h.groupid = m.groupid;
  h.origin = m.origin;
  std::lock_guard<std::mutex> guard(lock_);
  heard_.push_back(h);
  return answer;
}

int RecordingListener::onPresence(ZalvioPresence &p) {
  Heard h;
  h.kind = "presence";
  h.status = (int)p.activity;
  h.peer = text_of(p.peer);
  h.groupid = p.groupid;
  std::lock_guard<std::mutex> guard(lock_);
  heard_.push_back(h);
  return 0;
}

int RecordingListener::onConnectionStatus(int status) {
  Heard h;
  h.kind = "connection";
  h.status = status;
  std::lock_guard<std::mutex> guard(lock_);
  heard_.push_back(h);
  return 0;
}

int RecordingListener::onEndToEndEncryption(const char *peer, int status) {
  Heard h;
  h.kind = "e2e";
  h.status = status;
  h.peer = text_of(peer);
  std::lock_guard<std::mutex> guard(lock_);
  heard_.push_back(h);
  return 0;
}

std::vector<RecordingListener::Heard> RecordingListener::heard() {
  std::lock_guard<std::mutex> guard(lock_);
  return heard_;
}
