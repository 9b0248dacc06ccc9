// One GET through the platform layer's HTTP requests, for the Windows HTTPS check under Wine
// (win32_https_check.sh): http_fetch URL OUTPUT. An https URL goes with kInternetFlagSecure. Prints
// "status N" and writes the body to OUTPUT (exit code 0), or "failed N KIND" with the failing step's
// error number and its class: certificate, insecure-redirect, timeout or other (exit code 1).
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/http.h"

namespace {

using namespace korvel::platform;

int failed(std::uint32_t error) {
  const char* kind = isCertificateError(error)       ? "certificate"
                     : isInsecureRedirect(error)     ? "insecure-redirect"
                     : error == kErrorInternetTimeout ? "timeout"
                                                      : "other";
  std::printf("failed %u %s\n", error, kind);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: http_fetch URL OUTPUT\n");
    return 2;
  }
  std::uint32_t error = 0;
  UrlParts parts;
  if (!crackUrl(argv[1], parts, error)) return failed(error);
  const std::uint32_t flags = parts.scheme == kInternetSchemeHttps ? kInternetFlagSecure : 0;
  const auto session = HttpSession::open("http_fetch", kInternetOpenTypeDirect, {}, error);
  if (!session) return failed(error);
  const auto connection = HttpConnection::connect(*session, parts.host, parts.port, nullptr, nullptr, error);
  if (!connection) return failed(error);
  const auto request = HttpRequest::open(*connection, "GET", parts.path, "HTTP/1.1", {}, flags, error);
  if (!request) return failed(error);
  if (!request->send(error)) return failed(error);
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  char buffer[16384];
  for (std::uint32_t got = 1; got > 0;) {
    if (!request->read(buffer, sizeof buffer, got, error)) return failed(error);
    out.write(buffer, got);
  }
  out.close();
  if (!out) {
    std::fprintf(stderr, "http_fetch: cannot write %s\n", argv[2]);
    return 1;
  }
  std::printf("status %d\n", request->statusCode());
  return 0;
}
