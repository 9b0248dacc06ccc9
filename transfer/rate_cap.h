// A cap on the bytes per second that all the transfers of the process receive together
// (KORVEL_MAX_RATE), shared fairly among those in flight: each read books its bytes in one schedule,
// in the order the readers come, and waits for its turn.
//
// Threads: every member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

namespace korvel {

class RateCap {
 public:
  // "2M", "512K", "100000": bytes per second, K meaning 1,024 and M 1,048,576 (either case, blanks
  // around allowed). 0 means no cap. nullopt for any other text, or a rate beyond 2^40 bytes a second.
  static std::optional<std::uint64_t> parse(std::string_view text);

  // The cap every transfer of the process shares.
  static RateCap& shared();

  // Bytes per second; 0 lifts the cap.
  void setLimit(std::uint64_t bytesPerSecond);
  std::uint64_t limit() const { return limit_.load(); }

  // How much one read should ask for: `wanted` without a cap, else about a tenth of a second's worth
  // (at least 1 KiB, at most `wanted`), so that the transfers in flight take turns often.
  std::uint32_t chunk(std::uint32_t wanted) const;

  // Books `bytes` just received and blocks until the cap allows them, or until `stop` is set (looked
  // at every few milliseconds). Returns at once without a cap.
  void take(std::uint64_t bytes, const std::atomic<bool>& stop);

 private:
  using Clock = std::chrono::steady_clock;
  // The schedule may run this far ahead of the clock before readers wait: a little burst smooths the
  // turns of several readers without letting the rate run over.
  static constexpr std::chrono::milliseconds kBurst{50};

  std::atomic<std::uint64_t> limit_{0};
  std::mutex mutex_;
  // When the bytes booked so far will have been received at the capped rate.
  Clock::time_point booked_{};
};

}  // namespace korvel
