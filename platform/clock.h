// Time: the millisecond tick count, sleeping, the wall clock and local calendar time.
#pragma once

#include <cstdint>
#include <ctime>

namespace korvel::platform {

// GetTickCount: milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t tickCount();

// Sleep: blocks the calling thread for at least `milliseconds`.
void sleepMs(std::uint32_t milliseconds);

// time(): seconds since 1970-01-01 UTC.
std::int64_t nowSeconds();

// localtime: false when the time cannot be expressed (the caller then prints "Out of Range: ").
bool localTime(std::int64_t secondsSince1970, std::tm& out);

}  // namespace korvel::platform
