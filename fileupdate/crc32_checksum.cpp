// CRC-32 over zlib's crc32.
#include "fileupdate/crc32_checksum.h"

#include <algorithm>
#include <limits>

#include <zlib.h>

namespace korvel {

void Crc32Checksum::update(const void* data, std::size_t length) {
  if (!data) return;
  const auto* bytes = static_cast<const Bytef*>(data);
  // zlib takes the length as a 32-bit uInt; longer blocks are fed in pieces.
  constexpr std::size_t kPiece = std::numeric_limits<uInt>::max();
  while (length > 0) {
    const std::size_t piece = std::min(length, kPiece);
    crc_ = static_cast<std::uint32_t>(crc32(crc_, bytes, static_cast<uInt>(piece)));
    bytes += piece;
    length -= piece;
  }
}

}  // namespace korvel
