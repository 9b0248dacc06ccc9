// Bounded text formatting: the fixed-size text buffers of the session, kept as std::string.
//
// A buffer of N bytes holds at most N - 1 characters; these helpers cut explicitly at that bound
// instead of writing past it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvel {

// printf-style formatting into a buffer of `capacity` bytes: the result holds at most capacity - 1
// characters (capacity 0 gives an empty text).
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
std::string boundedFormat(std::size_t capacity, const char* format, ...);

// `text` cut to what fits in a buffer of `capacity` bytes with its terminating zero.
std::string cutToCapacity(std::string text, std::size_t capacity);

// Letter-case helpers for the ASCII texts of the manifest and the command line.
std::string toLowerAscii(std::string text);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
// Orders texts character by character in upper case; a prefix sorts first.
bool lessIgnoreCase(std::string_view a, std::string_view b);
// Whether the paths a1\a2 and b1\b2 are equal without regard to letter case, built as neither.
bool joinedEqualsIgnoreCase(std::string_view a1, std::string_view a2, std::string_view b1, std::string_view b2);
struct LessIgnoreCase {
  bool operator()(const std::string& a, const std::string& b) const { return lessIgnoreCase(a, b); }
};

}  // namespace korvel
