// The manifest's "TimeStamp" text: fields separated by colons in the order year, month, day, hour,
// minute, second ("2004:11:17:00:57:29"), read as local time.
#pragma once

#include <cstdint>
#include <ctime>

namespace korvel {

// The fields of a time stamp text; -1 for each field the text does not give.
struct TimeStampFields {
  int year = -1;
  int month = -1;
  int day = -1;
  int hour = -1;
  int minute = -1;
  int second = -1;
};

// Digits are collected and every ':' ends a field, the fields taken in the order year, month, day,
// hour, minute, second (a field without digits is 0; fields after the sixth are ignored). A trailing
// number without a colon becomes the second when the second is not yet set. Any other character is
// skipped, so the digits on both sides of it join. Null gives no fields.
TimeStampFields readTimeStampFields(const char* text);

// The calendar time of the fields: year - 1900, month - 1, daylight saving off, unset fields -1.
std::tm timeStampCalendar(const TimeStampFields& fields);

// The text converted as local time (mktime), in seconds since 1970-01-01 UTC truncated to 32 bits;
// -1 when the calendar time cannot be represented; 0 for a null text.
std::int32_t readTimeStamp(const char* text);

// readTimeStamp keeps the conversion of each calendar day it has seen; after the process changes its
// time zone (tzset), those are forgotten with this.
void forgetTimeStampDays();

}  // namespace korvel
