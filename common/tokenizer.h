// A strtok-like splitter over an owned copy of a text, with an optional quote mode in which a token
// may be enclosed in double quotes or apostrophes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korvel {

class Tokenizer {
 public:
  Tokenizer() = default;

  // Returns the next token, or null when the text is exhausted.
  //
  // A non-null `text` starts over on a copy of it; a null `text` continues where the previous call
  // stopped (null at once when nothing was started). Every character equal to the first character of
  // `separator` is skipped first. Plain mode: the token runs to the next occurrence of the whole
  // separator, and the next call starts behind that separator; without one the rest is the last
  // token. Quote mode: of the separator, '"' and '\'', whichever occurs first decides; a quote makes
  // the token run from behind it to the next occurrence of the same quote character (the next call
  // starts behind that), and an unclosed quote gives the rest of the text and ends the scan.
  //
  // The returned text lives in the tokenizer and stays valid until the next restart or destruction.
  const char* next(const char* text, const char* separator, bool quoteMode = false);

  // Every token of `text`, in order (a convenience over next()).
  static std::vector<std::string> split(const char* text, const char* separator, bool quoteMode = false);

 private:
  // The copied text with its terminating zero; tokens are cut by writing zeros into it.
  std::vector<char> buffer_;
  std::size_t position_ = 0;
  bool active_ = false;
};

}  // namespace korvel
