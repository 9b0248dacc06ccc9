// Narrow and wide texts of the stager.
#include "staging/wide_text.h"

#include <cstdlib>
#include <vector>

namespace korvel {

std::wstring widenText(const std::string& text) {
  if (text.empty()) return {};
  std::vector<wchar_t> buffer(text.size() + 1, L'\0');
  const std::size_t count = std::mbstowcs(buffer.data(), text.c_str(), buffer.size());
  if (count != static_cast<std::size_t>(-1)) return std::wstring(buffer.data(), count);
  std::wstring out;
  out.reserve(text.size());
  for (unsigned char c : text) out += static_cast<wchar_t>(c);
  return out;
}

std::string narrowText(const std::wstring& text) {
  if (text.empty()) return {};
  // A multibyte character takes at most MB_CUR_MAX bytes.
  std::vector<char> buffer(text.size() * MB_CUR_MAX + 1, '\0');
  const std::size_t count = std::wcstombs(buffer.data(), text.c_str(), buffer.size());
  if (count != static_cast<std::size_t>(-1)) return std::string(buffer.data(), count);
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) out += static_cast<unsigned>(c) < 0x100 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace korvel
