// Puts a certificate (DER file) into the machine's trusted root store, or takes it out again, so that
// WinINet in a Wine prefix trusts the certificate authority a test made for its run.
// Usage: add_test_root [--remove] CERTIFICATE.der (a Windows path). Exit code 0 once the certificate
// is in the store (or, with --remove, no longer there), 1 on failure.
#include "platform/win32/windows_prelude.h"

#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using korvel::platform::win32::ScopedHandle;

struct StoreTraits {
  using Handle = HCERTSTORE;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { ::CertCloseStore(handle, 0); }
};

struct CertificateTraits {
  using Handle = PCCERT_CONTEXT;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { ::CertFreeCertificateContext(handle); }
};

int failure(const char* step) {
  std::fprintf(stderr, "add_test_root: %s failed: %lu\n", step, ::GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool remove = argc == 3 && std::strcmp(argv[1], "--remove") == 0;
  if (argc != 2 && !remove) {
    std::fprintf(stderr, "usage: add_test_root [--remove] CERTIFICATE.der\n");
    return 1;
  }
  const char* file = argv[argc - 1];
  std::ifstream in(file, std::ios::binary);
  const std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.is_open() || der.empty()) {
    std::fprintf(stderr, "add_test_root: cannot read %s\n", file);
    return 1;
  }
  const ScopedHandle<CertificateTraits> certificate(
      ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
  if (!certificate) return failure("CertCreateCertificateContext");
  // The system store adds to the registry; a deletion has to go to the registry store itself, since
  // Wine's system root store also holds copies of its own, and deleting one of those keeps nothing.
  const ScopedHandle<StoreTraits> store(
      ::CertOpenStore(remove ? CERT_STORE_PROV_SYSTEM_REGISTRY_A : CERT_STORE_PROV_SYSTEM_A, 0, 0,
                      CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT"));
  if (!store) return failure("CertOpenStore");
  if (!remove) {
    if (!::CertAddCertificateContextToStore(store.get(), certificate.get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
      return failure("CertAddCertificateContextToStore");
    return 0;
  }
  // The store's own copy; deleting it also frees that context.
  PCCERT_CONTEXT held = ::CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                     certificate.get(), nullptr);
  if (held && !::CertDeleteCertificateFromStore(held)) return failure("CertDeleteCertificateFromStore");
  return 0;
}
