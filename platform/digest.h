// SHA-256 by the system's own crypto library, which uses the CPU's SHA instructions where the machine
// has them: libcrypto natively, bcrypt.dll on Windows. The caller keeps a portable hasher for a system
// that offers none.
#pragma once

#include <cstddef>
#include <memory>

namespace korvel::platform {

class Sha256Engine {
 public:
  static constexpr std::size_t kDigestBytes = 32;

  virtual ~Sha256Engine() = default;

  // Adds `size` bytes to what has been hashed so far.
  virtual void update(const void* data, std::size_t size) = 0;
  // Writes the digest of everything added and starts over. False when the library failed at any step
  // since the last start: `digest` is then not the data's.
  virtual bool finish(unsigned char (&digest)[kDigestBytes]) = 0;
};

// A fresh engine, or null when the system has none to offer.
std::unique_ptr<Sha256Engine> makeSha256Engine();

}  // namespace korvel::platform
