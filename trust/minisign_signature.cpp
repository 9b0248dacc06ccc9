// Reading minisign signatures and checking them with libsodium's Ed25519 and BLAKE2b.
#include "trust/minisign_signature.h"

#include <algorithm>
#include <vector>

#include <sodium.h>

#include "trust/sodium_runtime.h"

namespace korvel::trust {

namespace {

constexpr std::size_t kSignatureLineBytes = 2 + minisign::kKeyIdSize + minisign::kSignatureSize;

bool startsWith(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

}  // namespace

std::optional<MinisignSignature> MinisignSignature::parse(std::string_view text) {
  const std::vector<std::string_view> lines = minisign::splitLines(text);
  if (lines.size() < 4 || !startsWith(lines[0], minisign::kUntrustedPrefix) ||
      !startsWith(lines[2], minisign::kTrustedPrefix))
    return std::nullopt;
  const std::optional<std::vector<std::uint8_t>> body = minisign::fromBase64(lines[1], kSignatureLineBytes);
  const std::optional<std::vector<std::uint8_t>> global = minisign::fromBase64(lines[3], minisign::kSignatureSize);
  if (!body || !global) return std::nullopt;

  MinisignSignature signature;
  if (std::equal(minisign::kHashedAlgorithm.begin(), minisign::kHashedAlgorithm.end(), body->begin())) {
    signature.prehashed_ = true;
  } else if (std::equal(minisign::kPlainAlgorithm.begin(), minisign::kPlainAlgorithm.end(), body->begin())) {
    signature.prehashed_ = false;
  } else {
    return std::nullopt;
  }
  std::copy_n(body->begin() + 2, minisign::kKeyIdSize, signature.keyId_.begin());
  std::copy_n(body->begin() + 2 + minisign::kKeyIdSize, minisign::kSignatureSize, signature.signature_.begin());
  signature.trustedComment_ = std::string(lines[2].substr(minisign::kTrustedPrefix.size()));
  std::copy(global->begin(), global->end(), signature.globalSignature_.begin());
  return signature;
}

bool MinisignSignature::verifies(const MinisignPublicKey& key, const void* data, std::size_t size) const {
  if (!sodiumReady() || keyId_ != key.id()) return false;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::array<unsigned char, minisign::kPrehashSize> prehash;
  if (prehashed_) {
    if (crypto_generichash(prehash.data(), prehash.size(), bytes, size, nullptr, 0) != 0) return false;
    bytes = prehash.data();
    size = prehash.size();
  }
  if (crypto_sign_verify_detached(signature_.data(), bytes, size, key.key().data()) != 0) return false;

  // The trusted comment is only trusted with the global signature over it and the signature.
  std::vector<unsigned char> covered(signature_.begin(), signature_.end());
  covered.insert(covered.end(), trustedComment_.begin(), trustedComment_.end());
  return crypto_sign_verify_detached(globalSignature_.data(), covered.data(), covered.size(), key.key().data()) == 0;
}

}  // namespace korvel::trust
