// A detached minisign signature (".minisig") and its check against a public key and the signed bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "trust/minisign_format.h"
#include "trust/minisign_public_key.h"

namespace korvel::trust {

class MinisignSignature {
 public:
  // Reads a signature file: the untrusted comment line, the signature line, the trusted comment line
  // and the global signature line, in this order. Nothing when any of them is missing or malformed,
  // or the algorithm is neither "ED" nor "Ed".
  static std::optional<MinisignSignature> parse(std::string_view text);

  // True only when the signature was made with `key` (same key id) over exactly these bytes, and the
  // global signature covers it and the trusted comment. Hashes the data once; any thread.
  bool verifies(const MinisignPublicKey& key, const void* data, std::size_t size) const;

  bool prehashed() const { return prehashed_; }
  const std::string& trustedComment() const { return trustedComment_; }

 private:
  MinisignSignature() = default;

  bool prehashed_ = true;
  minisign::KeyId keyId_{};
  std::array<std::uint8_t, minisign::kSignatureSize> signature_{};
  std::string trustedComment_;
  std::array<std::uint8_t, minisign::kSignatureSize> globalSignature_{};
};

}  // namespace korvel::trust
