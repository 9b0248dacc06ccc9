// In-memory gzip decoding over zlib's raw inflate.
#include "transfer/gzip_memory.h"

#include <zlib.h>

#include "common/zlib_stream.h"

namespace korvel {

namespace {

constexpr int kMagic0 = 0x1f;
constexpr int kMagic1 = 0x8b;
constexpr int kDeflated = 8;
constexpr int kHeaderCrc = 0x02;
constexpr int kExtraField = 0x04;
constexpr int kOriginalName = 0x08;
constexpr int kComment = 0x10;

// Reads the gzip member header byte by byte; every skip stops at the end of the input.
class HeaderReader {
 public:
  HeaderReader(const unsigned char* in, std::uint32_t length) : in_(in), length_(length) {}
  int next() { return position_ < length_ ? in_[position_++] : -1; }
  void skip(std::uint32_t count) {
    while (count-- > 0 && next() != -1) {
    }
  }
  void skipText() {
    int c;
    do {
      c = next();
    } while (c != 0 && c != -1);
  }
  std::uint32_t position() const { return position_; }

 private:
  const unsigned char* in_;
  std::uint32_t length_;
  std::uint32_t position_ = 0;
};

std::uint32_t headerLength(const unsigned char* in, std::uint32_t inLength) {
  HeaderReader reader(in, inLength);
  if (reader.next() != kMagic0) return 0;
  if (reader.next() != kMagic1) return 0;
  const int method = reader.next();
  const int flags = reader.next();
  if (method != kDeflated || flags == -1) return reader.position();
  reader.skip(6);  // modification time, extra flags, operating system
  if (flags & kExtraField) {
    const int low = reader.next();
    const int high = reader.next();
    if (low != -1 && high != -1) reader.skip(static_cast<std::uint32_t>(low | (high << 8)));
  }
  if (flags & kOriginalName) reader.skipText();
  if (flags & kComment) reader.skipText();
  if (flags & kHeaderCrc) reader.skip(2);
  return reader.position();
}

}  // namespace

int gunzipMemory(unsigned char* out, std::uint32_t& capacity, const unsigned char* in, std::uint32_t inLength) {
  InflateStream inflater;
  z_stream& stream = *inflater.get();
  const std::uint32_t skipped = in ? headerLength(in, inLength) : 0;
  stream.next_in = const_cast<Bytef*>(in) + skipped;
  stream.avail_in = in ? inLength - skipped : 0;
  stream.next_out = out;
  stream.avail_out = out ? capacity : 0;
  // Negative window bits: raw deflate data, no zlib header expected.
  int status = inflater.start(-MAX_WBITS);
  if (status != Z_OK) {
    capacity = 0;
    return status;
  }
  status = inflate(&stream, Z_FINISH);
  capacity = static_cast<std::uint32_t>(stream.total_out);
  inflater.end();
  if (status == Z_STREAM_END) return Z_OK;
  return status == Z_OK ? Z_BUF_ERROR : status;
}

}  // namespace korvel
