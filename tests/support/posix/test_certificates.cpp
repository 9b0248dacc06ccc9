// The test certificate authority: keys, certificates and their files through OpenSSL's libcrypto.
#include "tests/support/posix/test_certificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace korvel::test {

namespace {

constexpr long kDay = 24 * 60 * 60;

struct Free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
  void operator()(BIGNUM* number) const { BN_free(number); }
  void operator()(BIO* file) const { BIO_free(file); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Certificate = std::unique_ptr<X509, Free>;

// Every failure ends the making at once; make() turns it into the error text.
[[noreturn]] void fail(const std::string& what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  std::string text = what;
  if (code != 0) {
    char detail[256];
    ERR_error_string_n(code, detail, sizeof detail);
    text += ": ";
    text += detail;
  }
  throw std::runtime_error(text);
}

void check(int result, const char* what) {
  if (result != 1) fail(what);
}

Key newKey() {
  Key key(EVP_RSA_gen(2048));
  if (!key) fail("RSA key generation");
  return key;
}

void addExtension(X509* certificate, X509V3_CTX& context, int nid, const char* value) {
  std::unique_ptr<X509_EXTENSION, Free> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  if (!extension) fail(std::string("certificate extension ") + OBJ_nid2sn(nid));
  check(X509_add_ext(certificate, extension.get(), -1), "adding a certificate extension");
}

// A certificate for `key` named `commonName`, signed by `issuer` with `issuerKey`, or self-signed
// when there is no issuer: a CA's, or a server's for localhost and 127.0.0.1.
Certificate newCertificate(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool authority) {
  Certificate certificate(X509_new());
  if (!certificate) fail("new certificate");
  X509* made = certificate.get();
  check(X509_set_version(made, 2), "certificate version");
  // A random positive serial: two runs' certificates never share one.
  unsigned char serial[16];
  check(RAND_bytes(serial, sizeof serial), "certificate serial");
  serial[0] &= 0x7f;
  std::unique_ptr<BIGNUM, Free> number(BN_bin2bn(serial, sizeof serial, nullptr));
  if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(made))) fail("certificate serial");
  if (!X509_gmtime_adj(X509_getm_notBefore(made), -kDay) || !X509_gmtime_adj(X509_getm_notAfter(made), 29 * kDay))
    fail("certificate validity");
  check(X509_set_pubkey(made, key), "certificate key");
  X509_NAME* name = X509_get_subject_name(made);
  check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Korvel tests"),
                                   -1, -1, 0),
        "certificate name");
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1,
                                   -1, 0),
        "certificate name");
  check(X509_set_issuer_name(made, issuer ? X509_get_subject_name(issuer) : name), "certificate issuer");

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer ? issuer : made, made, nullptr, nullptr, 0);
  if (authority) {
    addExtension(made, context, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(made, context, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(made, context, NID_subject_key_identifier, "hash");
  } else {
    addExtension(made, context, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(made, context, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(made, context, NID_ext_key_usage, "serverAuth");
    addExtension(made, context, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    addExtension(made, context, NID_subject_key_identifier, "hash");
    addExtension(made, context, NID_authority_key_identifier, "keyid:always");
  }
  if (X509_sign(made, issuerKey ? issuerKey : key, EVP_sha256()) <= 0) fail("signing a certificate");
  return certificate;
}

std::unique_ptr<BIO, Free> openFile(const std::string& path) {
  std::unique_ptr<BIO, Free> file(BIO_new_file(path.c_str(), "wb"));
  if (!file) fail("cannot write " + path);
  return file;
}

void writeCertificate(const std::string& path, X509* certificate) {
  check(PEM_write_bio_X509(openFile(path).get(), certificate), "writing a certificate");
}

void writeDer(const std::string& path, X509* certificate) {
  check(i2d_X509_bio(openFile(path).get(), certificate), "writing a certificate");
}

void writeKey(const std::string& path, EVP_PKEY* key) {
  check(PEM_write_bio_PrivateKey(openFile(path).get(), key, nullptr, nullptr, 0, nullptr, nullptr), "writing a key");
}

}  // namespace

TestCertificates TestCertificates::make(const std::string& folder) {
  TestCertificates made;
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  made.caPem = base + "ca.pem";
  made.caDer = base + "ca.der";
  made.serverCert = base + "server.pem";
  made.serverKey = base + "server.key";
  made.untrustedCert = base + "untrusted-server.pem";
  made.untrustedKey = base + "untrusted-server.key";
  try {
    ERR_clear_error();
    const Key caKey = newKey();
    const Certificate ca = newCertificate("Korvel Test CA", caKey.get(), nullptr, nullptr, true);
    const Key serverKey = newKey();
    const Certificate server = newCertificate("localhost", serverKey.get(), ca.get(), caKey.get(), false);
    const Key strangerKey = newKey();
    const Certificate stranger = newCertificate("Korvel Untrusted Test CA", strangerKey.get(), nullptr, nullptr, true);
    const Key untrustedKey = newKey();
    const Certificate untrusted =
        newCertificate("localhost", untrustedKey.get(), stranger.get(), strangerKey.get(), false);
    writeCertificate(made.caPem, ca.get());
    writeDer(made.caDer, ca.get());
    writeCertificate(made.serverCert, server.get());
    writeKey(made.serverKey, serverKey.get());
    writeCertificate(made.untrustedCert, untrusted.get());
    writeKey(made.untrustedKey, untrustedKey.get());
  } catch (const std::runtime_error& failure) {
    made.error = failure.what();
  }
  return made;
}

}  // namespace korvel::test
