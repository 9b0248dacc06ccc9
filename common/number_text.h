// The number forms of a CRC, of the other 32-bit numbers of the manifest and the patch cache, of the
// byte counts (sizes) both hold, and of one hexadecimal digit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

// C atoi / atol on a 32-bit long: leading blanks, an optional sign and decimal digits, read up to the
// first other character; overflow wraps modulo 2^32. Null or no digits give 0.
// "-1" and "4294967295" both give 0xffffffff (read as int32: -1).
std::int32_t decimalToInt32(const char* text);

// A byte count ("TotalSize", "DownloadSize", a cache entry's "Size"), read as atol reads it but in
// 64 bits and without wrapping: leading blanks, an optional sign and decimal digits up to the first
// other character; null or no digits give 0. A negative count, or one beyond 2^63 - 1, is no byte
// count at all: nullopt. Below 2^31 the value is the one a 32-bit atol gives.
std::optional<std::int64_t> decimalToSize(const char* text);

// A manifest or cache "CRC" attribute as the unsigned 32-bit value it names (0: no CRC known).
std::uint32_t crcFromAttribute(const char* text);

// The "%d" form the patch cache writes: the 32 bits as a signed decimal number.
std::string crcToDecimal(std::uint32_t crc);

// The value of one hexadecimal digit (either letter case); -1 for any other character.
int hexValue(char c);

}  // namespace korvel
