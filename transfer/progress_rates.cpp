// The rate table behind the finish-time estimate.
#include "transfer/progress_rates.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/clock.h"

namespace korvel {

namespace {
constexpr std::array<double, ProgressRates::kRows> kInitialRates = {500.0, 2000.0, 500.0, 16251000.0, 1221000.0, 500.0};
constexpr std::int32_t kShortRemainder = 180;  // seconds: below this the projection is taken as it is
constexpr std::int32_t kSmoothingInterval = 5;  // projections between two smoothed estimates
}  // namespace

ProgressRates::ProgressRates() : ProgressRates(Clock{}) {}

ProgressRates::ProgressRates(Clock now) : now_(std::move(now)), rate_(kInitialRates) {
  if (!now_) now_ = [] { return platform::nowSeconds(); };
  reset();
}

std::int32_t ProgressRates::now() const { return static_cast<std::int32_t>(now_()); }

void ProgressRates::reset() {
  startTime_ = now();
  lastTime_ = 0;
  estimate_ = 0;
  position_ = 0;
  historyFull_ = false;
  for (auto& row : table_)
    for (auto& cell : row) cell.store(0);
  history_.fill(0);
}

void ProgressRates::set(std::int64_t value, int row, int column) {
  if (inTable(row, column)) table_[row][column].store(value);
}

void ProgressRates::add(std::int64_t value, int row, int column) {
  // Atomic addition on a signed integer wraps like the 32-bit word it is.
  if (inTable(row, column)) table_[row][column].fetch_add(value);
}

std::int64_t ProgressRates::get(int row, int column) const {
  return inTable(row, column) ? table_[row][column].load() : 0;
}

double ProgressRates::rate(int row) const { return (row >= 0 && row < kRows) ? rate_[row] : 0.0; }

bool ProgressRates::finishTime(std::int32_t& out) {
  std::int64_t phaseMs = 0;
  for (int row = kDownloadBytes; row <= kSessionBytes; ++row) phaseMs += table_[row][kMilliseconds].load();
  const std::int32_t current = now();

  if (current <= lastTime_) {
    if (!historyFull_) return false;
    out = startTime_ + estimate_;
    return true;
  }
  lastTime_ = current;

  // The time not spent in any measured phase is overhead; a phase total ahead of the wall clock
  // counts as no overhead.
  const std::int64_t overheadMs =
      std::max<std::int64_t>(0, (current - phaseMs / 1000 - startTime_) * 1000 - phaseMs % 1000);
  table_[kFiles][kMilliseconds].store(overheadMs);

  // What is left of a row: nothing once more was done than expected (a count that ran past its
  // expectation must not turn into the largest possible remainder).
  const auto left = [](std::int64_t expected, std::int64_t done) -> std::uint64_t {
    return expected > done ? static_cast<std::uint64_t>(expected - done) : 0;
  };
  std::uint64_t remainingMs = 0;
  for (int row = kDownloadBytes; row <= kSessionBytes; ++row) {
    const std::int64_t expected = table_[row][kExpected].load();
    const std::int64_t done = table_[row][kDone].load();
    const std::int64_t ms = table_[row][kMilliseconds].load();
    // Less than a second of measurement says too little; the previous rate stays.
    if (ms > 1000) {
      double measured = static_cast<double>(done) / static_cast<double>(ms);
      rate_[row] = measured < 1.0 ? 1.0 : measured;
    }
    remainingMs += left(expected, done) / static_cast<std::uint64_t>(rate_[row]);
  }

  const std::int64_t filesDone = table_[kFiles][kDone].load();
  if (filesDone > 0) {
    const std::uint64_t average = static_cast<std::uint64_t>(overheadMs / filesDone);
    rate_[kFiles] = static_cast<double>(average);
    remainingMs += left(table_[kFiles][kExpected].load(), filesDone) * average;
  }

  // The projection is a number of seconds held in 32 bits: a remainder beyond that is cut to it.
  const std::int32_t elapsed = current - startTime_;
  const std::uint64_t room = static_cast<std::uint64_t>(INT32_MAX - std::max(elapsed, 0));
  const auto remainingS = static_cast<std::int32_t>(std::min<std::uint64_t>(remainingMs / 1000, room));
  const std::int32_t projection = elapsed + remainingS;
  history_[position_] = projection;
  if (++position_ == kHistorySize) {
    position_ = 0;
    historyFull_ = true;
  }

  if (projection < elapsed + kShortRemainder) {
    estimate_ = projection;
  } else if (historyFull_ && position_ % kSmoothingInterval == 0) {
    std::int64_t sum = 0;
    for (std::int32_t value : history_) sum += value;
    estimate_ = static_cast<std::int32_t>((projection + sum / kHistorySize) / 2);
  }

  if (!historyFull_) return false;
  std::int32_t finish = startTime_ + estimate_;
  if (finish < current) finish = static_cast<std::int32_t>(static_cast<std::uint32_t>(current) + static_cast<std::uint32_t>(remainingS));
  out = finish;
  return true;
}

}  // namespace korvel
