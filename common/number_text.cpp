// The number forms of a CRC, of a byte count and of a hexadecimal digit.
#include "common/number_text.h"

#include "common/text_format.h"

namespace korvel {

std::int32_t decimalToInt32(const char* text) {
  if (!text) return 0;
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\v' || *text == '\f') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  // Unsigned arithmetic wraps by definition, which is what makes the two spellings of one CRC agree.
  std::uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10u + static_cast<std::uint32_t>(*text - '0');
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

std::optional<std::int64_t> decimalToSize(const char* text) {
  if (!text) return 0;
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\v' || *text == '\f') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  constexpr std::int64_t kLargest = INT64_MAX;
  std::int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const int digit = *text - '0';
    if (value > (kLargest - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (negative && value != 0) return std::nullopt;
  return value;
}

std::uint32_t crcFromAttribute(const char* text) { return static_cast<std::uint32_t>(decimalToInt32(text)); }

std::string crcToDecimal(std::uint32_t crc) { return boundedFormat(256, "%d", static_cast<std::int32_t>(crc)); }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace korvel
