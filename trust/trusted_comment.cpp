// Reading and writing the fields of a signature's trusted comment.
#include "trust/trusted_comment.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace korvel::trust {

namespace {

// 9999-12-31 23:59:59 UTC: the last time the calendar text has four digits of year for.
constexpr std::int64_t kLatestTime = 253402300799;

}  // namespace

std::optional<std::string_view> trustedCommentField(std::string_view comment, std::string_view name) {
  while (true) {
    const std::size_t end = comment.find('\t');
    const std::string_view field = comment.substr(0, end);
    if (field.size() > name.size() && field.substr(0, name.size()) == name && field[name.size()] == ':')
      return field.substr(name.size() + 1);
    if (end == std::string_view::npos) return std::nullopt;
    comment.remove_prefix(end + 1);
  }
}

std::string withExpiry(std::string_view comment, std::int64_t expiresAt) {
  return std::string(comment) + "\t" + std::string(kExpiresField) + ":" + std::to_string(expiresAt);
}

std::optional<std::int64_t> releaseExpiry(std::string_view comment) {
  const std::optional<std::string_view> value = trustedCommentField(comment, kExpiresField);
  if (!value) return std::nullopt;
  if (value->empty() || value->find_first_not_of("0123456789") != std::string_view::npos) return 0;
  std::int64_t seconds = 0;
  for (const char digit : *value) {
    seconds = seconds * 10 + (digit - '0');
    if (seconds > kLatestTime) return kLatestTime;
  }
  return seconds;
}

std::string utcTimeText(std::int64_t secondsSince1970) {
  using namespace std::chrono;
  const sys_seconds time{seconds(std::clamp<std::int64_t>(secondsSince1970, 0, kLatestTime))};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

}  // namespace korvel::trust
