// The service's user registry: users and their addresses, applications,
// access tokens and login tickets, in the SQLite file "service.db" of the
// data directory.
//
// The running service and `zalvio-service mint-token` open the same file,
// so a token minted while the service runs is usable at once: logins read
// tokens from the file, never from a copy taken at start. The file is in
// WAL mode so minting never waits for a login and the reverse.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "service/statement.h"
#include "service/token.h"

enum : uint32_t {
  REGISTRY_TICKETS_PER_HOST = 8,         // per token and host name
  REGISTRY_TICKET_LIFETIME = 30 * 86400, // seconds
};

struct TokenRecord {
  uint64_t serial;
  uint32_t uid;
  uint32_t app_id;
  uint32_t options;
  uint8_t key[TOKEN_KEY_SIZE];
  std::string app_name;  // lower-cased, as the client hashes it
  std::string address;   // the user's address
  bool revoked;
};

class Registry {
 public:
  Registry() = default;
  ~Registry();
  Registry(const Registry &) = delete;
  Registry &operator=(const Registry &) = delete;

  // Opens (creating when needed) the file and its tables; 0 or -1.
  int open(const std::string &path);
  void close();

  // Registers a new token for `uid` and fills `out`. An empty application
  // name makes a token whose proof leaves the name out. `app_id` 0 takes the
  // application's registered id (one is assigned on first use). `address`
  // empty keeps the user's address, or gives a new user "u<uid>".
  // Returns 0, or -1 (database error, address owned by another user).
  int mintToken(uint32_t uid, const std::string &app_name, uint32_t app_id,
                const std::string &address, TokenRecord *out);

  // 1 found, 0 unknown serial, -1 database error.
  int findToken(uint64_t serial, TokenRecord *out);
  int revokeToken(uint64_t serial);

  // Tickets issued to one token for one host name, newest first, only those
  // younger than REGISTRY_TICKET_LIFETIME at `now`.
  int findTickets(uint64_t serial, const std::string &host, uint64_t now,
                  std::vector<std::string> *out);
  // Stores a ticket; older ones beyond REGISTRY_TICKETS_PER_HOST go.
  int addTicket(uint64_t serial, const std::string &host, const std::string &ticket,
                uint64_t now);

  // The user's address, or empty when the uid is unknown.
  std::string findAddress(uint32_t uid);
  // The uid of an address, 0 when unknown.
  uint32_t findUid(const std::string &address);

  sqlite3 *handle() { return db_; }

 private:
  sqlite3 *db_ = nullptr;
  StatementCache statements_;
  sqlite3_stmt *prepare(const char *sql);
  int exec(const char *sql);
  int assignAppId(const std::string &name, uint32_t *id);
  int ensureUser(uint32_t uid, const std::string &address, std::string *final_address);
};
