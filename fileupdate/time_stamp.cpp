// The manifest's "TimeStamp" text reader.
#include "fileupdate/time_stamp.h"

#include <array>
#include <mutex>

namespace korvel {

namespace {

// Digits beyond this value are still consumed but no longer change it (a field must stay an int).
constexpr int kFieldCeiling = 100000000;

std::time_t convert(const TimeStampFields& fields) {
  std::tm calendar = timeStampCalendar(fields);
  return std::mktime(&calendar);
}

// mktime consults the time zone on every call (the C library may look at the zone file each time),
// which a scan of many thousand files pays for every one of them. Within one calendar day the
// conversion only adds hours, minutes and seconds, so the start of each day is converted once per
// process and kept. A day in which the zone's offset changes (its last second is not 86,399 seconds
// after its first) is never kept and always goes to mktime.
class DayCache {
 public:
  std::time_t convert(const TimeStampFields& fields) {
    if (!ordinary(fields)) return korvel::convert(fields);
    const std::int64_t key = (static_cast<std::int64_t>(fields.year) * 16 + fields.month) * 32 + fields.day;
    std::time_t start = kIrregular;
    {
      const std::lock_guard<std::mutex> hold(lock_);
      Slot& slot = slots_[static_cast<std::size_t>(key) % kSlots];
      if (slot.key != key) {
        slot.key = key;
        slot.start = dayStart(fields);
      }
      start = slot.start;
    }
    if (start == kIrregular) return korvel::convert(fields);
    return start + fields.hour * 3600 + fields.minute * 60 + fields.second;
  }

  void forget() {
    const std::lock_guard<std::mutex> hold(lock_);
    for (Slot& slot : slots_) slot.key = -1;
  }

 private:
  static constexpr std::size_t kSlots = 4096;
  static constexpr std::time_t kIrregular = -1;

  // Fields that mktime takes as they stand, without carrying into a neighbouring field (a day past
  // the end of its month carries the same way for every time of that day).
  static bool ordinary(const TimeStampFields& f) {
    return f.year >= 1900 && f.year <= 9999 && f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= 31 &&
           f.hour >= 0 && f.hour <= 23 && f.minute >= 0 && f.minute <= 59 && f.second >= 0 && f.second <= 59;
  }

  static std::time_t dayStart(TimeStampFields fields) {
    fields.hour = 0;
    fields.minute = 0;
    fields.second = 0;
    const std::time_t first = korvel::convert(fields);
    fields.hour = 23;
    fields.minute = 59;
    fields.second = 59;
    const std::time_t last = korvel::convert(fields);
    return first != -1 && last == first + 86399 ? first : kIrregular;
  }

  struct Slot {
    std::int64_t key = -1;
    std::time_t start = kIrregular;
  };
  std::mutex lock_;
  std::array<Slot, kSlots> slots_{};
};

DayCache& dayCache() {
  static DayCache cache;
  return cache;
}

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
  return static_cast<std::int32_t>(dayCache().convert(readTimeStampFields(text)));
}

void forgetTimeStampDays() { dayCache().forget(); }

}  // namespace korvel
