// Reading and writing minisign public keys.
#include "trust/minisign_public_key.h"

#include <algorithm>
#include <vector>

namespace korvel::trust {

namespace {

constexpr std::size_t kKeyLineBytes = 2 + minisign::kKeyIdSize + minisign::kPublicKeySize;

}  // namespace

std::optional<MinisignPublicKey> MinisignPublicKey::parse(std::string_view text) {
  // The first line that is neither empty nor a comment holds the key.
  for (std::string_view line : minisign::splitLines(text)) {
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (line.substr(0, minisign::kUntrustedPrefix.size()) == minisign::kUntrustedPrefix) continue;
    const std::optional<std::vector<std::uint8_t>> bytes = minisign::fromBase64(line, kKeyLineBytes);
    if (!bytes || !std::equal(minisign::kKeyAlgorithm.begin(), minisign::kKeyAlgorithm.end(), bytes->begin()))
      return std::nullopt;
    minisign::KeyId id;
    std::array<std::uint8_t, minisign::kPublicKeySize> key;
    std::copy_n(bytes->begin() + 2, id.size(), id.begin());
    std::copy_n(bytes->begin() + 2 + id.size(), key.size(), key.begin());
    return MinisignPublicKey(id, key);
  }
  return std::nullopt;
}

std::string MinisignPublicKey::keyLine() const {
  std::vector<std::uint8_t> bytes(minisign::kKeyAlgorithm.begin(), minisign::kKeyAlgorithm.end());
  bytes.insert(bytes.end(), id_.begin(), id_.end());
  bytes.insert(bytes.end(), key_.begin(), key_.end());
  return minisign::toBase64(bytes.data(), bytes.size());
}

std::string MinisignPublicKey::fileText() const {
  return std::string(minisign::kUntrustedPrefix) + "minisign public key " + minisign::keyIdText(id_) + "\n" +
         keyLine() + "\n";
}

}  // namespace korvel::trust
