// A recording engine for the facade tests: the real core engine with the
// application-layer operations replaced by recorders, so that tests can
// see what the public objects ask of the engine (and feed rows back to the
// facade as a read would).
//
// The facade is a process-wide singleton; test_facade() creates it once per
// test process over a RecordingEngine, with HOME pointing at a private
// directory. Tests call engine().clear() first and leave no listener set.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "api/richmessage.h"
#include "api/zalvio.h"
#include "core/api.h"

struct RecordedSend {
  MessageParams p;
  std::string peer;
  bool has_peer;
  std::string data, message, title, subtitle, fileurl, filepath, thumbnail;
  bool has_message, has_title;
  uint16_t filetype;
  double lat, lon;
  uint32_t localflags;
};

struct RecordedForward {
  MessageParams p;
  std::string peer;
  uint64_t stored_id;
  int mark;
};

struct RecordedDelete {
  std::vector<uint64_t> ids;
  int tombstone, remote;
};

struct RecordedConversationDelete {
  uint64_t id;
  std::string peer;
  uint32_t gid;
  uint64_t until;
};

struct RecordedSessionCall {
  uint32_t id, flags;
  std::string peer;
  bool has_peer;
  uint32_t gid;
  void *listener;
};

struct RecordedActivity {
  MessageParams p;
  std::string peer;
  int type, value, interval;
};

class RecordingEngine : public CAPI {
 public:
  RecordingEngine(const char *path, uint32_t queue_size) : CAPI(path, queue_size) {}

  void clear();

  int register_listener(int channel, INotify *listener, int make_default) override;
  int send_rich_message(MessageParams *p, const char *peer, MessageBundle *bundle) override;
  int forward_message(MessageParams *p, const char *peer, uint64_t stored_id, int mark) override;
  int delete_messages_by_id(const uint64_t *ids, int count, int tombstone, int remote) override;
  int delete_conversation(uint64_t id, const char *peer, uint32_t gid, uint64_t until) override;
  int open_database(const char *path) override;
  int reset_database(uint32_t mask) override;
  int db_set_edit_window(int seconds, int mask) override;
  int db_resend_failed(uint64_t id) override;
  int db_create_read_session(uint32_t id, uint32_t flags, uint64_t tid, const char *peer,
                             uint32_t gid, const char *search, void *listener_data) override;
  int db_read_messages(uint32_t id, int count) override;
  int db_sync_from_server(uint32_t id, int count) override;
  uint64_t db_get_receipt_time(uint64_t id, const char *address, int read) override;
  int file_transfer_start(uint64_t id, uint32_t source, const char *url,
                          const char *post_data) override;
  int send_activity(MessageParams *p, const char *peer, int type, int value,
                    int interval) override;
  int fill_date(uint64_t ms, DateFields *out) override;
  int db_set_value(const char *name, const char *value) override;
  int db_get_value(const char *name, char **copy_out, INotify *listener) override;
  int db_delete_key(const char *name) override;
  int e2e_set_level(int level, int option) override;

  INotify *sink = nullptr;  // what the facade registered

  // Answers
  int send_result = 0;
  int open_result = 0;
  int rows_per_read = 0;

  // Records
  std::vector<RecordedSend> sends;
  std::vector<RecordedForward> forwards;
  std::vector<RecordedDelete> deletes;
  std::vector<RecordedConversationDelete> conversation_deletes;
  std::vector<std::string> opened;
  std::vector<uint32_t> resets;
  std::vector<uint64_t> resent;
  std::vector<RecordedSessionCall> session_calls;
  std::vector<uint32_t> open_sessions;
  std::vector<uint64_t> transfers;
  std::vector<RecordedActivity> activities;
  std::map<std::pair<std::string, int>, uint64_t> receipt_times;  // (member, read) -> ms
  int receipt_queries = 0;
  std::map<std::string, std::string> keys;
  std::vector<std::pair<int, int>> e2e_levels;  // (level, option)
  int edit_window = 1800;
  int edit_mask = 0xFFFF;

 private:
  std::map<uint32_t, void *> session_listener_;
  uint32_t next_session_ = 1;
};

// The facade of this test process, over a RecordingEngine.
Zalvio *test_facade();
RecordingEngine &engine();

// A listener that records what it hears.
class RecordingListener : public ZalvioListener {
 public:
  struct Heard {
    std::string kind;  // "message", "update", "status", "presence", "connection", "e2e"
    uint64_t id = 0;
    int status = 0;
    std::string peer;
    std::string text;
    uint32_t groupid = 0;
    int origin = 0;
  };

  int onMessage(ZalvioMessage &m) override { return note("message", m); }
  int onMessageUpdate(ZalvioMessage &m) override { return note("update", m); }
  int onMessageStatus(ZalvioMessage &m) override { return note("status", m); }
  int onPresence(ZalvioPresence &p) override;
  int onConnectionStatus(int status) override;
  int onEndToEndEncryption(const char *peer, int status) override;

  std::vector<Heard> heard();
  int answer = 0;

 private:
  int note(const char *kind, ZalvioMessage &m);
  std::mutex lock_;
  std::vector<Heard> heard_;
};
