// A strtok-like splitter with an optional quote mode, working on its own copy of the text.
#include "common/tokenizer.h"

#include <cstring>

namespace korvel {

const char* Tokenizer::next(const char* text, const char* separator, bool quoteMode) {
  if (text) {
    std::size_t length = std::strlen(text);
    buffer_.assign(text, text + length);
    buffer_.push_back('\0');
    position_ = 0;
    active_ = true;
  }
  if (!active_) return nullptr;
  if (!separator) separator = "";
  const std::size_t separatorLength = std::strlen(separator);

  char* data = buffer_.data();
  if (separatorLength > 0) {
    while (data[position_] == separator[0]) ++position_;
  }
  if (data[position_] == '\0') {
    active_ = false;
    return nullptr;
  }

  char* start = data + position_;
  char* separatorAt = separatorLength > 0 ? std::strstr(start, separator) : nullptr;
  char* quoteAt = quoteMode ? std::strpbrk(start, "\"'") : nullptr;

  if (quoteAt && (!separatorAt || quoteAt < separatorAt)) {
    char* tokenStart = quoteAt + 1;
    char* closing = std::strchr(tokenStart, *quoteAt);
    if (!closing) {
      // An unclosed quote takes the rest of the text and ends the scan.
      active_ = false;
      return tokenStart;
    }
    *closing = '\0';
    position_ = static_cast<std::size_t>(closing + 1 - data);
    return tokenStart;
  }
  if (separatorAt) {
    std::memset(separatorAt, 0, separatorLength);
    position_ = static_cast<std::size_t>(separatorAt + separatorLength - data);
    return start;
  }
  // No further separator: the rest is the last token.
  active_ = false;
  return start;
}

std::vector<std::string> Tokenizer::split(const char* text, const char* separator, bool quoteMode) {
  std::vector<std::string> tokens;
  Tokenizer tokenizer;
  for (const char* token = tokenizer.next(text, separator, quoteMode); token;
       token = tokenizer.next(nullptr, separator, quoteMode)) {
    tokens.emplace_back(token);
  }
  return tokens;
}

}  // namespace korvel
