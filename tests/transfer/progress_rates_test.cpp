// Tests of the rate table: projection once a second, the 50-entry ring, smoothing and the rates.
#include "transfer/progress_rates.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

constexpr std::int64_t kStart = 1'100'000'000;

class ProgressRatesTest : public ::testing::Test {
 protected:
  // Moves the clock on one second and asks for the finish time.
  bool tick(std::int32_t& out) {
    ++now;
    return rates.finishTime(out);
  }
  // Makes the projections that fill the ring (one per second); returns the answer to the last one.
  bool fillHistory(std::int32_t& out) {
    bool answer = false;
    for (int i = 0; i < ProgressRates::kHistorySize; ++i) answer = tick(out);
    return answer;
  }

  std::int64_t now = kStart;
  ProgressRates rates{[this] { return now; }};
};

TEST_F(ProgressRatesTest, AnswersOnlyOnceFiftyProjectionsWereMade) {
  std::int32_t out = -1;
  for (int i = 1; i < ProgressRates::kHistorySize; ++i) {
    EXPECT_FALSE(tick(out)) << "projection " << i;
    // Asking again in the same second makes no projection and still has no answer.
    EXPECT_FALSE(rates.finishTime(out));
  }
  EXPECT_EQ(out, -1);
  ASSERT_TRUE(tick(out));
  // Nothing is left to do, so the session finishes now.
  EXPECT_EQ(out, kStart + 50);
}

TEST_F(ProgressRatesTest, SameSecondRepeatsThePreviousAnswer) {
  std::int32_t out = 0;
  ASSERT_TRUE(fillHistory(out));
  const std::int32_t first = out;
  // New work in the same second changes nothing until the clock moves on.
  rates.set(100'000'000, ProgressRates::kDownloadBytes, ProgressRates::kExpected);
  ASSERT_TRUE(rates.finishTime(out));
  EXPECT_EQ(out, first);
  EXPECT_EQ(rates.get(ProgressRates::kFiles, ProgressRates::kMilliseconds), 50'000);
  ASSERT_TRUE(tick(out));
  EXPECT_GT(out, first + 1);
}

TEST_F(ProgressRatesTest, RemainingBytesUseTheInitialRateUntilMoreThanASecondWasMeasured) {
  rates.set(10'000'000, ProgressRates::kDownloadBytes, ProgressRates::kExpected);
  rates.set(4'000, ProgressRates::kDownloadBytes, ProgressRates::kDone);
  rates.set(1'000, ProgressRates::kDownloadBytes, ProgressRates::kMilliseconds);
  std::int32_t out = 0;
  ASSERT_TRUE(fillHistory(out));
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kDownloadBytes), 500.0);
  // (10,000,000 - 4,000) bytes at 500 bytes per ms: 19,992 ms, 19 whole seconds left. The one
  // second of download time is not overhead, and no file has finished.
  EXPECT_EQ(out, kStart + 50 + 19);
}

TEST_F(ProgressRatesTest, MeasuredRateReplacesTheInitialOneAndNeverDropsBelowOne) {
  rates.set(6'000, ProgressRates::kDownloadBytes, ProgressRates::kDone);
  rates.set(1'001, ProgressRates::kDownloadBytes, ProgressRates::kMilliseconds);
  rates.set(10, ProgressRates::kDeltaBytes, ProgressRates::kDone);
  rates.set(5'000, ProgressRates::kDeltaBytes, ProgressRates::kMilliseconds);
  std::int32_t out = 0;
  tick(out);
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kDownloadBytes), 6'000.0 / 1'001.0);
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kDeltaBytes), 1.0);
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kExpansionBytes), 2000.0);
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kCopyBytes), 16251000.0);
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kSessionBytes), 1221000.0);
}

TEST_F(ProgressRatesTest, OverheadIsWallTimeNotSpentInPhasesAndSpreadOverFinishedFiles) {
  rates.set(10, ProgressRates::kFiles, ProgressRates::kExpected);
  rates.set(2, ProgressRates::kFiles, ProgressRates::kDone);
  rates.set(2'000, ProgressRates::kDownloadBytes, ProgressRates::kMilliseconds);
  rates.set(500, ProgressRates::kCopyBytes, ProgressRates::kMilliseconds);
  now += 10;
  std::int32_t out = 0;
  EXPECT_FALSE(rates.finishTime(out));
  // 10 s elapsed, 2.5 s in phases: 7,500 ms of overhead, 3,750 ms per finished file.
  EXPECT_EQ(rates.get(ProgressRates::kFiles, ProgressRates::kMilliseconds), 7'500);
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kFiles), 3'750.0);
}

TEST_F(ProgressRatesTest, OverheadIsZeroWhenPhasesAccountForMoreThanTheWallTime) {
  rates.set(1, ProgressRates::kFiles, ProgressRates::kDone);
  rates.set(20'000, ProgressRates::kExpansionBytes, ProgressRates::kMilliseconds);
  now += 10;
  std::int32_t out = 0;
  rates.finishTime(out);
  EXPECT_EQ(rates.get(ProgressRates::kFiles, ProgressRates::kMilliseconds), 0);
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kFiles), 0.0);
}

TEST_F(ProgressRatesTest, FilesLeftAddTheirAverageOverheadOnlyOnceAFileHasFinished) {
  rates.set(100, ProgressRates::kFiles, ProgressRates::kExpected);
  std::int32_t out = 0;
  ASSERT_TRUE(fillHistory(out));
  EXPECT_EQ(out, kStart + 50);
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kFiles), 500.0);

  // One file finished after 51 s of overhead: 99 files left at 51 s each is far beyond three minutes.
  rates.set(1, ProgressRates::kFiles, ProgressRates::kDone);
  ASSERT_TRUE(tick(out));
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kFiles), 51'000.0);
  // The accepted estimate (50 s) lies in the past, so the answer is now plus the time remaining.
  EXPECT_EQ(out, kStart + 51 + 99 * 51);
}

TEST_F(ProgressRatesTest, LongProjectionsAreSmoothedEveryFifthOnceTheRingIsFull) {
  // 1,000,000,000 bytes at 500 bytes per ms: 2,000 s remain at every projection.
  rates.set(1'000'000'000, ProgressRates::kDownloadBytes, ProgressRates::kExpected);
  std::int32_t out = 0;
  ASSERT_TRUE(fillHistory(out));
  // Ring: 2001..2050 (mean 2025), projection 2050: (2050 + 2025) / 2.
  EXPECT_EQ(rates.estimate(), 2037);
  EXPECT_EQ(out, kStart + 2037);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(tick(out));
    EXPECT_EQ(out, kStart + 2037);
  }
  // Fifth projection after the ring filled: ring 2006..2055 (mean 2030), projection 2055.
  ASSERT_TRUE(tick(out));
  EXPECT_EQ(rates.estimate(), 2042);
  EXPECT_EQ(out, kStart + 2042);
}

TEST_F(ProgressRatesTest, ShortProjectionIsAcceptedAtOnce) {
  rates.set(1'000'000'000, ProgressRates::kDownloadBytes, ProgressRates::kExpected);
  std::int32_t out = 0;
  ASSERT_TRUE(fillHistory(out));
  rates.set(1'000'000'000, ProgressRates::kDownloadBytes, ProgressRates::kDone);
  ASSERT_TRUE(tick(out));
  EXPECT_EQ(rates.estimate(), 51);
  EXPECT_EQ(out, kStart + 51);
}

TEST_F(ProgressRatesTest, ResetStartsCountingAgainButKeepsLearnedRates) {
  rates.set(9'000, ProgressRates::kDownloadBytes, ProgressRates::kDone);
  rates.set(3'000, ProgressRates::kDownloadBytes, ProgressRates::kMilliseconds);
  std::int32_t out = 0;
  ASSERT_TRUE(fillHistory(out));
  now += 100;
  rates.reset();
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kDownloadBytes), 3.0);
  EXPECT_EQ(rates.get(ProgressRates::kDownloadBytes, ProgressRates::kDone), 0);
  EXPECT_EQ(rates.estimate(), 0);
  EXPECT_FALSE(tick(out));
  for (int i = 2; i < ProgressRates::kHistorySize; ++i) EXPECT_FALSE(tick(out));
  ASSERT_TRUE(tick(out));
  EXPECT_EQ(out, kStart + 150 + 50);
}

TEST_F(ProgressRatesTest, TableAccessOutsideTheTableIsIgnored) {
  rates.set(7, 0, 0);
  rates.add(5, 0, 0);
  rates.add(1, ProgressRates::kRows, 0);
  rates.set(1, 0, ProgressRates::kColumns);
  rates.set(1, -1, 0);
  EXPECT_EQ(rates.get(0, 0), 12);
  EXPECT_EQ(rates.get(ProgressRates::kRows, 0), 0);
  EXPECT_EQ(rates.get(0, -1), 0);
  EXPECT_DOUBLE_EQ(rates.rate(ProgressRates::kRows), 0.0);
}

}  // namespace
}  // namespace korvel
