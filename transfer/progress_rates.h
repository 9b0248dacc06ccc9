// The rate table behind the finish-time estimate: bytes and milliseconds per phase, projected once a
// second into the expected total duration of the session and smoothed over the last 50 projections.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

namespace korvel {

class ProgressRates {
 public:
  // Rows of the table.
  static constexpr int kDownloadBytes = 0;
  static constexpr int kExpansionBytes = 1;
  static constexpr int kDeltaBytes = 2;
  static constexpr int kCopyBytes = 3;
  static constexpr int kSessionBytes = 4;
  static constexpr int kFiles = 5;
  static constexpr int kRows = 6;
  // Columns of the table. In the files row: files expected, files finished, overhead milliseconds.
  static constexpr int kExpected = 0;
  static constexpr int kDone = 1;
  static constexpr int kMilliseconds = 2;
  static constexpr int kColumns = 3;
  static constexpr int kHistorySize = 50;

  // The source of the current time in seconds since 1970 (platform::nowSeconds unless a test drives it).
  using Clock = std::function<std::int64_t()>;

  // Initial rates, then reset() against the wall clock.
  ProgressRates();
  // As above with the given clock; a null clock means the wall clock.
  explicit ProgressRates(Clock now);

  // Starts counting now: clears the table and the projection history; the learned rates stay.
  void reset();

  // Table access from any thread (the copy of a finished download feeds it from the transfer thread).
  // Indices outside the table are ignored by set/add and read as 0 by get.
  // The cells are 64-bit: a byte row counts files and sessions of any size.
  void set(std::int64_t value, int row, int column);
  void add(std::int64_t value, int row, int column);
  std::int64_t get(int row, int column) const;

  // The expected finish time in seconds since 1970. False until 50 projections have been made (at
  // most one per second); within the same second the previous answer is repeated. reset, finishTime
  // and the rate queries belong to one thread at a time (the session's worker).
  bool finishTime(std::int32_t& out);

  // The current rate of a row (bytes per millisecond; for the files row the overhead milliseconds per
  // finished file); 0.0 outside the table.
  double rate(int row) const;
  // The accepted total duration of the session in seconds.
  std::int32_t estimate() const { return estimate_; }

 private:
  static bool inTable(int row, int column) { return row >= 0 && row < kRows && column >= 0 && column < kColumns; }
  std::int32_t now() const;

  Clock now_;
  std::array<std::array<std::atomic<std::int64_t>, kColumns>, kRows> table_{};
  std::array<double, kRows> rate_{};
  std::int32_t startTime_ = 0;
  std::int32_t lastTime_ = 0;
  std::int32_t estimate_ = 0;
  std::array<std::int32_t, kHistorySize> history_{};
  std::int32_t position_ = 0;
  bool historyFull_ = false;
};

}  // namespace korvel
