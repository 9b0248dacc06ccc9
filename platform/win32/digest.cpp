// SHA-256 through bcrypt.dll, the system's own crypto library (it uses the CPU's SHA instructions
// where the machine has them). The algorithm provider is opened once for the process.
#include "platform/digest.h"

#include "platform/win32/windows_prelude.h"

#include <bcrypt.h>

namespace korvel::platform {

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

BCRYPT_ALG_HANDLE sha256Provider() {
  // Opened on first use and kept: opening a provider costs far more than a hash.
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!succeeded(::BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return BCRYPT_ALG_HANDLE{};
    return handle;
  }();
  return provider;
}

struct HashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { ::BCryptDestroyHash(handle); }
};
using ScopedHash = win32::ScopedHandle<HashTraits>;

ScopedHash startedHash() {
  BCRYPT_HASH_HANDLE hash = nullptr;
  const BCRYPT_ALG_HANDLE provider = sha256Provider();
  if (!provider || !succeeded(::BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0))) return ScopedHash();
  return ScopedHash(hash);
}

class BcryptSha256 final : public Sha256Engine {
 public:
  explicit BcryptSha256(ScopedHash hash) : hash_(std::move(hash)) {}

  void update(const void* data, std::size_t size) override {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    // BCryptHashData takes at most a ULONG's worth of bytes at a time.
    while (size > 0 && hash_) {
      const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
      if (!succeeded(::BCryptHashData(hash_.get(), bytes, piece, 0))) failed_ = true;
      bytes += piece;
      size -= piece;
    }
  }

  bool finish(unsigned char (&digest)[kDigestBytes]) override {
    const bool ok = hash_ && !failed_ && succeeded(::BCryptFinishHash(hash_.get(), digest, kDigestBytes, 0));
    // A finished hash object cannot take more data: the next bytes go to a new one.
    hash_ = startedHash();
    failed_ = !hash_;
    return ok;
  }

 private:
  ScopedHash hash_;
  bool failed_ = false;
};

}  // namespace

std::unique_ptr<Sha256Engine> makeSha256Engine() {
  ScopedHash hash = startedHash();
  if (!hash) return nullptr;
  return std::make_unique<BcryptSha256>(std::move(hash));
}

}  // namespace korvel::platform
