// The date-time object: turns a message time into calendar fields and
// display texts.
//
// The calendar fields come from the engine's date operation (fill_date),
// reached through get_api, so that every date the library shows (message
// objects here, delivered records in the application layer) is computed
// the same way. date_fields_fill is that computation; engines answer
// fill_date with it.
#pragma once

#include <cstdint>

#include "include/zalvio_datetime.h"

// Calendar fields of a timestamp in local time. All zero for a time the
// engine does not date (up to the end of 2017, UTC).
struct DateFields {
  uint16_t days_ago;  // local midnights between the time and now
  uint8_t year;       // years since 2000
  uint8_t month;      // 1..12
  uint8_t day;
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
};

enum : uint64_t {
  DATE_FIRST_VALID_MS = 1514764800000ull,  // 2018-01-01 00:00:00 UTC
};

// Fills `out` for `ms` as seen at `now_ms`; 0, or -1 when the local time
// cannot be computed (out is zeroed then).
int date_fields_fill(uint64_t ms, uint64_t now_ms, DateFields *out);

class ZalvioDateTimeImpl : public ZalvioDateTime {
 public:
  explicit ZalvioDateTimeImpl(uint64_t ms);
  ~ZalvioDateTimeImpl() override;

  int isValid() override;
  int setTimestamp(uint64_t ms) override;
  const char *getMonthName() override;
  const char *getDate(int monthFirst) override;
  const char *getTime(int withSeconds) override;

 private:
  bool fill();
  void clear_texts();
};
