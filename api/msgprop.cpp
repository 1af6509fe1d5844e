// Message parameters and predicates. See msgprop.h.
#include "api/msgprop.h"

#include <cstring>

#include "api/datetime.h"
#include "api/zalvio.h"
#include "util/allocpool.h"

static const uint64_t kOwnIdLimit = 1ull << 32;  // ids of the user's own messages are below

MessagePropImpl::MessagePropImpl() {
  id = 0;
  uid = 0;
  groupid = 0;
  peer = nullptr;
  timestampObject = nullptr;
  readTimeObject = nullptr;
  deliveredTimeObject = nullptr;
  refid = 0;
  flags = 0;
  timestamp = 0;
  expiry = 0;
  status = 0;
  type = 0;
  origin = 0;
  statusFlags = 0;
  pool = allocpool_create(PROP_POOL_CHUNK, PROP_POOL_CHUNK);
}

MessagePropImpl::~MessagePropImpl() {
  delete static_cast<ZalvioDateTimeImpl *>(timestampObject);
  for (ReceiptTime *r = receipts_; r; r = r->next) delete r->time;
  if (pool) allocpool_cleanup(alloc());
}

char *MessagePropImpl::copy_text(const char *text) { return allocpool_strdup(alloc(), text); }

void MessagePropImpl::load_params(const MessageParams *p, const char *from) {
  id = p->id;
  uid = p->uid;
  groupid = p->groupid;
  peer = copy_text(from);
  refid = p->refid;
  flags = p->flags;
  timestamp = p->when;
  expiry = p->expiry;
  status = p->status;
  type = p->type;
  origin = p->origin;
  statusFlags = p->status_flags;
}

void MessagePropImpl::setType(int value) { type = (uint16_t)value; }
int MessagePropImpl::getType() { return type; }
void MessagePropImpl::setExpiry(uint32_t seconds) { expiry = seconds; }
uint32_t MessagePropImpl::getExpiry() { return expiry; }
void MessagePropImpl::setStatus(int value) { status = (uint16_t)value; }
int MessagePropImpl::getStatus() { return status; }
void MessagePropImpl::setRefid(uint64_t value) { refid = value; }
uint64_t MessagePropImpl::getRefid() { return refid; }
int MessagePropImpl::hasRefid() { return refid != 0; }

int MessagePropImpl::isIncoming() {
  return status == MSG_STATUS_UNREAD || status == MSG_STATUS_RECEIVED_READ;
}
int MessagePropImpl::isSent() { return status == MSG_STATUS_SENT; }
int MessagePropImpl::isDelivered() { return status == MSG_STATUS_DELIVERED; }
int MessagePropImpl::isReadByPeer() { return status == MSG_STATUS_READ; }
int MessagePropImpl::isReadByUser() { return status == MSG_STATUS_RECEIVED_READ; }
int MessagePropImpl::isUnread() { return status == MSG_STATUS_UNREAD; }

void MessagePropImpl::setDeleted(int on) { setFlags(PROP_FLAG_DELETED, on); }
void MessagePropImpl::setWiped(int on) { setFlags(PROP_FLAG_WIPED, on); }
int MessagePropImpl::isDeleted() { return has_flag(PROP_FLAG_DELETED | PROP_FLAG_WIPED); }
int MessagePropImpl::isWiped() { return has_flag(PROP_FLAG_WIPED); }
int MessagePropImpl::isEdit() { return has_flag(PROP_FLAG_EDIT); }
int MessagePropImpl::isEditRequest() { return has_flag(PROP_FLAG_EDIT); }
int MessagePropImpl::isModified() { return has_flag(PROP_FLAG_EDIT | PROP_FLAG_UPDATE); }
int MessagePropImpl::hasFileTransfer() { return has_flag(PROP_FLAG_FILE_TRANSFER); }
int MessagePropImpl::isFileFailed() { return isRichMessage() && has_flag(PROP_FLAG_FILE_FAILED); }
int MessagePropImpl::isForwarded() { return has_flag(PROP_FLAG_FORWARDED); }
int MessagePropImpl::isEncrypted() { return has_flag(PROP_FLAG_ENCRYPTED); }
int MessagePropImpl::isEncryptionNotice() { return status == MSG_STATUS_CUSTOM2; }
int MessagePropImpl::isBroadcast() { return has_flag(PROP_FLAG_BROADCAST); }
int MessagePropImpl::isRichMessage() { return !isDeleted() && has_flag(PROP_FLAG_RICH); }
int MessagePropImpl::isPlainMessage() { return !isRichMessage(); }
int MessagePropImpl::isCustom() { return status == MSG_STATUS_CUSTOM1; }
int MessagePropImpl::isLocalMessage() { return status == MSG_STATUS_CUSTOM1; }
int MessagePropImpl::isStatus36() { return status == PROP_STATUS_36; }
int MessagePropImpl::isStatus37() { return status == PROP_STATUS_37; }
int MessagePropImpl::isStatus38() { return status == PROP_STATUS_38; }
int MessagePropImpl::isMissedCall() { return status == MSG_STATUS_CALL_MISSED; }
int MessagePropImpl::isIncomingCall() { return status == MSG_STATUS_CALL_INCOMING; }
int MessagePropImpl::isOutgoingCall() { return status == MSG_STATUS_CALL_OUTGOING; }
int MessagePropImpl::isCallRecord() { return isMissedCall() || isIncomingCall() || isOutgoingCall(); }
int MessagePropImpl::isVideoCall() { return isCallRecord() && (type & 1); }
int MessagePropImpl::isVoiceCall() { return isCallRecord() && !(type & 1); }
int MessagePropImpl::isMessage() { return !isStatus36() && !isCallRecord() && !isCustom(); }
int MessagePropImpl::isReservedFalse() { return 0; }
int MessagePropImpl::checkCall() { return isCallRecord() ? 0 : -1; }

int MessagePropImpl::isOutgoing() {
  if (isCallRecord() || isCustom() || isIncoming()) return 0;
  if (isStatus36() || isStatus37() || isStatus38()) return 0;
  return isMessage() && (status <= MSG_STATUS_READ || isFailed());
}

int MessagePropImpl::isInOutbox() { return status == MSG_STATUS_OUTBOX; }
int MessagePropImpl::isLastInBatch() { return has_flag(PROP_FLAG_LAST_IN_BATCH); }
int MessagePropImpl::isFromDatabase() { return origin == ORIGIN_SESSION_READ; }
int MessagePropImpl::isSummary() { return origin == ORIGIN_SUMMARY_READ; }
int MessagePropImpl::isSummaryRow() { return origin == ORIGIN_SUMMARY_READ; }
int MessagePropImpl::isRealtime() { return origin == ORIGIN_REALTIME; }
int MessagePropImpl::isFromOutbox() { return origin == ORIGIN_OUTBOX_RESEND; }
int MessagePropImpl::isGroupMessage() { return groupid != 0; }
int MessagePropImpl::isFailed() { return (status & MSG_STATUS_FAILED_BIT) != 0; }

int MessagePropImpl::isSameConversation(const char *other_peer, uint32_t other_group) {
  if (groupid || other_group) return groupid == other_group;
  return peer && other_peer && strcmp(peer, other_peer) == 0;
}

int MessagePropImpl::isSameConversation(ZalvioMessageProperties *other) {
  return other ? isSameConversation(other->peer, other->groupid) : 0;
}

void MessagePropImpl::setPeer(const char *value) { peer = copy_text(value); }
void MessagePropImpl::setGroupId(uint32_t value) { groupid = value; }

void MessagePropImpl::setFlags(uint64_t mask, int on) {
  if (on)
    flags |= mask;
  else
    flags &= ~mask;
}

void MessagePropImpl::setFlagBit2(int on) { setFlags(PROP_FLAG_BIT2, on); }
void MessagePropImpl::setBroadcast(int on) { setFlags(PROP_FLAG_BROADCAST, on); }
void MessagePropImpl::setReadReceipt(int on) { setFlags(PROP_FLAG_READ_RECEIPT, on); }
void MessagePropImpl::setDeliveryReceipt(int on) { setFlags(PROP_FLAG_DELIVERY_RECEIPT, on); }
void MessagePropImpl::setLocalOnly(int on) { setFlags(PROP_FLAG_LOCAL_ONLY, on); }
void MessagePropImpl::setEdit(int on) { setFlags(PROP_FLAG_EDIT, on); }
void MessagePropImpl::setFlagBit19(int on) { setFlags(PROP_FLAG_BIT19, on); }

// Date objects are handed out filled, so that their public fields and
// isValid read right without a first getDate.
static ZalvioDateTimeImpl *dated(uint64_t ms) {
  ZalvioDateTimeImpl *d = new ZalvioDateTimeImpl(ms);
  d->setTimestamp(ms);
  return d;
}

ZalvioDateTime *MessagePropImpl::getTimestampObject() {
  if (!timestampObject) timestampObject = dated(timestamp);
  return timestampObject;
}

ZalvioDateTime *MessagePropImpl::receipt_time(const char *member, int read) {
  const char *who = groupid ? member : peer;
  if (!who || !*who || id >= kOwnIdLimit) return nullptr;
  for (ReceiptTime *r = receipts_; r; r = r->next)
    if (r->read == read && strcmp(r->member, who) == 0) return r->time;
  IZalvio *engine = get_api();
  if (!engine) return nullptr;
  uint64_t ms = engine->db_get_receipt_time(id, who, read);
  if (!ms) return nullptr;  // unknown yet: asked again next time
  ReceiptTime *r = (ReceiptTime *)allocpool_alloc(alloc(), sizeof *r);
  char *member_copy = copy_text(who);
  if (!r || !member_copy) return nullptr;
  r->member = member_copy;
  r->read = read;
  r->time = dated(ms);
  r->next = receipts_;
  receipts_ = r;
  if (read)
    readTimeObject = r->time;
  else
    deliveredTimeObject = r->time;
  return r->time;
}

ZalvioDateTime *MessagePropImpl::getDeliveredTime(const char *member) { return receipt_time(member, 0); }
ZalvioDateTime *MessagePropImpl::getReadTime(const char *member) { return receipt_time(member, 1); }
