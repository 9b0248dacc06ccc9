// The test HTTP server over TLS: each accepted connection's handshake and bytes go through OpenSSL.
#include "tests/support/posix/test_https_server.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "tests/support/connection_security.h"

namespace korvel::test {

namespace {

// The text of OpenSSL's oldest queued error, or `fallback`; empties the queue.
std::string openSslError(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct SslContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

class TlsChannel final : public SecureChannel {
 public:
  explicit TlsChannel(std::unique_ptr<SSL, SslFree> ssl) : ssl_(std::move(ssl)) {}

  long read(char* data, std::size_t size) override {
    // The queue is the thread's: a stale error would be taken for this call's.
    ERR_clear_error();
    const int got = SSL_read(ssl_.get(), data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (got > 0) return got;
    return SSL_get_error(ssl_.get(), got) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
  }
  long write(const char* data, std::size_t size) override {
    ERR_clear_error();
    const int sent = SSL_write(ssl_.get(), data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    return sent > 0 ? sent : -1;
  }
  bool buffered() const override { return SSL_pending(ssl_.get()) > 0; }
  void closeNotify() override {
    ERR_clear_error();
    SSL_shutdown(ssl_.get());
  }

 private:
  std::unique_ptr<SSL, SslFree> ssl_;
};

class TlsSecurity final : public ConnectionSecurity {
 public:
  explicit TlsSecurity(std::unique_ptr<SSL_CTX, SslContextFree> context) : context_(std::move(context)) {}

  std::unique_ptr<SecureChannel> accept(server_socket::Handle socket) override {
    ERR_clear_error();
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(context_.get()));
    if (!ssl || SSL_set_fd(ssl.get(), static_cast<int>(socket)) != 1 || SSL_accept(ssl.get()) != 1) {
      // A client that refuses the certificate ends the handshake here: nothing to report.
      ERR_clear_error();
      return nullptr;
    }
    return std::make_unique<TlsChannel>(std::move(ssl));
  }

 private:
  std::unique_ptr<SSL_CTX, SslContextFree> context_;
};

}  // namespace

struct TestHttpsServer::Loaded {
  std::unique_ptr<ConnectionSecurity> security;
  std::string error;

  Loaded(const std::string& certificateFile, const std::string& keyFile) {
    ERR_clear_error();
    std::unique_ptr<SSL_CTX, SslContextFree> context(SSL_CTX_new(TLS_server_method()));
    if (!context) {
      error = openSslError("no TLS context");
      return;
    }
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(context.get(), certificateFile.c_str()) != 1) {
      error = certificateFile + ": " + openSslError("not a certificate");
      return;
    }
    if (SSL_CTX_use_PrivateKey_file(context.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context.get()) != 1) {
      error = keyFile + ": " + openSslError("not the certificate's key");
      return;
    }
    security = std::make_unique<TlsSecurity>(std::move(context));
  }
};

TestHttpsServer::TestHttpsServer(const std::string& certificateFile, const std::string& keyFile)
    : TestHttpsServer(Loaded(certificateFile, keyFile), Options{}) {}

TestHttpsServer::TestHttpsServer(const std::string& certificateFile, const std::string& keyFile,
                                 const Options& options)
    : TestHttpsServer(Loaded(certificateFile, keyFile), options) {}

TestHttpsServer::TestHttpsServer(Loaded loaded, const Options& options)
    : TestHttpServer(options, std::move(loaded.security)), error_(std::move(loaded.error)) {}

}  // namespace korvel::test
