// A small byte buffer for the checksums.
#include "fileupdate/byte_buffer.h"

namespace korvel {

ByteBuffer::ByteBuffer(std::size_t capacity) : storage_(capacity, 0) {}

void ByteBuffer::setLength(std::size_t length) {
  if (length > storage_.size()) storage_.resize(length, 0);
  length_ = length;
}

}  // namespace korvel
