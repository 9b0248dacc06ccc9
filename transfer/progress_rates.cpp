// The rate table behind the finish-time estimate.
#include "transfer/progress_rates.h"

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

void ProgressRates::set(std::int32_t value, int row, int column) {
  if (inTable(row, column)) table_[row][column].store(value);
}

void ProgressRates::add(std::int32_t value, int row, int column) {
  // Atomic addition on a signed integer wraps like the 32-bit word it is.
  if (inTable(row, column)) table_[row][column].fetch_add(value);
}

std::int32_t ProgressRates::get(int row, int column) const {
  return inTable(row, column) ? table_[row][column].load() : 0;
}

double ProgressRates::rate(int row) const { return (row >= 0 && row < kRows) ? rate_[row] : 0.0; }

bool ProgressRates::finishTime(std::int32_t& out) {
  std::uint32_t phaseMs = 0;
  for (int row = kDownloadBytes; row <= kSessionBytes; ++row)
    phaseMs += static_cast<std::uint32_t>(table_[row][kMilliseconds].load());
  const std::int32_t current = now();

  if (current <= lastTime_) {
    if (!historyFull_) return false;
    out = startTime_ + estimate_;
    return true;
  }
  lastTime_ = current;

  // The time not spent in any measured phase is overhead; the 32-bit unsigned result is read back as
  // signed so that a phase total ahead of the wall clock counts as no overhead.
  std::uint32_t overheadWord =
      static_cast<std::uint32_t>(current) - phaseMs / 1000 - static_cast<std::uint32_t>(startTime_);
  overheadWord = overheadWord * 1000 - phaseMs % 1000;
  std::int32_t overheadMs = static_cast<std::int32_t>(overheadWord);
  if (overheadMs < 0) overheadMs = 0;
  table_[kFiles][kMilliseconds].store(overheadMs);

  std::uint32_t remainingMs = 0;
  for (int row = kDownloadBytes; row <= kSessionBytes; ++row) {
    const std::int32_t expected = table_[row][kExpected].load();
    const std::int32_t done = table_[row][kDone].load();
    const std::int32_t ms = table_[row][kMilliseconds].load();
    // Less than a second of measurement says too little; the previous rate stays.
    if (ms > 1000) {
      double measured = static_cast<double>(done) / ms;
      rate_[row] = measured < 1.0 ? 1.0 : measured;
    }
    const std::uint32_t left = static_cast<std::uint32_t>(expected) - static_cast<std::uint32_t>(done);
    remainingMs += left / static_cast<std::uint32_t>(rate_[row]);
  }

  const std::uint32_t filesDone = static_cast<std::uint32_t>(table_[kFiles][kDone].load());
  if (filesDone != 0) {
    const std::uint32_t average = static_cast<std::uint32_t>(overheadMs) / filesDone;
    rate_[kFiles] = average;
    remainingMs += (static_cast<std::uint32_t>(table_[kFiles][kExpected].load()) - filesDone) * average;
  }

  const std::uint32_t remainingS = remainingMs / 1000;
  const std::int32_t elapsed = current - startTime_;
  const std::int32_t projection = static_cast<std::int32_t>(static_cast<std::uint32_t>(elapsed) + remainingS);
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
  if (finish < current) finish = static_cast<std::int32_t>(static_cast<std::uint32_t>(current) + remainingS);
  out = finish;
  return true;
}

}  // namespace korvel
