// A signing key in minisign's secret key format, and the detached signatures made with it: used by the
// publisher (korvel-publish) and the tests; the updater only verifies. Keys are unencrypted: the ones
// `korvel-publish keygen` writes, and those of `minisign -G -W`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "trust/minisign_format.h"
#include "trust/minisign_public_key.h"

namespace korvel::trust {

class MinisignSecretKey {
 public:
  // A new random key pair.
  static MinisignSecretKey generate();
  // Reads the text of a secret key file. Nothing, with `problem` set, when it is not a minisign secret
  // key, is damaged (checksum, or halves that do not belong together), or is encrypted (no password is
  // ever asked for).
  static std::optional<MinisignSecretKey> parse(const std::string& text, std::string& problem);

  MinisignSecretKey(const MinisignSecretKey& other) = default;
  MinisignSecretKey& operator=(const MinisignSecretKey& other) = default;
  // The secret bytes do not outlive the object.
  ~MinisignSecretKey();

  MinisignPublicKey publicKey() const;
  // The file text: an "untrusted comment:" line and the Base64 of the unencrypted key.
  std::string fileText() const;
  // A detached signature of `data` in minisign's prehashed form ("ED": Ed25519 over the BLAKE2b-512
  // hash), with `trustedComment` covered by the global signature. Deterministic.
  std::string sign(const void* data, std::size_t size, const std::string& trustedComment) const;

 private:
  MinisignSecretKey() = default;

  minisign::KeyId id_{};
  std::array<std::uint8_t, minisign::kSecretKeySize> secret_{};
};

}  // namespace korvel::trust
