// Which file and folder names a patch tree can carry, and how they are spelled in URLs.
#include "tools/publish/name_rules.h"

#include <cstdio>

#include "common/name_rules.h"
#include "common/number_text.h"

namespace korvel::publish {

namespace {

bool carriedUnchanged(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case '!': case '$': case '&': case '\'': case '(':
    case ')': case '+': case ',': case ';': case '=': case '@':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<std::string> nameProblem(const std::string& name) {
  if (const char* problem = plainNameProblem(name)) return std::string(problem);
  for (unsigned char c : name) {
    if (c >= 0x80) return "character outside ASCII in the name (the updater uses the ANSI file functions)";
    switch (c) {
      case '*': case '?': case '"': case '<': case '>': case '|':
        return std::string("character '") + static_cast<char>(c) + "' is not allowed in Windows names";
      default:
        break;
    }
  }
  return std::nullopt;
}

std::string encodeUrlSegment(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    if (carriedUnchanged(c)) {
      out += static_cast<char>(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      out += escape;
    }
  }
  return out;
}

std::string decodeUrlSegment(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string foldCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace korvel::publish
