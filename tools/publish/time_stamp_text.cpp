// The "TimeStamp" text of a file in local standard time.
#include "tools/publish/time_stamp_text.h"

#include <cstdio>
#include <ctime>

namespace korvel::publish {

namespace {

struct Civil {
  std::int64_t year;
  int month;  // 1..12
  int day;    // 1..31
  int hour, minute, second;
};

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

Civil civilFromSerial(std::int64_t serial) {
  std::int64_t days = serial >= 0 ? serial / 86400 : (serial - 86399) / 86400;
  std::int64_t rest = serial - days * 86400;
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  Civil c{};
  c.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  c.year = yoe + era * 400 + (c.month <= 2);
  c.hour = static_cast<int>(rest / 3600);
  c.minute = static_cast<int>(rest / 60 % 60);
  c.second = static_cast<int>(rest % 60);
  return c;
}

}  // namespace

std::optional<std::string> timeStampText(std::int64_t secondsSinceEpoch) {
  if (secondsSinceEpoch <= 0 || secondsSinceEpoch > INT32_MAX) return std::nullopt;
  std::time_t time = static_cast<std::time_t>(secondsSinceEpoch);
  const std::tm* local = std::localtime(&time);
  if (!local) return std::nullopt;
  std::tm wall = *local;
  std::tm probe = wall;
  probe.tm_isdst = 0;
  std::time_t back = std::mktime(&probe);
  if (back == static_cast<std::time_t>(-1)) return std::nullopt;
  // In summer time the wall clock reads ahead of standard time by the amount mktime reports.
  std::int64_t shift = static_cast<std::int64_t>(back) - secondsSinceEpoch;
  std::int64_t serial = daysFromCivil(wall.tm_year + 1900LL, wall.tm_mon + 1, wall.tm_mday) * 86400 +
                        wall.tm_hour * 3600LL + wall.tm_min * 60LL + wall.tm_sec - shift;
  Civil c = civilFromSerial(serial);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld:%02d:%02d:%02d:%02d:%02d", static_cast<long long>(c.year), c.month,
                c.day, c.hour, c.minute, c.second);
  return std::string(text);
}

}  // namespace korvel::publish
