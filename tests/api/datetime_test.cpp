// Dates of message times: the calendar computation (local time, days ago)
// and the date-time object's texts and caching.
#include "api/datetime.h"

#include <gtest/gtest.h>

#include <ctime>

#include "fake_engine_helper.h"

// Milliseconds of a local calendar time.
static uint64_t local_ms(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return (uint64_t)mktime(&tm) * 1000;
}

TEST(DateFields, CalendarFieldsInLocalTime) {
  uint64_t ms = local_ms(2024, 3, 5, 9, 7, 3) + 250;
  DateFields f;
  ASSERT_EQ(date_fields_fill(ms, ms, &f), 0);
  EXPECT_EQ(f.year, 24);
  EXPECT_EQ(f.month, 3);
  EXPECT_EQ(f.day, 5);
  EXPECT_EQ(f.hour, 9);
  EXPECT_EQ(f.minute, 7);
  EXPECT_EQ(f.second, 3);
  EXPECT_EQ(f.days_ago, 0);

  // The last undated millisecond, and the first dated one.
  ASSERT_EQ(date_fields_fill(DATE_FIRST_VALID_MS - 1, ms, &f), 0);
  EXPECT_EQ(f.month, 0);
  EXPECT_EQ(f.year, 0);
  ASSERT_EQ(date_fields_fill(DATE_FIRST_VALID_MS, ms, &f), 0);
  EXPECT_NE(f.month, 0);
}

TEST(DateFields, DaysAgoCountsLocalMidnights) {
  uint64_t now = local_ms(2024, 3, 5, 12, 0, 0);
  struct Case {
    uint64_t ms;
    int days_ago;
  } cases[] = {
      {local_ms(2024, 3, 5, 0, 0, 0), 0},     // today's midnight
      {local_ms(2024, 3, 6, 8, 0, 0), 0},     // tomorrow
      {local_ms(2024, 3, 4, 23, 59, 0), 1},   // yesterday 23:59
      {local_ms(2024, 3, 3, 0, 1, 0), 2},     // two days ago 00:01
      {local_ms(2024, 2, 24, 12, 0, 0), 10},
  };
  for (const Case &c : cases) {
    DateFields f;
    ASSERT_EQ(date_fields_fill(c.ms, now, &f), 0);
    EXPECT_EQ(f.days_ago, c.days_ago) << c.ms;
  }
}

class DateTime : public testing::Test {
 protected:
  void SetUp() override { test_facade(); }
};

TEST_F(DateTime, TextsAndTheirCache) {
  uint64_t ms = local_ms(2024, 3, 5, 9, 7, 3);
  ZalvioDateTimeImpl a(ms);
  EXPECT_STREQ(a.getDate(1), "Mar 05, 2024");
  EXPECT_STREQ(a.getDate(0), "Mar 05, 2024");  // cached: the argument no longer counts
  EXPECT_STREQ(a.getTime(0), "09:07");
  EXPECT_STREQ(a.getMonthName(), "Mar");
  EXPECT_EQ(a.isValid(), 1);
  EXPECT_EQ(a.year, 2024);

  ZalvioDateTimeImpl b(ms);
  EXPECT_STREQ(b.getDate(0), "05 Mar 2024");
  EXPECT_STREQ(b.getTime(1), "09:07:03");

  // A new time drops the cached texts.
  EXPECT_EQ(a.setTimestamp(local_ms(2025, 12, 31, 23, 59, 59)), 1);
  EXPECT_STREQ(a.getDate(1), "Dec 31, 2025");
  EXPECT_STREQ(a.getTime(1), "23:59:59");
  EXPECT_EQ(a.setTimestamp(0), 0);
  EXPECT_EQ(a.isValid(), 0);
}

TEST_F(DateTime, TimesBefore2018AreInvalid) {
  ZalvioDateTimeImpl d(local_ms(2017, 6, 1, 10, 0, 0));
  EXPECT_EQ(d.getDate(1), nullptr);
  EXPECT_EQ(d.getTime(1), nullptr);
  EXPECT_EQ(d.isValid(), 0);
  EXPECT_EQ(d.getMonthName(), nullptr);
}
