// HTTP and HTTPS requests in the steps of the Windows internet API: read the proxy settings, open a
// session, crack the URL, connect, open a request, send it, read the body chunk by chunk, close.
//
// Every step reports success and, on failure, a Win32-style error number (GetLastError on Win32; the
// nearest WinINet number on POSIX) so that each failing step keeps its own result code and text.
// Win32: WinINet. POSIX: libcurl, mapped onto the same steps:
// - connecting happens when the request is sent, so name resolution and refused connections fail at
//   HttpRequest::send (as WinINet reports them there);
// - the body is pulled in chunks of at most the caller's buffer size, each handed over as soon as some
//   of it has arrived (Win32: read ahead on a pool thread, since a blocking InternetReadFile returns
//   only once its whole buffer is filled); memory stays bounded whatever the body's length;
// - both follow up to kMaxRedirects redirects (Win32: the backend follows them, not WinINet); the
//   status code is the caller's to judge (HttpRequest::statusCode); a step from https to plain http,
//   anywhere in the chain, is refused (isInsecureRedirect);
// - both give up on a connection after kConnectTimeoutMs (a TLS handshake is part of connecting), and
//   on a response whose header, or a body that stalls, brings nothing for stallTimeoutMs(); Win32 gives
//   up a send after both in any case, since under Wine a TLS handshake with a silent server waits on;
// - a request opened with kInternetFlagSecure goes over TLS (POSIX: 1.2 or later; Win32: the versions
//   the system allows) to the connection's server, whose certificate must verify against the system's
//   trusted roots and name the server;
//   POSIX also trusts the certificates of the PEM file KORVEL_CA_FILE names (see HttpRequest::open);
//   a certificate that fails fails the send with a certificate error (isCertificateError);
// - HttpRequest::abort, from any thread, ends a blocked send or read at once (Win32: the WinINet calls
//   are made on pool threads and the requester stops waiting for them, since closing the handle does
//   not end a blocked read under Wine);
// - a body that ends before the length the server announced fails at HttpRequest::read on POSIX,
//   whereas WinINet may end it as a short body with success: callers compare what arrived with
//   Content-Length.
// - connections are kept alive between requests: a request to a server that an earlier request of the
//   process reached goes out on the same connection when the server keeps it open (Win32: the session
//   and connection handles are kept for the process, with the connections WinINet keeps under them;
//   POSIX: the libcurl handles of a finished transfer are taken back with their connection);
// - up to kMaxConnectionsPerServer requests, each on its own thread, run at once to one server, each
//   on a connection of its own;
// - extra request headers (HttpRequest::addHeader) and the response's headers (responseHeader, and
//   parsed: responseHeaders) are what continuing a body from a byte offset needs: Range and If-Range
//   out, ETag, Last-Modified, Content-Length and Content-Range back.
// Objects of these classes are used by one thread at a time; different requests may run on different
// threads.
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

// HttpOpenRequest flags: the response is not added to the cache; the request goes over TLS.
inline constexpr std::uint32_t kInternetFlagNoCacheWrite = 0x04000000;
inline constexpr std::uint32_t kInternetFlagSecure = 0x00800000;

// The limits every request runs under, the same on both backends.
inline constexpr std::uint32_t kConnectTimeoutMs = 30000;
inline constexpr int kMaxRedirects = 5;
// How long a response may bring nothing, its header included, before the request fails with
// kErrorInternetTimeout: KORVEL_STALL_TIMEOUT=<seconds> (1 to 3600), else 60 s. Read once per process;
// any thread.
std::uint32_t stallTimeoutMs();
// Capacity of each cracked URL component, terminating zero included.
inline constexpr std::size_t kUrlComponentCapacity = 256;
// Requests to one server that run at once, each on a connection of its own. Win32: WinINet's
// per-server connection limits (HTTP/1.1 and 1.0) are raised to this for the process before the first
// session opens; a request beyond it waits in send for a free connection. POSIX: every request has
// libcurl handles of its own, and this many finished ones are kept with their open connections.
inline constexpr int kMaxConnectionsPerServer = 8;

// Error numbers the POSIX backend gives back (the WinINet numbers for the same causes); the Win32
// backend gives back WinINet's own.
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
inline constexpr std::uint32_t kErrorInternetHttpsToHttpOnRedirect = 12040;
// A TLS handshake that failed for another reason than the server's certificate (no common protocol
// version or cipher, a server that does not speak TLS).
inline constexpr std::uint32_t kErrorInternetSecurityChannelError = 12157;
// The server's certificate failed verification: outside its dates, for another name, from an authority
// nobody trusts (Windows: 12045; Wine: 12057), revoked, or otherwise unacceptable.
inline constexpr std::uint32_t kErrorInternetSecCertDateInvalid = 12037;
inline constexpr std::uint32_t kErrorInternetSecCertCnInvalid = 12038;
inline constexpr std::uint32_t kErrorInternetClientAuthCertNeeded = 12044;
inline constexpr std::uint32_t kErrorInternetInvalidCa = 12045;
inline constexpr std::uint32_t kErrorInternetSecCertErrors = 12055;
inline constexpr std::uint32_t kErrorInternetSecCertNoRev = 12056;
inline constexpr std::uint32_t kErrorInternetSecCertRevFailed = 12057;
inline constexpr std::uint32_t kErrorInternetSecInvalidCert = 12169;
inline constexpr std::uint32_t kErrorInternetSecCertRevoked = 12170;
inline constexpr std::uint32_t kErrorInternetSecCertWeakSignature = 12179;

// Whether a send failed because the server's certificate was not accepted (any of the numbers above
// from 12037 on, on either backend). A TLS failure of another kind (12157) is not one.
bool isCertificateError(std::uint32_t error);
// Whether a send failed because a request made over https was redirected to plain http (12040).
bool isInsecureRedirect(std::uint32_t error);

// The system's proxy settings (INTERNET_OPTION_PROXY). Win32: the internet settings of the user (Wine
// also honours the http_proxy variable, and reads the settings once per process); `proxy` may then be a
// list per scheme ("http=a:80 https=b:8080"), which WinINet applies itself, and `httpsProxy` stays
// empty. POSIX: the proxy environment variables, read on every query (http_proxy, HTTP_PROXY, all_proxy,
// ALL_PROXY for `proxy`; https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY for `httpsProxy`; no_proxy,
// NO_PROXY for the bypass list). An absent value stays empty (nullopt).
struct ProxySettings {
  // The proxy of http requests (Win32: of every request).
  std::optional<std::string> proxy;
  std::optional<std::string> bypass;
  // POSIX: the proxy of https requests, reached with CONNECT. An https request goes through it only;
  // without it, it goes directly to the server, as for the other programs that read these variables.
  std::optional<std::string> httpsProxy;
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

// A Content-Range value of a response: "bytes first-last/total", "bytes first-last/*" (length unknown)
// or, with status 416, "bytes */total".
struct ContentRange {
  // False for "bytes */total": the asked range lies outside the body, only `total` is known.
  bool satisfied = false;
  std::uint64_t first = 0;
  std::uint64_t last = 0;  // inclusive
  std::optional<std::uint64_t> total;  // nullopt for "*"
};

// Parses a Content-Range value (blanks around it allowed). nullopt for any other form: another unit,
// a last byte before the first or at or past the total, a number beyond 64 bits, trailing text.
std::optional<ContentRange> parseContentRange(const std::string& value);

// "bytes=N-": the Range value that asks for the body from byte `first` to its end.
std::string rangeFrom(std::uint64_t first);

// The response headers that continuing an interrupted body depends on, as HttpRequest::responseHeaders
// reads them.
struct ResponseHeaders {
  std::optional<std::string> etag;          // as sent, quotes and a weak "W/" included
  std::optional<std::string> lastModified;  // as sent
  // The length of the body that follows (of a 206: of its part). nullopt when the header is absent or
  // not a decimal number: a body of unknown length, not an empty one.
  std::optional<std::uint64_t> contentLength;
  // nullopt when absent or malformed (responseHeader("Content-Range") tells the two apart).
  std::optional<ContentRange> contentRange;

  // The value to send back as If-Range with a later Range request for the same body: the ETag when
  // it is a strong one (a weak one never matches there), else Last-Modified; nullopt when there is
  // neither, and a partial body can then not be continued safely.
  std::optional<std::string> validator() const;
};

class HttpConnection;
class HttpRequest;

// An internet session (InternetOpen). Sessions of the same settings share one handle, kept open.
class HttpSession {
 public:
  // InternetOpen(agent, accessType, proxy, bypass, 0). With kInternetOpenTypeProxy the proxy and bypass
  // lists of `proxy` are passed (absent ones as null), and a session without a proxy list is refused
  // with kErrorInvalidParameter, as WinINet refuses it (POSIX: without `proxy` and `httpsProxy`); with
  // kInternetOpenTypeDirect no proxy is used, even when the environment names one. Null with `error`
  // set on failure.
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
  // may be null; port 0 is the scheme's default (443 for the requests opened with kInternetFlagSecure,
  // else 80). Null with `error` set on failure.
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
  // are passed as they stand. With kInternetFlagSecure in `flags` the request goes over https. POSIX:
  // TLS 1.2 or later, the peer's certificate and name always verified; the trusted roots are the
  // system's plus, when the environment variable KORVEL_CA_FILE names a PEM file (read when a request
  // opens; each file once per process), the certificates in that file. A named file that cannot be
  // read, or holds no certificate, fails every https send with kErrorInternetInvalidCa rather than
  // fall back to the system's roots alone. Win32: the system's trusted roots only. Null with `error`
  // set on failure.
  static std::unique_ptr<HttpRequest> open(HttpConnection& connection, const std::string& verb,
                                           const std::string& path, const std::string& version,
                                           const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                                           std::uint32_t& error);
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // HttpAddRequestHeaders(request, "name: value", -1, HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE),
  // before send: the header goes out with the request and with the redirects it follows; a later call
  // for the same name (in any letter case) replaces the value. False with kErrorInvalidParameter for a
  // name that is not an HTTP token or a value holding CR, LF or NUL, and with kErrorInternetInternal
  // once send has been called.
  bool addHeader(const std::string& name, const std::string& value, std::uint32_t& error);

  // HttpSendRequest(request, no headers, no body): blocks until the response's header has arrived.
  // False with `error` set on failure: among others kErrorInternetTimeout when no header came within
  // stallTimeoutMs(), a certificate error (isCertificateError), and kErrorInternetHttpsToHttpOnRedirect
  // when a request over https was redirected to plain http (nothing is sent to the http address).
  bool send(std::uint32_t& error);

  // InternetReadFile: blocks until some of the body, at most `size` bytes, is in `buffer`; `received`
  // is 0 at the end of the body. False with `error` set when the transfer failed.
  bool read(void* buffer, std::uint32_t size, std::uint32_t& received, std::uint32_t& error);
  // The response's HTTP status (HTTP_QUERY_STATUS_CODE) once send succeeded; 0 when there is none.
  int statusCode() const;
  // HttpQueryInfo(HTTP_QUERY_CUSTOM) once send succeeded: the first value of the response header `name`
  // (compared without regard to case) with the blanks around it removed; of the last response when
  // redirects were followed. nullopt when the response has no such header, or there is no response.
  std::optional<std::string> responseHeader(const std::string& name) const;
  // ETag, Last-Modified, Content-Length and Content-Range of the response, read with responseHeader.
  ResponseHeaders responseHeaders() const;
  // Any thread: ends the request. A send or read blocked in it returns at once with an error, and
  // every later call fails; the object must still be destroyed by its owner.
  void abort();

  struct State;  // backend-defined

 private:
  explicit HttpRequest(std::unique_ptr<State> state);
  // The backend's part of addHeader, given a checked name and value.
  bool addCheckedHeader(const std::string& name, const std::string& value, std::uint32_t& error);
  std::unique_ptr<State> state_;
};

}  // namespace korvel::platform
