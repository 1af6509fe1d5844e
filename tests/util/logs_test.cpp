#include "util/logs.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/capture.h"

TEST(Logs, LineHasLevelTimeThreadAndFunction) {
  StdoutCapture out;
  int n = LOGE("*** BUG *** value %d", 7);
  std::string line = out.text();
  EXPECT_EQ(n, (int)line.size());
  std::regex shape(R"(^E \d{4}-\d{6}-\d{3} \d+ \(TestBody\): \*\*\* BUG \*\*\* value 7\n$)");
  EXPECT_TRUE(std::regex_match(line, shape)) << line;
}

TEST(Logs, MaskSuppressesUnlessEnabled) {
  uint32_t saved = log_get_mask();
  log_set_mask(0);
  {
    StdoutCapture out;
    EXPECT_EQ(LOGM(LOG_NET, "hidden"), 0);
    EXPECT_EQ(out.text(), "");
  }
  log_set_mask(LOG_NET);
  {
    StdoutCapture out;
    EXPECT_GT(LOGM(LOG_NET, "shown"), 0);
    EXPECT_TRUE(out.contains("shown"));
  }
  log_set_mask(saved);
}

TEST(Logs, LongLineIsCutWithMarker) {
  std::string big(10000, 'x');
  StdoutCapture out;
  int n = log_write(LOG_ALWAYS, "%s", big.c_str());
  std::string line = out.text();
  EXPECT_EQ(n, LOG_LINE_MAX);
  ASSERT_EQ(line.size(), (size_t)LOG_LINE_MAX);
  EXPECT_EQ(line.substr(line.size() - 4), "..#\n");
}
