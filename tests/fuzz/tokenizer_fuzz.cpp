// libFuzzer target for the tokenizer and the launcher's option list, both checked against a plain
// reading of their contracts: the tokens of either quote mode with any separator, and the options
// kept by addOptions, cut between whole options at 1023 characters.
//
// Input: the first byte sets the quote mode (bit 0) and the separator's length (bits 1-2; taken from
// the bytes that follow it), the rest is the text. For addOptions the text is given in pieces, one
// call per line.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/tokenizer.h"
#include "launcher/launcher.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using korvel::fuzz::fail;

// The tokenizer's contract, read plainly over a std::string.
class PlainTokenizer {
 public:
  std::optional<std::string> next(const std::string* text, const std::string& separator, bool quoteMode) {
    if (text) {
      text_ = *text;
      position_ = 0;
      active_ = true;
    }
    if (!active_) return std::nullopt;
    if (!separator.empty())
      while (position_ < text_.size() && text_[position_] == separator[0]) ++position_;
    if (position_ == text_.size()) {
      active_ = false;
      return std::nullopt;
    }
    const std::size_t separatorAt = separator.empty() ? std::string::npos : text_.find(separator, position_);
    const std::size_t quoteAt = quoteMode ? text_.find_first_of("\"'", position_) : std::string::npos;
    if (quoteAt != std::string::npos && (separatorAt == std::string::npos || quoteAt < separatorAt)) {
      const std::size_t closing = text_.find(text_[quoteAt], quoteAt + 1);
      if (closing == std::string::npos) {
        active_ = false;
        return text_.substr(quoteAt + 1);
      }
      position_ = closing + 1;
      return text_.substr(quoteAt + 1, closing - quoteAt - 1);
    }
    if (separatorAt != std::string::npos) {
      const std::string token = text_.substr(position_, separatorAt - position_);
      position_ = separatorAt + separator.size();
      return token;
    }
    active_ = false;
    return text_.substr(position_);
  }

 private:
  std::string text_;
  std::size_t position_ = 0;
  bool active_ = false;
};

// addOptions' contract, read plainly.
struct PlainOptions {
  std::string list;
  std::optional<std::string> gameCode;
  bool cut = false;

  void append(const std::string& option) {
    if (cut) return;
    if (list.size() + option.size() > korvel::Launcher::kPassThroughCapacity - 1) {
      cut = true;
      return;
    }
    list += option;
  }
  void add(const std::string& text) {
    PlainTokenizer tokens;
    for (auto token = tokens.next(&text, " ", true); token; token = tokens.next(nullptr, " ", true)) {
      std::string folded = *token;
      for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '\\') c = '/';
      }
      if (folded == "patchpatcher") {
        tokens.next(nullptr, " ", true);
      } else if (folded == "/multiple") {
      } else if (folded.find("/game:") != std::string::npos) {
        if (token->size() > 6 && !gameCode) {
          append(*token + " ");
          gameCode = token->substr(6);
        }
      } else if (folded.find("/gamepatchpath:") != std::string::npos) {
      } else if (token->find(' ') != std::string::npos) {
        append("\"" + *token + "\" ");
      } else {
        append(*token + " ");
      }
    }
  }
};

void checkTokenizer(const std::string& text, const std::string& separator, bool quoteMode) {
  korvel::Tokenizer tokenizer;
  PlainTokenizer plain;
  std::vector<std::string> tokens;
  const char* token = tokenizer.next(text.c_str(), separator.c_str(), quoteMode);
  std::optional<std::string> expected = plain.next(&text, separator, quoteMode);
  for (;;) {
    if (!token != !expected) fail("the tokenizer ends otherwise than its contract says");
    if (!token) break;
    if (*expected != token) fail("a token differs from the contract's");
    tokens.push_back(token);
    // Runs end on their own: each token consumes at least one character (or ends the scan).
    if (tokens.size() > text.size() + 1) fail("the tokenizer does not come to an end");
    token = tokenizer.next(nullptr, separator.c_str(), quoteMode);
    expected = plain.next(nullptr, separator, quoteMode);
  }
  if (tokenizer.next(nullptr, separator.c_str(), quoteMode)) fail("an ended scan goes on");
  if (korvel::Tokenizer::split(text.c_str(), separator.c_str(), quoteMode) != tokens)
    fail("split differs from the calls of next");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  korvel::fuzz::makeScratchFolder("tokenizer-fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool quoteMode = data[0] & 1;
  std::size_t separatorLength = std::min<std::size_t>((data[0] >> 1) & 3, size - 1);
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  // Both are C strings to the tokenizer: each ends at its first zero.
  const std::string separator = rest.substr(0, separatorLength).c_str();
  const std::string text = rest.substr(separatorLength).c_str();
  checkTokenizer(text, separator, quoteMode);

  korvel::Launcher launcher;
  PlainOptions plain;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    const std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    launcher.addOptions(piece.c_str());
    plain.add(piece);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (launcher.passThroughArguments().size() > korvel::Launcher::kPassThroughCapacity - 1)
    fail("the option list is longer than 1023 characters");
  if (launcher.passThroughArguments() != plain.list) fail("the option list differs from the contract's");
  const char* gameCode = launcher.gameCode();
  if (!gameCode != !plain.gameCode || (gameCode && *plain.gameCode != gameCode)) fail("the game code differs");
  return 0;
}
