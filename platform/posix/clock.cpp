// POSIX time: a monotonic millisecond tick, sleeping, the wall clock and local time.
#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace korvel::platform {

std::uint32_t tickCount() {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void sleepMs(std::uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool localTime(std::int64_t secondsSince1970, std::tm& out) {
  std::time_t t = static_cast<std::time_t>(secondsSince1970);
  return ::localtime_r(&t, &out) != nullptr;
}

}  // namespace korvel::platform
