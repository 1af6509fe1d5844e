// DBApp: the application layer over the core engine.
#include "app/app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "api/datetime.h"
#include "api/paths.h"
#include "api/richmessage.h"
#include "util/logs.h"
#include "util/mutex.h"
#include "util/random.h"
#include "util/time.h"

enum : uint64_t {
  FLAG_TOMBSTONE = 1ull << 57,
  FLAG_EDITED = 1ull << 43,
  FLAG_FILE_PRESENT = 1ull << 58,
};

enum : uint16_t {
  CONTROL_UID_OF_ADDRESS = 13,
  CONTROL_IGNORED = 31,
  CONTROL_MEMBER_RECORD = 41,
};

static const char kPlainPrefix[][4] = {"doc", "img", "vid", "aud"};

// ---- construction ---------------------------------------------------------

DBApp::DBApp(const char *path, uint32_t queue_size) : CAPI(path, queue_size), db(this) {
  CAPI::register_listener(CHANNEL_MESSAGE, this, 1);
  for (int ch = 1; ch <= (int)CHANNEL_APP_LAST; ch++) CAPI::register_listener(ch, this, 0);
  register_listener_internal(CHANNEL_TRANSIENT, this, 0);
  register_listener_internal(CHANNEL_SYSTEM, this, 0);
  read_sessions_init(&sessions_);
}

DBApp::~DBApp() {
  // The engine thread reports to this object: end it before the members go.
  if (thread_started) {
    stop();
    wait();
  }
  read_sessions_destroy(&sessions_);
}

extern "C" ZALVIO_EXPORT_APP IZalvio *query_zalvio(const char *path, uint32_t queue_size) {
  return new DBApp(path, queue_size);
}

// The application's listener; DBApp stays the core's listener of every
// application channel.
int DBApp::register_listener(int channel, INotify *listener, int make_default) {
  if (channel < 0 || channel >= (int)CHANNEL_PUBLIC_LIMIT) return -1;
  if (channel == CHANNEL_MESSAGE || make_default) app_listener = listener;
  return 0;
}

// ---- DbHost and the settings store -------------------------------------------

uint64_t DBApp::db_now_ms() { return wall_ms(); }
uint32_t DBApp::db_uid() { return uid; }
Paths *DBApp::db_paths() { return &paths; }

int DBApp::get_blob(const char *key, uint8_t **out, uint32_t *len) {
  *out = nullptr;
  *len = 0;
  int r = db.getKeyBinary(key, out, len);
  return r < 0 && *out == nullptr && !db.isOpen() ? -1 : 0;
}

int DBApp::set_blob(const char *key, const void *data, uint32_t len) {
  return db.setKeyBinary(key, data, len) > 0 ? 0 : -1;
}

int64_t DBApp::get_int(const char *key, int64_t dflt) { return (int64_t)db.getKeyInt(key, (uint64_t)dflt); }
int DBApp::delete_key(const char *key) { return db.deleteKey(key) < 0 ? -1 : 0; }

int DBApp::open_database(const char *path) {
  if (db.isOpen()) return 0;
  char file[4096];
  const char *name = path && *path ? path : "";
  if (db_user_path(name, paths_databases(&paths), uid, file, sizeof file) < 0) return -1;
  if (db.createDB(file) != 0) return -1;
  db.startupSweep();
  db.deleteTransient();
  if (uid) db.markSelf(uid);
  outbox_pending_ = db.countPendingMessages();
  prepare_settings();
  return 0;
}

int DBApp::reset_database(uint32_t mask) {
  if (!db.isOpen()) return -1;
  return db.resetDatabase(mask);
}

void DBApp::reset_store(uint32_t mask) { reset_database(mask); }

// One transaction per received or acknowledged bundle: its rows reach the
// disk together, before the acknowledgement leaves.
void DBApp::batch_begin() {
  if (!db.isOpen() || in_batch_) return;
  in_batch_ = db.executeSQL("begin") >= 0;
}

void DBApp::batch_end() {
  if (!in_batch_) return;
  in_batch_ = false;
  if (db.executeSQL("commit") < 0) db.executeSQL("rollback");
}

// ---- delivery to the application, deferred under the outbox lock -------------

void DBApp::deliver_message(MessageParams *p, const char *peer, const uint8_t *payload,
                            uint32_t len) {
  if (outbox_held_ && pthread_equal(outbox_owner_, pthread_self())) {
    MutexGuard guard(&deferred_lock_);
    deferred_.push_back({false, *p, peer ? peer : "", std::string((const char *)payload, len), 0});
    return;
  }
  // The facade routes a record carrying its own listener (read sessions).
  if (app_listener) app_listener->on_message(p, peer, payload, len);
}

void DBApp::deliver_status(MessageParams *p, const char *peer, int last) {
  if (outbox_held_ && pthread_equal(outbox_owner_, pthread_self())) {
    MutexGuard guard(&deferred_lock_);
    deferred_.push_back({true, *p, peer ? peer : "", std::string(), last});
    return;
  }
  if (app_listener) app_listener->on_message_status(p, peer, last);
}

void DBApp::flush_deferred() {
  std::vector<Deferred> todo;
  {
    MutexGuard guard(&deferred_lock_);
    todo.swap(deferred_);
  }
  for (Deferred &d : todo) {
    if (d.is_status)
      deliver_status(&d.p, d.peer.c_str(), d.last);
    else
      deliver_message(&d.p, d.peer.c_str(), (const uint8_t *)d.payload.data(),
                      (uint32_t)d.payload.size());
  }
}

DBApp::OutboxGuard::OutboxGuard(DBApp *app) : app_(app) {
  pthread_mutex_lock(&app_->outbox_lock_);
  app_->outbox_owner_ = pthread_self();
  app_->outbox_held_ = true;
}

DBApp::OutboxGuard::~OutboxGuard() {
  app_->outbox_held_ = false;
  pthread_mutex_unlock(&app_->outbox_lock_);
  app_->flush_deferred();
}

// ---- sending ----------------------------------------------------------------

static bool is_local_status(uint16_t s) {
  return s == MSG_STATUS_CALL_MISSED || s == MSG_STATUS_CALL_INCOMING ||
         s == MSG_STATUS_CALL_OUTGOING || s == MSG_STATUS_CUSTOM1 || s == MSG_STATUS_CUSTOM2;
}

void DBApp::remember_send(const MessageParams &p, const char *peer) {
  MutexGuard guard(&recent_lock_);
  RecentSend *slot = nullptr;
  for (RecentSend &r : recent_)
    if (!slot && !r.id) slot = &r;
  for (RecentSend &r : recent_)
    if (!slot || r.time_ms < slot->time_ms) slot = slot && !slot->id ? slot : &r;
  slot->id = (uint32_t)p.id;
  slot->gid = p.groupid;
  slot->time_ms = wall_ms();
  slot->expected = (uint8_t)(((p.flags & MSG_FLAG_DELIVERY_RECEIPT) ? 1 : 0) |
                             ((p.flags & MSG_FLAG_READ_RECEIPT) ? 2 : 0));
  snprintf(slot->address, sizeof slot->address, "%s", peer ? peer : "");
}

RecentSend *DBApp::find_recent(uint32_t id) {
  for (RecentSend &r : recent_)
    if (r.id && r.id == id) return &r;
  return nullptr;
}

int DBApp::message(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) {
  if (!p || !payload || !len) return SEND_BAD_ARGS;
  // A local-only message of the application is stored and shown, never
  // sent: the outbox skips rows marked echo-only. (Bit 56 alone is also
  // how messages are held for the outbox below.)
  if (p->flags & MSG_FLAG_LOCAL_ONLY) p->flags |= MSG_FLAG_ECHO_ONLY;
  if (p->groupid) peer = nullptr;
  if (is_local_status(p->status)) return save_local_message(p, peer, payload, len);
  if (p->id && (p->flags & MSG_FLAG_BROADCAST_SYSTEM) &&
      (p->flags & (MSG_FLAG_DELIVERY_RECEIPT | MSG_FLAG_READ_RECEIPT)))
    remember_send(*p, peer);

  int r;
  bool queued_behind;
  {
    OutboxGuard lock(this);
    // Earlier messages still wait in the outbox: this one is stored and
    // leaves after them, in order.
    queued_behind = outbox_pending_ > 0 && db.isOpen() && !(p->flags & MSG_FLAG_SYSTEM);
    if (queued_behind) p->flags |= MSG_FLAG_LOCAL_ONLY;
    p->saved = 0;
    r = CAPI::message(p, peer, payload, len);
    if (queued_behind) {
      r = p->saved ? SEND_OK : r;
    } else if (r == SEND_OK && p->id) {
      MutexGuard guard(&recent_lock_);
      in_core_.insert(p->id);
    } else if (r != SEND_BAD_ARGS && p->saved) {
      // Stored by the local echo: the outbox sends it later.
      outbox_pending_ = 1;
      r = SEND_OK;
    }
  }
  // While connected nothing else may come to push the outbox along.
  if (queued_behind && logged_in.load()) resend_pending();
  return r;
}

int DBApp::save_local_message(MessageParams *p, const char *peer, const uint8_t *payload,
                              uint32_t len) {
  if (!db.isOpen() || !p) return -1;
  if (!p->id) p->id = random_id();
  if (!p->when) p->when = wall_ms();
  static const uint8_t blank = ' ';
  if (!payload || !len) {
    payload = &blank;
    len = 1;
    p->flags &= ~(uint64_t)MSG_FLAG_RICH;
  }
  p->saved = 0;
  int r = db.saveMessage(p, peer ? peer : "", payload, len);
  if (!(p->flags & MSG_FLAG_NO_ECHO)) deliver_message(p, peer ? peer : "", payload, len);
  return r;
}

static bool has_text(const char *s) { return s && *s; }

// The message object's send. Until attachments join the flow, the two forms
// that need none are sent: a raw body as given, and a bundle holding
// nothing but text as a plain message. A bundle with a title, a file, a
// link, a thumbnail or a location is refused rather than sent without them.
int DBApp::send_rich_message(MessageParams *p, const char *peer, MessageBundle *b) {
  if (!p || !b) return -1;
  if (p->groupid) peer = nullptr;
  p->when = wall_ms();
  if (p->flags & MSG_FLAG_LOCAL_ONLY) {
    if (!p->status) p->status = MSG_STATUS_CUSTOM1;
  } else {
    p->origin = 0;
    p->status = MSG_STATUS_OUTBOX;
    p->thumbnail = nullptr;
    p->thumbnail_len = 0;
    p->filepath = nullptr;
  }
  if (b->data && b->datalen) return message(p, peer, b->data, b->datalen);
  if (has_text(b->title) || has_text(b->subtitle) || has_text(b->footer) ||
      has_text(b->filepath) || has_text(b->fileurl) || b->thumbnail_len ||
      rich_location_valid(b->lat, b->lon))
    return -1;
  if (!has_text(b->message)) return SEND_BAD_ARGS;
  return message(p, peer, (const uint8_t *)b->message, (uint32_t)strlen(b->message));
}

uint32_t DBApp::random_id() { return db.isOpen() ? db.newMessageId() : CAPI::random_id(); }

// Sends the outbox, oldest first. A refused row is marked failed and the
// resend goes on; a full or busy queue, or a stop, ends it for now.
int DBApp::resend_pending() {
  if (!db.isOpen()) return 0;
  OutboxGuard lock(this);
  outbox_started_ = true;
  // Expiring looks at every waiting row: once a minute is enough.
  uint64_t now = wall_ms();
  if (now - last_expire_ms_ > 60000) {
    db.expireOutbox();
    last_expire_ms_ = now;
  }
  outbox_stopped_ = false;
  int n = read_pending(&db, this, &resend_cursor_);
  // Everything pending is now with the core (or was marked failed), unless
  // the core stopped taking messages half way.
  if (!outbox_stopped_) outbox_pending_ = 0;
  if (n > 0) notify_send();
  return n < 0 ? -1 : 0;
}

int DBApp::resend_one(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) {
  if (p->flags & MSG_FLAG_ECHO_ONLY) return 0;
  // Already handed to the core in this run: it leaves with its bundle.
  {
    MutexGuard guard(&recent_lock_);
    if (in_core_.count(p->id)) return 0;
  }
  uint64_t now = wall_ms();
  uint64_t elapsed_s = now > p->when ? (now - p->when) / 1000 : 0;
  p->expiry = elapsed_s >= p->expiry ? 0 : p->expiry - (uint32_t)elapsed_s;
  p->flags |= MSG_FLAG_NO_WAKE;
  p->flags &= ~(uint64_t)MSG_FLAG_LOCAL_ONLY;
  p->origin = ORIGIN_OUTBOX_RESEND;
  p->saved = 1;
  if (p->groupid) peer = nullptr;
  int r = CAPI::message(p, peer, payload, len);
  if (r == SEND_OK) {
    MutexGuard guard(&recent_lock_);
    in_core_.insert(p->id);
    return 0;
  }
  if (r == SEND_BAD_ARGS || r == SEND_E2E_FAILED) {
    // This one can never leave: mark it failed and go on with the rest.
    db.updateStatus(p->id, r | MSG_STATUS_FAILED_BIT, peer, p->groupid, 0);
    MessageParams report = *p;
    report.status = (uint16_t)(r | MSG_STATUS_FAILED_BIT);
    report.origin = ORIGIN_REALTIME;
    deliver_status(&report, peer ? peer : "", 1);
    return 0;
  }
  notify_send();
  outbox_stopped_ = true;
  return -1;  // 155, 157, 158: stop here, the rest waits for the next turn
}

// Rows went back into the outbox behind the resend's position: read it
// from the start again (what the core already holds is skipped).
void DBApp::restart_outbox() {
  OutboxGuard lock(this);
  resend_cursor_ = PendingCursor{};
  outbox_pending_ = 1;
}

int DBApp::send_control(uint16_t type, uint32_t to_uid, const char *peer, uint32_t gid,
                        const uint8_t *payload, uint32_t len) {
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.channel = CHANNEL_SYSTEM;
  p.type = type;
  p.id = random_id();
  p.expiry = CONTROL_EXPIRY;
  p.flags = MSG_FLAG_NO_ECHO | MSG_FLAG_SYSTEM;
  p.groupid = gid;
  p.uid = to_uid;
  if (!peer && !gid && !to_uid) p.uid = get_server_uid() ? get_server_uid() : uid;
  return message(&p, peer, payload, len);
}

// ---- receiving --------------------------------------------------------------

// Conversations are keyed "g<gid>" or by the peer's address.
static std::string conversation_key(uint32_t gid, const char *peer) {
  return gid ? "g" + std::to_string(gid) : std::string(peer ? peer : "");
}

bool DBApp::edit_allowed(const MessageParams &p) {
  if (!db.isOpen() || !edit_window_s_ || !(edit_mask_ & EDIT_MASK_EDITS)) return false;
  uint64_t original = db.getMessageTime(p.id);
  if (!original) return false;
  // The edit's own time counts, so an edit delivered late after an offline
  // period is not lost.
  return p.when >= original && p.when - original <= (uint64_t)edit_window_s_ * 1000;
}

int DBApp::store_incoming(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) {
  if (!db.isOpen() || !p->id || (p->flags & (MSG_FLAG_BROADCAST_SYSTEM | MSG_FLAG_BROADCAST_KIND)))
    return 0;
  MessageParams stored = *p;
  if (stored.status == MSG_STATUS_UNREAD || stored.status == MSG_STATUS_RECEIVED_READ) {
    uint64_t elapsed = wall_ms() > p->when ? (wall_ms() - p->when) / 1000 : 0;
    // Ages of 0 are "not set" and never compared.
    if (stored.agesent) stored.agesent = elapsed < stored.agesent ? stored.agesent - (uint32_t)elapsed : 1;
    if (stored.agerecv && (!stored.agesent || stored.agerecv < stored.agesent)) stored.agesent = stored.agerecv;
  }
  // Someone is looking at the conversation: it is stored as read, and
  // still delivered as unread.
  if (stored.status == MSG_STATUS_UNREAD && conversation_open(p->groupid, peer)) {
    stored.status = MSG_STATUS_RECEIVED_READ;
    if (stored.ageread && (!stored.agesent || stored.ageread < stored.agesent)) stored.agesent = stored.ageread;
  }
  // An edit keeps the row, and its time, of the message it replaces.
  if (!(p->flags & MSG_FLAG_ID32)) p->when = stored.when = next_row_time(p->groupid, peer, p->when);
  stored.saved = 0;
  int r = db.saveMessage(&stored, peer ? peer : "", payload, len);
  p->saved = stored.saved;
  return r;
}

// A conversation reads back by time, and rows of the same millisecond by
// id, which is random. Messages that arrive in one bundle share their
// millisecond (their age on the wire is whole seconds), and so do sends
// in a burst: each live row is kept a millisecond after the one stored
// before it in its conversation, so the order of arrival or sending is
// the order read back. Only ties within the second are moved; a clearly
// older time stands.
uint64_t DBApp::next_row_time(uint32_t gid, const char *peer, uint64_t when) {
  static const uint64_t TIE_WINDOW_MS = 1000;
  static const size_t CONVERSATIONS_KEPT = 4096;
  MutexGuard guard(&row_time_lock_);
  if (row_times_.size() > CONVERSATIONS_KEPT) row_times_.clear();
  uint64_t &last = row_times_[conversation_key(gid, peer)];
  if (when <= last && last - when < TIE_WINDOW_MS) when = last + 1;
  if (when > last) last = when;
  return when;
}

int DBApp::on_message(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) {
  if (p->flags & FLAG_TOMBSTONE) p->flags &= ~(uint64_t)MSG_FLAG_RICH;

  // Rows of a synchronisation batch are stored and the session told.
  if (p->syncid) {
    if (db.isOpen() && len) {
      MessageParams stored = *p;
      stored.saved = 0;
      // A row's syncref is its time at the service in ms; the age it also
      // carries is whole seconds, which would reorder close messages.
      if (stored.syncref && stored.syncref <= wall_ms() + MAX_CLOCK_AHEAD_MS) stored.when = stored.syncref;
      // What the user sent to a group is kept without a sender, as its
      // local echo is.
      bool sent = stored.status != MSG_STATUS_UNREAD && stored.status != MSG_STATUS_RECEIVED_READ;
      const char *who = stored.groupid && sent ? "" : peer ? peer : "";
      if (!db.messageExists(stored.id)) db.saveMessage(&stored, who, payload, len);
    }
    if (p->flags & READ_FLAG_LAST) {
      if (read_session_sync_done(&sessions_, (uint32_t)p->syncid, p->syncext, p->flags) && app_listener)
        app_listener->on_sync_done(p->syncid, p->syncext, (uint32_t)p->flags);
    }
    return 0;
  }

  if (p->origin == ORIGIN_OUTBOX_RESEND) return resend_one(p, peer, payload, len);

  // A realtime outgoing message: the local echo of a send, stored in the
  // outbox with status 0 and not reported back.
  if (p->origin == ORIGIN_REALTIME && p->status == MSG_STATUS_OUTBOX) {
    if (db.isOpen() && p->id && !(p->flags & MSG_FLAG_SYSTEM) && !p->saved) {
      p->when = next_row_time(p->groupid, peer, p->when);
      int r = db.saveMessage(p, peer ? peer : "", payload, len);
      p->saved = r == 0 ? 1 : 0;
    }
    return 0;
  }

  bool realtime_unread = p->origin == ORIGIN_REALTIME && p->status == MSG_STATUS_UNREAD;
  if (realtime_unread) {
    last_unread_ms_ = p->when;
    if (p->agesent && wall_ms() > p->when && (wall_ms() - p->when) / 1000 > p->agesent) return 0;
    if (p->flags & MSG_FLAG_SYSTEM) return on_system_message(p, peer, payload, len);
    // The same message again (a resent bundle, a second device): once only.
    if (db.isOpen() && p->id && db.messageExists(p->id) && !(p->flags & MSG_FLAG_ID32)) return 0;
    if ((p->flags & MSG_FLAG_ID32) && p->id) {
      if (!edit_allowed(*p)) return 0;
      p->flags |= FLAG_EDITED;
    }
  }
  if (p->status == MSG_STATUS_SUPPRESSED &&
      (p->origin == ORIGIN_SESSION_READ || p->origin == ORIGIN_SUMMARY_READ)) {
    p->status = app_status_ == STATUS_ONLINE ? MSG_STATUS_SENT : MSG_STATUS_OUTBOX;
    fake_status_pending_ = true;
  }
  if (realtime_unread && p->channel == CHANNEL_TRANSIENT && p->refid) return 0;  // a receipt record

  // A rich payload that does not decode is dropped here, with its origin,
  // status and length in the log.
  bool outgoing_live = p->origin == ORIGIN_REALTIME && p->status == MSG_STATUS_OUTBOX;
  if ((p->flags & MSG_FLAG_RICH) && !outgoing_live) {
    MessageBundle bundle;
    if (rich_decode(payload, len, &bundle) != 0) {
      LOGE("rich decode failed: o %u s %u len %d", p->origin, p->status, (int)len);
      return 0;
    }
  }

  if (p->origin == ORIGIN_REALTIME) store_incoming(p, peer, payload, len);

  if (!app_listener) return 0;
  if (p->when > wall_ms() + MAX_CLOCK_AHEAD_MS) {
    LOGE("*** BUG *** `when` has bad value: %lu", (unsigned long)p->when);
    p->when = wall_ms();
  }
  bool deliverable = (app_channel(p->channel) || p->channel == CHANNEL_GROUPCALL ||
                      p->origin == ORIGIN_SUMMARY_READ) &&
                     !(p->flags & MSG_FLAG_SYSTEM);
  if (deliverable) deliver_message(p, peer, payload, len);
  return 0;
}

int DBApp::on_message_status(MessageParams *p, const char *peer, int last) {
  if (!p->id) return 0;
  if (p->status != MSG_STATUS_OUTBOX) {
    MutexGuard guard(&recent_lock_);
    in_core_.erase(p->id);
  }
  char address[RECENT_ADDRESS_MAX] = {};
  if (peer) snprintf(address, sizeof address, "%s", peer);
  bool from_recent = false;
  bool free_recent = false;
  if (p->status != MSG_STATUS_OUTBOX && p->status != MSG_STATUS_SENT) {
    MutexGuard guard(&recent_lock_);
    RecentSend *r = find_recent((uint32_t)p->id);
    if (r) {
      from_recent = true;
      if (!p->groupid) p->groupid = r->gid;
      if (!address[0]) snprintf(address, sizeof address, "%s", r->address);
      r->time_ms = wall_ms();
      if (p->status == MSG_STATUS_DELIVERED) r->expected &= (uint8_t)~1;
      if (p->status == MSG_STATUS_READ) r->expected &= (uint8_t)~3;
      free_recent = r->expected == 0;
      if (free_recent) memset(r, 0, sizeof *r);
    }
  }
  (void)free_recent;
  if (db.isOpen()) {
    db.updateStatus(p->id, p->status, address[0] ? address : nullptr, p->groupid, p->when);
    if (p->status == MSG_STATUS_SENT && p->channel == CHANNEL_TRANSIENT &&
        ++housekeeping_ % HOUSEKEEPING_EVERY == 0)
      db.deleteTransient();
    if (p->status == MSG_STATUS_UNKNOWN_PEER && address[0]) db.resetUidTimestamps(address);
  }
  (void)from_recent;
  if (app_channel(p->channel)) {
    p->origin = ORIGIN_REALTIME;
    deliver_status(p, address, last);
  }
  return 0;
}

int DBApp::on_system_message(MessageParams *p, const char *peer, const uint8_t *payload,
                             uint32_t len) {
  switch (p->type) {
    case CONTROL_UID_OF_ADDRESS:
      set_peer_uid((uint32_t)p->aux64, peer);
      return 0;
    case CONTROL_IGNORED:
      return 0;
    case CONTROL_MEMBER_RECORD:
      return db.isOpen() ? group_member_record(&db, this, app_listener, p->when, payload, len) : 0;
    default:
      // Receipts, presence, profiles, deletion and attachments are served
      // by their own modules; this engine has none of them yet.
      LOGD("unhandled control record: type %u from %s", p->type, peer ? peer : "");
      return 0;
  }
}

int DBApp::on_user_info(uint32_t who, const char *address, PeerEntry *out) {
  if (!db.isOpen()) return -1;
  UserInfo info;
  memset(&info, 0, sizeof info);
  int r = contact_user_info(&db, this, who, address, &info);
  if (out) {
    if (info.uid && !out->uid) out->uid = info.uid;
    if (info.address) {
      // The core copies the address before this buffer is reused.
      static thread_local char text[RECENT_ADDRESS_MAX];
      snprintf(text, sizeof text, "%s", info.address);
      out->address = text;
    }
  }
  free(info.address);
  return r > 0 ? 0 : -1;
}

int DBApp::on_group_created(GroupEntry *group) {
  if (db.isOpen() && group) group->members = (uint32_t)db.countMembers(group->gid);
  return 0;
}

int DBApp::on_status(int status, uint32_t detail, uint32_t a, uint32_t b) {
  if (status != STATUS_SENT) app_status_ = status;
  if (status == STATUS_ONLINE) {
    online_since_ms_ = wall_ms();
    // Every time, not only the first: a connection may come back with rows
    // waiting and nothing else to push them along.
    if (outbox_pending_) resend_pending();
  }
  if (status == STATUS_SENT) {
    if (outbox_pending_) resend_pending();
    return 0;
  }
  if (app_listener) app_listener->on_status(status, detail, a & 0xFF, b);
  return 0;
}

int DBApp::on_e2e_status(const char *address, int state) {
  if (app_listener) return app_listener->on_e2e_status(address, state);
  return 0;
}

int DBApp::on_thumbnail_request(int file_type, const char *path, ThumbImage *out) {
  return app_listener ? app_listener->on_thumbnail_request(file_type, path, out) : -1;
}

int DBApp::on_call(uint32_t u, uint32_t callid, uint32_t status, const char *text, uint32_t len,
                   uint64_t flags, uint64_t info1, uint64_t info2, uint32_t reserved) {
  return app_listener ? app_listener->on_call(u, callid, status, text, len, flags, info1, info2, reserved)
                      : 0;
}

int DBApp::on_participant(uint32_t u, uint32_t stream, const char *address, const char *name,
                          uint32_t flags, uint32_t media) {
  return app_listener ? app_listener->on_participant(u, stream, address, name, flags, media) : 0;
}

int DBApp::on_conf(uint32_t subject, uint32_t detail, uint16_t event, uint32_t a, uint32_t b,
                   uint32_t c, uint32_t d, uint32_t e, const char *text_a, const char *text_b,
                   uint32_t f) {
  return app_listener ? app_listener->on_conf(subject, detail, event, a, b, c, d, e, text_a, text_b, f)
                      : 0;
}

int DBApp::on_call_server(int kind, const char *url, const char *username, const char *credential) {
  return app_listener ? app_listener->on_call_server(kind, url, username, credential) : 0;
}

// ---- database operations -----------------------------------------------------

uint64_t DBApp::db_get_int_value(const char *name, uint64_t def) {
  return db.isOpen() ? db.getKeyInt(name, def) : def;
}

int DBApp::db_set_int_value(const char *name, uint64_t value) {
  return db.isOpen() ? db.setKeyInt(name, value) : -1;
}

int DBApp::db_get_value(const char *name, char **copy_out, INotify *listener) {
  return db.isOpen() ? db.getKey(name, copy_out, listener) : -1;
}

int DBApp::db_set_value(const char *name, const char *value) {
  return db.isOpen() ? db.setKey(name, value) : -1;
}

int DBApp::db_get_binary_value(const char *name, uint8_t **out, uint32_t *len) {
  return db.isOpen() ? db.getKeyBinary(name, out, len) : -1;
}

int DBApp::db_set_binary_value(const char *name, const void *data, uint32_t len) {
  return db.isOpen() ? db.setKeyBinary(name, data, len) : -1;
}

int DBApp::db_delete_key(const char *name) { return db.isOpen() ? db.deleteKey(name) : -1; }

int DBApp::db_backup_restore(const char *path, int backup) {
  return db.isOpen() ? db.backup_restore(path, backup != 0) : -1;
}

int DBApp::db_resend_failed(uint64_t id) {
  if (!db.isOpen()) return -1;
  if (db.resetFailedStatus(id) != 1) return -1;
  restart_outbox();
  return resend_pending();
}

int DBApp::db_resend_recent(const char *peer, uint64_t id) {
  if (!db.isOpen()) return -1;
  if (db.set_status_pending_all_forced(peer, id, 32) < 0) return -1;
  restart_outbox();
  return resend_pending();
}

int DBApp::db_change_message_flags(uint64_t id, uint64_t flags) {
  if (!db.isOpen()) return -1;
  if (db.setMessageFlags(id, flags, MSG_FLAG_ECHO_ONLY) != 1) return -1;
  restart_outbox();
  return resend_pending();
}

int DBApp::db_replace_status(int old_status, int new_status) {
  return db.isOpen() ? db.replaceStatus(old_status, new_status) : -1;
}

int DBApp::db_mark_read(uint32_t gid, const char *peer, uint64_t from, uint64_t to) {
  return db.isOpen() ? db.markRead(gid, peer, from, to) : -1;
}

int DBApp::db_delete_messages(int channel, int type, const char *peer, uint32_t gid, int status,
                              uint64_t until) {
  return db.isOpen() ? db.deleteMessages(channel, type, peer, gid, status, until) : -1;
}

int DBApp::db_set_edit_window(int seconds, int mask) {
  if (seconds >= 0) edit_window_s_ = (uint32_t)seconds;
  if (mask >= 0) edit_mask_ = (uint32_t)mask;
  return (int)edit_window_s_;
}

int DBApp::db_set_contact_autosync(int on) {
  contact_autosync_ = on;
  return 0;
}

int DBApp::db_create_read_session(uint32_t id, uint32_t flags, uint64_t tid, const char *peer,
                                  uint32_t gid, const char *search, void *listener_data) {
  if (!db.isOpen()) return -1;
  return read_session_create(&sessions_, &db, this, id, flags, tid, peer, gid, search,
                             (INotify *)listener_data);
}

int DBApp::db_read_messages(uint32_t id, int count) {
  if (!db.isOpen()) return -1;
  int n = read_session_read(&sessions_, &db, this, this, id, count);
  if (fake_status_pending_ && app_status_ == STATUS_ONLINE) {
    db.replaceStatus(MSG_STATUS_SUPPRESSED, MSG_STATUS_SENT);
    fake_status_pending_ = false;
  }
  return n;
}

int DBApp::db_sync_from_server(uint32_t id, int count) {
  return db.isOpen() ? read_session_sync(&sessions_, &db, this, id, count) : -1;
}

int DBApp::db_count_messages(uint32_t id, int selector) {
  return db.isOpen() ? read_session_count(&sessions_, &db, id, selector) : -1;
}

int DBApp::db_count_conversation_messages(uint32_t gid, const char *peer, uint64_t tid, int selector) {
  return db.isOpen() ? read_count_conversation(&db, gid, peer, tid, selector) : -1;
}

int DBApp::db_count_pending_messages() { return db.isOpen() ? db.countPendingMessages() : -1; }

uint32_t DBApp::db_get_uid(const char *address) {
  uint32_t found = 0, udts = 0;
  if (db.isOpen() && address) db.getUid(address, &found, &udts);
  return found;
}

int DBApp::db_get_address(uint32_t who, char *out, int cap) {
  if (!db.isOpen() || !out || cap <= 0) return -1;
  uint32_t udts = 0;
  char *found = db.getAddress(who, &udts);
  if (!found) return -1;
  int n = snprintf(out, (size_t)cap, "%s", found);
  free(found);
  return n < cap ? n : -1;
}

int DBApp::db_set_contact(ContactRecord *contact) {
  return db.isOpen() && contact ? set_contact(&db, this, contact, app_listener) : -1;
}

ContactRecord *DBApp::db_get_contact(const char *address, uint32_t gid, int self, int server_profile) {
  return db.isOpen() ? db.getContact(address, gid, self != 0, server_profile != 0) : nullptr;
}

int DBApp::db_read_contacts(const char *address, uint32_t gid, int limit, uint32_t flags,
                            INotify *listener) {
  if (!db.isOpen()) return -1;
  return db.readContact(address, gid, limit, flags, listener ? listener : app_listener);
}

int DBApp::db_clear_profile(const char *address, uint32_t gid, int what) {
  return db.isOpen() ? db.clearProfile(address, gid, what) : -1;
}

int DBApp::db_set_contact_flags(const char *address, uint32_t gid, uint32_t set, uint32_t clear) {
  return db.isOpen() ? db.setContactFlags(address, gid, set, clear) : -1;
}

int DBApp::db_get_members(uint32_t gid, uint32_t first_id, int limit) {
  return db.isOpen() ? get_members(&db, this, gid, first_id, limit, app_listener) : -1;
}

uint32_t DBApp::db_get_group_flags(uint32_t gid) { return db.isOpen() ? db.getGroupFlags(gid) : 0; }

int DBApp::save_value(const char *name, const char *value) {
  if (!db.isOpen() || !name) return -1;
  return value ? db.setKey(name, value) : db.deleteKey(name);
}

int DBApp::load_value(const char *name, char **out) {
  if (!db.isOpen() || !name || !out) return -1;
  return db.getKey(name, out, nullptr);
}

// ---- what the reader needs --------------------------------------------------------

// The map only grows, so a pointer handed out stays valid.
SessionCounters *DBApp::read_counters(uint32_t gid, const char *peer) {
  MutexGuard guard(&sessions_.counter_lock);
  return &counters_[conversation_key(gid, peer)];
}

bool DBApp::conversation_open(uint32_t gid, const char *peer) {
  MutexGuard guard(&sessions_.counter_lock);
  auto it = counters_.find(conversation_key(gid, peer));
  if (it == counters_.end() || it->second.open == 0) return false;
  const SessionCounters &c = it->second;
  return c.receipts == 0 || (c.active > 0 && foreground);
}
void DBApp::read_receipt_owed(uint32_t, const char *) {}
void DBApp::read_presence_reset(const char *) {}
void DBApp::read_presence_query(const char *) {}
bool DBApp::read_sync_enabled() { return !logged_in.load() || (settings.login_flags & (1u << 12)); }

int DBApp::read_send_control(MessageParams *p, const char *peer, const uint8_t *payload, uint32_t len) {
  p->channel = CHANNEL_SYSTEM;
  p->id = random_id();
  p->expiry = CONTROL_EXPIRY;
  p->flags |= MSG_FLAG_NO_ECHO | MSG_FLAG_SYSTEM;
  if (!peer && !p->groupid && !p->uid) p->uid = get_server_uid() ? get_server_uid() : uid;
  return message(p, peer, payload, len) == SEND_OK ? 0 : -1;
}

// ---- attachment file names ------------------------------------------------------

static bool good_extension(const char *ext) {
  if (!ext) return false;
  size_t n = strlen(ext);
  if (n == 0 || n > 8) return false;
  for (size_t i = 0; i < n; i++)
    if (!isalnum((unsigned char)ext[i])) return false;
  return true;
}

int DBApp::auto_file_name(int file_type, const char *extension, bool outgoing, char *out, size_t cap) {
  const char *dir = paths_media_folder(&paths, file_type, true, outgoing);
  if (!dir || !out || cap == 0) return -1;
  const char *ext = good_extension(extension) ? extension : "bin";
  const char *prefix = kPlainPrefix[file_type >= 1 && file_type <= 3 ? file_type : 0];
  uint64_t ms = wall_ms();
  time_t secs = (time_t)(ms / 1000);
  struct tm tm;
  localtime_r(&secs, &tm);
  for (int attempt = 0; attempt < 1000; attempt++) {
    char suffix[16] = "";
    if (attempt) snprintf(suffix, sizeof suffix, "-%d", attempt);
    int n = snprintf(out, cap, "%s/%s-%02d%02d%02d-%02d%02d%02d-%03u%s.%s", dir, prefix,
                     tm.tm_year - 100, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     (unsigned)(ms % 1000), suffix, ext);
    if (n < 0 || (size_t)n >= cap) return -1;
    int fd = open(out, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, PATHS_FILE_MODE);
    if (fd >= 0) {
      close(fd);
      return n;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

int DBApp::fill_date(uint64_t ms, DateFields *out) { return date_fields_fill(ms, now_ms(), out); }
