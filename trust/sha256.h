// SHA-256 of a stream of bytes, as the lowercase hexadecimal text the manifest's "SHA256" attributes
// hold.
#pragma once

#include <cstddef>
#include <string>

namespace korvel::trust {

class Sha256 {
 public:
  // Characters of the hexadecimal text.
  static constexpr std::size_t kHexLength = 64;

  Sha256();
  Sha256(const Sha256&) = default;
  Sha256& operator=(const Sha256&) = default;

  // Adds `size` bytes to what has been hashed so far.
  void update(const void* data, std::size_t size);
  // The digest of everything added, as 64 lowercase hexadecimal digits. The hasher then starts over.
  std::string finishHex();

  // The digest of a whole buffer.
  static std::string hexOf(const void* data, std::size_t size);

 private:
  // libsodium's crypto_hash_sha256_state, held without its header (sha256.cpp checks the size).
  alignas(16) unsigned char state_[128];
};

// A "SHA256" attribute as it is compared: lowercase. A text that is not 64 hexadecimal digits stays
// as it is and matches no digest, so a file with such an attribute is never taken for the right one.
std::string normalizedSha256(std::string text);

}  // namespace korvel::trust
