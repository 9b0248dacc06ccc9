// HTTP requests of the platform layer against the scripted test server: the extra request headers and
// the response headers that continuing an interrupted body depends on, on both backends.
#include "platform/http.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_http_server.h"

namespace korvel::platform {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

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
