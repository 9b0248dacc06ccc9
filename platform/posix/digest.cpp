// SHA-256 through OpenSSL's libcrypto, which picks the CPU's SHA extensions at run time.
#include "platform/digest.h"

#include <openssl/evp.h>

namespace korvel::platform {

namespace {

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

class LibcryptoSha256 final : public Sha256Engine {
 public:
  explicit LibcryptoSha256(Context context) : context_(std::move(context)) {}

  // A context ready for its first bytes, or null.
  static Context started() {
    Context context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return nullptr;
    return context;
  }

  void update(const void* data, std::size_t size) override {
    if (size != 0 && EVP_DigestUpdate(context_.get(), data, size) != 1) failed_ = true;
  }

  bool finish(unsigned char (&digest)[kDigestBytes]) override {
    unsigned int length = 0;
    const bool ok = !failed_ && EVP_DigestFinal_ex(context_.get(), digest, &length) == 1 && length == kDigestBytes;
    failed_ = EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1;
    return ok;
  }

 private:
  Context context_;
  bool failed_ = false;
};

}  // namespace

std::unique_ptr<Sha256Engine> makeSha256Engine() {
  Context context = LibcryptoSha256::started();
  if (!context) return nullptr;
  return std::make_unique<LibcryptoSha256>(std::move(context));
}

}  // namespace korvel::platform
