// SHA-256 through the system's library, or libsodium's portable code where the system has none.
#include "trust/sha256.h"

#include <sodium.h>

#include "trust/sodium_runtime.h"

namespace korvel::trust {

namespace {

crypto_hash_sha256_state* asState(unsigned char* storage) {
  return reinterpret_cast<crypto_hash_sha256_state*>(storage);
}

}  // namespace

static_assert(sizeof(crypto_hash_sha256_state) <= 128, "Sha256::state_ is too small for libsodium's state");
static_assert(crypto_hash_sha256_BYTES == platform::Sha256Engine::kDigestBytes);

Sha256::Sha256() : engine_(platform::makeSha256Engine()) {
  if (engine_) return;
  sodiumReady();
  crypto_hash_sha256_init(asState(state_));
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(const void* data, std::size_t size) {
  if (size == 0) return;
  if (engine_) {
    engine_->update(data, size);
    return;
  }
  crypto_hash_sha256_update(asState(state_), static_cast<const unsigned char*>(data), size);
}

std::string Sha256::finishHex() {
  unsigned char digest[crypto_hash_sha256_BYTES];
  if (engine_) {
    if (!engine_->finish(digest)) return kUnknownDigest;
  } else {
    crypto_hash_sha256_final(asState(state_), digest);
    crypto_hash_sha256_init(asState(state_));
  }
  char text[kHexLength + 1];
  sodium_bin2hex(text, sizeof text, digest, sizeof digest);
  return std::string(text, kHexLength);
}

std::string Sha256::hexOf(const void* data, std::size_t size) {
  Sha256 hash;
  hash.update(data, size);
  return hash.finishHex();
}

std::string normalizedSha256(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace korvel::trust
