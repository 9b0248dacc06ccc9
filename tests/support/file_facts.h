// What the tests compute about expected files: their CRC-32 and the manifest's time stamp forms.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "fileupdate/crc32_checksum.h"
#include "fileupdate/time_stamp.h"
#include "platform/clock.h"

namespace korvel::test {

inline std::uint32_t crcOf(const std::string& data) {
  Crc32Checksum checksum;
  checksum.reset();
  checksum.update(data.data(), data.size());
  return checksum.value();
}

// The manifest's "TimeStamp" text of a moment (local time), and that text read back the way the
// manifest reader reads it.
inline std::string timeStampText(std::int64_t seconds) {
  std::tm local{};
  platform::localTime(seconds, local);
  char text[64];
  std::strftime(text, sizeof text, "%Y:%m:%d:%H:%M:%S", &local);
  return text;
}
inline std::int32_t manifestTime(std::int64_t seconds) { return readTimeStamp(timeStampText(seconds).c_str()); }

}  // namespace korvel::test
