// A scripted HTTP server for tests: runs inside the test process on an ephemeral 127.0.0.1 port and
// answers each URL path as a test scripts it (fixed bytes, gzip bodies, files of a folder tree, error
// pages, bodies that stop early, trickle, hold or change per request), counting and recording every
// request it receives. It also plays a bad network and a bad CDN: connections reset before any header,
// bodies broken off every N bytes, answers that stall before their header or after N bytes of their
// body, and a folder's files failing their first requests (setFaults). TestHttpsServer
// (posix/test_https_server.h) serves the same over TLS.
//
// Byte ranges: a single-range Range request for a reply of status 200 or a folder's file gets its part
// (206 with Content-Range), or 416 with "bytes */<length>" when it starts past the end; an If-Range
// that does not match the ETag or Last-Modified sent with the body, several ranges, or a reply that
// does not answer ranges get the whole body with 200. Other routes (slow, gated, redirects) ignore
// Range. Folder files are sent with an ETag and Last-Modified of their size and modification time,
// unless their fault plan turns validators off.
//
// Stalls hold a connection without sending anything until the gate of their route's path (or of the
// folder prefix of their fault plan) is opened, the server is destroyed, the client leaves, or the
// hold limit (Options) passes; then the answer goes on.
//
// Routes may be added or replaced while the server runs; every call is thread-safe. Paths are URL
// paths with their leading '/' ("/patch/x.gz"). A path without a route gets a 404 page, unless a
// catch-all reply is set (serveAnyPath), which also answers requests made to it as a proxy.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvel::test {

class ConnectionSecurity;

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
  // Further header lines of the answer, sent as given ({"Retry-After", "2"}).
  std::vector<std::pair<std::string, std::string>> headers;
  // What becomes of the answer before its header goes out: sent; Reset: the connection is closed at
  // once with a reset, so the client sees no status line at all; Stall: held (see the file's head),
  // then sent.
  enum class BeforeHeader { Send, Reset, Stall };
  BeforeHeader beforeHeader = BeforeHeader::Send;
  // The body (its part) stalls after this many bytes, 0 right after the header; npos: never.
  std::size_t stallAfter = std::string::npos;

  // An answer reset before its header.
  static HttpReply reset();
  // An empty 200 held before its header; in a fault plan, the file's answer held before its header.
  static HttpReply stall();
};

// What a folder route does to the requests for its files (setFaults), counted per URL path. The faults
// apply to every path under the plan's prefix that has no route of its own.
struct FaultPlan {
  static constexpr std::uint64_t kNever = ~std::uint64_t{0};

  // The first `firstRequests` requests for each path get these replies instead of the file, taken in
  // turn: a status page with its headers (HttpReply(503, ...) with {"Retry-After", "2"}),
  // HttpReply::reset(), or a reply of status 200, which stands for the file itself (HttpReply::stall():
  // the file's answer held before its header). The n-th path asked for starts at the n-th reply, so
  // that one failing request per path still varies across the paths.
  std::vector<HttpReply> firstReplies;
  std::size_t firstRequests = 0;
  // Every answer carrying a file sends at most this many bytes of its body (of its part, for a range),
  // having announced the whole length, then drops the connection; the next range request again gets at
  // most this many.
  std::uint64_t breakEvery = kNever;
  // Answers carrying a file stall after this many bytes of their body (0: right after the header);
  // only the first `stallCount` of them for each path, 0 meaning all.
  std::uint64_t stallAfter = kNever;
  std::size_t stallCount = 0;
  // False: files go out without ETag and Last-Modified; plain ranges are still answered, and an
  // If-Range then never matches.
  bool validators = true;
};

// A request as the server received it.
struct RecordedRequest {
  std::string method;
  std::string target;  // the request line's target as sent ("/x", or "http://host:port/x" via a proxy)
  std::string path;    // the URL path the route lookup used
  std::multimap<std::string, std::string> headers;
  // What the server answered: the status ("206"), with a fault of the body after it ("200 break-at
  // 4096", "200 stall-at 0"), or the fault that took the answer's place ("reset", "stall"); empty
  // while the route has not yet decided.
  std::string answer;

  // The first value of a header (names compared without regard to case); empty when absent.
  std::string header(const std::string& name) const;
};

class TestHttpServer {
 public:
  struct Options {
    int port = 0;  // 0: a free one
    // Requests one connection may carry; 1 keeps a client's pooled connection from holding a server
    // thread (and the server's end) in a keep-alive wait.
    std::size_t requestsPerConnection = 1;
    // Connections served at once (each a thread); 0: the HTTP library's default.
    std::size_t threads = 0;
    // A held answer goes on after this long even when nobody opens its gate, so a broken test cannot
    // hang the run; zero: it waits for the gate, the server's end or the client's.
    std::chrono::milliseconds holdLimit = std::chrono::seconds(60);
  };

  // Binds 127.0.0.1 on a free port and starts serving; port() is 0 when no port could be bound.
  TestHttpServer();
  explicit TestHttpServer(const Options& options);
  // Releases every held body, then stops the server and waits for its threads.
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const;
  static std::string host() { return "127.0.0.1"; }
  // "http://127.0.0.1:<port>" ("https://" over TLS) followed by `path` (a '/' is put in front when it
  // has none).
  std::string url(const std::string& path) const;
  // The same URL with the host name "localhost" (certificates name it; some clients check the name).
  std::string localhostUrl(const std::string& path) const;

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
  // Answers with a redirect (302) to `location`, a path or an absolute URL (of another server, another
  // scheme).
  void serveRedirect(const std::string& path, const std::string& location);
  // Announces the whole body's length but sends only its first `sentBytes` bytes, then closes the
  // connection (a reply with dropAfter).
  void serveTruncated(const std::string& path, std::string body, std::size_t sentBytes);
  // Sends the body in pieces of `chunkBytes`, pausing `delay` before every piece after the first.
  void serveSlow(const std::string& path, std::string body, std::size_t chunkBytes, std::chrono::milliseconds delay);
  // Sends the first `before` bytes of the body at once and holds the rest until openGate(path) is
  // called (or the server goes away).
  void serveGated(const std::string& path, std::string body, std::size_t before);
  // Lets the answers held on a route's path, or on a fault plan's prefix, go on; later ones no longer
  // stall there.
  void openGate(const std::string& pathOrPrefix);
  // The n-th request for the path gets the n-th reply; once they are used up the last one repeats.
  void serveSequence(const std::string& path, std::vector<HttpReply> replies);
  // Every path under `urlPrefix` ("/patch/") maps to the file of the same relative name under `root`
  // (a folder in the core's '\' form or the system's); files are streamed, not loaded. A missing file
  // gets the 404 page. Folders are looked up longest prefix first, after the exact routes.
  void serveFolder(const std::string& urlPrefix, const std::string& root);
  // Answers every path that has no route, whatever the request target's form (origin or absolute, as
  // a proxy receives it).
  void serveAnyPath(HttpReply reply);
  // Faults for the paths under `urlPrefix` ("/patch/") served from folders; a later plan for the same
  // prefix replaces the earlier one and its counts. Plans are looked up longest prefix first.
  void setFaults(const std::string& urlPrefix, FaultPlan plan);

  // ---- What the server saw ---------------------------------------------------------------------------
  // Requests received for `path` so far (routed or not).
  int requestCount(const std::string& path) const;
  int totalRequests() const;
  std::vector<RecordedRequest> requests() const;
  // Called once for each request as soon as its answer is decided (before a stall holds it), on the
  // thread serving it, with RecordedRequest::answer set; it must not call back into the server.
  void setRequestObserver(std::function<void(const RecordedRequest&)> observer);

  // The gzip file form of `data` (a member with the default header, compressed at level 6).
  static std::string gzip(const std::string& data);

 protected:
  // A server whose connections go through `security` (TLS), with "https" in its URLs; without a
  // security layer it stays unbound (port() 0).
  TestHttpServer(const Options& options, std::unique_ptr<ConnectionSecurity> security);

 private:
  struct Impl;
  void start(const Options& options, std::unique_ptr<ConnectionSecurity> security);

  std::unique_ptr<Impl> impl_;
};

}  // namespace korvel::test
