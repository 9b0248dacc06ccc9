// The "TimeStamp" text of a file: "YYYY:MM:DD:HH:MM:SS".
//
// The updater turns the six fields back into a time with daylight saving switched off and mktime,
// that is as local standard time. The text is therefore the local standard-time clock reading of the
// modification time (in summer time one hour behind the wall clock), so that the round trip gives
// exactly the file's time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvel::publish {

// nullopt when the time cannot be written (before 1970-01-01 00:00:01 or after the 32-bit range of
// the updater's time stamps); such files are published without a "TimeStamp".
std::optional<std::string> timeStampText(std::int64_t secondsSinceEpoch);

}  // namespace korvel::publish
