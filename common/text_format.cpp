// Bounded text formatting and ASCII letter-case helpers.
#include "common/text_format.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>
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

// Both compare bytes first and fold letter case only where the bytes differ: names that share long
// folder prefixes are compared for every look-up of a cache or folder record.
bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Mostly asked of names in the same spelling: one block comparison settles those.
  if (a == b) return true;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && upperAscii(a[i]) != upperAscii(b[i])) return false;
  return true;
}

bool lessIgnoreCase(std::string_view a, std::string_view b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    if (a[i] == b[i]) continue;
    const auto x = static_cast<unsigned char>(upperAscii(a[i]));
    const auto y = static_cast<unsigned char>(upperAscii(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool joinedEqualsIgnoreCase(std::string_view a1, std::string_view a2, std::string_view b1, std::string_view b2) {
  if (a1.size() + a2.size() != b1.size() + b2.size()) return false;
  if (a1.size() > b1.size()) {
    std::swap(a1, b1);
    std::swap(a2, b2);
  }
  const std::size_t split = a1.size();
  if (!equalsIgnoreCase(a1, b1.substr(0, split))) return false;
  if (split == b1.size()) return equalsIgnoreCase(a2, b2);
  // b1 runs on past a's separator: a2 then lies alongside the rest of b1 and b's separator.
  const std::size_t rest = b1.size() - split - 1;
  return b1[split] == '\\' && equalsIgnoreCase(a2.substr(0, rest), b1.substr(split + 1)) && a2[rest] == '\\' &&
         equalsIgnoreCase(a2.substr(rest + 1), b2);
}

}  // namespace korvel
