// The process's cap on the download rate: a schedule of booked bytes that readers wait on.
#include "transfer/rate_cap.h"

#include <algorithm>
#include <cctype>
#include <thread>

namespace korvel {

namespace {

constexpr std::uint64_t kLargestRate = 1ULL << 40;
constexpr std::uint32_t kSmallestChunk = 1024;
constexpr auto kStopLook = std::chrono::milliseconds(20);

}  // namespace

std::optional<std::uint64_t> RateCap::parse(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  std::uint64_t unit = 1;
  if (!text.empty()) {
    const char last = static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
    if (last == 'K' || last == 'M') {
      unit = last == 'K' ? 1024 : 1024 * 1024;
      text.remove_suffix(1);
    }
  }
  if (text.empty() || text.size() > 13) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > kLargestRate / unit) return std::nullopt;
  return value * unit;
}

RateCap& RateCap::shared() {
  static RateCap cap;
  return cap;
}

void RateCap::setLimit(std::uint64_t bytesPerSecond) {
  std::lock_guard<std::mutex> lock(mutex_);
  limit_.store(bytesPerSecond);
  booked_ = Clock::now();
}

std::uint32_t RateCap::chunk(std::uint32_t wanted) const {
  const std::uint64_t limit = limit_.load();
  if (limit == 0) return wanted;
  const std::uint64_t tenth = std::max<std::uint64_t>(limit / 10, kSmallestChunk);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(tenth, wanted));
}

void RateCap::take(std::uint64_t bytes, const std::atomic<bool>& stop) {
  const std::uint64_t limit = limit_.load();
  if (limit == 0 || bytes == 0) return;
  Clock::time_point due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    // A schedule that fell behind the clock (nobody read for a while) starts again from now: idle
    // time is not saved up as a burst.
    if (booked_ < now) booked_ = now;
    booked_ += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(bytes) / double(limit)));
    due = booked_ - kBurst;
  }
  while (!stop.load()) {
    const Clock::time_point now = Clock::now();
    if (now >= due) return;
    std::this_thread::sleep_for(std::min<Clock::duration>(due - now, kStopLook));
  }
}

}  // namespace korvel
