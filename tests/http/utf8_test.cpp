#include "http/utf8.h"

#include <gtest/gtest.h>

#include <string>

TEST(Utf8, ValidityTable) {
  struct Case {
    const char *what;
    std::string bytes;
    uint32_t len;  // 0: the default limit
    int expected;
  } cases[] = {
      {"ascii", "hello, world", 0, 1},
      {"tab, newline, return", "a\tb\nc\r", 0, 1},
      {"empty", "", 0, 1},
      {"two bytes", "caf\xc3\xa9", 0, 1},
      {"three bytes", "\xe2\x82\xac", 0, 1},
      {"four bytes", "\xf0\x9f\x98\x80", 0, 1},
      {"highest code point", "\xf4\x8f\xbf\xbf", 0, 1},
      {"zero byte ends the text", std::string("ok\0\x01", 4), 4, 1},
      {"length stops before a bad byte", "ab\x01", 2, 1},
      {"control byte", "a\x01", 0, 0},
      {"delete", "a\x7f", 0, 0},
      {"stray continuation", "\x80", 0, 0},
      {"overlong two bytes", "\xc0\xaf", 0, 0},
      {"overlong two bytes C1", "\xc1\xbf", 0, 0},
      {"overlong three bytes", "\xe0\x80\xaf", 0, 0},
      {"overlong four bytes", "\xf0\x80\x80\xaf", 0, 0},
      {"surrogate", "\xed\xa0\x80", 0, 0},
      {"above U+10FFFF", "\xf4\x90\x80\x80", 0, 0},
      {"five-byte lead", "\xf8\x88\x80\x80\x80", 0, 0},
      {"lead 0xFF", "\xff", 0, 0},
      {"bad continuation", "\xc3\x28", 0, 0},
      {"sequence cut by the length", "\xe2\x82\xac", 2, 0},
      {"sequence cut by the end", "\xe2\x82", 0, 0},
  };
  for (const Case &c : cases)
    EXPECT_EQ(utf8_is_valid(c.bytes.c_str(), c.len), c.expected) << c.what;
  EXPECT_EQ(utf8_is_valid(nullptr, 0), 0);
}
