// The presence object. See presence.h.
#include "api/presence.h"

#include <cstdlib>
#include <cstring>

#include "api/zalvio.h"

// An "online" announcement whose value is this means the peer went offline.
static const uint32_t kOnlineValueOffline = 2;

ZalvioPresenceImpl::ZalvioPresenceImpl(const char *to, uint32_t group) {
  activity = 0;
  value = 0;
  interval = 0;
  expiry = 0;
  groupid = group;
  peer = to ? strdup(to) : nullptr;
}

ZalvioPresenceImpl::~ZalvioPresenceImpl() { free(peer); }

int ZalvioPresenceImpl::send() { return sendActivity((int)activity); }

int ZalvioPresenceImpl::sendActivity(int kind) {
  IZalvio *engine = get_api();
  if (!engine) return -1;
  MessageParams p;
  memset(&p, 0, sizeof p);
  p.groupid = groupid;
  p.expiry = expiry;
  return engine->send_activity(&p, peer, kind, (int)value, (int)interval);
}

int ZalvioPresenceImpl::sendTyping() { return sendActivity(ZALVIO_ACTIVITY_TYPING); }
int ZalvioPresenceImpl::sendTypingStopped() { return sendActivity(ZALVIO_ACTIVITY_TYPING_STOPPED); }
int ZalvioPresenceImpl::sendJoined() { return sendActivity(ZALVIO_ACTIVITY_JOINED); }
int ZalvioPresenceImpl::sendJoinedConversation() { return sendActivity(ZALVIO_ACTIVITY_JOINED); }
int ZalvioPresenceImpl::sendLeft() { return sendActivity(ZALVIO_ACTIVITY_LEFT); }
int ZalvioPresenceImpl::sendOnline() { return sendActivity(ZALVIO_ACTIVITY_ONLINE); }
int ZalvioPresenceImpl::sendOffline() { return sendActivity(ZALVIO_ACTIVITY_OFFLINE); }

int ZalvioPresenceImpl::isPresenceRequest() { return activity == ZALVIO_ACTIVITY_REQUEST; }
int ZalvioPresenceImpl::isOnline() {
  return activity == ZALVIO_ACTIVITY_ONLINE && value != kOnlineValueOffline;
}
int ZalvioPresenceImpl::isOffline() {
  return (activity == ZALVIO_ACTIVITY_ONLINE && value == kOnlineValueOffline) ||
         activity == ZALVIO_ACTIVITY_OFFLINE;
}
int ZalvioPresenceImpl::isTyping() { return activity == ZALVIO_ACTIVITY_TYPING; }
int ZalvioPresenceImpl::isTypingStopped() { return activity == ZALVIO_ACTIVITY_TYPING_STOPPED; }
int ZalvioPresenceImpl::isJoined() { return activity == ZALVIO_ACTIVITY_JOINED; }
int ZalvioPresenceImpl::isJoinedConversation() { return activity == ZALVIO_ACTIVITY_JOINED; }
int ZalvioPresenceImpl::isLeft() { return activity == ZALVIO_ACTIVITY_LEFT; }
