// HTTP requests of the platform layer against the scripted test server: the extra request headers and
// the response headers that continuing an interrupted body depends on, and an answer that never comes,
// on both backends; HTTPS with the test certificate authority (native builds, whose server speaks TLS).
#include "platform/http.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_http_server.h"
#if !defined(_WIN32)
#include "tests/support/posix/test_certificates.h"
#include "tests/support/posix/test_https_server.h"
#endif

namespace korvel::platform {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

// The stall time-out is read once per process: these tests run with a short one, so that an answer
// that never comes fails within seconds.
const test::ScopedEnvironment shortStall("KORVEL_STALL_TIMEOUT", "3");

const char kEtag[] = "\"v1-2000\"";
const char kModified[] = "Tue, 05 Mar 2024 10:00:00 GMT";

std::string sampleBody() {
  std::string body;
  for (int i = 0; body.size() < 2000; ++i) body += "line " + std::to_string(i) + "\n";
  body.resize(2000);
  return body;
}

struct Fetched {
  int status = 0;
  std::string body;
  ResponseHeaders headers;
};

// One GET on a direct session, with `headers` added; fails the test on any step's error.
std::optional<Fetched> fetch(const test::TestHttpServer& server, const std::string& path, const Headers& headers) {
  std::uint32_t error = 0;
  auto session = HttpSession::open("korvel-test", kInternetOpenTypeDirect, {}, error);
  EXPECT_TRUE(session) << error;
  if (!session) return std::nullopt;
  auto connection = HttpConnection::connect(*session, test::TestHttpServer::host(), server.port(), nullptr, nullptr, error);
  EXPECT_TRUE(connection) << error;
  if (!connection) return std::nullopt;
  auto request = HttpRequest::open(*connection, "GET", path, "HTTP/1.1", {}, kInternetFlagNoCacheWrite, error);
  EXPECT_TRUE(request) << error;
  if (!request) return std::nullopt;
  for (const auto& [name, value] : headers) EXPECT_TRUE(request->addHeader(name, value, error)) << name << " " << error;
  if (!request->send(error)) {
    ADD_FAILURE() << "send: " << error;
    return std::nullopt;
  }
  Fetched out;
  out.status = request->statusCode();
  out.headers = request->responseHeaders();
  char buffer[512];
  for (std::uint32_t got = 1; got > 0;) {
    if (!request->read(buffer, sizeof buffer, got, error)) {
      ADD_FAILURE() << "read: " << error;
      return std::nullopt;
    }
    out.body.append(buffer, got);
  }
  return out;
}

TEST(HttpRequestTest, RangeHeadersGoOutAndTheResponseHeadersComeBackParsed) {
  const std::string body = sampleBody();
  test::TestHttpServer server;
  ASSERT_NE(server.port(), 0);
  test::HttpReply validated(200, body);
  validated.etag = kEtag;
  validated.lastModified = kModified;
  server.serveReply("/v", validated);
  test::HttpReply ignoring = validated;
  ignoring.answersRanges = false;
  server.serveReply("/ignores", ignoring);
  server.serveBytes("/bare", body);
  server.serveRedirect("/moved", "/v");
  server.serveEmpty("/empty");

  const std::string size = std::to_string(body.size());
  struct Case {
    const char* what;
    const char* path;
    Headers headers;
    int status;
    std::string body;
    bool validators;  // the ETag and Last-Modified of the body come back
  };
  const Case cases[] = {
      {"no extra header", "/v", {}, 200, body, true},
      {"a range", "/v", {{"Range", "bytes=600-"}}, 206, body.substr(600), true},
      {"a range under a matching ETag", "/v", {{"Range", "bytes=600-"}, {"If-Range", kEtag}}, 206, body.substr(600), true},
      {"a range under a matching date", "/v", {{"Range", "bytes=600-"}, {"If-Range", kModified}}, 206, body.substr(600),
       true},
      {"a range under a stale ETag", "/v", {{"Range", "bytes=600-"}, {"If-Range", "\"v0-2000\""}}, 200, body, true},
      {"a range given twice, the later wins", "/v", {{"Range", "bytes=5-"}, {"range", "bytes=1999-"}}, 206,
       body.substr(1999), true},
      {"a server that ignores ranges", "/ignores", {{"Range", "bytes=600-"}}, 200, body, true},
      {"a range past the end", "/v", {{"Range", "bytes=" + size + "-"}}, 416, "", true},
      {"no validators", "/bare", {}, 200, body, false},
      {"a redirect's target", "/moved", {}, 200, body, true},
      {"an empty body", "/empty", {}, 200, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto fetched = fetch(server, c.path, c.headers);
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->status, c.status);
    EXPECT_TRUE(fetched->body == c.body) << fetched->body.size() << " bytes";
    const ResponseHeaders& h = fetched->headers;
    // Absent is not empty: every answer here announces its length, the empty one included.
    EXPECT_EQ(h.contentLength, std::optional<std::uint64_t>(c.body.size()));
    EXPECT_EQ(h.etag, c.validators ? std::optional<std::string>(kEtag) : std::nullopt);
    EXPECT_EQ(h.lastModified, c.validators ? std::optional<std::string>(kModified) : std::nullopt);
    EXPECT_EQ(h.validator(), c.validators ? std::optional<std::string>(kEtag) : std::nullopt);
    if (c.status == 206) {
      ASSERT_TRUE(h.contentRange);
      EXPECT_TRUE(h.contentRange->satisfied);
      EXPECT_EQ(h.contentRange->first, body.size() - c.body.size());
      EXPECT_EQ(h.contentRange->last, body.size() - 1);
      EXPECT_EQ(h.contentRange->total, std::optional<std::uint64_t>(body.size()));
    } else if (c.status == 416) {
      ASSERT_TRUE(h.contentRange);
      EXPECT_FALSE(h.contentRange->satisfied);
      EXPECT_EQ(h.contentRange->total, std::optional<std::uint64_t>(body.size()));
    } else {
      EXPECT_FALSE(h.contentRange);
    }
  }
  // The server saw each header once, the replaced Range with its later value.
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), std::size(cases) + 1);  // the redirect is two requests
  EXPECT_EQ(requests[2].header("If-Range"), kEtag);
  EXPECT_EQ(requests[5].header("Range"), "bytes=1999-");
  EXPECT_EQ(requests[5].headers.count("Range") + requests[5].headers.count("range"), 1u);
}

TEST(HttpRequestTest, HeaderLinesThatCouldSplitTheRequestAreRefused) {
  test::TestHttpServer server;
  ASSERT_NE(server.port(), 0);
  server.serveBytes("/x", "x");
  std::uint32_t error = 0;
  auto session = HttpSession::open("korvel-test", kInternetOpenTypeDirect, {}, error);
  ASSERT_TRUE(session);
  auto connection = HttpConnection::connect(*session, test::TestHttpServer::host(), server.port(), nullptr, nullptr, error);
  ASSERT_TRUE(connection);
  auto request = HttpRequest::open(*connection, "GET", "/x", "HTTP/1.1", {}, 0, error);
  ASSERT_TRUE(request);
  const std::pair<std::string, std::string> refused[] = {
      {"", "x"}, {"Bad Name", "x"}, {"Range:", "x"}, {"If-Range", "\"a\"\r\nX-Injected: 1"}, {"Range", "a\nb"},
      {"Range", std::string("a\0b", 3)}};
  for (const auto& [name, value] : refused) {
    error = 0;
    EXPECT_FALSE(request->addHeader(name, value, error)) << name;
    EXPECT_EQ(error, kErrorInvalidParameter) << name;
  }
  ASSERT_TRUE(request->send(error)) << error;
  EXPECT_FALSE(request->addHeader("Range", "bytes=0-", error));
  EXPECT_EQ(error, kErrorInternetInternal);
  ASSERT_EQ(server.totalRequests(), 1);
  EXPECT_EQ(server.requests()[0].header("X-Injected"), "");
}

// The send of one GET on a direct session (https with kInternetFlagSecure in `flags`); its error, 0 once
// sent, and then the status and the whole body.
struct Answer {
  std::uint32_t sendError = 0;
  int status = 0;
  std::string body;
};

Answer get(const std::string& host, int port, const std::string& path, std::uint32_t flags) {
  Answer answer;
  std::uint32_t error = 0;
  auto session = HttpSession::open("korvel-test", kInternetOpenTypeDirect, {}, error);
  auto connection = session ? HttpConnection::connect(*session, host, port, nullptr, nullptr, error) : nullptr;
  auto request = connection ? HttpRequest::open(*connection, "GET", path, "HTTP/1.1", {}, flags, error) : nullptr;
  EXPECT_TRUE(request) << error;
  if (!request || !request->send(answer.sendError)) return answer;
  answer.status = request->statusCode();
  char buffer[512];
  for (std::uint32_t got = 1; got > 0;) {
    EXPECT_TRUE(request->read(buffer, sizeof buffer, got, error)) << error;
    answer.body.append(buffer, got);
  }
  return answer;
}

TEST(HttpRequestTest, AnAnswerWhoseHeaderNeverComesFailsAsATimeOutAfterTheStallTimeOut) {
  ASSERT_EQ(stallTimeoutMs(), 3000u);
  test::TestHttpServer server;
  ASSERT_NE(server.port(), 0);
  server.serveReply("/silent", test::HttpReply::stall());
  const auto started = std::chrono::steady_clock::now();
  const Answer answer = get(test::TestHttpServer::host(), server.port(), "/silent", 0);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(answer.sendError, kErrorInternetTimeout);
  EXPECT_GE(waited, std::chrono::milliseconds(stallTimeoutMs() - 500));
  EXPECT_LT(waited, std::chrono::milliseconds(stallTimeoutMs() + 5000));
  EXPECT_EQ(server.requestCount("/silent"), 1);
}

#if !defined(_WIN32)
class HttpsRequestTest : public test::TempDirTest {};

TEST_F(HttpsRequestTest, ServersAreTrustedThroughTheSystemAndTheCaFileAndRedirectsNeverLeaveTls) {
  const test::TestCertificates certificates = test::TestCertificates::make(dir.native());
  ASSERT_EQ(certificates.error, "");
  const std::string body = sampleBody();
  test::TestHttpServer plain;
  test::TestHttpsServer trusted(certificates.serverCert, certificates.serverKey);
  test::TestHttpsServer untrusted(certificates.untrustedCert, certificates.untrustedKey);
  ASSERT_NE(plain.port(), 0);
  ASSERT_NE(trusted.port(), 0) << trusted.error();
  ASSERT_NE(untrusted.port(), 0) << untrusted.error();
  plain.serveBytes("/plain", "over plain http");
  plain.serveRedirect("/up", trusted.localhostUrl("/file"));
  trusted.serveBytes("/file", body);
  trusted.serveRedirect("/across", trusted.localhostUrl("/file"));
  trusted.serveRedirect("/down", plain.url("/plain"));
  untrusted.serveBytes("/file", body);

  enum class Expect { Body, CertificateError, InsecureRedirect, OtherTlsFailure };
  struct Case {
    const char* what;
    bool caFile;  // KORVEL_CA_FILE names the test authority
    const char* host;
    int port;
    const char* path;
    std::uint32_t flags;
    Expect expect;
  };
  const Case cases[] = {
      {"trusted through the CA file", true, "localhost", trusted.port(), "/file", kInternetFlagSecure, Expect::Body},
      {"by its address, which the certificate names too", true, "127.0.0.1", trusted.port(), "/file",
       kInternetFlagSecure, Expect::Body},
      // Right after a session the CA file made good: neither it nor its connection is taken over.
      {"the same server without the CA file", false, "localhost", trusted.port(), "/file", kInternetFlagSecure,
       Expect::CertificateError},
      {"an issuer nobody trusts", true, "localhost", untrusted.port(), "/file", kInternetFlagSecure,
       Expect::CertificateError},
      {"redirected from https to https", true, "localhost", trusted.port(), "/across", kInternetFlagSecure, Expect::Body},
      {"redirected from http to https", true, "127.0.0.1", plain.port(), "/up", 0, Expect::Body},
      {"redirected from https to plain http", true, "localhost", trusted.port(), "/down", kInternetFlagSecure,
       Expect::InsecureRedirect},
      {"TLS to a server that speaks plain http", true, "127.0.0.1", plain.port(), "/plain", kInternetFlagSecure,
       Expect::OtherTlsFailure},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const test::ScopedEnvironment caFile("KORVEL_CA_FILE",
                                         c.caFile ? std::optional<std::string>(certificates.caPem) : std::nullopt);
    const Answer answer = get(c.host, c.port, c.path, c.flags);
    switch (c.expect) {
      case Expect::Body:
        EXPECT_EQ(answer.sendError, 0u);
        EXPECT_EQ(answer.status, 200);
        EXPECT_TRUE(answer.body == body) << answer.body.size() << " bytes";
        break;
      case Expect::CertificateError:
        EXPECT_TRUE(isCertificateError(answer.sendError)) << answer.sendError;
        break;
      case Expect::InsecureRedirect:
        EXPECT_TRUE(isInsecureRedirect(answer.sendError)) << answer.sendError;
        break;
      case Expect::OtherTlsFailure:
        EXPECT_EQ(answer.sendError, kErrorInternetSecurityChannelError);
        EXPECT_FALSE(isCertificateError(answer.sendError));
        break;
    }
  }
  // The refused servers never saw a request, and nothing went to the plain address after https.
  EXPECT_EQ(untrusted.totalRequests(), 0);
  EXPECT_EQ(trusted.requestCount("/file"), 4);
  EXPECT_EQ(plain.requestCount("/plain"), 0);
}
#endif

TEST(ContentRangeTest, ParsesEveryFormOfTheHeaderAndRefusesTheRest) {
  constexpr std::uint64_t kBig = 5000000000ull;  // past 32 bits
  struct Case {
    const char* text;
    std::optional<ContentRange> parsed;
  };
  const Case cases[] = {
      {"bytes 0-9/10", ContentRange{true, 0, 9, 10}},
      {"  BYTES  600-1999/2000 ", ContentRange{true, 600, 1999, 2000}},
      {"bytes 4999999990-4999999999/5000000000", ContentRange{true, kBig - 10, kBig - 1, kBig}},
      {"bytes 5-9/*", ContentRange{true, 5, 9, std::nullopt}},
      {"bytes */2000", ContentRange{false, 0, 0, 2000}},
      {"bytes 0-18446744073709551615/*", ContentRange{true, 0, UINT64_MAX, std::nullopt}},
      {"bytes 0-18446744073709551616/*", std::nullopt},
      {"bytes 9-5/10", std::nullopt},
      {"bytes 0-10/10", std::nullopt},
      {"bytes 0-9/10 x", std::nullopt},
      {"bytes 0-9", std::nullopt},
      {"bytes -5-9/10", std::nullopt},
      {"bytes=0-9/10", std::nullopt},
      {"items 0-9/10", std::nullopt},
      {"bytes */*", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = parseContentRange(c.text);
    ASSERT_EQ(parsed.has_value(), c.parsed.has_value());
    if (!parsed) continue;
    EXPECT_EQ(parsed->satisfied, c.parsed->satisfied);
    EXPECT_EQ(parsed->first, c.parsed->first);
    EXPECT_EQ(parsed->last, c.parsed->last);
    EXPECT_EQ(parsed->total, c.parsed->total);
  }
  EXPECT_EQ(rangeFrom(kBig), "bytes=5000000000-");
}

}  // namespace
}  // namespace korvel::platform
