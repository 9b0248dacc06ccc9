// The scripted test HTTP server over TLS (native builds only): the same routes, faults and records as
// TestHttpServer, served with a given certificate and key, with "https://" in its URLs.
#pragma once

#include <string>

#include "tests/support/test_http_server.h"

namespace korvel::test {

class TestHttpsServer : public TestHttpServer {
 public:
  // Serves with `certificateFile` (PEM: the server's certificate, then any intermediate ones) and its
  // private key `keyFile` (PEM, not encrypted); port() is 0 when they cannot be used (error() says
  // why) or no port could be bound.
  TestHttpsServer(const std::string& certificateFile, const std::string& keyFile);
  TestHttpsServer(const std::string& certificateFile, const std::string& keyFile, const Options& options);

  // Why the certificate or the key could not be used; empty when they could.
  const std::string& error() const { return error_; }

 private:
  struct Loaded;
  TestHttpsServer(Loaded loaded, const Options& options);

  std::string error_;
};

}  // namespace korvel::test
