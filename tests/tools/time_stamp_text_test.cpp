// Tests of the "TimeStamp" text: read back with the updater's rule it gives the file's time exactly.
#include "tools/publish/time_stamp_text.h"

#include <ctime>

#include <gtest/gtest.h>

#include "tests/support/scoped_environment.h"

namespace korvel::publish {
namespace {

// The updater's reading: fields separated by ':', daylight saving off, mktime.
std::time_t readBack(const std::string& text) {
  std::tm fields{};
  int values[6] = {0, 0, 0, 0, 0, 0};
  std::sscanf(text.c_str(), "%d:%d:%d:%d:%d:%d", &values[0], &values[1], &values[2], &values[3], &values[4], &values[5]);
  fields.tm_year = values[0] - 1900;
  fields.tm_mon = values[1] - 1;
  fields.tm_mday = values[2];
  fields.tm_hour = values[3];
  fields.tm_min = values[4];
  fields.tm_sec = values[5];
  fields.tm_isdst = 0;
  return std::mktime(&fields);
}

class TimeStampTextTest : public ::testing::Test {
 protected:
  void useZone(const char* zone) {
    zone_.emplace("TZ", std::string(zone));
    tzset();
  }
  void TearDown() override {
    zone_.reset();
    tzset();
  }

  std::optional<test::ScopedEnvironment> zone_;
};

TEST_F(TimeStampTextTest, UtcIsWrittenAsItIs) {
  useZone("UTC0");
  // 2004-11-17 00:57:29 UTC.
  EXPECT_EQ(timeStampText(1100653049), "2004:11:17:00:57:29");
}

TEST_F(TimeStampTextTest, SummerTimeIsWrittenAsStandardTimeSoTheUpdaterReadsTheSameInstant) {
  useZone("CET-1CEST,M3.5.0,M10.5.0/3");
  const std::int64_t summer = 1625140800;  // 2021-07-01 12:00:00 UTC, 14:00 on the summer wall clock
  const std::int64_t winter = 1610712000;  // 2021-01-15 12:00:00 UTC, 13:00 on the wall clock
  EXPECT_EQ(timeStampText(summer), "2021:07:01:13:00:00");
  EXPECT_EQ(timeStampText(winter), "2021:01:15:13:00:00");
  EXPECT_EQ(readBack(*timeStampText(summer)), summer);
  EXPECT_EQ(readBack(*timeStampText(winter)), winter);
}

TEST_F(TimeStampTextTest, TimesAroundTheSwitchesReadBackExactly) {
  useZone("CET-1CEST,M3.5.0,M10.5.0/3");
  // 2021-03-28 01:00 UTC and 2021-10-31 01:00 UTC are the switches; walk across both.
  for (std::int64_t base : {1616893200LL, 1635642000LL}) {
    for (std::int64_t t = base - 7200; t <= base + 7200; t += 900) {
      EXPECT_EQ(readBack(timeStampText(t).value()), t) << t;
    }
  }
}

TEST_F(TimeStampTextTest, TimesOutsideTheUpdaterRangeHaveNoText) {
  useZone("UTC0");
  EXPECT_FALSE(timeStampText(0));
  EXPECT_FALSE(timeStampText(-5));
  EXPECT_FALSE(timeStampText(0x80000000LL));
  EXPECT_EQ(timeStampText(0x7FFFFFFF), "2038:01:19:03:14:07");
}

}  // namespace
}  // namespace korvel::publish
