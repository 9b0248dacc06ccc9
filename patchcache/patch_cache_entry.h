// What the patch cache remembers about one file: its CRC and the time stamp and size it had then.
#pragma once

#include <cstdint>

namespace korvel {

class PatchCacheEntry {
 public:
  PatchCacheEntry() = default;
  PatchCacheEntry(std::int32_t crc, std::int32_t timeStamp, std::int64_t size)
      : crc_(crc), timeStamp_(timeStamp), size_(size) {}
  virtual ~PatchCacheEntry();
  PatchCacheEntry(const PatchCacheEntry&) = default;
  PatchCacheEntry& operator=(const PatchCacheEntry&) = default;

  // Takes all three fields of `other`.
  void copy(const PatchCacheEntry& other);
  // true when crc and size are equal and the given time is not later than the remembered one
  // (their difference is below one second).
  bool matches(std::int32_t crc, std::int32_t timeStamp, std::int64_t size) const;
  bool matches(const PatchCacheEntry& other) const { return matches(other.crc_, other.timeStamp_, other.size_); }

  // CRC-32 of the file; 0 means none.
  std::int32_t crc() const { return crc_; }
  // Modification time in seconds since 1970-01-01 UTC.
  std::int32_t timeStamp() const { return timeStamp_; }
  // Size in bytes.
  std::int64_t size() const { return size_; }
  void set(std::int32_t crc, std::int32_t timeStamp, std::int64_t size) {
    crc_ = crc;
    timeStamp_ = timeStamp;
    size_ = size;
  }
  void setCrc(std::int32_t crc) { crc_ = crc; }
  void setTimeStamp(std::int32_t timeStamp) { timeStamp_ = timeStamp; }
  void setSize(std::int64_t size) { size_ = size; }

 private:
  std::int32_t crc_ = 0;
  std::int32_t timeStamp_ = 0;
  std::int64_t size_ = 0;
};

}  // namespace korvel
