// Time: the millisecond tick count, sleeping, the wall clock and local calendar time.
#pragma once

#include <cstdint>
#include <ctime>

namespace korvel::platform {

// GetTickCount: milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t tickCount();

// Sleep: blocks the calling thread for at least `milliseconds`. On Win32 a thread with windows hands
// the messages other threads send to them (SendMessage, SetWindowText) meanwhile, so a notification
// from a worker never waits for the sleep's end; posted messages stay queued for the next pump.
void sleepMs(std::uint32_t milliseconds);

// time(): seconds since 1970-01-01 UTC.
std::int64_t nowSeconds();

// localtime: false when the time cannot be expressed (the caller then prints "Out of Range: ").
bool localTime(std::int64_t secondsSince1970, std::tm& out);

}  // namespace korvel::platform
