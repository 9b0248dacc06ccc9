// The publisher's signing key in minisign's secret key format, and the detached signatures made with
// it. Keys are unencrypted: the ones `korvel-publish keygen` writes, and those of `minisign -G -W`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "trust/minisign_format.h"
#include "trust/minisign_public_key.h"

namespace korvel::publish {

class MinisignSecretKey {
 public:
  // A new random key pair.
  static MinisignSecretKey generate();
  // Reads the text of a secret key file. Nothing, with `problem` set to a complete sentence, when it
  // is not a minisign secret key, its checksum does not match, or it is encrypted (this tool asks for
  // no password).
  static std::optional<MinisignSecretKey> parse(const std::string& text, std::string& problem);
  static std::optional<MinisignSecretKey> load(const std::filesystem::path& path, std::string& problem);

  MinisignSecretKey(const MinisignSecretKey& other) = default;
  MinisignSecretKey& operator=(const MinisignSecretKey& other) = default;
  // The secret bytes do not outlive the object.
  ~MinisignSecretKey();

  trust::MinisignPublicKey publicKey() const;
  // The file text: an "untrusted comment:" line and the Base64 of the unencrypted key.
  std::string fileText() const;
  // A detached signature of `data` in minisign's prehashed form ("ED": Ed25519 over the BLAKE2b-512
  // hash), with `trustedComment` covered by the global signature. Deterministic.
  std::string sign(const void* data, std::size_t size, const std::string& trustedComment) const;

 private:
  MinisignSecretKey() = default;

  trust::minisign::KeyId id_{};
  std::array<std::uint8_t, trust::minisign::kSecretKeySize> secret_{};
};

// Signs the bytes of `file` with `key` into `signatureFile`, with the trusted comment
// "timestamp:<timestamp>\tfile:<name>\thashed" as minisign writes it (`name`: the document's name as
// published). False with `problem` set when the file cannot be read or the signature not written.
bool writeSignatureFile(const MinisignSecretKey& key, const std::filesystem::path& file,
                        const std::filesystem::path& signatureFile, const std::string& name, std::int64_t timestamp,
                        std::string& problem);

}  // namespace korvel::publish
