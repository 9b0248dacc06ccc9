// A std::streambuf that compresses into a GzipFileWriter.
#include "tools/publish/gzip_stream_buffer.h"

namespace korvel::publish {

namespace {
constexpr std::size_t kBufferSize = 64 * 1024;
}

GzipStreamBuffer::GzipStreamBuffer(GzipFileWriter& writer) : writer_(writer), buffer_(kBufferSize) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

GzipStreamBuffer::~GzipStreamBuffer() { drain(); }

bool GzipStreamBuffer::drain() {
  std::ptrdiff_t pending = pptr() - pbase();
  if (pending == 0) return true;
  bool ok = writer_.write(pbase(), static_cast<std::size_t>(pending));
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return ok;
}

GzipStreamBuffer::int_type GzipStreamBuffer::overflow(int_type ch) {
  if (!drain()) return traits_type::eof();
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  *pptr() = traits_type::to_char_type(ch);
  pbump(1);
  return ch;
}

std::streamsize GzipStreamBuffer::xsputn(const char_type* data, std::streamsize count) {
  // Large blocks skip the buffer; small ones collect in it.
  if (count >= static_cast<std::streamsize>(buffer_.size())) {
    if (!drain() || !writer_.write(data, static_cast<std::size_t>(count))) return 0;
    return count;
  }
  return std::streambuf::xsputn(data, count);
}

int GzipStreamBuffer::sync() { return drain() ? 0 : -1; }

}  // namespace korvel::publish
