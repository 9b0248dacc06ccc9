// Win32 time: GetTickCount, Sleep, and the C runtime's time and localtime.
#include "platform/clock.h"

#include "platform/win32/windows_prelude.h"

namespace korvel::platform {

std::uint32_t tickCount() { return ::GetTickCount(); }

void sleepMs(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool localTime(std::int64_t secondsSince1970, std::tm& out) {
  const std::time_t time = static_cast<std::time_t>(secondsSince1970);
  if (static_cast<std::int64_t>(time) != secondsSince1970) return false;
  return localtime_s(&out, &time) == 0;
}

}  // namespace korvel::platform
