// ZalvioPresence: a peer's activity (online, typing, joined a
// conversation...), received in ZalvioListener::onPresence, or created with
// Zalvio::newPresence to announce your own activity to a peer or a group.
//
// Objects passed to onPresence belong to the library and are valid only
// during the callback; objects from newPresence belong to you (delete
// them). The send operations return the engine's result (0 sent, 0 also
// when the engine suppressed a repeat, -1 on failure or when the library
// is not initialised).
#pragma once

#include <cstdint>

// Activity codes.
enum {
  ZALVIO_ACTIVITY_REQUEST = 0,   // asks the peer for its presence
  ZALVIO_ACTIVITY_ONLINE = 1,    // value 2 means offline
  ZALVIO_ACTIVITY_OFFLINE = 2,
  ZALVIO_ACTIVITY_TYPING = 3,
  ZALVIO_ACTIVITY_TYPING_STOPPED = 4,
  ZALVIO_ACTIVITY_JOINED = 10,   // opened the conversation
  ZALVIO_ACTIVITY_LEFT = 11,     // left the conversation
};

class ZalvioPresence {
 public:
  uint32_t activity;  // ZALVIO_ACTIVITY_*
  uint32_t value;     // detail of the activity
  uint32_t interval;  // duration in milliseconds (typing)
  uint32_t expiry;    // seconds the announcement stays valid
  uint32_t groupid;   // the group, 0 for one-to-one
  char *peer;         // the peer's address (owned by the object), or null

  virtual ~ZalvioPresence() {}

  // Sends (activity, value, interval) to the peer or group.
  virtual int send() = 0;
  // The same with the given activity.
  virtual int sendActivity(int activity) = 0;
  virtual int sendTyping() = 0;
  virtual int sendTypingStopped() = 0;
  virtual int sendJoined() = 0;
  virtual int sendJoinedConversation() = 0;  // same as sendJoined
  virtual int sendLeft() = 0;
  virtual int sendOnline() = 0;
  virtual int sendOffline() = 0;

  virtual int isPresenceRequest() = 0;
  virtual int isOnline() = 0;   // activity 1 with a value other than 2
  virtual int isOffline() = 0;  // activity 2, or activity 1 with value 2
  virtual int isTyping() = 0;
  virtual int isTypingStopped() = 0;
  virtual int isJoined() = 0;
  virtual int isJoinedConversation() = 0;  // same as isJoined
  virtual int isLeft() = 0;
};
