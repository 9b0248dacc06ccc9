// The checksum interface's shared operations.
#include "fileupdate/checksum.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace korvel {

Checksum::~Checksum() = default;

std::uint32_t Checksum::copyBytes(void* dst, std::uint32_t n) const {
  if (!dst) return 0;
  // The value is a 32-bit word, so a wider size() still has only four bytes to give.
  const std::uint32_t count = std::min({n, size(), std::uint32_t{4}});
  const std::uint32_t word = value();
  auto* out = static_cast<std::uint8_t*>(dst);
  for (std::uint32_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(word >> (8 * i));
  std::memset(out + count, 0, n - count);
  return count;
}

std::uint32_t Checksum::writeTo(ByteBuffer& buffer) const {
  buffer.setLength(size());
  const std::uint32_t count = copyBytes(buffer.data(), size());
  buffer.setLength(count);
  return count;
}

void Checksum::updateFrom(const ByteBuffer& buffer) { update(buffer.data(), buffer.length()); }

void Checksum::updateByte(std::uint8_t byte) { update(&byte, 1); }

const char* Checksum::toText() {
  const unsigned long word = value();
  switch (size()) {
    case 1:
      std::snprintf(text_, sizeof text_, "%2.2lx", word);
      break;
    case 2:
      std::snprintf(text_, sizeof text_, "%4.4lx", word);
      break;
    case 3:
      std::snprintf(text_, sizeof text_, "%6.6lx", word);
      break;
    default:
      std::snprintf(text_, sizeof text_, "%8.8lx", word);
      break;
  }
  return text_;
}

std::int32_t Checksum::compare(const Checksum& other) const {
  if (kind() != other.kind()) return kind() - other.kind();
  if (size() != other.size()) return size() > other.size() ? 1 : -1;
  if (value() != other.value()) return value() > other.value() ? 2 : -2;
  return 0;
}

}  // namespace korvel
