// A small byte buffer for the checksums: a block of storage with a length of valid bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel {

class ByteBuffer {
 public:
  // `capacity` bytes of zeroed storage, length 0.
  explicit ByteBuffer(std::size_t capacity = 0);

  std::uint8_t* data() { return storage_.data(); }
  const std::uint8_t* data() const { return storage_.data(); }
  std::size_t length() const { return length_; }
  std::size_t capacity() const { return storage_.size(); }
  // Sets the number of valid bytes; the storage grows (zero-filled) when the length exceeds it.
  void setLength(std::size_t length);

 private:
  std::vector<std::uint8_t> storage_;
  std::size_t length_ = 0;
};

}  // namespace korvel
