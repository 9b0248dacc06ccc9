// What the recording fakes of the session's client and of the transfers' observer keep of the
// progress, errors and disk warnings they hear.
#pragma once

#include <cstdint>
#include <string>

namespace korvel::test {

struct RecordedProgress {
  int position;
  int bar;
  bool operator==(const RecordedProgress&) const = default;
};

struct RecordedError {
  int code;
  std::string message;
};

struct RecordedDiskWarning {
  std::uint64_t available;
  std::uint64_t needed;
  std::string message;
};

}  // namespace korvel::test
