// Which file and folder names a patch tree can carry, and how they are spelled in URLs.
#include "tools/publish/name_rules.h"

#include <array>
#include <cstdio>

namespace korvel::publish {

namespace {

bool isDeviceName(const std::string& name) {
  // Windows reserves these names with any extension.
  std::string stem = foldCase(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const std::array<const char*, 6> plain = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (const char* device : plain) {
    if (stem == device) return true;
  }
  if (stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0)) {
    return stem[3] >= '1' && stem[3] <= '9';
  }
  return false;
}

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

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> nameProblem(const std::string& name) {
  if (name.empty()) return "empty name";
  if (name == "." || name == "..") return "reserved name";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return "control character in the name";
    if (c >= 0x80) return "character outside ASCII in the name (the updater uses the ANSI file functions)";
    switch (c) {
      case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return std::string("character '") + static_cast<char>(c) + "' is not allowed in Windows names";
      default:
        break;
    }
  }
  if (name.back() == '.' || name.back() == ' ') return "Windows drops a trailing dot or space from names";
  if (isDeviceName(name)) return "Windows reserves this name for a device";
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
