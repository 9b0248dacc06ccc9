// An independent, strict decoder of delta data, used to check the encoder's output: it applies the
// records to the old file's bytes and refuses anything that is not exactly well formed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvel::test {

struct DecodedDelta {
  bool ok = false;
  std::string error;               // what was wrong, when ok is false
  std::vector<std::uint8_t> data;  // the rebuilt new file
  std::uint32_t headerOldSize = 0; // the first header word (the updater ignores it)
  std::uint32_t headerNewSize = 0;
};

class DeltaReferenceDecoder {
 public:
  // Fails on a short header, a truncated record, a copy reaching past the end of the old file, or an
  // output whose length differs from the header's new-file size.
  static DecodedDelta apply(const std::vector<std::uint8_t>& oldData, const std::vector<std::uint8_t>& delta);
};

}  // namespace korvel::test
