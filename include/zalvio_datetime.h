// ZalvioDateTime: the calendar date of a message time, for display.
//
// Message objects hand these out (ZalvioMessage::getTimestampObject,
// getDeliveredTime, getReadTime) and keep ownership of them: do not delete
// an object you got from a message; it lives as long as the message. The
// fields are filled in local time on first use; times before 2018 count as
// invalid. Texts returned by getDate and getTime are owned by the object.
//
// Not thread-safe: use one object from one thread at a time.
#pragma once

#include <cstdint>

class ZalvioDateTime {
 public:
  uint64_t timestamp;  // milliseconds since the epoch
  uint16_t daysAgo;    // 0 today (or later), 1 yesterday, ...
  uint16_t year;       // e.g. 2024; 0 until filled or when invalid
  uint8_t month;       // 1..12; 0 when invalid
  uint8_t day;         // 1..31
  uint8_t hour;        // 0..23
  uint8_t minute;      // 0..59
  uint8_t second;      // 0..59
  char *dateText;      // cached result of getDate (owned by the object)
  char *timeText;      // cached result of getTime (owned by the object)

  virtual ~ZalvioDateTime() {}

  // 1 when the timestamp is set and the calendar fields form a valid date.
  virtual int isValid() = 0;
  // Sets a new time and fills the calendar fields; cached texts are
  // dropped. 1 on success, 0 for a zero timestamp or when the library is
  // not initialised (no ZalvioInstance yet).
  virtual int setTimestamp(uint64_t ms) = 0;
  // "Jan" .. "Dec", or null when the month is not valid.
  virtual const char *getMonthName() = 0;
  // "Mar 05, 2024" when monthFirst is non-zero, else "05 Mar 2024"; null
  // for an invalid date. The first text made is cached: later calls return
  // it whatever their argument.
  virtual const char *getDate(int monthFirst) = 0;
  // "09:07:03" when withSeconds is non-zero, else "09:07"; null for an
  // invalid date. Cached like getDate.
  virtual const char *getTime(int withSeconds) = 0;
};
