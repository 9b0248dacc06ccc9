// SHA-256 through libsodium.
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

Sha256::Sha256() {
  sodiumReady();
  crypto_hash_sha256_init(asState(state_));
}

void Sha256::update(const void* data, std::size_t size) {
  if (size == 0) return;
  crypto_hash_sha256_update(asState(state_), static_cast<const unsigned char*>(data), size);
}

std::string Sha256::finishHex() {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(asState(state_), digest);
  crypto_hash_sha256_init(asState(state_));
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
