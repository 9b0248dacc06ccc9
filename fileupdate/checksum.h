// The checksum interface: a running value over fed bytes, its byte and text forms, and an ordering.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fileupdate/byte_buffer.h"

namespace korvel {

// The virtual operations are declared in their fixed slot order.
class Checksum {
 public:
  static constexpr std::size_t kTextCapacity = 36;

  virtual ~Checksum();
  // Starts a new computation.
  virtual void reset() = 0;
  // The checksum of the bytes fed since the last reset.
  virtual std::uint32_t value() const = 0;
  // Copies min(n, size()) bytes of value(), least significant first, to dst and zero-fills the rest of
  // the n bytes. Returns the number of value bytes copied.
  virtual std::uint32_t copyBytes(void* dst, std::uint32_t n) const;
  // Replaces the buffer's contents with the value bytes; returns their count (also the new length).
  virtual std::uint32_t writeTo(ByteBuffer& buffer) const;
  // Width of the value in bytes.
  virtual std::uint32_t size() const = 0;
  virtual void update(const void* data, std::size_t length) = 0;
  // update() with the buffer's valid bytes.
  virtual void updateFrom(const ByteBuffer& buffer);
  virtual void updateByte(std::uint8_t byte);
  // value() in lowercase hexadecimal, zero-padded to twice size() digits (eight for sizes other than
  // 1 to 3). The text lives in this object and is overwritten by the next call.
  virtual const char* toText();
  // Orders two checksums: the difference of their kinds when those differ; else 1 / -1 when this
  // one is wider / narrower; else 2 / -2 when this value is larger / smaller (unsigned); else 0.
  virtual std::int32_t compare(const Checksum& other) const;
  // Identifies the algorithm.
  virtual std::int32_t kind() const = 0;

 private:
  char text_[kTextCapacity] = {};
};

}  // namespace korvel
