// Version numbers: the packing, the range checks and odd texts.
#include "util/string.h"

#include <gtest/gtest.h>

namespace {

TEST(String, VersionNumbers) {
  const struct {
    const char *text;
    uint32_t number;
  } cases[] = {
      {"2.1.0", 2010000},
      {"0.0.1", 100},
      {"1.99.100", 1000000 + 990000 + 10000},
      {"2.100.0", 0},  // minor above 99
      {"2.1.101", 0},  // patch above 100
      {"2.1.99999999999999999999", 0},
      {"2.1", 2010000},
      {"3", 3000000},
      {"2.1.0-rc1", 2010000},
      {"2.1.", 2010000},
      {"4294.0.0", 4294000000u},
      {"4294.99.100", 0},  // beyond 32 bits
      {"4295.0.0", 0},
      {"", 0},
      {"v2.1.0", 0},
      {nullptr, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(version_number(c.text), c.number) << (c.text ? c.text : "(null)");
}

}  // namespace
