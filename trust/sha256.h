// SHA-256 of a stream of bytes, as the lowercase hexadecimal text the manifest's "SHA256" attributes
// hold. The system's library does the work (at the CPU's pace where it has SHA instructions); where the
// system offers none, libsodium's portable code does.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/digest.h"

namespace korvel::trust {

class Sha256 {
 public:
  // Characters of the hexadecimal text.
  static constexpr std::size_t kHexLength = 64;
  static constexpr const char* kUnknownDigest = "\x01";

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  // Adds `size` bytes to what has been hashed so far.
  void update(const void* data, std::size_t size);
  // The digest of everything added, as 64 lowercase hexadecimal digits. The hasher then starts over.
  // Should the system's library fail on the way (it does not in practice), the text is kUnknownDigest,
  // which no manifest can hold (XML has no character U+0001), so it matches no expected digest.
  std::string finishHex();

  // The digest of a whole buffer.
  static std::string hexOf(const void* data, std::size_t size);

 private:
  // The system's engine; null when it offers none.
  std::unique_ptr<platform::Sha256Engine> engine_;
  // Without an engine: libsodium's crypto_hash_sha256_state, held without its header (sha256.cpp
  // checks the size).
  alignas(16) unsigned char state_[128];
};

// A "SHA256" attribute as it is compared: lowercase. A text that is not 64 hexadecimal digits stays
// as it is and matches no digest, so a file with such an attribute is never taken for the right one.
std::string normalizedSha256(std::string text);

}  // namespace korvel::trust
