// HTTP requests in the steps of the Windows internet API: read the proxy settings, open a session,
// crack the URL, connect, open a request, send it, read the body chunk by chunk, close.
//
// Every step reports success and, on failure, a Win32-style error number (GetLastError on Win32; the
// nearest WinINet number on POSIX) so that each failing step keeps its own result code and text.
// Win32: WinINet. POSIX: libcurl, mapped onto the same steps:
// - connecting happens when the request is sent, so name resolution and refused connections fail at
//   HttpRequest::send (as WinINet reports them there);
// - the body is pulled in chunks of at most the caller's buffer size; memory stays bounded whatever
//   the body's length;
// - both follow up to kMaxRedirects redirects; the status code is the caller's to judge
//   (HttpRequest::statusCode);
// - both give up on a connection after kConnectTimeoutMs and on a body that stalls for kStallTimeoutMs;
// - HttpRequest::abort, from any thread, ends a blocked send or read at once;
// - a body that ends before the length the server announced fails at HttpRequest::read, whereas
//   WinINet may end it as a short body with success (see kHttpReadReportsTruncatedBody).
// - connections are kept alive between requests: a request to a server that an earlier request of the
//   process reached goes out on the same connection when the server keeps it open (Win32: the session
//   and connection handles are kept for the process, with the connections WinINet keeps under them;
//   POSIX: the libcurl handles of a finished transfer are taken back with their connection).
// Objects of these classes are used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform {

// INTERNET_SCHEME values of a cracked URL.
inline constexpr int kInternetSchemeUnknown = -1;
inline constexpr int kInternetSchemeFtp = 1;
inline constexpr int kInternetSchemeHttp = 3;
inline constexpr int kInternetSchemeHttps = 4;

// InternetOpen access types.
inline constexpr std::uint32_t kInternetOpenTypeDirect = 1;
inline constexpr std::uint32_t kInternetOpenTypeProxy = 3;

// HttpOpenRequest flag: the response is not added to the cache.
inline constexpr std::uint32_t kInternetFlagNoCacheWrite = 0x04000000;

// The limits every request runs under, the same on both backends.
inline constexpr std::uint32_t kConnectTimeoutMs = 30000;
inline constexpr std::uint32_t kStallTimeoutMs = 60000;
inline constexpr int kMaxRedirects = 5;
// Capacity of each cracked URL component, terminating zero included.
inline constexpr std::size_t kUrlComponentCapacity = 256;

// Error numbers the POSIX backend gives back (the WinINet numbers for the same causes).
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorInternetTimeout = 12002;
inline constexpr std::uint32_t kErrorInternetInternal = 12004;
inline constexpr std::uint32_t kErrorInternetInvalidUrl = 12005;
inline constexpr std::uint32_t kErrorInternetUnrecognizedScheme = 12006;
inline constexpr std::uint32_t kErrorInternetNameNotResolved = 12007;
inline constexpr std::uint32_t kErrorInternetCannotConnect = 12029;
inline constexpr std::uint32_t kErrorInternetConnectionAborted = 12030;
inline constexpr std::uint32_t kErrorInternetConnectionReset = 12031;
inline constexpr std::uint32_t kErrorInternetOperationCancelled = 12017;
inline constexpr std::uint32_t kErrorHttpInvalidServerResponse = 12152;

// Whether HttpRequest::read fails when the connection closes before the announced body length:
// true on POSIX (libcurl reports the partial body), false on Win32 (WinINet may end the body early
// with success, leaving the short result to the caller's size check).
extern const bool kHttpReadReportsTruncatedBody;

// The system's proxy settings (INTERNET_OPTION_PROXY). Win32: the internet settings of the user (Wine
// also honours the http_proxy variable, and reads the settings once per process). POSIX: the proxy
// environment variables, read on every query (http_proxy, HTTP_PROXY, all_proxy, ALL_PROXY for the proxy;
// no_proxy, NO_PROXY for the bypass list). An absent value stays empty (nullopt).
struct ProxySettings {
  std::optional<std::string> proxy;
  std::optional<std::string> bypass;
};

// InternetQueryOption(NULL, INTERNET_OPTION_PROXY) into a 4096-byte buffer. False with `error` set when
// the settings cannot be read; `out` then stays empty.
bool queryProxySettings(ProxySettings& out, std::uint32_t& error);

// The parts of a URL that InternetCrackUrl is asked for.
struct UrlParts {
  int scheme = 0;  // kInternetScheme*; 0 until cracked
  std::string schemeName;
  std::string host;
  int port = 0;  // the URL's port, or the scheme's default (80 for http)
  std::string path;  // path and query as they stand in the URL
};

// InternetCrackUrl(url, length, 0, parts) with a 256-character buffer for the scheme, the host and the
// path each (user name, password and extra information are not requested). False with `error` set
// when the URL cannot be cracked or a part does not fit its buffer.
bool crackUrl(const std::string& url, UrlParts& out, std::uint32_t& error);

class HttpConnection;
class HttpRequest;

// An internet session (InternetOpen). Sessions of the same settings share one handle, kept open.
class HttpSession {
 public:
  // InternetOpen(agent, accessType, proxy, bypass, 0). With kInternetOpenTypeProxy the proxy and bypass
  // lists of `proxy` are passed (absent ones as null), and a session without a proxy list is refused
  // with kErrorInvalidParameter, as WinINet refuses it; with kInternetOpenTypeDirect no proxy is used,
  // even when the environment names one. Null with `error` set on failure.
  static std::unique_ptr<HttpSession> open(const std::string& agent, std::uint32_t accessType,
                                           const ProxySettings& proxy, std::uint32_t& error);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  struct State;  // backend-defined

 private:
  friend class HttpConnection;
  explicit HttpSession(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// A connection to one HTTP server (InternetConnect with INTERNET_SERVICE_HTTP). It may outlive its
// session object.
class HttpConnection {
 public:
  // InternetConnect(session, host, port, user, password, INTERNET_SERVICE_HTTP, 0, 0); user and password
  // may be null. Null with `error` set on failure.
  static std::unique_ptr<HttpConnection> connect(HttpSession& session, const std::string& host, int port,
                                                 const char* user, const char* password, std::uint32_t& error);
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  struct State;  // backend-defined

 private:
  friend class HttpRequest;
  explicit HttpConnection(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// One request on a connection (HttpOpenRequest); closed when the object goes, which also drops a body
// that has not been read to its end.
class HttpRequest {
 public:
  // HttpOpenRequest(connection, verb, path, version, no referrer, acceptTypes, flags, 0). The accept types
  // are passed as they stand. Null with `error` set on failure.
  static std::unique_ptr<HttpRequest> open(HttpConnection& connection, const std::string& verb,
                                           const std::string& path, const std::string& version,
                                           const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                                           std::uint32_t& error);
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // HttpSendRequest(request, no headers, no body): blocks until the response's header has arrived.
  bool send(std::uint32_t& error);

  // InternetReadFile: blocks until up to `size` bytes of the body are in `buffer`; `received` is 0 at
  // the end of the body. False with `error` set when the transfer failed.
  bool read(void* buffer, std::uint32_t size, std::uint32_t& received, std::uint32_t& error);
  // The response's HTTP status (HTTP_QUERY_STATUS_CODE) once send succeeded; 0 when there is none.
  int statusCode() const;
  // Any thread: ends the request. A send or read blocked in it returns at once with an error, and
  // every later call fails; the object must still be destroyed by its owner.
  void abort();

  struct State;  // backend-defined

 private:
  explicit HttpRequest(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace korvel::platform
