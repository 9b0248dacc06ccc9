// Win32 time: GetTickCount, a sleep that serves messages other threads send, and the C runtime's time
// and localtime.
#include "platform/clock.h"

#include "platform/win32/windows_prelude.h"

namespace korvel::platform {

std::uint32_t tickCount() { return ::GetTickCount(); }

// The worker's progress notifications reach the windows through SendMessage, which blocks the worker
// until the UI thread takes the message. A plain Sleep on the UI thread would hold every notification
// sent meanwhile until the sleep ends; this one hands them to their windows as they arrive (only the
// sent ones: posted messages stay in the queue for the caller's pump) and still returns no earlier
// than asked. A thread without windows just sleeps.
void sleepMs(std::uint32_t milliseconds) {
  if (!::IsGUIThread(FALSE)) {
    ::Sleep(milliseconds);
    return;
  }
  LARGE_INTEGER frequency{};
  LARGE_INTEGER start{};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  const long long total = static_cast<long long>(milliseconds) * frequency.QuadPart / 1000;
  for (;;) {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    const long long spent = now.QuadPart - start.QuadPart;
    if (spent >= total) return;
    // Rounded up, so that the wait never ends before the time asked for.
    const DWORD left = static_cast<DWORD>(((total - spent) * 1000 + frequency.QuadPart - 1) / frequency.QuadPart);
    const DWORD woken = ::MsgWaitForMultipleObjectsEx(0, nullptr, left, QS_SENDMESSAGE, 0);
    if (woken == WAIT_TIMEOUT) continue;  // the loop's check ends it
    if (woken != WAIT_OBJECT_0) {
      ::Sleep(left);
      return;
    }
    MSG message;
    ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool localTime(std::int64_t secondsSince1970, std::tm& out) {
  const std::time_t time = static_cast<std::time_t>(secondsSince1970);
  if (static_cast<std::int64_t>(time) != secondsSince1970) return false;
  return localtime_s(&out, &time) == 0;
}

}  // namespace korvel::platform
