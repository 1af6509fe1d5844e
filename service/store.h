// The service's durable message state in "service.db": the offline store
// (records waiting for users who are not logged in, or that no device of
// theirs has taken yet), the group registry, and the last bundle sequence
// received from each device.
//
// The relay (relay.cpp) keeps everything about online users in memory and
// comes here only for what must survive a restart: records that could not
// be handed to a device, in one transaction per batch, and their deletion
// once a device acknowledged them. Sequences are written in batches (at a
// sweep and at shutdown), not once per bundle.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "service/statement.h"

// One record in the offline store.
struct StoredRow {
  int64_t id;            // set when stored
  uint32_t uid;          // recipient
  uint32_t report_to;    // user told when it is delivered or expires; 0: none
  uint32_t mid;          // the sender's message id, for those reports
  uint32_t gid;
  uint16_t channel;
  uint16_t type;
  uint64_t flags;
  uint64_t received_ms;  // wall clock when the service received it
  uint64_t deadline_s;   // wall clock after which it is dropped
  std::string items;     // relayed items (records.h)
};

typedef std::map<std::pair<uint32_t, uint32_t>, uint16_t> SequenceMap;  // (uid, installation)
typedef std::map<uint32_t, std::vector<uint32_t>> GroupMap;             // gid -> members

class MessageStore {
 public:
  MessageStore() = default;
  MessageStore(const MessageStore &) = delete;
  MessageStore &operator=(const MessageStore &) = delete;

  // Creates the tables on the registry's connection; 0 or -1.
  int open(sqlite3 *db);
  void close() { statements_.clear(); }

  // Stores every row in one transaction and sets their ids; 0, or -1 when
  // nothing was stored.
  int storeRows(const std::vector<StoredRow *> &rows);
  // Rows of `uid` after row `after`, oldest first, at most `limit`.
  int loadRows(uint32_t uid, int64_t after, uint32_t limit, std::vector<StoredRow> *out);
  // Rows whose deadline is before `now_s`, at most `limit`.
  int loadExpired(uint64_t now_s, uint32_t limit, std::vector<StoredRow> *out);
  // Deletes rows in one transaction; removed[i] says whether ids[i] was
  // still there (a row taken by two devices is reported once).
  int deleteRows(const std::vector<int64_t> &ids, std::vector<bool> *removed);
  // Rows waiting for `uid` (0: everyone), -1 on error.
  int64_t countRows(uint32_t uid);

  int loadGroups(GroupMap *out);
  // Creates the group when missing and adds the members.
  int addMembers(uint32_t gid, const std::vector<uint32_t> &members);
  int removeMembers(uint32_t gid, const std::vector<uint32_t> &members);
  int deleteGroup(uint32_t gid);

  int loadSequences(SequenceMap *out);
  int saveSequences(const SequenceMap &seqs);

 private:
  StatementCache statements_;
  int begin() { return statements_.exec("begin immediate"); }
  int finish(bool ok);
  bool eachMember(const char *sql, uint32_t gid, const std::vector<uint32_t> &members);
};
