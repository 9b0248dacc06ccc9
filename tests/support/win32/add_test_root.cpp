// Adds a certificate (DER file) to the machine's trusted root store, so that WinINet in a Wine prefix
// trusts the certificate authority the tests made. Usage: add_test_root CERTIFICATE.der (a Windows
// path). Exit code 0 once the certificate is in the store (added now or before), 1 on failure.
#include "platform/win32/windows_prelude.h"

#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

struct StoreTraits {
  using Handle = HCERTSTORE;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { ::CertCloseStore(handle, 0); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: add_test_root CERTIFICATE.der\n");
    return 1;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A part that does not read as a certificate fails in the store call below.
  if (!in.is_open() || der.empty()) {
    std::fprintf(stderr, "add_test_root: cannot read %s\n", argv[1]);
    return 1;
  }
  const korvel::platform::win32::ScopedHandle<StoreTraits> store(
      ::CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT"));
  if (!store) {
    std::fprintf(stderr, "add_test_root: CertOpenStore failed: %lu\n", ::GetLastError());
    return 1;
  }
  if (!::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    std::fprintf(stderr, "add_test_root: CertAddEncodedCertificateToStore failed: %lu\n", ::GetLastError());
    return 1;
  }
  return 0;
}
