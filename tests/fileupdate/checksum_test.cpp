// Tests of the checksum interface, CRC-32 and the number forms of a CRC.
#include "fileupdate/checksum.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "fileupdate/crc32_checksum.h"
#include "common/number_text.h"

namespace korvel {
namespace {

// A checksum whose value, width and kind the test chooses.
class FixedChecksum : public Checksum {
 public:
  FixedChecksum(std::uint32_t value, std::uint32_t size, std::int32_t kind) : value_(value), size_(size), kind_(kind) {}
  void reset() override { value_ = 0; }
  std::uint32_t value() const override { return value_; }
  std::uint32_t size() const override { return size_; }
  void update(const void*, std::size_t) override {}
  std::int32_t kind() const override { return kind_; }

 private:
  std::uint32_t value_;
  std::uint32_t size_;
  std::int32_t kind_;
};

std::uint32_t crcOf(const std::string& text) {
  Crc32Checksum crc;
  crc.update(text.data(), text.size());
  return crc.value();
}

TEST(Crc32ChecksumTest, ComputesTheStandardCrc32) {
  EXPECT_EQ(crcOf("123456789"), 0xcbf43926u);
  EXPECT_EQ(crcOf(""), 0u);
  EXPECT_EQ(crcOf("The quick brown fox jumps over the lazy dog"), 0x414fa339u);
}

TEST(Crc32ChecksumTest, ContinuesAcrossUpdatesAndRestartsAfterReset) {
  Crc32Checksum crc;
  crc.update("1234", 4);
  crc.updateByte('5');
  crc.update("6789", 4);
  EXPECT_EQ(crc.value(), 0xcbf43926u);
  EXPECT_STREQ(crc.toText(), "cbf43926");
  crc.reset();
  EXPECT_EQ(crc.value(), 0u);
  crc.update("123456789", 9);
  EXPECT_EQ(crc.value(), 0xcbf43926u);
  EXPECT_EQ(crc.size(), 4u);
  EXPECT_EQ(crc.kind(), 1);
}

TEST(Crc32ChecksumTest, UpdateFromFeedsOnlyTheBufferLength) {
  ByteBuffer buffer(32);
  std::memset(buffer.data(), 'z', buffer.capacity());
  std::memcpy(buffer.data(), "123456789", 9);
  buffer.setLength(9);
  Crc32Checksum crc;
  crc.updateFrom(buffer);
  EXPECT_EQ(crc.value(), 0xcbf43926u);
}

TEST(ChecksumTest, TextIsZeroPaddedHexOfTwiceTheWidth) {
  EXPECT_STREQ(FixedChecksum(0x00ab12cdu, 4, 1).toText(), "00ab12cd");
  EXPECT_STREQ(FixedChecksum(0x7u, 1, 1).toText(), "07");
  EXPECT_STREQ(FixedChecksum(0xbeu, 2, 1).toText(), "00be");
  EXPECT_STREQ(FixedChecksum(0xabcdu, 3, 1).toText(), "00abcd");
  EXPECT_STREQ(FixedChecksum(0x1u, 8, 1).toText(), "00000001");
  EXPECT_STREQ(FixedChecksum(0xffffffffu, 4, 1).toText(), "ffffffff");
}

TEST(ChecksumTest, TextBufferBelongsToTheObjectAndIsReused) {
  FixedChecksum checksum(0x12u, 4, 1);
  const char* first = checksum.toText();
  checksum.reset();
  const char* second = checksum.toText();
  EXPECT_EQ(first, second);
  EXPECT_STREQ(second, "00000000");
}

TEST(ChecksumTest, CompareOrdersByKindThenWidthThenUnsignedValue) {
  EXPECT_EQ(FixedChecksum(5, 4, 1).compare(FixedChecksum(7, 4, 1)), -2);
  EXPECT_EQ(FixedChecksum(7, 4, 1).compare(FixedChecksum(5, 4, 1)), 2);
  EXPECT_EQ(FixedChecksum(7, 4, 1).compare(FixedChecksum(7, 4, 1)), 0);
  EXPECT_EQ(FixedChecksum(0x80000000u, 4, 1).compare(FixedChecksum(1, 4, 1)), 2);
  EXPECT_EQ(FixedChecksum(1, 4, 1).compare(FixedChecksum(1, 2, 1)), 1);
  EXPECT_EQ(FixedChecksum(9, 2, 1).compare(FixedChecksum(1, 4, 1)), -1);
  EXPECT_EQ(FixedChecksum(1, 4, 5).compare(FixedChecksum(9, 8, 2)), 3);
  EXPECT_EQ(FixedChecksum(1, 4, 2).compare(FixedChecksum(1, 4, 5)), -3);
}

TEST(ChecksumTest, CopyBytesGivesTheValueLeastSignificantFirstAndZeroFills) {
  const FixedChecksum checksum(0x11223344u, 4, 1);
  unsigned char bytes[6];
  std::memset(bytes, 0xee, sizeof bytes);
  EXPECT_EQ(checksum.copyBytes(bytes, 6), 4u);
  const unsigned char wide[6] = {0x44, 0x33, 0x22, 0x11, 0, 0};
  EXPECT_EQ(std::memcmp(bytes, wide, 6), 0);

  std::memset(bytes, 0xee, sizeof bytes);
  EXPECT_EQ(checksum.copyBytes(bytes, 2), 2u);
  EXPECT_EQ(bytes[0], 0x44);
  EXPECT_EQ(bytes[1], 0x33);
  EXPECT_EQ(bytes[2], 0xee);
}

TEST(ChecksumTest, WriteToSetsTheBufferToTheValueBytes) {
  ByteBuffer buffer;
  EXPECT_EQ(FixedChecksum(0xa1b2c3d4u, 4, 1).writeTo(buffer), 4u);
  ASSERT_EQ(buffer.length(), 4u);
  EXPECT_EQ(buffer.data()[0], 0xd4);
  EXPECT_EQ(buffer.data()[3], 0xa1);

  ByteBuffer narrow(16);
  narrow.setLength(16);
  EXPECT_EQ(FixedChecksum(0xa1b2u, 2, 1).writeTo(narrow), 2u);
  EXPECT_EQ(narrow.length(), 2u);
  EXPECT_EQ(narrow.data()[0], 0xb2);
}

TEST(CrcNumberTest, UnsignedAndNegativeSpellingsNameTheSameBits) {
  EXPECT_EQ(crcFromAttribute("-1"), 0xffffffffu);
  EXPECT_EQ(crcFromAttribute("4294967295"), 0xffffffffu);
  EXPECT_EQ(crcFromAttribute("3421780262"), 0xcbf43926u);
  EXPECT_EQ(crcFromAttribute("-873187034"), 0xcbf43926u);
  EXPECT_EQ(crcFromAttribute("4294967296"), 0u);
}

TEST(CrcNumberTest, ReadsLikeAtol) {
  EXPECT_EQ(decimalToInt32(nullptr), 0);
  EXPECT_EQ(decimalToInt32(""), 0);
  EXPECT_EQ(decimalToInt32("abc"), 0);
  EXPECT_EQ(decimalToInt32("  +12abc"), 12);
  EXPECT_EQ(decimalToInt32("\t-7 8"), -7);
  EXPECT_EQ(decimalToInt32("2147483648"), -2147483647 - 1);
  EXPECT_EQ(decimalToInt32("- 5"), 0);
}

TEST(CrcNumberTest, DecimalFormIsSigned) {
  EXPECT_EQ(crcToDecimal(0xffffffffu), "-1");
  EXPECT_EQ(crcToDecimal(0xcbf43926u), "-873187034");
  EXPECT_EQ(crcToDecimal(0x7fffffffu), "2147483647");
  EXPECT_EQ(crcToDecimal(0u), "0");
  EXPECT_EQ(crcFromAttribute(crcToDecimal(0x80000001u).c_str()), 0x80000001u);
}

}  // namespace
}  // namespace korvel
