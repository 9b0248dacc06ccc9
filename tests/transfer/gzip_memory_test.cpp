// The in-memory gzip decoder: header skipping with every optional field, data without a header,
// a full output buffer and corrupt input.
#include "transfer/gzip_memory.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace korvel::test {
namespace {

const std::string kPlain = "The quick brown fox jumps over the lazy dog. The quick brown fox jumps again.";

std::string rawDeflate(const std::string& data) {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

// The trailer bytes are never checked; a fixed filler stands in for them.
const std::string kTrailer = bytes({1, 2, 3, 4, 5, 6, 7, 8});

struct Decoded {
  int status;
  std::string text;
};

Decoded decode(const std::string& in, std::uint32_t capacity = 1024) {
  std::vector<unsigned char> out(capacity);
  std::uint32_t produced = capacity;
  const int status = gunzipMemory(out.data(), produced, reinterpret_cast<const unsigned char*>(in.data()),
                                  static_cast<std::uint32_t>(in.size()));
  return {status, std::string(out.begin(), out.begin() + produced)};
}

TEST(GunzipMemoryTest, SkipsEveryOptionalHeaderField) {
  const std::string header = bytes({0x1f, 0x8b, 8, 0x02 | 0x04 | 0x08 | 0x10, 0, 0, 0, 0, 0, 3}) +
                             bytes({3, 0}) + "xyz" +  // extra field of three bytes
                             std::string("file.xml") + '\0' + std::string("a comment") + '\0' +
                             bytes({0xAB, 0xCD});  // header CRC
  const Decoded out = decode(header + rawDeflate(kPlain) + kTrailer);
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.text, kPlain);
}

TEST(GunzipMemoryTest, DataWithoutGzipIdentificationIsInflatedFromItsFirstByte) {
  const Decoded plainDeflate = decode(rawDeflate(kPlain));
  EXPECT_EQ(plainDeflate.status, 0);
  EXPECT_EQ(plainDeflate.text, kPlain);

  // A method other than 8 ends the header after the method and flags bytes.
  const Decoded otherMethod = decode(bytes({0x1f, 0x8b, 7, 0x08}) + rawDeflate(kPlain));
  EXPECT_EQ(otherMethod.status, 0);
  EXPECT_EQ(otherMethod.text, kPlain);
}

TEST(GunzipMemoryTest, HeaderCutShortProducesNothing) {
  const Decoded out = decode(bytes({0x1f, 0x8b, 8, 0x08, 0, 0, 0}));
  EXPECT_LT(out.status, 0);
  EXPECT_EQ(out.text, "");
}

TEST(GunzipMemoryTest, FullOutputBufferStopsWithBufferError) {
  const Decoded out = decode(bytes({0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3}) + rawDeflate(kPlain) + kTrailer, 10);
  EXPECT_EQ(out.status, Z_BUF_ERROR);
  EXPECT_EQ(out.text, kPlain.substr(0, 10));
}

TEST(GunzipMemoryTest, CorruptDeflateDataIsADataError) {
  const Decoded out = decode(bytes({0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3}) + bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(out.status, Z_DATA_ERROR);
}

}  // namespace
}  // namespace korvel::test
