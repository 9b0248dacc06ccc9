// CRC-32 (reflected polynomial 0xEDB88320, as zlib computes it): the checksum of every product file.
#pragma once

#include "fileupdate/checksum.h"

namespace korvel {

class Crc32Checksum : public Checksum {
 public:
  static constexpr std::int32_t kKind = 1;

  Crc32Checksum() = default;

  void reset() override { crc_ = 0; }
  std::uint32_t value() const override { return crc_; }
  std::uint32_t size() const override { return 4; }
  // Continues the CRC over the bytes; from a reset, the value is the ordinary CRC-32 of all bytes fed.
  void update(const void* data, std::size_t length) override;
  std::int32_t kind() const override { return kKind; }

 private:
  std::uint32_t crc_ = 0;
};

}  // namespace korvel
