// The manifest's "TimeStamp" text reader.
#include "fileupdate/time_stamp.h"

namespace korvel {

namespace {

// Digits beyond this value are still consumed but no longer change it (a field must stay an int).
constexpr int kFieldCeiling = 100000000;

}  // namespace

TimeStampFields readTimeStampFields(const char* text) {
  TimeStampFields fields;
  if (!text) return fields;
  int* const order[] = {&fields.year, &fields.month, &fields.day, &fields.hour, &fields.minute, &fields.second};
  constexpr int kFieldCount = static_cast<int>(sizeof order / sizeof order[0]);
  int next = 0;
  int value = 0;
  bool pendingDigits = false;
  for (const char* c = text; *c; ++c) {
    if (*c >= '0' && *c <= '9') {
      if (value < kFieldCeiling) value = value * 10 + (*c - '0');
      pendingDigits = true;
    } else if (*c == ':') {
      if (next < kFieldCount) *order[next++] = value;
      value = 0;
      pendingDigits = false;
    }
  }
  if (pendingDigits && fields.second == -1) fields.second = value;
  return fields;
}

std::tm timeStampCalendar(const TimeStampFields& fields) {
  std::tm calendar{};
  calendar.tm_year = fields.year == -1 ? -1 : fields.year - 1900;
  calendar.tm_mon = fields.month == -1 ? -1 : fields.month - 1;
  calendar.tm_mday = fields.day;
  calendar.tm_hour = fields.hour;
  calendar.tm_min = fields.minute;
  calendar.tm_sec = fields.second;
  calendar.tm_isdst = 0;
  return calendar;
}

std::int32_t readTimeStamp(const char* text) {
  if (!text) return 0;
  std::tm calendar = timeStampCalendar(readTimeStampFields(text));
  return static_cast<std::int32_t>(std::mktime(&calendar));
}

}  // namespace korvel
