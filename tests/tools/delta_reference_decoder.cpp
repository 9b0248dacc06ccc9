// An independent, strict decoder of delta data.
#include "tests/tools/delta_reference_decoder.h"

namespace korvel::test {

namespace {

std::uint32_t wordAt(const std::vector<std::uint8_t>& data, std::size_t at) {
  return static_cast<std::uint32_t>(data[at]) << 24 | static_cast<std::uint32_t>(data[at + 1]) << 16 |
         static_cast<std::uint32_t>(data[at + 2]) << 8 | static_cast<std::uint32_t>(data[at + 3]);
}

DecodedDelta failure(std::string text) {
  DecodedDelta result;
  result.error = std::move(text);
  return result;
}

}  // namespace

DecodedDelta DeltaReferenceDecoder::apply(const std::vector<std::uint8_t>& oldData,
                                          const std::vector<std::uint8_t>& delta) {
  if (delta.size() < 8) return failure("header shorter than 8 bytes");
  DecodedDelta result;
  result.headerOldSize = wordAt(delta, 0);
  result.headerNewSize = wordAt(delta, 4);
  result.data.reserve(result.headerNewSize);
  std::size_t at = 8;
  while (at < delta.size()) {
    if (delta.size() - at < 4) return failure("truncated record at " + std::to_string(at));
    std::int32_t value = static_cast<std::int32_t>(wordAt(delta, at));
    at += 4;
    if (value >= 0) {
      if (delta.size() - at < 4) return failure("copy record without offset at " + std::to_string(at));
      std::uint32_t offset = wordAt(delta, at);
      at += 4;
      std::uint64_t count = static_cast<std::uint64_t>(value);
      if (offset > 0x7FFFFFFFu || offset + count > oldData.size()) {
        return failure("copy past the end of the old file at " + std::to_string(at));
      }
      result.data.insert(result.data.end(), oldData.begin() + offset, oldData.begin() + static_cast<std::ptrdiff_t>(offset + count));
    } else {
      std::uint64_t count = 0u - static_cast<std::uint32_t>(value);
      if (delta.size() - at < count) return failure("literal record runs past the end at " + std::to_string(at));
      result.data.insert(result.data.end(), delta.begin() + static_cast<std::ptrdiff_t>(at),
                         delta.begin() + static_cast<std::ptrdiff_t>(at + count));
      at += count;
    }
  }
  if (result.data.size() != result.headerNewSize) {
    return failure("output has " + std::to_string(result.data.size()) + " bytes, header says " +
                   std::to_string(result.headerNewSize));
  }
  result.ok = true;
  return result;
}

}  // namespace korvel::test
