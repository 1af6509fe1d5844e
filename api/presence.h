// The presence object: a peer's activity handed to onPresence, or the
// user's own activity to announce. Sending goes through the engine's
// activity operation (get_api), which throttles repeats.
#pragma once

#include <cstdint>

#include "include/zalvio_presence.h"

class ZalvioPresenceImpl : public ZalvioPresence {
 public:
  ZalvioPresenceImpl(const char *peer, uint32_t groupid);
  ~ZalvioPresenceImpl() override;

  int send() override;
  int sendActivity(int activity) override;
  int sendTyping() override;
  int sendTypingStopped() override;
  int sendJoined() override;
  int sendJoinedConversation() override;
  int sendLeft() override;
  int sendOnline() override;
  int sendOffline() override;
  int isPresenceRequest() override;
  int isOnline() override;
  int isOffline() override;
  int isTyping() override;
  int isTypingStopped() override;
  int isJoined() override;
  int isJoinedConversation() override;
  int isLeft() override;
};
