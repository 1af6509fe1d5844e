// Routing, delivery and the offline store's drain: see relay.h.
#include "service/relay.h"

#include <algorithm>

#include "core/params.h"
#include "service/server.h"
#include "util/logs.h"
#include "util/time.h"

const char RELAY_SERVICE_ADDRESS[] = "1";

enum : uint16_t {
  PUSH_TOKEN_TYPE = 10,       // push registration records
  PUSH_TOKEN_VOIP_TYPE = 11,
};

// Serial comparison of data frame params: a is at or after b.
static bool param_reached(uint32_t a, uint32_t b) { return (int32_t)(a - b) >= 0; }

int Relay::open(sqlite3 *db, uint32_t default_expiry_s, uint32_t history) {
  default_expiry_s_ = default_expiry_s;
  if (store_.open(db) != 0 || store_.loadGroups(&groups_) != 0 ||
      store_.loadSequences(&sequences_) != 0 || history_.open(db, history) != 0)
    return -1;
  return 0;
}

void Relay::close() {
  if (sequences_dirty_ && store_.saveSequences(sequences_) == 0) sequences_dirty_ = false;
  history_.close();
  store_.close();
}

uint32_t Relay::next_param() {
  if (++next_param_ == 0) next_param_ = 1;
  return next_param_;
}

bool Relay::last_sequence(uint32_t uid, uint32_t installation, uint16_t *seq) const {
  auto it = sequences_.find({uid, installation});
  if (it == sequences_.end()) return false;
  *seq = it->second;
  return true;
}

void Relay::set_last_sequence(uint32_t uid, uint32_t installation, uint16_t seq) {
  sequences_[{uid, installation}] = seq;
  sequences_dirty_ = true;
}

// ---- registry lookups -----------------------------------------------------

uint32_t Relay::uid_of(const std::string &address) {
  auto it = uid_of_.find(address);
  if (it != uid_of_.end()) return it->second;
  uint32_t uid = s_->registry().findUid(address);
  if (uid) uid_of_[address] = uid;  // unknown ones are asked again: a mint may add them
  return uid;
}

const std::string &Relay::address_of(uint32_t uid) {
  static const std::string none;
  auto it = address_of_.find(uid);
  if (it != address_of_.end()) return it->second;
  std::string address = s_->registry().findAddress(uid);
  if (address.empty()) return none;
  return address_of_[uid] = address;
}

// ---- groups ---------------------------------------------------------------

int Relay::add_members(uint32_t gid, const std::vector<uint32_t> &members) {
  if (store_.addMembers(gid, members) != 0) return -1;
  std::vector<uint32_t> &m = groups_[gid];
  m.insert(m.end(), members.begin(), members.end());
  std::sort(m.begin(), m.end());
  m.erase(std::unique(m.begin(), m.end()), m.end());
  return 0;
}

int Relay::remove_members(uint32_t gid, const std::vector<uint32_t> &members) {
  auto g = groups_.find(gid);
  if (g == groups_.end() || store_.removeMembers(gid, members) != 0) return -1;
  for (uint32_t uid : members)
    g->second.erase(std::remove(g->second.begin(), g->second.end(), uid), g->second.end());
  return 0;
}

int Relay::delete_group(uint32_t gid) {
  if (!groups_.count(gid) || store_.deleteGroup(gid) != 0) return -1;
  groups_.erase(gid);
  return 0;
}

// ---- routing --------------------------------------------------------------

Relay::DeliveryRef Relay::make(uint32_t to, const ClientRecord &r, std::string items,
                               uint32_t report_to, uint64_t now_ms) {
  DeliveryRef d = std::make_shared<Delivery>();
  StoredRow &row = d->row;
  row.id = 0;
  row.uid = to;
  row.report_to = report_to;
  row.mid = r.id;
  row.gid = r.groupid;
  row.channel = r.channel;
  row.type = r.type;
  row.flags = r.flags;
  row.received_ms = now_ms;
  row.deadline_s = now_ms / 1000 + (r.has_expiry ? r.expiry : default_expiry_s_);
  row.items = std::move(items);
  return d;
}

void Relay::report(uint32_t to, const ReportFields &fields, uint64_t flags, Conn *only,
                   uint64_t now_ms) {
  DeliveryRef d = std::make_shared<Delivery>();
  StoredRow &row = d->row;
  row.id = 0;
  row.uid = to;
  row.report_to = 0;  // nobody hears about a report's delivery
  row.mid = fields.id;
  row.gid = fields.groupid;
  row.channel = fields.channel;
  row.type = fields.type;
  row.flags = flags;
  row.received_ms = now_ms;
  row.deadline_s = now_ms / 1000 + default_expiry_s_;
  row.items = report_items(fields);
  d->transient = only != nullptr;
  out_.push_back(Outgoing{d, only, nullptr});
  stats_.reports++;
}

void Relay::report_delivered(const Delivery &d, const Conn *by, uint64_t now_ms) {
  if (!d.row.report_to) return;
  uint32_t sender = d.row.report_to;
  uint64_t conv = d.row.gid ? history_group(d.row.gid) : history_pair(sender, d.row.uid);
  history_.set_status(conv, sender, d.row.mid, HISTORY_DELIVERED, HISTORY_SENT, HISTORY_SENT);
  ReportFields fields{RELAY_STATUS_DELIVERED, d.row.mid, by->uid, by->address,
                  d.row.gid, d.row.channel, d.row.type};
  report(d.row.report_to, fields, 0, nullptr, now_ms);
}

// A record that cannot reach anyone: its sender hears why, about the
// destination it wrote, so its engine resolves the report like the message.
// Group failures name the sender itself: the group is what failed.
void Relay::fail(Conn *c, const ClientRecord &r, uint16_t status, uint64_t now_ms) {
  stats_.unroutable++;
  if (!r.id || r.is_status || (r.flags & MSG_FLAG_SYSTEM)) return;
  ReportFields fields{status, r.id, 0, std::string(), r.groupid, r.channel, r.type};
  if (r.groupid || (!r.uid && !r.address_len)) {
    fields.uid = c->uid;
    fields.address = c->address;
  } else if (r.uid) {
    fields.uid = r.uid;
  } else {
    fields.address.assign(r.address, r.address_len);
  }
  report(c->uid, fields, 0, nullptr, now_ms);
}

void Relay::route(Conn *c, const ClientRecord &r, uint64_t now_ms) {
  stats_.records++;
  if ((r.flags & MSG_FLAG_SYSTEM) && r.channel == CHANNEL_SYSTEM && r.syncid && !r.is_status &&
      (r.type == RELAY_SYNC_OLDER || r.type == RELAY_SYNC_NEWER)) {
    answer_sync(c, r, now_ms);
    return;
  }
  // Delivered reports are for messages: not for reports, nor for system
  // records, whose reports the engine only reads for push registrations.
  bool reportable = r.id && !r.is_status && !(r.flags & MSG_FLAG_SYSTEM);
  uint32_t report_to = reportable ? c->uid : 0;

  if (r.groupid) {
    auto g = groups_.find(r.groupid);
    if (g == groups_.end() || !std::binary_search(g->second.begin(), g->second.end(), c->uid)) {
      fail(c, r, RELAY_STATUS_NOT_MEMBER, now_ms);
      return;
    }
    for (uint32_t member : g->second) {
      if (member == c->uid) continue;
      std::string items = relay_items(r, c->uid, c->address, r.groupid, member);
      out_.push_back(Outgoing{make(member, r, std::move(items), report_to, now_ms), nullptr,
                              nullptr});
    }
    keep(c, r, 0, now_ms);
    return;
  }

  uint32_t to = r.uid;
  if (!to && r.address_len) {
    std::string address(r.address, r.address_len);
    if (address == RELAY_SERVICE_ADDRESS) {
      if ((r.flags & MSG_FLAG_SYSTEM) &&
          (r.type == PUSH_TOKEN_TYPE || r.type == PUSH_TOKEN_VOIP_TYPE)) {
        ReportFields fields{RELAY_STATUS_DELIVERED, r.id, 0, address, 0, r.channel, r.type};
        report(c->uid, fields, MSG_FLAG_SYSTEM, c, now_ms);
        return;
      }
      to = c->uid;
    } else {
      to = uid_of(address);
    }
  }
  if (!to || address_of(to).empty()) {
    fail(c, r, RELAY_STATUS_UNKNOWN_PEER, now_ms);
    return;
  }
  if (to == c->uid) {
    // For the user's other devices: those logged in now get it; it is
    // never stored, or the sending device would get it back at its next login.
    DeliveryRef d = make(to, r, relay_items(r, c->uid, c->address, 0, to), 0, now_ms);
    d->transient = true;
    out_.push_back(Outgoing{d, nullptr, c});
    return;
  }
  out_.push_back(Outgoing{make(to, r, relay_items(r, c->uid, c->address, 0, 0), report_to, now_ms),
                          nullptr, nullptr});
  if (r.is_status) note_report(c, r, to);
  else keep(c, r, to, now_ms);
}

// ---- history --------------------------------------------------------------

// What a conversation's history holds: messages with a text for the
// application's channels. Not system records, broadcasts, records the
// client is not to show, nor end-to-end encrypted ones (no device could
// read them back).
static bool history_worthy(const ClientRecord &r) {
  const uint64_t skip = MSG_FLAG_SYSTEM | MSG_FLAG_BROADCAST_SYSTEM | MSG_FLAG_BROADCAST_KIND |
                        MSG_FLAG_NOT_DELIVERED | MSG_FLAG_E2E_ENCRYPTED;
  return r.id && r.has_payload && !r.is_status && !(r.flags & skip) &&
         r.channel <= CHANNEL_APP_LAST;
}

// The message in its conversation's history: with `to` one-to-one, else
// in the group r.groupid.
void Relay::keep(Conn *c, const ClientRecord &r, uint32_t to, uint64_t now_ms) {
  if (!history_.enabled() || !history_worthy(r)) return;
  uint64_t conv = r.groupid ? history_group(r.groupid) : history_pair(c->uid, to);
  if (r.flags & MSG_FLAG_ID32) {
    // An edit: the text changes, the message stays one.
    history_.edit(conv, c->uid, r.id, history_items(r));
    return;
  }
  HistoryRow row;
  row.conv = conv;
  row.sender = c->uid;
  row.mid = r.id;
  row.status = HISTORY_SENT;
  row.time_ms = now_ms;
  // The batch marks belong to an answer's end record alone.
  row.flags = r.flags & ~(uint64_t)(MSG_FLAG_STORED | SYNC_FLAG_LAST | SYNC_FLAG_END);
  row.until_ms = r.agesent ? now_ms + (uint64_t)r.agesent * 1000 : 0;
  row.items = history_items(r);
  if (history_.keep(std::move(row))) stats_.kept++;
}

// A delivered or read report one user sends another about a message that
// other user sent.
void Relay::note_report(Conn *c, const ClientRecord &r, uint32_t to) {
  if (!r.id || (r.flags & MSG_FLAG_SYSTEM)) return;
  uint64_t conv = history_pair(c->uid, to);
  if (r.status == HISTORY_READ)
    history_.set_status(conv, to, r.id, HISTORY_READ, HISTORY_SENT, HISTORY_DELIVERED);
  else if (r.status == HISTORY_DELIVERED)
    history_.set_status(conv, to, r.id, HISTORY_DELIVERED, HISTORY_SENT, HISTORY_SENT);
}

void Relay::answer(Conn *c, uint64_t flags, uint32_t gid, std::string items, uint64_t now_ms) {
  DeliveryRef d = std::make_shared<Delivery>();
  StoredRow &row = d->row;
  row.id = 0;
  row.uid = c->uid;
  row.report_to = 0;
  row.mid = 0;
  row.gid = gid;
  row.channel = 0;
  row.type = 0;
  row.flags = flags;
  row.received_ms = now_ms;
  row.deadline_s = now_ms / 1000 + default_expiry_s_;
  row.items = std::move(items);
  d->transient = true;  // for this device, now or never
  d->done = true;       // and not counted as a delivery
  out_.push_back(Outgoing{d, c, nullptr});
}

// A page of the user's history for the asking device, then the end record
// that tells it the batch is complete and whether more exists.
void Relay::answer_sync(Conn *c, const ClientRecord &r, uint64_t now_ms) {
  stats_.syncs++;
  HistoryQuery q{};
  q.owner = c->uid;
  q.newer = r.type == RELAY_SYNC_NEWER;
  uint32_t peer = 0;
  bool asked = true;  // a conversation the user may read, or all of its own
  if (r.groupid) {
    auto g = groups_.find(r.groupid);
    asked = g != groups_.end() && std::binary_search(g->second.begin(), g->second.end(), c->uid);
    q.conv = history_group(r.groupid);
  } else if (!q.newer) {
    peer = r.uid ? r.uid : r.address_len ? uid_of(std::string(r.address, r.address_len)) : 0;
    asked = peer && peer != c->uid;
    q.conv = history_pair(c->uid, peer);
  }
  q.anchor_s = r.syncref;
  q.count = r.syncext;
  // The device names its boundary message by its own id: the sender's uid
  // in the high half for what it received, the plain id for what it sent.
  q.anchor_sender = r.refid > 0xFFFFFFFFull ? (uint32_t)(r.refid >> 32) : c->uid;
  q.anchor_mid = (uint32_t)r.refid;

  std::vector<HistoryRow> rows;
  bool more = false;
  if (asked && history_.enabled() && history_.page(q, now_ms, &rows, &more) != 0) {
    rows.clear();
    more = false;
  }
  SyncFields fields{};
  fields.syncid = r.syncid;
  for (const HistoryRow &row : rows) {
    bool group = history_is_group(row.conv);
    bool sent = row.sender == c->uid;
    fields.uid = !sent ? row.sender : group ? c->uid : history_peer(row.conv, c->uid);
    fields.address = fields.uid == c->uid ? c->address : address_of(fields.uid);
    fields.groupid = group ? (uint32_t)row.conv : 0;
    fields.status = history_status_for(c->uid, row.sender, row.status);
    fields.time_ms = row.time_ms;
    fields.age_s = now_ms > row.time_ms ? (uint32_t)((now_ms - row.time_ms) / 1000) : 0;
    answer(c, row.flags, fields.groupid, sync_items(fields, row.items), now_ms);
  }
  // The end record names the conversation's other side, or the user: the
  // client must be able to resolve a peer for it even when nothing came.
  fields.uid = c->uid;
  fields.address = c->address;
  if (peer && !address_of(peer).empty()) {
    fields.uid = peer;
    fields.address = address_of(peer);
  }
  fields.groupid = r.groupid;
  fields.status = 0;
  fields.time_ms = 0;
  fields.age_s = 0;
  fields.syncext = (uint16_t)rows.size();
  uint64_t flags = more ? SYNC_FLAG_LAST : SYNC_FLAG_LAST | SYNC_FLAG_END;
  answer(c, flags, r.groupid, sync_items(fields, std::string()), now_ms);
}

int Relay::on_bundle(Conn *c, const ClientBundle &b) {
  stats_.bundles++;
  uint16_t last;
  if (b.has_seq && last_sequence(c->uid, c->installation, &last) && last == b.seq) {
    // Sent again because our acknowledgement did not reach the client.
    stats_.duplicates++;
    return 0;
  }
  uint64_t now_ms = wall_ms();
  for (const ClientRecord &r : b.records) route(c, r, now_ms);
  int rc = flush();
  if (rc == 0 && b.has_seq) set_last_sequence(c->uid, c->installation, b.seq);
  return rc;
}

// ---- handing out ----------------------------------------------------------

int Relay::flush() {
  store_failed_ = false;
  while (!out_.empty() || !pump_.empty()) {
    if (!out_.empty()) {
      std::vector<Outgoing> batch;
      batch.swap(out_);
      dispatch(batch);
      continue;
    }
    uint32_t uid = *pump_.begin();
    pump_.erase(pump_.begin());
    pump(uid);
  }
  return store_failed_ ? -1 : 0;
}

void Relay::dispatch(std::vector<Outgoing> &batch) {
  // One frame list per device, in the order the records came.
  std::vector<std::pair<Conn *, std::vector<DeliveryRef>>> targets;
  std::unordered_map<Conn *, size_t> index;
  auto add = [&](Conn *c, const DeliveryRef &d) {
    auto it = index.find(c);
    if (it == index.end()) {
      it = index.emplace(c, targets.size()).first;
      targets.emplace_back(c, std::vector<DeliveryRef>());
    }
    targets[it->second].second.push_back(d);
  };
  for (Outgoing &o : batch) {
    if (o.only) {
      if (o.only->state == CONN_ONLINE) add(o.only, o.d);
      continue;
    }
    uint32_t uid = o.d->row.uid;
    if (!o.d->transient && drains_.count(uid)) continue;  // behind what is stored
    bool any = false;
    for (Conn *c : s_->online(uid)) {
      if (c == o.except) continue;
      add(c, o.d);
      any = true;
    }
    if (!any && o.d->transient) o.d->done = true;
  }
  for (auto &t : targets) send_records(t.first, t.second, false);

  // What no device took goes to the store; what may not wait expires now.
  uint64_t now_ms = wall_ms();
  std::vector<StoredRow *> rows;
  std::vector<StoredRow> expired;
  for (Outgoing &o : batch) {
    Delivery *d = o.d.get();
    if (d->copies || d->done || d->row.id || d->transient) continue;
    if (d->row.deadline_s <= now_ms / 1000) {
      d->done = true;
      expired.push_back(d->row);
      continue;
    }
    rows.push_back(&d->row);
  }
  if (!rows.empty()) {
    if (store_.storeRows(rows) != 0) {
      store_failed_ = true;
    } else {
      stats_.stored += rows.size();
      for (StoredRow *row : rows)
        if (drains_.count(row->uid)) pump_.insert(row->uid);
    }
  }
  expire(expired);
}

// Stored records for the user's draining device, after the cursor.
void Relay::pump(uint32_t uid) {
  for (;;) {
    auto it = drains_.find(uid);
    if (it == drains_.end()) return;
    Conn *c = it->second.conn;
    if (c->state != CONN_ONLINE) {
      drains_.erase(it);
      later_.insert(uid);
      return;
    }
    if (c->stored_inflight >= RELAY_STORE_WINDOW) return;  // more after its next echo
    std::vector<StoredRow> rows;
    if (store_.loadRows(uid, it->second.cursor, RELAY_STORE_PAGE, &rows) != 0) {
      drains_.erase(it);  // live delivery rather than none
      return;
    }
    bool end = rows.size() < RELAY_STORE_PAGE;
    uint64_t now_s = wall_ms() / 1000;
    std::vector<DeliveryRef> batch;
    std::vector<StoredRow> expired;
    for (StoredRow &row : rows) {
      it->second.cursor = row.id;
      if (rows_in_flight_.count(row.id)) continue;  // another device has it now
      if (row.deadline_s < now_s) {
        expired.push_back(std::move(row));
        continue;
      }
      DeliveryRef d = std::make_shared<Delivery>();
      d->row = std::move(row);
      batch.push_back(d);
    }
    if (end) drains_.erase(it);  // from now on records for the user go out live
    expire(expired);
    send_records(c, batch, true);
    if (c->state != CONN_ONLINE) {
      later_.insert(uid);  // what it did not get goes to another device
      return;
    }
    if (end) return;
  }
}

static bool has_address(const StoredRow &row) {
  const uint8_t *v = nullptr;
  return tlv_find(row.items.data(), (uint32_t)row.items.size(), REC_ADDRESS, &v) >= 0;
}

void Relay::send_records(Conn *c, const std::vector<DeliveryRef> &list, bool stored) {
  static uint8_t frame[FRAME_CLIENT_MAX + RELAY_RECORD_SLACK + 64];
  uint64_t now_ms = wall_ms();
  size_t i = 0;
  while (i < list.size() && c->state == CONN_ONLINE) {
    TlvBuffer t;
    tlv_init(&t, frame, (uint32_t)sizeof frame);  // a lone record may exceed the soft limit
    DataFrame f;
    uint32_t run_uid = 0;
    for (; i < list.size(); i++) {
      const StoredRow &row = list[i]->row;
      // A client that cannot resolve a record's peer drops the rest of the
      // frame, and still acknowledges it: a record without an address
      // (a report about a uid the client wrote) travels alone.
      bool alone = !has_address(row);
      if (alone && !f.records.empty()) break;
      uint32_t age = 0, mark = 0;
      if (stored) {
        age = now_ms > row.received_ms ? (uint32_t)((now_ms - row.received_ms) / 1000) : 0;
        // The client resets its stored marks when the sender changes, so
        // each run of one sender carries its own.
        const uint8_t *v = nullptr;
        int n = tlv_find(row.items.data(), (uint32_t)row.items.size(), REC_UID, &v);
        uint32_t from = n > 0 ? (uint32_t)tlv_uint(v, (uint32_t)n, 4) : 0;
        if (f.records.empty() || from != run_uid) mark = age ? age : 1;
        run_uid = from;
      }
      if (!f.records.empty()) t.cap = std::max<uint32_t>(RELAY_FRAME_BODY_MAX, t.pos);
      if (relay_write(&t, row.flags, row.items, stored, age, mark) != 0) break;
      f.records.push_back(list[i]);
      if (alone) {
        i++;
        break;
      }
    }
    if (f.records.empty()) {
      LOGE("conn %u: record of %zu bytes does not fit a data frame", c->id,
           list[i]->row.items.size());
      i++;
      continue;
    }
    f.param = next_param();
    if (s_->send(c, FRAME_BUNDLE, OP_DATA, f.param, frame, t.pos) != 0) return;
    for (const DeliveryRef &d : f.records) {
      d->copies++;
      if (stored) rows_in_flight_[d->row.id] = c;
    }
    if (stored) c->stored_inflight += (uint32_t)f.records.size();
    c->inflight_records += (uint32_t)f.records.size();
    stats_.relayed += f.records.size();
    c->inflight.push_back(std::move(f));
    if (c->inflight_records > RELAY_INFLIGHT_MAX) {
      LOGI("conn %u: uid %u leaves %u records unacknowledged", c->id, c->uid,
           c->inflight_records);
      s_->drop(c);
      return;
    }
  }
}

void Relay::expire(std::vector<StoredRow> &rows) {
  if (rows.empty()) return;
  std::vector<int64_t> ids;
  for (const StoredRow &row : rows)
    if (row.id) ids.push_back(row.id);
  std::vector<bool> removed;
  if (!ids.empty() && store_.deleteRows(ids, &removed) != 0) return;
  uint64_t now_ms = wall_ms();
  size_t k = 0;
  for (const StoredRow &row : rows) {
    if (row.id && !removed[k++]) continue;  // gone already: taken or expired elsewhere
    stats_.expired++;
    if (!row.report_to) continue;
    // The recipient never had it: its history no longer shows it.
    if (!row.gid)
      history_.set_status(history_pair(row.report_to, row.uid), row.report_to, row.mid,
                          HISTORY_EXPIRED, HISTORY_SENT, HISTORY_SENT);
    ReportFields fields{RELAY_STATUS_EXPIRED, row.mid, row.uid, address_of(row.uid),
                    row.gid, row.channel, row.type};
    report(row.report_to, fields, 0, nullptr, now_ms);
  }
}

// ---- acknowledgements -----------------------------------------------------

// Frames `c` took: each record is delivered. A stored record counts when
// its row is deleted here, so a record two devices took is reported once.
// `closed`: frames of an earlier connection, already let go at its close.
void Relay::settle(Conn *c, std::list<DataFrame> &frames, bool closed) {
  uint64_t now_ms = wall_ms();
  std::vector<int64_t> ids;
  std::vector<Delivery *> owners;
  for (DataFrame &f : frames) {
    for (const DeliveryRef &ref : f.records) {
      Delivery *d = ref.get();
      if (!closed) {
        d->copies--;
        c->inflight_records--;
      }
      if (d->row.id) {
        if (!closed) {
          auto it = rows_in_flight_.find(d->row.id);
          if (it != rows_in_flight_.end() && it->second == c) rows_in_flight_.erase(it);
          if (c->stored_inflight) c->stored_inflight--;
        }
        ids.push_back(d->row.id);
        owners.push_back(d);
      } else if (!d->done) {
        d->done = true;
        stats_.delivered++;
        report_delivered(*d, c, now_ms);
      }
    }
  }
  if (ids.empty()) return;
  std::vector<bool> removed;
  if (store_.deleteRows(ids, &removed) != 0) return;  // sent again later: a duplicate, not a loss
  for (size_t i = 0; i < ids.size(); i++) {
    if (!removed[i]) continue;
    owners[i]->done = true;
    stats_.delivered++;
    report_delivered(*owners[i], c, now_ms);
  }
}

void Relay::on_echo(Conn *c, uint32_t param) {
  if (!param || c->inflight.empty()) return;
  std::list<DataFrame> taken;
  while (!c->inflight.empty() && param_reached(param, c->inflight.front().param))
    taken.splice(taken.end(), c->inflight, c->inflight.begin());
  if (taken.empty()) return;
  settle(c, taken, false);
  auto it = drains_.find(c->uid);
  if (it != drains_.end() && it->second.conn == c) pump_.insert(c->uid);
  flush();
}

void Relay::start_drain(uint32_t uid, Conn *c) {
  drains_[uid] = Drain{c, 0};
  pump_.insert(uid);
}

void Relay::on_login(Conn *c, uint32_t ack_owed) {
  if (!address_of_.count(c->uid) && !c->address.empty()) address_of_[c->uid] = c->address;
  auto it = closed_.find({c->uid, c->installation});
  if (it != closed_.end()) {
    std::list<DataFrame> frames;
    frames.swap(it->second);
    closed_.erase(it);
    // Only a param of that connection's range says anything about it.
    if (ack_owed && !frames.empty() && param_reached(ack_owed, frames.front().param) &&
        param_reached(frames.back().param, ack_owed)) {
      std::list<DataFrame> taken;
      while (!frames.empty() && param_reached(ack_owed, frames.front().param))
        taken.splice(taken.end(), frames, frames.begin());
      settle(c, taken, true);
    }
  }
  start_drain(c->uid, c);
  flush();
}

void Relay::on_close(Conn *c) {
  if (!c->uid) return;
  std::vector<StoredRow *> rows;
  bool had_stored = false;
  for (DataFrame &f : c->inflight) {
    for (const DeliveryRef &ref : f.records) {
      Delivery *d = ref.get();
      d->copies--;
      if (d->row.id) {
        auto it = rows_in_flight_.find(d->row.id);
        if (it != rows_in_flight_.end() && it->second == c) rows_in_flight_.erase(it);
        had_stored = true;
      } else if (!d->copies && !d->done && !d->transient) {
        rows.push_back(&d->row);
      }
    }
  }
  c->inflight_records = 0;
  c->stored_inflight = 0;
  if (!rows.empty()) {
    if (store_.storeRows(rows) == 0) stats_.stored += rows.size();
    else LOGE("conn %u: %zu unacknowledged records of uid %u lost", c->id, rows.size(), c->uid);
  }
  if (!c->inflight.empty()) {
    closed_[{c->uid, c->installation}] = std::move(c->inflight);
    c->inflight.clear();
  }
  auto it = drains_.find(c->uid);
  bool was_draining = it != drains_.end() && it->second.conn == c;
  if (was_draining) drains_.erase(it);
  if (!rows.empty() || had_stored || was_draining) later_.insert(c->uid);
}

void Relay::after_pass() {
  history_.flush_due(wall_ms());
  if (later_.empty()) return;
  std::set<uint32_t> users;
  users.swap(later_);
  for (uint32_t uid : users) {
    std::vector<Conn *> conns = s_->online(uid);
    if (conns.empty()) continue;  // drained at the next login
    if (drains_.count(uid)) pump_.insert(uid);
    else start_drain(uid, conns.back());
  }
  flush();
}

void Relay::sweep(uint64_t now_ms) {
  if (now_ms >= next_expiry_ms_) {
    next_expiry_ms_ = now_ms + RELAY_EXPIRY_SWEEP_MS;
    std::vector<StoredRow> rows;
    if (store_.loadExpired(wall_ms() / 1000, RELAY_STORE_PAGE, &rows) == 0) {
      rows.erase(std::remove_if(rows.begin(), rows.end(),
                                [this](const StoredRow &r) { return rows_in_flight_.count(r.id); }),
                 rows.end());
      expire(rows);
      flush();
    }
  }
  if (now_ms >= next_history_sweep_ms_) {
    next_history_sweep_ms_ = now_ms + RELAY_EXPIRY_SWEEP_MS;
    history_.sweep(wall_ms());
  }
  if (sequences_dirty_ && now_ms >= next_sequence_save_ms_) {
    next_sequence_save_ms_ = now_ms + RELAY_SEQUENCE_SAVE_MS;
    if (store_.saveSequences(sequences_) == 0) sequences_dirty_ = false;
  }
}
