// The message object's parameters and the questions about them: id, peer,
// group, flags, status, times, and the cached date objects.
//
// MessagePropImpl implements the ZalvioMessageProperties operations for the
// message object (ZalvioMessageImpl, message.h), which adds the content and
// the actions. Every text the object holds is copied into its own pool and
// freed with it.
//
// Delivery and read times are asked from the engine once per member and
// kept: a group message has one answer per member, so they are kept in a
// small list keyed by member and kind, not in one slot.
#pragma once

#include <cstdint>

#include "core/params.h"
#include "include/zalvio_message.h"

struct AllocPool;
class ZalvioDateTimeImpl;

// Flag bits the message object reads or sets (the core's own are in
// core/params.h).
enum : uint64_t {
  PROP_FLAG_DELIVERY_RECEIPT = MSG_FLAG_DELIVERY_RECEIPT,  // bit 0
  PROP_FLAG_READ_RECEIPT = MSG_FLAG_READ_RECEIPT,          // bit 1
  PROP_FLAG_BIT2 = MSG_FLAG_BROADCAST_SYSTEM,              // bit 2: not stored
  PROP_FLAG_BROADCAST = MSG_FLAG_BROADCAST_KIND,           // bit 3
  PROP_FLAG_FORWARDED = 1ull << 6,
  PROP_FLAG_ENCRYPTED = MSG_FLAG_E2E_ENCRYPTED,            // bit 7
  PROP_FLAG_RICH = MSG_FLAG_RICH,                          // bit 8
  PROP_FLAG_EDIT = 1ull << 18,
  PROP_FLAG_BIT19 = 1ull << 19,
  PROP_FLAG_LAST_IN_BATCH = 1ull << 23,
  PROP_FLAG_UPDATE = 1ull << 43,
  PROP_FLAG_FILE_TRANSFER = 1ull << 44,
  PROP_FLAG_DELETED = 1ull << 55,
  PROP_FLAG_LOCAL_ONLY = MSG_FLAG_LOCAL_ONLY,              // bit 56
  PROP_FLAG_WIPED = 1ull << 57,                            // deleted, placeholder kept
  PROP_FLAG_FILE_FAILED = 1ull << 59,
};

// Defaults of a message made for sending.
enum : uint32_t {
  PROP_DEFAULT_FLAGS = PROP_FLAG_DELIVERY_RECEIPT | PROP_FLAG_READ_RECEIPT,
  PROP_DEFAULT_EXPIRY = 5184000,  // 60 days
  PROP_POOL_CHUNK = 4096,
};

enum : uint16_t {
  PROP_STATUS_36 = 36,
  PROP_STATUS_37 = 37,
  PROP_STATUS_38 = 38,
};

class MessagePropImpl : public ZalvioMessage {
 public:
  MessagePropImpl();
  ~MessagePropImpl() override;

  void setType(int type) override;
  int getType() override;
  void setExpiry(uint32_t seconds) override;
  uint32_t getExpiry() override;
  void setStatus(int status) override;
  int getStatus() override;
  void setRefid(uint64_t refid) override;
  uint64_t getRefid() override;
  int hasRefid() override;
  int isIncoming() override;
  int isSent() override;
  int isDelivered() override;
  int isReadByPeer() override;
  int isReadByUser() override;
  int isUnread() override;
  void setDeleted(int on) override;
  void setWiped(int on) override;
  int isDeleted() override;
  int isWiped() override;
  int isEdit() override;
  int isEditRequest() override;
  int isModified() override;
  int hasFileTransfer() override;
  int isFileFailed() override;
  int isForwarded() override;
  int isEncrypted() override;
  int isEncryptionNotice() override;
  int isBroadcast() override;
  int isRichMessage() override;
  int isPlainMessage() override;
  int isCustom() override;
  int isLocalMessage() override;
  int isStatus36() override;
  int isStatus37() override;
  int isStatus38() override;
  int isMissedCall() override;
  int isIncomingCall() override;
  int isOutgoingCall() override;
  int isCallRecord() override;
  int isVideoCall() override;
  int isVoiceCall() override;
  int isMessage() override;
  int isReservedFalse() override;
  int checkCall() override;
  int isOutgoing() override;
  int isInOutbox() override;
  int isLastInBatch() override;
  int isFromDatabase() override;
  int isSummary() override;
  int isSummaryRow() override;
  int isRealtime() override;
  int isFromOutbox() override;
  int isGroupMessage() override;
  int isFailed() override;
  int isSameConversation(const char *peer, uint32_t groupid) override;
  int isSameConversation(ZalvioMessageProperties *other) override;
  void setPeer(const char *peer) override;
  void setGroupId(uint32_t groupid) override;
  void setFlags(uint64_t mask, int on) override;
  void setFlagBit2(int on) override;
  void setBroadcast(int on) override;
  void setReadReceipt(int on) override;
  void setDeliveryReceipt(int on) override;
  void setLocalOnly(int on) override;
  void setEdit(int on) override;
  void setFlagBit19(int on) override;
  ZalvioDateTime *getTimestampObject() override;
  ZalvioDateTime *getDeliveredTime(const char *member) override;
  ZalvioDateTime *getReadTime(const char *member) override;

 protected:
  // Identifying fields from an engine record (the date objects start empty).
  void load_params(const MessageParams *p, const char *peer);
  AllocPool *alloc() const { return (AllocPool *)pool; }
  char *copy_text(const char *text);
  bool has_flag(uint64_t bit) const { return (flags & bit) != 0; }

 private:
  struct ReceiptTime {
    char *member;  // pool copy
    int read;
    ZalvioDateTimeImpl *time;
    ReceiptTime *next;
  };
  ZalvioDateTime *receipt_time(const char *member, int read);

  ReceiptTime *receipts_ = nullptr;
};
