// Bounded text formatting and ASCII letter-case helpers.
#include "common/text_format.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace korvel {

std::string boundedFormat(std::size_t capacity, const char* format, ...) {
  if (capacity == 0 || !format) return {};
  std::vector<char> buffer(capacity);
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(buffer.data(), capacity, format, args);
  va_end(args);
  if (written < 0) return {};
  return std::string(buffer.data());
}

std::string cutToCapacity(std::string text, std::size_t capacity) {
  if (capacity == 0) return {};
  if (text.size() > capacity - 1) text.resize(capacity - 1);
  return text;
}

static char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
static char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string toLowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), lowerAscii);
  return text;
}

std::string toUpperAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), upperAscii);
  return text;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return upperAscii(x) == upperAscii(y);
         });
}

bool lessIgnoreCase(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(upperAscii(x)) < static_cast<unsigned char>(upperAscii(y));
  });
}

}  // namespace korvel
