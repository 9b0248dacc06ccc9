// A scripted HTTP server for tests: runs inside the test process on an ephemeral 127.0.0.1 port and
// answers each URL path as a test scripts it (fixed bytes, gzip bodies, files of a folder tree, error
// pages, bodies that stop early, trickle, hold or change per request), counting and recording every
// request it receives.
//
// Byte ranges: a single-range Range request for a reply of status 200 or a folder's file gets its part
// (206 with Content-Range), or 416 with "bytes */<length>" when it starts past the end; an If-Range
// that does not match the ETag or Last-Modified sent with the body, several ranges, or a reply that
// does not answer ranges get the whole body with 200. Other routes (slow, gated, redirects) ignore
// Range. Folder files are sent with an ETag and Last-Modified of their size and modification time.
//
// Routes may be added or replaced while the server runs; every call is thread-safe. Paths are URL
// paths with their leading '/' ("/patch/x.gz"). A path without a route gets a 404 page, unless a
// catch-all reply is set (serveAnyPath), which also answers requests made to it as a proxy.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvel::test {

// One scripted answer.
struct HttpReply {
  HttpReply(int status = 200, std::string body = {}, std::string contentType = "application/octet-stream")
      : status(status), body(std::move(body)), contentType(std::move(contentType)) {}

  int status;
  std::string body;
  std::string contentType;
  // Sent when not empty; an If-Range must equal one of them for a Range request to get its part.
  std::string etag;
  std::string lastModified;
  // False: a Range request gets the whole body with 200, as from a server that ignores ranges.
  bool answersRanges = true;
  // The connection is closed once this many bytes of the body (of the part, for a range) have gone
  // out, short of the length announced; npos: the whole body is sent.
  std::size_t dropAfter = std::string::npos;
  // False: the body (or its part) goes out in chunks without a Content-Length, so its size shows only
  // as it arrives.
  bool announcesLength = true;
};

// A request as the server received it.
struct RecordedRequest {
  std::string method;
  std::string target;  // the request line's target as sent ("/x", or "http://host:port/x" via a proxy)
  std::string path;    // the URL path the route lookup used
  std::multimap<std::string, std::string> headers;

  // The first value of a header (names compared without regard to case); empty when absent.
  std::string header(const std::string& name) const;
};

class TestHttpServer {
 public:
  // Binds 127.0.0.1 on a free port and starts serving; port() is 0 when no port could be bound.
  TestHttpServer();
  // Releases every held body, then stops the server and waits for its threads.
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const;
  static std::string host() { return "127.0.0.1"; }
  // "http://127.0.0.1:<port>" followed by `path` (a '/' is put in front when it has none).
  std::string url(const std::string& path) const;

  // ---- Routes (a later call for the same path replaces the earlier route) -----------------------
  void serveReply(const std::string& path, HttpReply reply);
  void serveBytes(const std::string& path, std::string body, int status = 200);
  // The gzip form of `plain` (see gzip()).
  void serveGzip(const std::string& path, const std::string& plain);
  // Status 404 with a small HTML error page.
  void serveNotFoundPage(const std::string& path);
  // Status 401 with an HTML page that contains "Authorization Required".
  void serveAuthorizationRequired(const std::string& path);
  // Status 200 with Content-Length 0.
  void serveEmpty(const std::string& path);
  // Answers with a redirect (302) to `location`.
  void serveRedirect(const std::string& path, const std::string& location);
  // Announces the whole body's length but sends only its first `sentBytes` bytes, then closes the
  // connection (a reply with dropAfter).
  void serveTruncated(const std::string& path, std::string body, std::size_t sentBytes);
  // Sends the body in pieces of `chunkBytes`, pausing `delay` before every piece after the first.
  void serveSlow(const std::string& path, std::string body, std::size_t chunkBytes, std::chrono::milliseconds delay);
  // Sends the first `before` bytes of the body at once and holds the rest until openGate(path) is
  // called (or the server goes away).
  void serveGated(const std::string& path, std::string body, std::size_t before);
  void openGate(const std::string& path);
  // The n-th request for the path gets the n-th reply; once they are used up the last one repeats.
  void serveSequence(const std::string& path, std::vector<HttpReply> replies);
  // Every path under `urlPrefix` ("/patch/") maps to the file of the same relative name under `root`
  // (a folder in the core's '\' form or the system's); files are streamed, not loaded. A missing file
  // gets the 404 page. Folders are looked up longest prefix first, after the exact routes.
  void serveFolder(const std::string& urlPrefix, const std::string& root);
  // Answers every path that has no route, whatever the request target's form (origin or absolute, as
  // a proxy receives it).
  void serveAnyPath(HttpReply reply);

  // ---- What the server saw ---------------------------------------------------------------------------
  // Requests received for `path` so far (routed or not).
  int requestCount(const std::string& path) const;
  int totalRequests() const;
  std::vector<RecordedRequest> requests() const;

  // The gzip file form of `data` (a member with the default header, compressed at level 6).
  static std::string gzip(const std::string& data);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvel::test
