// The message object: parameters (msgprop.h) plus the content (text,
// title, subtitle, raw data, file, thumbnail, location) and the actions
// (send, resend, forward, delete, copy).
//
// Two ways in: a new message for sending (fresh id, receipts requested,
// 60-day expiry), and a message built from an engine record and its rich
// bundle for a listener callback. The latter lives on the facade's stack
// and is marked borrowed, so that release() on it does nothing.
//
// Sending turns the content into a message bundle for the engine's rich
// send (the payload encoder is in richmessage.h); a forward goes through
// the engine's forward of the stored original instead.
#pragma once

#include <cstdint>

#include "api/msgprop.h"

struct MessageBundle;

enum : uint32_t {
  MESSAGE_DEFAULT_LOCALFLAGS = 0x100f0c,
};

class ZalvioMessageImpl : public MessagePropImpl {
 public:
  // A new message for sending to a peer or a group.
  ZalvioMessageImpl(const char *peer, uint32_t groupid);
  // A message as the engine reports it; `bundle` may be null.
  ZalvioMessageImpl(const MessageParams *p, const MessageBundle *bundle, const char *peer);

  void setMessage(const char *text) override;
  void setTitle(const char *text) override;
  void setSubtitle(const char *text) override;
  void setData(const MessageData *block) override;
  void setFilePath(const char *path) override;
  void setFileType(int type) override;
  void setThumbnail(const void *bytes, uint16_t length) override;
  void setLatitude(double value) override;
  void setLongitude(double value) override;
  const char *getMessage() override;
  const char *getTitle() override;
  const char *getSubtitle() override;
  MessageData *getData() override;
  MessageFile *getFile() override;
  double getLatitude() override;
  double getLongitude() override;
  int send() override;
  int resend() override;
  ZalvioMessage *forward(const char *peer) override;
  ZalvioMessage *forward(uint32_t groupid) override;
  int deleteForMe() override;
  int wipeForMe() override;
  int deleteForEveryone() override;
  int removeForEveryone() override;
  int canDeleteForEveryone() override;
  void release() override;
  ZalvioMessage *copy() override;
  int getUnreadCount() override;

  // Marks a message lent to a callback: release() leaves it alone.
  void set_borrowed() { borrowed_ = true; }

 private:
  ZalvioMessageImpl();
  void reset_content();
  void reset_file();
  const uint8_t *copy_bytes(const void *bytes, uint32_t length);

  bool borrowed_ = false;
  uint32_t unread_ = 0;  // a summary row's unread count
};
