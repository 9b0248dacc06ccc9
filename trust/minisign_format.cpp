// minisign's text formats: lines, Base64 through libsodium, key ids.
#include "trust/minisign_format.h"

#include <cstdio>

#include <sodium.h>

#include "trust/sodium_runtime.h"

namespace korvel::trust::minisign {

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string toBase64(const std::uint8_t* data, std::size_t size) {
  sodiumReady();
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  text.resize(text.find('\0'));
  return text;
}

std::optional<std::vector<std::uint8_t>> fromBase64(std::string_view line, std::size_t size) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  if (line.empty() || !sodiumReady()) return std::nullopt;
  // One byte more than wanted, so that a longer text shows as too long instead of being cut.
  std::vector<std::uint8_t> bytes(size + 1);
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != line.data() + line.size() || length != size)
    return std::nullopt;
  bytes.resize(size);
  return bytes;
}

std::string keyIdText(const KeyId& id) {
  char text[kKeyIdSize * 2 + 1];
  for (std::size_t i = 0; i < kKeyIdSize; ++i)
    std::snprintf(text + 2 * i, 3, "%02X", id[kKeyIdSize - 1 - i]);
  return std::string(text, kKeyIdSize * 2);
}

}  // namespace korvel::trust::minisign
