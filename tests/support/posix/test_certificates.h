// A certificate authority for TLS tests, made at run time in a folder: a trusted CA with a server
// certificate for localhost and 127.0.0.1, and a second CA, trusted by nobody, with a server
// certificate for the same names, so that a test can show an unknown issuer being refused. Native
// builds only (OpenSSL).
#pragma once

#include <string>

namespace korvel::test {

struct TestCertificates {
  // Paths of the files made in the folder: the CA's certificate as PEM ("ca.pem") and as DER
  // ("ca.der", the form a Windows root store takes), the server's certificate and its key signed by
  // that CA ("server.pem", "server.key"), and those of the server whose issuer nobody trusts
  // ("untrusted-server.pem", "untrusted-server.key"). The keys are PEM, not encrypted.
  std::string caPem;
  std::string caDer;
  std::string serverCert;
  std::string serverKey;
  std::string untrustedCert;
  std::string untrustedKey;
  // Why the files could not be made; empty when they were.
  std::string error;

  // Makes every file anew in `folder` (which must exist): RSA 2048-bit keys, SHA-256 signatures, valid
  // from a day ago for 30 days, server certificates naming DNS localhost and IP 127.0.0.1. Blocks for
  // the key generation (a fraction of a second).
  static TestCertificates make(const std::string& folder);
};

}  // namespace korvel::test
