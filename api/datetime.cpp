// The date-time object and the calendar computation behind it.
#include "api/datetime.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "api/zalvio.h"
#include "core/izalvio.h"

enum : uint32_t {
  SECONDS_PER_DAY = 86400,
  DATE_TEXT_SIZE = 32,
};

static const char *const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Local midnight at the start of the day of `t`.
static time_t local_midnight(time_t t) {
  struct tm tm;
  if (!localtime_r(&t, &tm)) return t;
  tm.tm_hour = 0;
  tm.tm_min = 0;
  tm.tm_sec = 0;
  tm.tm_isdst = -1;  // midnight may lie on the other side of a DST change
  return mktime(&tm);
}

int date_fields_fill(uint64_t ms, uint64_t now_ms, DateFields *out) {
  memset(out, 0, sizeof *out);
  if (ms < DATE_FIRST_VALID_MS) return 0;
  time_t t = (time_t)(ms / 1000);
  struct tm tm;
  if (!localtime_r(&t, &tm)) return -1;
  time_t midnight = local_midnight((time_t)(now_ms / 1000));
  if (t < midnight) {
    uint64_t days = (uint64_t)(midnight - t) / SECONDS_PER_DAY + 1;
    out->days_ago = days > UINT16_MAX ? UINT16_MAX : (uint16_t)days;
  }
  out->second = (uint8_t)tm.tm_sec;
  out->minute = (uint8_t)tm.tm_min;
  out->hour = (uint8_t)tm.tm_hour;
  out->day = (uint8_t)tm.tm_mday;
  out->month = (uint8_t)(tm.tm_mon + 1);
  out->year = (uint8_t)(tm.tm_year + 1900 - 2000);
  return 0;
}

ZalvioDateTimeImpl::ZalvioDateTimeImpl(uint64_t ms) {
  timestamp = ms;
  daysAgo = 0;
  year = 0;
  month = day = hour = minute = second = 0;
  dateText = nullptr;
  timeText = nullptr;
}

ZalvioDateTimeImpl::~ZalvioDateTimeImpl() { clear_texts(); }

void ZalvioDateTimeImpl::clear_texts() {
  free(dateText);
  free(timeText);
  dateText = nullptr;
  timeText = nullptr;
}

static bool month_valid(uint8_t m) { return m >= 1 && m <= 12; }

// Asks the engine for the calendar fields of the timestamp. An undated time
// leaves year and month 0, so the object reads as invalid.
bool ZalvioDateTimeImpl::fill() {
  IZalvio *engine = get_api();
  DateFields f;
  if (!engine || engine->fill_date(timestamp, &f) != 0) return false;
  daysAgo = f.days_ago;
  year = month_valid(f.month) ? (uint16_t)(f.year + 2000) : 0;
  month = f.month;
  day = f.day;
  hour = f.hour;
  minute = f.minute;
  second = f.second;
  return true;
}

int ZalvioDateTimeImpl::isValid() { return timestamp != 0 && month_valid(month) && year != 0; }

int ZalvioDateTimeImpl::setTimestamp(uint64_t ms) {
  clear_texts();
  timestamp = ms;
  year = 0;
  month = day = hour = minute = second = 0;
  daysAgo = 0;
  if (ms == 0) return 0;
  return fill() ? 1 : 0;
}

const char *ZalvioDateTimeImpl::getMonthName() {
  return month_valid(month) ? kMonthNames[month - 1] : nullptr;
}

const char *ZalvioDateTimeImpl::getDate(int monthFirst) {
  if (dateText) return dateText;
  if (year == 0 && !fill()) return nullptr;
  if (!isValid()) return nullptr;
  char text[DATE_TEXT_SIZE];
  if (monthFirst)
    snprintf(text, sizeof text, "%s %02d, %d", getMonthName(), day, year);
  else
    snprintf(text, sizeof text, "%02d %s %d", day, getMonthName(), year);
  dateText = strdup(text);
  return dateText;
}

// An undated time has no time of day either: its zeroed fields would read
// as midnight.
const char *ZalvioDateTimeImpl::getTime(int withSeconds) {
  if (timeText) return timeText;
  if (year == 0 && !fill()) return nullptr;
  if (!isValid() || hour > 23 || minute > 59 || second > 59) return nullptr;
  char text[DATE_TEXT_SIZE];
  if (withSeconds)
    snprintf(text, sizeof text, "%02d:%02d:%02d", hour, minute, second);
  else
    snprintf(text, sizeof text, "%02d:%02d", hour, minute);
  timeText = strdup(text);
  return timeText;
}
