// The compact type-length-value codec, the 8-byte frame header and the
// message record: every unit on the server connection, the settings blob,
// the rich payload and several stored records are built from these items.
//
// Item: byte 0 holds the low 5 type bits and a 3-bit length code.
//   code 0-4  value of exactly that many bytes, type 0-31
//   code 5/6  one/two little-endian length bytes follow, type 0-31
//   code 7    extended: byte 1 = type bits 5-10 | (length bytes - 1) << 6,
//             then 1-4 length bytes
// Integers are little-endian; a "compact" integer drops trailing zero bytes
// (at least one byte remains).
//
// The writer picks the shortest form: N length bytes (0 for an empty value,
// else 1-4 by magnitude); the extended form when the type is above 31 or N
// is above 2; code N + 4 for values longer than 4 bytes; else code = length.
// An empty value of an extended type gets one length byte holding 0, since
// the extended form cannot say "no length bytes".
//
// Every reader treats its input as hostile: a malformed item ends the walk
// with -1 and nothing is read outside [buf, buf + cap).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/params.h"

enum : uint32_t {
  TLV_TYPE_LIMIT = 2048,  // types are 11 bits
  TLV_MAX_HEADER = 6,     // byte 0, byte 1, four length bytes
};

// Cursor over a caller-owned buffer, used both to build and to walk items.
struct TlvBuffer {
  uint8_t *buf;
  uint32_t pos;    // bytes written, or bytes consumed
  uint32_t cap;    // bytes available, or bytes to walk
  uint32_t skip;   // reserved, 0
  uint32_t flags;  // reserved, 0

  // Appends one item; 0 and advances on success, -1 and unchanged on failure.
  int put(uint32_t type, uint32_t length, const void *value, bool compact);
  // Reads the next item; 0 with a pointer into the buffer, -1 at the end or
  // on a malformed item (pos == cap tells the two apart).
  int get(uint32_t *type, uint32_t *length, const uint8_t **value);

  // Convenience writers for the common value kinds.
  int put_empty(uint32_t type) { return put(type, 0, nullptr, false); }
  int put_u16(uint32_t type, uint16_t v);  // compact
  int put_u32(uint32_t type, uint32_t v);  // compact
  int put_u64(uint32_t type, uint64_t v);  // compact
  int put_u16_fixed(uint32_t type, uint16_t v);
  int put_u32_fixed(uint32_t type, uint32_t v);
  int put_text(uint32_t type, const char *text);  // without terminator; null is empty
  int put_bytes(uint32_t type, const void *bytes, uint32_t length) {
    return put(type, length, bytes, false);
  }
};

// Two forms so that handing a fresh (uninitialised) output buffer does not
// look like a read of it; walking never writes through a const buffer.
void tlv_init(TlvBuffer *t, void *buf, uint32_t cap);
void tlv_init(TlvBuffer *t, const void *buf, uint32_t cap);

// Writes one item at buf; returns the bytes written or -1 (type >= 2048,
// capacity too small: nothing written). A null value writes `length` zero
// bytes; compact drops trailing zero bytes of a given value.
int tlv_add(void *buf, uint32_t cap, uint32_t type, uint32_t length, const void *value,
            bool compact);

// Reads an integer value with the reader's rule: a value longer than `width`
// bytes is ignored (0), shorter values are zero-extended.
uint64_t tlv_uint(const uint8_t *value, uint32_t length, uint32_t width);

// First item of `type`: returns its length and sets *value, or -1 when absent
// or the data is malformed.
int tlv_find(const void *buf, uint32_t length, uint32_t type, const uint8_t **value);

// As tlv_find, but an item of type 0 ends the search with 0 ("not found",
// *value null). Running off the end without meeting one is still -1.
int tlv_find_item(const void *buf, uint32_t length, uint32_t type, const uint8_t **value);

// Removes the first item of `type` by moving the rest down; returns the new
// length (unchanged when absent or when malformed data comes first), -1 for
// no buffer or a length of 1 or less.
int tlv_remove(void *buf, int length, uint32_t type);

// Logs the items of a buffer up to the first empty one, optionally with a
// hex dump of each value.
void tlv_dump(const char *label, const void *buf, uint32_t length, bool hex);

// ---- frames ---------------------------------------------------------------

enum : uint32_t {
  FRAME_HEADER_SIZE = 8,
  FRAME_MAX_BODY = 0xFFFFF,      // 20-bit body length
  FRAME_CLIENT_MAX = 65535,      // client frames never exceed this
  BUNDLE_MAX_BODY = 32000,
  BUNDLE_MAX_RECORDS = 32,
  LOGIN_MAX_BODY = 1024,
  DEBUG_MAX_TEXT = 246,
};

enum FrameCode : uint8_t {
  FRAME_LOGIN = 1,
  FRAME_BUNDLE = 2,
  FRAME_PING = 14,
  FRAME_DEBUG = 15,
};

// Op bytes of frames received from the server.
enum : uint8_t {
  OP_DATA = 0x41,           // "A": bundle of records, param to echo
  OP_PING_REQUEST = 0x4A,   // "J"
  OP_CLOSE = 0x4B,          // "K"
  OP_SIGNED_OUT = 0x4F,     // "O"
  OP_CONTROL_FIRST = 0x80,  // 0x80-0xBF server control
  OP_AUTHFAIL_FIRST = 0xC0, // 0xC0-0xFF authentication failure
};

// The acknowledgement classes are told apart by bit 6 of the op byte: the
// engine acknowledges only frames where it is clear, so an unlisted op in
// 0x40-0x7F is ignored rather than mistaken for an acknowledgement.
enum FrameClass {
  FRAME_CLASS_ACK,       // below 0x40: acknowledges the frame code
  FRAME_CLASS_DATA,      // "A"
  FRAME_CLASS_PING_REQUEST,
  FRAME_CLASS_CLOSE,
  FRAME_CLASS_SIGNED_OUT,
  FRAME_CLASS_OTHER,     // 0x40-0x7F not listed: ignored
  FRAME_CLASS_CONTROL,   // 0x80-0xBF
  FRAME_CLASS_AUTHFAIL,  // 0xC0-0xFF
};

struct FrameHeader {
  uint8_t code;     // FrameCode (4 bits)
  uint8_t op;
  uint32_t length;  // body length, 20 bits
  uint32_t param;
};

// Encodes 8 bytes; returns -1 (nothing written) when the code exceeds 4 bits
// or the length 20 bits.
int frame_encode(uint8_t out[FRAME_HEADER_SIZE], const FrameHeader &h);
void frame_decode(const uint8_t in[FRAME_HEADER_SIZE], FrameHeader *h);
FrameClass frame_class(uint8_t op);

// ---- message records ------------------------------------------------------

// TLV types of a message record.
enum : uint32_t {
  REC_START = 1,
  REC_END = 2,
  REC_ID = 3,
  REC_ADDRESS = 4,
  REC_UID = 5,
  REC_GROUPID = 6,
  REC_PAYLOAD = 7,
  REC_EXPIRY = 8,
  REC_FLAGS = 9,
  REC_CHANNEL = 10,
  REC_TYPE = 11,
  REC_STATUS = 12,
  REC_REFID = 13,
  REC_GROUPPARAM = 14,
  REC_AUX64 = 15,
  REC_AGE = 16,
  REC_BUNDLE_SEQ = 17,
  REC_ENVELOPE = 18,
  REC_STOREDMARK = 20,
  REC_AUX32 = 21,
  REC_TOUID = 22,
  REC_PROFILEVERSION = 23,
  REC_AGESENT = 25,
  REC_AGERECV = 26,
  REC_AGEREAD = 27,
  REC_SYNCREF = 28,
  REC_SYNCID = 29,
  REC_SYNCEXT = 30,
  REC_TID = 40,
  REC_USERDATA = 41,
  REC_SENSITIVITY = 42,
  REC_PEERVERSION = 50,
};

// What one record carries beside MessageParams (pointers into the buffer).
// The envelope travels in MessageParams (envelope, envelope_len).
struct RecordExtras {
  const char *address;  // not terminated
  uint32_t address_len;
  const uint8_t *payload;
  uint32_t payload_len;
  uint16_t group_param;  // item 14
  uint64_t age;          // item 16, seconds
  bool has_age;
  bool is_status;        // item 12 present
  bool last;             // an end item or the end of the data followed
};

// Writes one record in the client's item order. The caller decides the
// destination beforehand and the encoder writes exactly one of them:
//   p.groupid != 0  -> item 6, plus item 14 when x.group_param != 0
//   else p.uid != 0 -> item 5 (the engine puts a fresh peer uid here)
//   else            -> item 4 with x.address, when it is not empty
// Returns 0, or -1 when it does not fit (the cursor is left where it was).
int record_encode(TlvBuffer *out, const MessageParams &p, const RecordExtras &x);

// Reads the next record: items before its type 1 start (such as the bundle
// sequence) are skipped, then items are taken up to the next start (left
// unread), an end item (consumed) or the end of the data. `p` and `x` are
// zeroed first; p->status is preset to MSG_STATUS_UNREAD. In sent mode only
// the items the client itself writes about a message are taken (3, 4, 5, 6,
// 9, 10, 11, 13, 15, 25, 26, 27).
// Returns 0 with a record, 1 when no record remains, -1 on malformed data.
int record_decode(TlvBuffer *in, MessageParams *p, RecordExtras *x, bool sent_mode);

// Starts a client bundle body with the sequence item.
int bundle_begin(TlvBuffer *out, uint16_t sequence);
