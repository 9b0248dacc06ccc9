// Tests of the manifest's time stamp text reader.
#include "fileupdate/time_stamp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "tests/support/scoped_environment.h"

namespace korvel {
namespace {

void expectFields(const char* text, TimeStampFields expected) {
  const TimeStampFields got = readTimeStampFields(text);
  EXPECT_EQ(got.year, expected.year) << text;
  EXPECT_EQ(got.month, expected.month) << text;
  EXPECT_EQ(got.day, expected.day) << text;
  EXPECT_EQ(got.hour, expected.hour) << text;
  EXPECT_EQ(got.minute, expected.minute) << text;
  EXPECT_EQ(got.second, expected.second) << text;
}

TEST(TimeStampTest, FieldsInOrderWithTheTrailingNumberAsTheSecond) {
  expectFields("2004:11:17:00:57:29", {2004, 11, 17, 0, 57, 29});
  expectFields("2004:11:17", {2004, 11, -1, -1, -1, 17});
  expectFields("2004:11:17:", {2004, 11, 17, -1, -1, -1});
  expectFields("1:2:3:4:5:6:7", {1, 2, 3, 4, 5, 6});  // a second already set is kept
  expectFields("1:2:3:4:5:6:7:8:", {1, 2, 3, 4, 5, 6});
  expectFields("", {});
  expectFields(nullptr, {});
}

TEST(TimeStampTest, OtherCharactersAreSkippedAndTheirNeighboursJoin) {
  expectFields("20-04:1 1:17", {2004, 11, -1, -1, -1, 17});
  expectFields("::5", {0, 0, -1, -1, -1, 5});
  expectFields("99999999999999999999:1", {999999999, -1, -1, -1, -1, 1});  // a huge field stays an int
}

TEST(TimeStampTest, ConvertsAsLocalTimeWithoutDaylightSaving) {
  std::tm expected{};
  expected.tm_year = 104;
  expected.tm_mon = 10;
  expected.tm_mday = 17;
  expected.tm_hour = 0;
  expected.tm_min = 57;
  expected.tm_sec = 29;
  expected.tm_isdst = 0;
  const std::tm calendar = timeStampCalendar(readTimeStampFields("2004:11:17:00:57:29"));
  EXPECT_EQ(calendar.tm_year, 104);
  EXPECT_EQ(calendar.tm_mon, 10);
  EXPECT_EQ(calendar.tm_isdst, 0);
  EXPECT_EQ(readTimeStamp("2004:11:17:00:57:29"), static_cast<std::int32_t>(std::mktime(&expected)));
  EXPECT_EQ(readTimeStamp(nullptr), 0);
  const std::tm partial = timeStampCalendar(readTimeStampFields("2004:11:17"));
  EXPECT_EQ(partial.tm_mday, -1);
  EXPECT_EQ(partial.tm_sec, 17);
}

// Conversions are remembered per day of the calendar; every one must still be what mktime gives,
// also on the days on which a zone with daylight saving changes its offset and for days past the end
// of a month.
TEST(TimeStampTest, AgreesWithMktimeAroundOffsetChanges) {
  {
    test::ScopedEnvironment zone("TZ", std::string("CET-1CEST,M3.5.0,M10.5.0/3"));
    tzset();
    forgetTimeStampDays();
    std::thread([] {
      const char* const days[] = {"2024:03:31", "2024:10:27", "2024:04:31", "2024:06:15", "2023:02:29"};
      for (const char* day : days) {
        for (int hour = 0; hour < 24; ++hour) {
          for (const char* minuteSecond : {"00:00", "00:01", "30:17", "59:59"}) {
            char text[32];
            std::snprintf(text, sizeof text, "%s:%02d:%s", day, hour, minuteSecond);
            std::tm calendar = timeStampCalendar(readTimeStampFields(text));
            const auto expected = static_cast<std::int32_t>(std::mktime(&calendar));
            EXPECT_EQ(readTimeStamp(text), expected) << text;
            EXPECT_EQ(readTimeStamp(text), expected) << text << ", asked again";
          }
        }
      }
    }).join();
  }
  tzset();
  forgetTimeStampDays();
}

}  // namespace
}  // namespace korvel
