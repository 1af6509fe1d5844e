// The rich message payload: a message whose flags carry 0x100 holds, instead
// of plain bytes, a TLV list with a title, texts, a file description, a
// thumbnail, a location and a few numbers. Inside the library the payload
// travels as one record, the message bundle, between the application
// layer, the facade and the message object.
//
// After rich_decode the bundle's texts and bytes point into the payload (no
// copies): the payload must outlive the bundle. A text item is taken only
// when it ends with its zero byte, so a decoded text is always terminated
// inside the payload.
#pragma once

#include <cstdint>

#include "core/params.h"

// Item types of the payload.
enum : uint32_t {
  RICH_END = 0,
  RICH_TITLE = 1,
  RICH_MESSAGE = 2,
  RICH_THUMBNAIL = 4,
  RICH_LOCATION = 6,
  RICH_ITEM7 = 7,
  RICH_SUBTITLE = 8,
  RICH_FOOTER = 9,
  RICH_MIMETYPE = 10,
  RICH_FILESUBTYPE = 11,
  RICH_FILENAME = 12,
  RICH_ITEM14 = 14,
  RICH_CUSTOM = 15,
  RICH_FILETYPE = 16,
  RICH_FILESIZE = 17,
  RICH_FILEFLAGS = 18,
  RICH_FILEURL = 19,
  RICH_RECEIPT_REF = 20,
  RICH_ACTIVITY_TYPE = 21,
  RICH_ACTIVITY_VALUE = 22,
  RICH_ACTIVITY_DURATION = 23,
  RICH_ITEM26 = 26,
  RICH_ITEM30 = 30,
};

enum : uint32_t {
  RICH_TEXT_LIMIT = 31872,     // texts (each + 1) and thumbnail must stay below
  RICH_PAYLOAD_LIMIT = 31936,  // an encoded payload must fit a bundle record
  RICH_SLACK = 1024,           // room for item headers and numbers
};

// Latitude and longitude of a bundle without a location.
#define RICH_NO_COORDINATE (-720.0)

struct MessageBundle {
  const uint8_t *data;  // raw body of a plain message
  uint32_t datalen;
  const char *message;
  const char *title;
  const char *subtitle;
  const char *footer;
  uint32_t filesize;
  uint32_t fileflags;   // bit 0: no automatic download; bit 2: form parameters
  uint32_t localflags;  // sending options, never transmitted
  uint32_t passthrough;
  uint32_t url_transfer_size;
  uint16_t filetype;    // 1 image, 2 video, 3 audio, else documents
  uint16_t filesubtype;
  uint16_t transfer_mode;  // 0 none, 1 upload, 2 download, 3 progress report
  uint16_t item26;
  uint64_t item30;
  const char *fileurl;
  const char *filepath;  // local, never transmitted
  const char *filename;
  const char *mimetype;
  const char *custom;
  const char *item14;    // decoded only
  int16_t progress;      // percent, -1 failed
  uint16_t source;
  uint32_t thumbnail_len;
  const uint8_t *thumbnail;
  uint16_t thumbnail_size;  // requested longer side; 0 default
  double thumbnail_ratio;   // used when at least 1
  int32_t location_present;
  double lat;
  double lon;
  uint64_t location_code;
  uint16_t item7;           // sent only with a location
  uint64_t receipt_ref;     // item 20
  uint32_t activity_type;   // item 21
  uint32_t activity_value;  // item 22
  uint32_t activity_duration;  // item 23, ms
  int32_t activity_present;
};

// Encodes the bundle into a heap block (*out, caller frees) of *out_len
// bytes. 0, or -1 when the payload would be too large or memory is short.
int rich_encode(const MessageBundle *b, uint8_t **out, uint32_t *out_len);
// Fills `b` from a payload (pointers into it). 0, or -1 on a bad length or
// malformed data.
int rich_decode(const uint8_t *payload, uint32_t len, MessageBundle *b);

// Location code: latitude in the high half, longitude in the low half.
bool rich_location_valid(double lat, double lon);
uint64_t rich_location_encode(double lat, double lon);  // 0 when invalid
// 1 with lat and lon set when the code decodes to a valid location, else 0
// (lat and lon are set either way).
int rich_location_decode(uint64_t code, double *lat, double *lon);

// Debug dumps, one error-level line per field.
void printMessageParams(const MessageParams *p);
void printMessageBundle(const MessageBundle *b);
