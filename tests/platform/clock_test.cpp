// Clock: wall-clock seconds and their local calendar form.
#include "platform/clock.h"

#include <ctime>

#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

TEST(ClockTest, NowIsAfterTheYear2020) { EXPECT_GT(nowSeconds(), 1577836800); }

TEST(ClockTest, LocalTimeRoundTripsThroughMktime) {
  for (std::int64_t seconds : {std::int64_t{86400}, std::int64_t{1234567890}, std::int64_t{1700000000}}) {
    std::tm local{};
    ASSERT_TRUE(localTime(seconds, local)) << seconds;
    EXPECT_EQ(static_cast<std::int64_t>(std::mktime(&local)), seconds);
  }
}

TEST(ClockTest, LocalTimeOfTheEpochIsAroundNewYear1970) {
  std::tm local{};
  ASSERT_TRUE(localTime(0, local));
  // 1969-12-31 west of Greenwich, 1970-01-01 east of it.
  EXPECT_TRUE((local.tm_year == 70 && local.tm_yday == 0) || (local.tm_year == 69 && local.tm_yday == 364));
}

TEST(ClockTest, TickCountDoesNotRunBackwards) {
  const std::uint32_t first = tickCount();
  sleepMs(1);
  const std::uint32_t second = tickCount();
  // Unsigned difference: correct across the 49-day wrap as well.
  EXPECT_LT(second - first, 60000u);
}

}  // namespace
}  // namespace korvel::platform
