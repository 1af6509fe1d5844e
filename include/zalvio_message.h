// ZalvioMessage: one message, as the library hands it to you and as you
// build it to send.
//
// Ownership:
// - Messages passed to ZalvioListener callbacks belong to the library and
//   are valid only during the callback; release() on them does nothing.
//   To keep one, take copy() (or forward() to send it on).
// - Messages from Zalvio::newMessage, ZalvioMessageInstance, forward() and
//   copy() belong to you: delete them (or call release()).
// - Every text and byte block a message holds is its own copy, made when
//   you set it; texts and objects it returns stay owned by the message and
//   live as long as it does.
//
// A message is used by one thread at a time. Operations that act through
// the engine (send, resend, the deletes, the receipt times) return -1 (or
// null) when the library is not initialised (no ZalvioInstance yet).
#pragma once

#include <cstdint>

#include "zalvio_datetime.h"

// Message statuses (the `status` field).
enum {
  ZALVIO_STATUS_OUTBOX = 0,      // stored, waiting to be sent
  ZALVIO_STATUS_SENT = 1,        // the server has it
  ZALVIO_STATUS_DELIVERED = 2,   // the peer's device has it
  ZALVIO_STATUS_READ = 3,        // the peer has read it
  ZALVIO_STATUS_UNREAD = 18,     // received, not read yet
  ZALVIO_STATUS_RECEIVED = 19,   // received and read
  ZALVIO_STATUS_MISSED_CALL = 21,
  ZALVIO_STATUS_INCOMING_CALL = 22,
  ZALVIO_STATUS_OUTGOING_CALL = 23,
  ZALVIO_STATUS_LOCAL = 32,      // a local message, never sent
  ZALVIO_STATUS_E2E_NOTICE = 35, // end-to-end encryption state changed
  ZALVIO_STATUS_FAILED_BIT = 0x80,
};

// Message origins (the `origin` field).
enum {
  ZALVIO_ORIGIN_REALTIME = 0,  // live from the engine
  ZALVIO_ORIGIN_SESSION = 1,   // read back by a read session
  ZALVIO_ORIGIN_SUMMARY = 2,   // a row of the conversation summary
  ZALVIO_ORIGIN_OUTBOX = 3,    // sent again from the outbox
};

// A raw message body. The bytes belong to whoever made the record: the
// message's own copy when you got it from getData().
struct MessageData {
  const uint8_t *data;
  uint32_t length;
};

// The file of a message. Paths, URL and thumbnail belong to the message.
struct MessageFile {
  uint8_t type;               // 1 image, 2 video, 3 audio, other values documents
  uint32_t size;              // bytes
  uint64_t reserved1;
  char *path;                 // local file
  char *url;                  // where the service stores it
  void *reserved2;
  const uint8_t *thumbnail;   // JPEG bytes
  uint32_t thumbnailLength;
  uint8_t reset;              // 1 after the record was cleared
};

// The parameters of a message and the questions you can ask about them.
class ZalvioMessageProperties {
 public:
  uint64_t id;                           // message id
  uint32_t uid;                          // the peer's user id
  uint32_t groupid;                      // the group, 0 for one-to-one
  char *peer;                            // the peer's address, or null
  ZalvioDateTime *timestampObject;       // from getTimestampObject (owned by the message)
  ZalvioDateTime *readTimeObject;        // last result of getReadTime (owned by the message)
  ZalvioDateTime *deliveredTimeObject;   // last result of getDeliveredTime (owned by the message)
  uint64_t refid;                        // the message this one refers to, or 0
  uint64_t flags;                        // message flag bits
  uint64_t timestamp;                    // milliseconds since the epoch
  uint32_t expiry;                       // seconds the service keeps it
  uint16_t status;                       // ZALVIO_STATUS_*
  uint16_t type;                         // application message type
  uint8_t origin;                        // ZALVIO_ORIGIN_*
  uint8_t statusFlags;
  void *pool;                            // the message's memory (internal)

  virtual ~ZalvioMessageProperties() {}

  virtual void setType(int type) = 0;
  virtual int getType() = 0;
  virtual void setExpiry(uint32_t seconds) = 0;
  virtual uint32_t getExpiry() = 0;
  virtual void setStatus(int status) = 0;
  virtual int getStatus() = 0;
  virtual void setRefid(uint64_t refid) = 0;
  virtual uint64_t getRefid() = 0;
  virtual int hasRefid() = 0;
  virtual int isIncoming() = 0;     // status 18 or 19
  virtual int isSent() = 0;         // status 1
  virtual int isDelivered() = 0;    // status 2
  virtual int isReadByPeer() = 0;   // status 3
  virtual int isReadByUser() = 0;   // status 19
  virtual int isUnread() = 0;       // status 18
  virtual void setDeleted(int on) = 0;
  virtual void setWiped(int on) = 0;
  virtual int isDeleted() = 0;      // deleted, with or without placeholder
  virtual int isWiped() = 0;        // deleted, placeholder kept
  virtual int isEdit() = 0;
  virtual int isEditRequest() = 0;  // same as isEdit
  virtual int isModified() = 0;     // an edit, or an update of an earlier message
  virtual int hasFileTransfer() = 0;
  virtual int isFileFailed() = 0;
  virtual int isForwarded() = 0;
  virtual int isEncrypted() = 0;    // arrived end-to-end encrypted
  virtual int isEncryptionNotice() = 0;
  virtual int isBroadcast() = 0;
  virtual int isRichMessage() = 0;  // carries title, file, thumbnail or location fields
  virtual int isPlainMessage() = 0;
  virtual int isCustom() = 0;       // status 32
  virtual int isLocalMessage() = 0; // status 32
  virtual int isStatus36() = 0;
  virtual int isStatus37() = 0;
  virtual int isStatus38() = 0;
  virtual int isMissedCall() = 0;
  virtual int isIncomingCall() = 0;
  virtual int isOutgoingCall() = 0;
  virtual int isCallRecord() = 0;
  virtual int isVideoCall() = 0;
  virtual int isVoiceCall() = 0;
  virtual int isMessage() = 0;      // an ordinary message: no call record, no local notice
  virtual int isReservedFalse() = 0;
  virtual int checkCall() = 0;      // 0 for a call record, -1 otherwise
  virtual int isOutgoing() = 0;
  virtual int isInOutbox() = 0;
  virtual int isLastInBatch() = 0;  // the last message of a page read
  virtual int isFromDatabase() = 0;
  virtual int isSummary() = 0;
  virtual int isSummaryRow() = 0;
  virtual int isRealtime() = 0;
  virtual int isFromOutbox() = 0;
  virtual int isGroupMessage() = 0;
  virtual int isFailed() = 0;
  // 1 when the message belongs to the conversation with peer (groupid 0)
  // or to the group.
  virtual int isSameConversation(const char *peer, uint32_t groupid) = 0;
  virtual int isSameConversation(ZalvioMessageProperties *other) = 0;
  virtual void setPeer(const char *peer) = 0;
  virtual void setGroupId(uint32_t groupid) = 0;
  // Sets (on non-zero) or clears the flag bits of mask.
  virtual void setFlags(uint64_t mask, int on) = 0;
  virtual void setFlagBit2(int on) = 0;
  virtual void setBroadcast(int on) = 0;
  virtual void setReadReceipt(int on) = 0;      // ask the peer for a read receipt
  virtual void setDeliveryReceipt(int on) = 0;  // ask for a delivery receipt
  // A local-only message is stored and shown on this device, never sent.
  virtual void setLocalOnly(int on) = 0;
  virtual void setEdit(int on) = 0;
  virtual void setFlagBit19(int on) = 0;
  // The message's time as a date; null when the library is not initialised.
  virtual ZalvioDateTime *getTimestampObject() = 0;
  // When your sent message reached (or was read by) member, a group
  // member's address; one-to-one messages use their own peer. Null while
  // unknown. Answers are kept per member once known.
  virtual ZalvioDateTime *getDeliveredTime(const char *member) = 0;
  virtual ZalvioDateTime *getReadTime(const char *member) = 0;
};

// A message with its content and the actions on it.
class ZalvioMessage : public ZalvioMessageProperties {
 public:
  uint32_t localflags;   // sending options, never transmitted
  uint64_t forwardOf;    // id of the stored message this one forwards, or 0
  MessageData data;      // raw body; empty for rich messages
  char *message;         // text
  char *title;
  char *subtitle;
  MessageFile file;
  double latitude;
  double longitude;

  // Setters copy what they are given; null clears.
  virtual void setMessage(const char *text) = 0;
  virtual void setTitle(const char *title) = 0;
  virtual void setSubtitle(const char *subtitle) = 0;
  // A raw body instead of text and fields; sent alone when non-empty.
  virtual void setData(const MessageData *data) = 0;
  // Attaches a local file (the URL is cleared; the library uploads it).
  virtual void setFilePath(const char *path) = 0;
  virtual void setFileType(int type) = 0;
  virtual void setThumbnail(const void *bytes, uint16_t length) = 0;
  virtual void setLatitude(double latitude) = 0;
  virtual void setLongitude(double longitude) = 0;
  virtual const char *getMessage() = 0;
  virtual const char *getTitle() = 0;
  virtual const char *getSubtitle() = 0;
  virtual MessageData *getData() = 0;
  virtual MessageFile *getFile() = 0;
  virtual double getLatitude() = 0;
  virtual double getLongitude() = 0;
  // Sends the message (a new id is drawn when id is 0). The engine's
  // result: 0 accepted, 133 nothing to send, other values refused; -1
  // when the library is not initialised. The result arrives later as
  // onMessageStatus.
  virtual int send() = 0;
  // Sends a failed message again; -1 without an id.
  virtual int resend() = 0;
  // A new message to peer (or the group) forwarding this one; yours to
  // delete. Send it with send().
  virtual ZalvioMessage *forward(const char *peer) = 0;
  virtual ZalvioMessage *forward(uint32_t groupid) = 0;
  // Deletes the stored message on this device.
  virtual int deleteForMe() = 0;
  // The same, leaving a "deleted" placeholder.
  virtual int wipeForMe() = 0;
  // Deletes it here and asks the peers to delete it (within the delete
  // window, see Zalvio::setDeleteWindow).
  virtual int deleteForEveryone() = 0;
  virtual int removeForEveryone() = 0;
  // 1 while your sent message is young enough to be deleted for everyone.
  virtual int canDeleteForEveryone() = 0;
  // Deletes a message you own; does nothing on a message lent to a callback.
  virtual void release() = 0;
  // A full copy that you own (id, fields and content), e.g. to keep a
  // message received in a callback.
  virtual ZalvioMessage *copy() = 0;
  // In a row of the conversation summary (isSummary), the number of unread
  // messages in that conversation; 0 in any other message.
  virtual int getUnreadCount() = 0;
};
