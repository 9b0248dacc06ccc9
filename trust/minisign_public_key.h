// A minisign public key: the key a publisher's signatures are checked against.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "trust/minisign_format.h"

namespace korvel::trust {

class MinisignPublicKey {
 public:
  // Reads the text of a public key file (its "untrusted comment:" line, then the key line) or the
  // key line alone. Nothing when the text holds no Ed25519 minisign key.
  static std::optional<MinisignPublicKey> parse(std::string_view text);
  // A key from its parts (the publisher's own key pair).
  MinisignPublicKey(const minisign::KeyId& id, const std::array<std::uint8_t, minisign::kPublicKeySize>& key)
      : id_(id), key_(key) {}

  const minisign::KeyId& id() const { return id_; }
  const std::array<std::uint8_t, minisign::kPublicKeySize>& key() const { return key_; }
  // The key line of the file: Base64 of "Ed", the id and the key.
  std::string keyLine() const;
  // The whole file as minisign writes it: "untrusted comment: minisign public key <ID>" and the key line.
  std::string fileText() const;

 private:
  minisign::KeyId id_;
  std::array<std::uint8_t, minisign::kPublicKeySize> key_;
};

}  // namespace korvel::trust
