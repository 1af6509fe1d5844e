// Relaying records between users: routing each record of a client bundle
// (one-to-one by uid or address, to a group's members, to the sender's
// other devices), handing it to every logged-in device of the recipient in
// data frames ("A", code 2), keeping what no device took in the offline
// store, and telling senders when a recipient's device acknowledged.
//
// How a record travels. Every record becomes a Delivery (the row it would
// be in the store, plus how many frames carry it). Records for a user with
// a logged-in device go out at once in one data frame per device and
// bundle; the frame stays in the connection's list until the device echoes
// its param (or a later one). A record no device took (all were offline,
// or every connection that carried it closed first) is written to the
// store, one transaction per batch. A record in the store is deleted only
// when a device acknowledges the frame that carried it; that deletion is
// what sends the delivered report, so a record two devices took is
// reported once.
//
// Draining the store. At login the device gets the user's stored records,
// oldest first, in frames marked as stored, at most STORE_WINDOW
// unacknowledged at a time; more follow its acknowledgements. Until the
// store is drained, new records for that user go through the store too, so
// the device sees them in order. A connection that closes with stored
// records unacknowledged puts the user back into draining on another
// device, if one is logged in.
//
// Data frame params come from one counter for the whole service, so a
// param names one frame: a client that logs in again saying which param it
// last took on its previous connection (login item 5) settles those frames
// instead of receiving them twice.
//
// History. Every message relayed between users is also kept in its
// conversation's history (history.h), and a device's synchronisation request
// (a system record of type 25 or 26 carrying a session id) is answered
// from it, to that device alone, instead of being relayed.
//
// Everything runs on the event loop's thread. Sending may close a
// connection, which calls on_close() in the middle of a relay step:
// on_close() only stores and marks; drains it starts wait for after_pass().
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/conn.h"
#include "service/history.h"
#include "service/records.h"
#include "service/store.h"

class Server;

enum : uint32_t {
  RELAY_STORE_WINDOW = 1024,      // stored records unacknowledged per device
  RELAY_STORE_PAGE = 256,         // stored records read at a time
  RELAY_INFLIGHT_MAX = 65536,     // records a device may leave unacknowledged
  RELAY_EXPIRY_SWEEP_MS = 60000,
  RELAY_SEQUENCE_SAVE_MS = 10000,
};

// Synchronisation requests (system records with a session id).
enum : uint16_t {
  RELAY_SYNC_OLDER = 25,  // one conversation, messages older than the device's oldest
  RELAY_SYNC_NEWER = 26,  // messages newer than the device's newest
};

// Statuses the service reports.
enum : uint16_t {
  RELAY_STATUS_DELIVERED = 2,
  RELAY_STATUS_UNKNOWN_PEER = 131,  // no such user or address
  RELAY_STATUS_EXPIRED = 132,       // expired in the store
  RELAY_STATUS_NOT_MEMBER = 145,    // no such group, or the sender is not in it
};

// Records to this address are for the service itself: push registrations
// (system records of types 10 and 11) are confirmed, anything else goes to
// the sender's other devices.
extern const char RELAY_SERVICE_ADDRESS[];

// One record on its way to one user.
struct Delivery {
  StoredRow row;          // row.id != 0 once it is in the store
  uint16_t copies = 0;    // frames carrying it that no device settled yet
  bool done = false;      // a device took it (or nobody is to have it)
  bool transient = false; // a copy for the sender's other devices, or an
                          // answer of the service: never stored
};

struct RelayStats {
  uint64_t bundles = 0;     // client bundles read
  uint64_t duplicates = 0;  // bundles not relayed again (same sequence)
  uint64_t records = 0;     // client records read
  uint64_t relayed = 0;     // records written into data frames
  uint64_t stored = 0;      // records written to the store
  uint64_t delivered = 0;   // records a device acknowledged
  uint64_t expired = 0;     // stored records dropped at their expiry
  uint64_t unroutable = 0;  // records with no such recipient
  uint64_t reports = 0;     // status reports the service made
  uint64_t kept = 0;        // messages given to the history
  uint64_t syncs = 0;       // synchronisation requests answered
};

class Relay {
 public:
  explicit Relay(Server *s) : s_(s) {}
  Relay(const Relay &) = delete;
  Relay &operator=(const Relay &) = delete;

  // Opens the store and the history (`history` rows per conversation, 0:
  // none) on the registry's connection, loads groups and sequences; 0 or -1.
  int open(sqlite3 *db, uint32_t default_expiry_s, uint32_t history);
  // Saves the sequences and lets the store go.
  void close();

  // A client bundle from `c`. Returns 0 when every record went to a device
  // or into the store, or was not to be relayed; -1 when the store failed
  // and the bundle must not be acknowledged.
  int on_bundle(Conn *c, const ClientBundle &b);
  // The client took every data frame up to `param`.
  void on_echo(Conn *c, uint32_t param);
  // `c` logged in (its answer is out); `ack_owed` is the param it last took
  // on its previous connection.
  void on_login(Conn *c, uint32_t ack_owed);
  // `c` ends: what it did not acknowledge goes to the store.
  void on_close(Conn *c);
  // End of a loop pass: drains started by closes.
  void after_pass();
  // Timers: expiry of stored records, saving sequences.
  void sweep(uint64_t now_ms);

  // The next data frame param (never 0).
  uint32_t next_param();

  bool last_sequence(uint32_t uid, uint32_t installation, uint16_t *seq) const;
  void set_last_sequence(uint32_t uid, uint32_t installation, uint16_t seq);

  const GroupMap &groups() const { return groups_; }
  int add_members(uint32_t gid, const std::vector<uint32_t> &members);
  int remove_members(uint32_t gid, const std::vector<uint32_t> &members);
  int delete_group(uint32_t gid);
  int64_t stored_count(uint32_t uid) { return store_.countRows(uid); }
  bool keeps_history() const { return history_.enabled(); }
  // Messages of one conversation (conv from history_pair or
  // history_group), or of every conversation of `uid` (conv 0).
  int64_t history_count(uint64_t conv, uint32_t uid) { return history_.count(conv, uid); }
  const RelayStats &stats() const { return stats_; }

 private:
  typedef std::shared_ptr<Delivery> DeliveryRef;

  // A delivery waiting to be handed out by flush().
  struct Outgoing {
    DeliveryRef d;
    Conn *only;    // to this connection alone
    Conn *except;  // to every device of the user but this one
  };
  struct Drain {
    Conn *conn;
    int64_t cursor;  // last row handed out
  };
  typedef std::pair<uint32_t, uint32_t> DeviceKey;  // uid, installation
  struct DeviceKeyHash {
    size_t operator()(const DeviceKey &k) const {
      return std::hash<uint64_t>()((uint64_t)k.first << 32 | k.second);
    }
  };

  Server *s_;
  MessageStore store_;
  History history_;
  uint32_t default_expiry_s_ = 0;
  RelayStats stats_;
  uint32_t next_param_ = 0;
  GroupMap groups_;
  SequenceMap sequences_;
  bool sequences_dirty_ = false;
  uint64_t next_expiry_ms_ = 0;
  uint64_t next_sequence_save_ms_ = 0;
  uint64_t next_history_sweep_ms_ = 0;

  std::vector<Outgoing> out_;
  std::set<uint32_t> pump_;   // users whose drain goes on in this flush
  std::set<uint32_t> later_;  // users to drain after the loop pass
  bool store_failed_ = false;
  std::unordered_map<uint32_t, Drain> drains_;
  std::unordered_map<int64_t, Conn *> rows_in_flight_;
  // Frames a closed connection left unacknowledged, until the device logs
  // in again and says which it took.
  std::unordered_map<DeviceKey, std::list<DataFrame>, DeviceKeyHash> closed_;
  // The registry's answers, kept: both are asked per relayed record.
  std::unordered_map<uint32_t, std::string> address_of_;
  std::unordered_map<std::string, uint32_t> uid_of_;

  void route(Conn *c, const ClientRecord &r, uint64_t now_ms);
  void fail(Conn *c, const ClientRecord &r, uint16_t status, uint64_t now_ms);
  DeliveryRef make(uint32_t to, const ClientRecord &r, std::string items, uint32_t report_to,
                   uint64_t now_ms);
  void report(uint32_t to, const ReportFields &fields, uint64_t flags, Conn *only, uint64_t now_ms);
  void report_delivered(const Delivery &d, const Conn *by, uint64_t now_ms);

  void keep(Conn *c, const ClientRecord &r, uint32_t to, uint64_t now_ms);
  void note_report(Conn *c, const ClientRecord &r, uint32_t to);
  void answer_sync(Conn *c, const ClientRecord &r, uint64_t now_ms);
  void answer(Conn *c, uint64_t flags, uint32_t gid, std::string items, uint64_t now_ms);

  int flush();
  void dispatch(std::vector<Outgoing> &batch);
  void pump(uint32_t uid);
  void send_records(Conn *c, const std::vector<DeliveryRef> &list, bool stored);
  void settle(Conn *c, std::list<DataFrame> &frames, bool closed);
  void expire(std::vector<StoredRow> &rows);
  void start_drain(uint32_t uid, Conn *c);

  uint32_t uid_of(const std::string &address);
  const std::string &address_of(uint32_t uid);
};
