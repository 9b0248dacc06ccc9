// Win32 HTTP and HTTPS requests: the WinINet calls, with the session and connection handles kept for the
// process, a request's blocking calls made on pool threads, and redirects followed by the backend.
#include "platform/http.h"

#include "platform/win32/windows_prelude.h"

#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvel::platform {

namespace {

constexpr DWORD kProxyBufferSize = 4096;

#ifndef _WIN64
static_assert(sizeof(URL_COMPONENTSA) == 60, "the cracked URL structure of the 32-bit program");
#endif
static_assert(kInternetFlagSecure == INTERNET_FLAG_SECURE && kInternetFlagNoCacheWrite == INTERNET_FLAG_NO_CACHE_WRITE,
              "the request flags are WinINet's");
static_assert(kErrorInternetHttpsToHttpOnRedirect == ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR &&
                  kErrorInternetInvalidCa == ERROR_INTERNET_INVALID_CA &&
                  kErrorInternetSecCertRevFailed == ERROR_INTERNET_SEC_CERT_REV_FAILED &&
                  kErrorInternetSecurityChannelError == ERROR_INTERNET_SECURITY_CHANNEL_ERROR,
              "the error numbers are WinINet's");

}  // namespace

bool queryProxySettings(ProxySettings& out, std::uint32_t& error) {
  // The structure and the strings it points to share one zeroed buffer.
  alignas(INTERNET_PROXY_INFO) char buffer[kProxyBufferSize] = {};
  DWORD size = kProxyBufferSize;
  out = ProxySettings{};
  if (!::InternetQueryOptionA(nullptr, INTERNET_OPTION_PROXY, buffer, &size)) {
    error = ::GetLastError();
    return false;
  }
  const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer);
  if (info->lpszProxy) out.proxy = std::string(reinterpret_cast<const char*>(info->lpszProxy));
  if (info->lpszProxyBypass) out.bypass = std::string(reinterpret_cast<const char*>(info->lpszProxyBypass));
  error = 0;
  return true;
}

bool crackUrl(const std::string& url, UrlParts& out, std::uint32_t& error) {
  char scheme[kUrlComponentCapacity] = {};
  char host[kUrlComponentCapacity] = {};
  char path[kUrlComponentCapacity] = {};
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof(parts);
  parts.lpszScheme = scheme;
  parts.dwSchemeLength = kUrlComponentCapacity;
  parts.lpszHostName = host;
  parts.dwHostNameLength = kUrlComponentCapacity;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = kUrlComponentCapacity;
  if (!::InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
    error = ::GetLastError();
    return false;
  }
  out.scheme = parts.nScheme;
  out.schemeName.assign(scheme, parts.dwSchemeLength);
  out.host.assign(host, parts.dwHostNameLength);
  out.port = parts.nPort;
  out.path.assign(path, parts.dwUrlPathLength);
  error = 0;
  return true;
}

// Sessions and connections are kept for the life of the process, one per set of settings and one
// per server and credentials, so that every request of a run goes out on the same handles and the
// connections WinINet keeps alive under them. Only request handles are closed.
namespace {

class HandleCache {
 public:
  template <typename Open>
  HINTERNET find(const std::string& key, Open open, DWORD& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = handles_.find(key);
    if (found != handles_.end()) return found->second;
    HINTERNET handle = open();
    if (!handle) {
      error = ::GetLastError();
      return nullptr;
    }
    handles_.emplace(key, handle);
    return handle;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, HINTERNET> handles_;
};

HandleCache& handleCache() {
  static HandleCache* cache = new HandleCache;  // lives as long as the process
  return *cache;
}

// The parts of a key, each closed by a zero so that no two lists of parts give the same key.
std::string keyOf(std::initializer_list<std::string> parts) {
  std::string key;
  for (const std::string& part : parts) {
    key += part;
    key += '\0';
  }
  return key;
}

// The kept connection handle of a session to one server with these credentials (null: none).
HINTERNET connectionHandle(HINTERNET session, const std::string& host, int port, const char* user,
                           const char* password, DWORD& error) {
  char sessionName[32];
  std::snprintf(sessionName, sizeof sessionName, "%p", static_cast<void*>(session));
  const std::string key = keyOf({sessionName, host, std::to_string(port), user ? "u" + std::string(user) : "-",
                                 password ? "p" + std::string(password) : "-"});
  return handleCache().find(
      key,
      [&] {
        return ::InternetConnectA(session, host.c_str(), static_cast<INTERNET_PORT>(port), user, password,
                                  INTERNET_SERVICE_HTTP, 0, 0);
      },
      error);
}

}  // namespace

struct HttpSession::State {
  HINTERNET handle = nullptr;  // kept by the handle cache
};

struct HttpConnection::State {
  HINTERNET handle = nullptr;  // kept by the handle cache
  HINTERNET session = nullptr;
  std::string host;
  int port = 0;
  std::optional<std::string> user;
  std::optional<std::string> password;
};

// A request's blocking calls run on threads of the system's pool while the requesting thread waits on
// a condition that abort also signals. Closing a request handle ends a call blocked in it on Windows,
// but under Wine a blocked read runs on to its receive time-out; this way abort frees the requesting
// thread at once either way, and a call left behind ends by itself within the session's time-outs.
//
// The send is one such call. The body is read ahead by a pump on a pool thread into a ring that read()
// empties: it waits until some bytes are there (InternetQueryDataAvailable) and takes only those, so
// that read() hands over what has arrived instead of waiting for its whole buffer to fill, as a
// blocking InternetReadFile does. Bytes are counted (and a stop honoured) as they come.
//
// The handle, the ring and the results live in a record the pool threads share, so a call left behind
// finishes into memory of its own. The handle is closed only when no call is in it: a closed handle's
// value may go to the next request opened, and a call that has yet to start must not land on that one.
namespace {

class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;
  SRWLOCK& lock() { return lock_; }

 private:
  SRWLOCK& lock_;
};

// The smallest ring a body is read ahead into.
constexpr std::size_t kSmallestRing = 16 * 1024;

// What following a request's redirects takes. WinINet may follow a redirect from https to plain http
// by itself (Wine does, without a word), so every request is opened without its automatic redirects
// and the backend follows them: each to a new request on the kept connection of its server, with the
// same verb, accept types, flags and added headers, up to kMaxRedirects; one from https to http fails
// the send before anything goes to the http address.
struct RedirectPlan {
  HINTERNET session = nullptr;
  // The original server and its credentials, which go only to that server.
  std::string host;
  int port = 0;
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::string url;  // of the request sent last
  std::string verb;
  std::string version;
  std::vector<std::string> acceptTypes;
  DWORD flags = 0;
  std::vector<std::string> headers;  // the lines added, in their order
};

struct RequestLink {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  HINTERNET handle = nullptr;  // null once closed
  bool closing = false;        // aborted or ended by its owner: no new call, closed once none is in it
  int users = 0;               // calls inside WinINet with `handle`

  // The send, valid once sendDone.
  bool sendDone = false;
  BOOL sendOk = FALSE;
  DWORD sendError = 0;

  // The body read ahead: `count` bytes from `head` on in the ring, then, once the pump has stopped,
  // its end or its failure.
  bool pumpStarted = false;
  std::vector<char> ring;
  std::size_t head = 0;
  std::size_t count = 0;
  bool ended = false;
  bool failed = false;
  DWORD readError = 0;

  // Set when the request opens; used by the send's pool thread (headers are added before it starts).
  RedirectPlan plan;
};

using SharedLink = std::shared_ptr<RequestLink>;

// The handle for one call, counted as in use; null once the request is closed or closing.
HINTERNET enterCall(RequestLink& link) {
  ExclusiveLock hold(link.lock);
  if (link.closing || !link.handle) return nullptr;
  ++link.users;
  return link.handle;
}

// Ends a call of enterCall; the last call out of a closing request closes its handle.
void leaveCall(RequestLink& link) {
  HINTERNET closed = nullptr;
  {
    ExclusiveLock hold(link.lock);
    --link.users;
    if (link.closing && link.users == 0) std::swap(closed, link.handle);
  }
  if (closed) ::InternetCloseHandle(closed);
}

// Any thread: no new call starts, whoever waits returns, and the handle is closed now or when the
// call in it ends.
void closeLink(RequestLink& link) {
  HINTERNET closed = nullptr;
  {
    ExclusiveLock hold(link.lock);
    link.closing = true;
    if (link.users == 0) std::swap(closed, link.handle);
  }
  ::WakeAllConditionVariable(&link.changed);
  if (closed) ::InternetCloseHandle(closed);
}

// Runs `work` on a pool thread with its own reference to the link. False with the system's error when
// the pool takes no more work.
bool startOnPool(LPTHREAD_START_ROUTINE work, const SharedLink& link, DWORD& error) {
  auto reference = std::make_unique<SharedLink>(link);
  // The calls may block for long: the pool adds a thread rather than queue other work behind them.
  if (!::QueueUserWorkItem(work, reference.get(), WT_EXECUTELONGFUNCTION)) {
    error = ::GetLastError();
    return false;
  }
  reference.release();
  return true;
}

// The request of one step of a redirect plan, with the time-outs and the added headers; null with the
// system's error when it cannot be opened.
HINTERNET openPlannedRequest(const RedirectPlan& plan, HINTERNET connection, const std::string& path,
                             DWORD flags, DWORD& error) {
  std::vector<LPCSTR> types;
  types.reserve(plan.acceptTypes.size() + 1);
  for (const std::string& type : plan.acceptTypes) types.push_back(type.c_str());
  types.push_back(nullptr);
  // Redirects are followed by the plan. The system's cookie store is left alone, as the other backend
  // has none: a patch server is sent no cookie a browser kept for its host, and looking them up costs
  // every request several locked passes over the store's index (a server round trip each under Wine).
  HINTERNET handle = ::HttpOpenRequestA(connection, plan.verb.c_str(), path.c_str(), plan.version.c_str(), nullptr,
                                        types.data(), flags | INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES, 0);
  if (!handle) {
    error = ::GetLastError();
    return nullptr;
  }
  // Windows hands the session's time-outs down to its requests; Wine does not (its requests would wait
  // for a stalled body without end), so each request is given them itself.
  DWORD stallTimeout = stallTimeoutMs();
  ::InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &stallTimeout, sizeof stallTimeout);
  ::InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &stallTimeout, sizeof stallTimeout);
  for (const std::string& line : plan.headers) {
    if (!::HttpAddRequestHeadersA(handle, line.c_str(), static_cast<DWORD>(line.size()),
                                  HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
      error = ::GetLastError();
      ::InternetCloseHandle(handle);
      return nullptr;
    }
  }
  return handle;
}

// The value of a response header of `handle` (HTTP_QUERY_* number), or nothing.
std::optional<std::string> queryHeader(HINTERNET handle, DWORD level) {
  std::string buffer(512, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    if (::HttpQueryInfoA(handle, level, buffer.data(), &size, nullptr)) {
      buffer.resize(size);
      return buffer;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
    buffer.assign(size + 1, '\0');
  }
  return std::nullopt;
}

// Reads and drops a redirect's small body, so that its connection can carry the next request.
void dropSmallBody(HINTERNET handle) {
  constexpr DWORD kMostBytes = 64 * 1024;
  char buffer[4096];
  DWORD total = 0;
  DWORD got = 0;
  while (total < kMostBytes && ::InternetReadFile(handle, buffer, sizeof buffer, &got) && got > 0) total += got;
}

bool isFollowedStatus(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The scheme, host, port and path (query included) of a redirect's absolute URL, in buffers of any
// URL's length (crackUrl keeps to its 256 characters; a redirect, to a CDN say, may be longer).
bool crackTarget(const std::string& url, UrlParts& out) {
  std::string host(INTERNET_MAX_HOST_NAME_LENGTH + 1, '\0');
  std::string path(url.size() + 1, '\0');
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = static_cast<DWORD>(host.size());
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = static_cast<DWORD>(path.size());
  if (!::InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
  out.scheme = parts.nScheme;
  out.host.assign(host.data(), parts.dwHostNameLength);
  out.port = parts.nPort;
  out.path.assign(path.data(), parts.dwUrlPathLength);
  return !out.host.empty();
}

// After a send that succeeded: follows the redirects of the plan, leaving the last request's handle in
// the link. `ok` and `error` are those of the last send; a redirect from https to plain http, or a
// request closed meanwhile, ends it as a failure.
void followRedirects(RequestLink& link, BOOL& ok, DWORD& error) {
  RedirectPlan& plan = link.plan;
  for (int followed = 0; ok && followed < kMaxRedirects; ++followed) {
    HINTERNET handle = enterCall(link);
    if (!handle) {
      ok = FALSE;
      error = kErrorInternetOperationCancelled;
      return;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    const bool known = ::HttpQueryInfoA(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    const std::optional<std::string> location =
        known && isFollowedStatus(status) ? queryHeader(handle, HTTP_QUERY_LOCATION) : std::nullopt;
    if (location) dropSmallBody(handle);
    leaveCall(link);
    if (!location) return;

    // A redirect that cannot be followed is the caller's answer, as WinINet would leave it.
    std::string target(INTERNET_MAX_URL_LENGTH, '\0');
    DWORD length = static_cast<DWORD>(target.size());
    if (!::InternetCombineUrlA(plan.url.c_str(), location->c_str(), target.data(), &length, ICU_NO_ENCODE)) return;
    target.resize(length);
    UrlParts parts;
    if (!crackTarget(target, parts)) return;
    const bool fromSecure = (plan.flags & INTERNET_FLAG_SECURE) != 0;
    if (fromSecure && parts.scheme == kInternetSchemeHttp) {
      ok = FALSE;
      error = kErrorInternetHttpsToHttpOnRedirect;
      return;
    }
    if (parts.scheme != kInternetSchemeHttp && parts.scheme != kInternetSchemeHttps) return;

    const bool sameServer = parts.host == plan.host && parts.port == plan.port;
    const char* user = sameServer && plan.user ? plan.user->c_str() : nullptr;
    const char* password = sameServer && plan.password ? plan.password->c_str() : nullptr;
    DWORD failure = 0;
    HINTERNET connection = connectionHandle(plan.session, parts.host, parts.port, user, password, failure);
    const DWORD flags = parts.scheme == kInternetSchemeHttps ? plan.flags | INTERNET_FLAG_SECURE
                                                              : plan.flags & ~static_cast<DWORD>(INTERNET_FLAG_SECURE);
    HINTERNET next = connection ? openPlannedRequest(plan, connection, parts.path.empty() ? "/" : parts.path, flags,
                                                     failure)
                                : nullptr;
    if (!next) {
      ok = FALSE;
      error = failure;
      return;
    }
    HINTERNET previous = nullptr;
    {
      ExclusiveLock hold(link.lock);
      if (!link.closing) {
        previous = link.handle;
        link.handle = next;
        next = nullptr;
      }
    }
    if (next) {
      ::InternetCloseHandle(next);
      ok = FALSE;
      error = kErrorInternetOperationCancelled;
      return;
    }
    if (previous) ::InternetCloseHandle(previous);
    plan.url = target;
    plan.flags = flags;
    handle = enterCall(link);
    if (!handle) {
      ok = FALSE;
      error = kErrorInternetOperationCancelled;
      return;
    }
    ok = ::HttpSendRequestA(handle, nullptr, 0, nullptr, 0);
    error = ok ? 0 : ::GetLastError();
    leaveCall(link);
  }
}

DWORD WINAPI sendOnPool(LPVOID context) {
  const std::unique_ptr<SharedLink> reference(static_cast<SharedLink*>(context));
  RequestLink& link = **reference;
  BOOL ok = FALSE;
  DWORD error = kErrorInternetOperationCancelled;
  if (HINTERNET handle = enterCall(link)) {
    ok = ::HttpSendRequestA(handle, nullptr, 0, nullptr, 0);
    error = ok ? 0 : ::GetLastError();
    leaveCall(link);
    followRedirects(link, ok, error);
  }
  {
    ExclusiveLock hold(link.lock);
    link.sendOk = ok;
    link.sendError = error;
    link.sendDone = true;
  }
  ::WakeAllConditionVariable(&link.changed);
  return 0;
}

// Reads the body into the ring until it ends, fails or the request closes, waiting while the ring is
// full. Each read asks only for bytes already there, so none of them waits for more to come.
DWORD WINAPI pumpOnPool(LPVOID context) {
  const std::unique_ptr<SharedLink> reference(static_cast<SharedLink*>(context));
  RequestLink& link = **reference;
  // When the body last brought bytes: a read that fails after the stall time-out has passed without
  // any is a stall, whatever error Wine gives it (it reports the receive time-out as a dropped
  // connection).
  DWORD lastData = ::GetTickCount();
  const DWORD stallLimit = stallTimeoutMs();
  for (;;) {
    std::size_t at = 0;
    std::size_t room = 0;
    {
      ExclusiveLock hold(link.lock);
      while (!link.closing && link.count == link.ring.size())
        ::SleepConditionVariableSRW(&link.changed, &hold.lock(), INFINITE, 0);
      if (link.closing) return 0;
      at = (link.head + link.count) % link.ring.size();
      room = std::min(link.ring.size() - link.count, link.ring.size() - at);
    }
    HINTERNET handle = enterCall(link);
    if (!handle) return 0;
    DWORD available = 0;
    DWORD got = 0;
    // Waits until some bytes are there, or the end (0 available); the read then takes at most those.
    // At 0 a read of one byte tells the end (it returns none) from bytes yet to come.
    BOOL ok = ::InternetQueryDataAvailable(handle, &available, 0, 0);
    if (ok) {
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(std::max<DWORD>(available, 1), room));
      ok = ::InternetReadFile(handle, link.ring.data() + at, want, &got);
    }
    const DWORD error = ok ? 0 : ::GetLastError();
    leaveCall(link);
    bool over = false;
    {
      ExclusiveLock hold(link.lock);
      // WinINet may report bytes with a failed read; they are handed on before the failure.
      link.count += got;
      if (got > 0) lastData = ::GetTickCount();
      if (!ok) {
        link.failed = true;
        link.readError = got == 0 && ::GetTickCount() - lastData >= stallLimit - stallLimit / 10 ? kErrorInternetTimeout : error;
      } else if (got == 0) {
        link.ended = true;
      }
      over = link.failed || link.ended;
    }
    ::WakeAllConditionVariable(&link.changed);
    if (over) return 0;
  }
}

}  // namespace

struct HttpRequest::State {
  SharedLink link = std::make_shared<RequestLink>();
  bool sent = false;
  ~State() { closeLink(*link); }

  // Runs `use` with the handle on the calling thread; false when the request is closed or closing.
  template <typename Use>
  bool withHandle(Use use) {
    HINTERNET handle = enterCall(*link);
    if (!handle) return false;
    use(handle);
    leaveCall(*link);
    return true;
  }
};

HttpSession::HttpSession(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpSession::~HttpSession() = default;

std::unique_ptr<HttpSession> HttpSession::open(const std::string& agent, std::uint32_t accessType,
                                               const ProxySettings& proxy, std::uint32_t& error) {
  const bool viaProxy = accessType == kInternetOpenTypeProxy;
  const char* proxyList = viaProxy && proxy.proxy ? proxy.proxy->c_str() : nullptr;
  const char* bypassList = viaProxy && proxy.bypass ? proxy.bypass->c_str() : nullptr;
  const std::string key = keyOf({agent, std::to_string(accessType), proxyList ? "p" + *proxy.proxy : "-",
                                 bypassList ? "b" + *proxy.bypass : "-"});
  // WinINet allows two connections per server by default (four for HTTP/1.0 servers), so that more
  // requests at once would wait for each other; the limits are the process's, read when a session
  // opens. A failure leaves the defaults: requests then queue, which is slower but still correct.
  static std::once_flag connectionLimits;
  std::call_once(connectionLimits, [] {
    DWORD perServer = kMaxConnectionsPerServer;
    ::InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &perServer, sizeof perServer);
    ::InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &perServer, sizeof perServer);
  });
  DWORD failure = 0;
  HINTERNET handle = handleCache().find(
      key,
      [&] {
        HINTERNET opened = ::InternetOpenA(agent.c_str(), accessType, proxyList, bypassList, 0);
        if (opened) {
          // The same limits as the other backend: a connection attempt, and a body that stalls.
          DWORD connectTimeout = kConnectTimeoutMs;
          DWORD stallTimeout = stallTimeoutMs();
          ::InternetSetOptionA(opened, INTERNET_OPTION_CONNECT_TIMEOUT, &connectTimeout, sizeof connectTimeout);
          ::InternetSetOptionA(opened, INTERNET_OPTION_SEND_TIMEOUT, &stallTimeout, sizeof stallTimeout);
          ::InternetSetOptionA(opened, INTERNET_OPTION_RECEIVE_TIMEOUT, &stallTimeout, sizeof stallTimeout);
        }
        return opened;
      },
      failure);
  if (!handle) {
    error = failure;
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->handle = handle;
  error = 0;
  return std::unique_ptr<HttpSession>(new HttpSession(std::move(state)));
}

HttpConnection::HttpConnection(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpConnection::~HttpConnection() = default;

std::unique_ptr<HttpConnection> HttpConnection::connect(HttpSession& session, const std::string& host, int port,
                                                        const char* user, const char* password,
                                                        std::uint32_t& error) {
  DWORD failure = 0;
  HINTERNET handle = connectionHandle(session.state_->handle, host, port, user, password, failure);
  if (!handle) {
    error = failure;
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->handle = handle;
  state->session = session.state_->handle;
  state->host = host;
  state->port = port;
  if (user) state->user = user;
  if (password) state->password = password;
  error = 0;
  return std::unique_ptr<HttpConnection>(new HttpConnection(std::move(state)));
}

HttpRequest::HttpRequest(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpRequest::~HttpRequest() = default;

std::unique_ptr<HttpRequest> HttpRequest::open(HttpConnection& connection, const std::string& verb,
                                               const std::string& path, const std::string& version,
                                               const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                                               std::uint32_t& error) {
  const HttpConnection::State& c = *connection.state_;
  auto state = std::make_unique<State>();
  RedirectPlan& plan = state->link->plan;
  plan.session = c.session;
  plan.host = c.host;
  plan.user = c.user;
  plan.password = c.password;
  plan.verb = verb;
  plan.version = version;
  plan.acceptTypes = acceptTypes;
  // Certificate checks are never switched off.
  plan.flags = flags & ~static_cast<DWORD>(INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
  const bool secure = (plan.flags & INTERNET_FLAG_SECURE) != 0;
  const int port = c.port != 0 ? c.port : secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  plan.port = port;
  const std::string host = c.host.find(':') != std::string::npos && c.host.front() != '[' ? "[" + c.host + "]" : c.host;
  plan.url = std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(port) +
             (path.empty() || path[0] != '/' ? "/" : "") + path;
  DWORD failure = 0;
  HINTERNET handle = openPlannedRequest(plan, c.handle, path, plan.flags, failure);
  if (!handle) {
    error = failure;
    return nullptr;
  }
  state->link->handle = handle;
  error = 0;
  return std::unique_ptr<HttpRequest>(new HttpRequest(std::move(state)));
}

bool HttpRequest::addCheckedHeader(const std::string& name, const std::string& value, std::uint32_t& error) {
  const std::string line = name + ": " + value + "\r\n";
  BOOL added = FALSE;
  const bool open = state_->withHandle([&](HINTERNET handle) {
    if (state_->sent) {
      error = kErrorInternetInternal;
      return;
    }
    added = ::HttpAddRequestHeadersA(handle, line.c_str(), static_cast<DWORD>(line.size()),
                                     HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    error = added ? 0 : ::GetLastError();
    // Added again, in the same order, to the request of each redirect followed.
    if (added) state_->link->plan.headers.push_back(line);
  });
  if (!open) error = kErrorInternetOperationCancelled;
  return open && added;
}

bool HttpRequest::send(std::uint32_t& error) {
  RequestLink& link = *state_->link;
  {
    ExclusiveLock hold(link.lock);
    if (link.closing) {
      error = kErrorInternetOperationCancelled;
      return false;
    }
  }
  state_->sent = true;
  DWORD failure = 0;
  const ULONGLONG started = ::GetTickCount64();
  if (!startOnPool(sendOnPool, state_->link, failure)) {
    error = failure;
    return false;
  }
  // WinINet's own time-outs end a send to a server that does not answer, except under Wine during a
  // TLS handshake, which waits without end: the send is given up after both time-outs have passed.
  const ULONGLONG deadline = started + kConnectTimeoutMs + stallTimeoutMs();
  bool expired = false;
  {
    ExclusiveLock hold(link.lock);
    for (;;) {
      if (link.closing) {
        error = kErrorInternetOperationCancelled;
        return false;
      }
      if (link.sendDone) break;
      const ULONGLONG now = ::GetTickCount64();
      if (now >= deadline) {
        expired = true;
        break;
      }
      ::SleepConditionVariableSRW(&link.changed, &hold.lock(), static_cast<DWORD>(deadline - now), 0);
    }
    error = link.sendError;
  }
  if (expired) {
    closeLink(link);
    error = kErrorInternetTimeout;
    return false;
  }
  // Wine reports a response header that did not come within the receive time-out as an aborted
  // connection; Windows as a time-out, which it is.
  if (error == ERROR_INTERNET_CONNECTION_ABORTED && ::GetTickCount64() - started >= stallTimeoutMs())
    error = kErrorInternetTimeout;
  return error == 0 && link.sendOk;
}

bool HttpRequest::read(void* buffer, std::uint32_t size, std::uint32_t& received, std::uint32_t& error) {
  received = 0;
  RequestLink& link = *state_->link;
  bool start = false;
  {
    ExclusiveLock hold(link.lock);
    if (!link.pumpStarted && !link.closing) {
      link.pumpStarted = start = true;
      link.ring.resize(std::max<std::size_t>(size, kSmallestRing));
    }
  }
  DWORD failure = 0;
  if (start && !startOnPool(pumpOnPool, state_->link, failure)) {
    ExclusiveLock hold(link.lock);
    link.failed = true;
    link.readError = failure;
  }
  ExclusiveLock hold(link.lock);
  while (!link.closing && link.count == 0 && !link.ended && !link.failed)
    ::SleepConditionVariableSRW(&link.changed, &hold.lock(), INFINITE, 0);
  if (link.closing) {
    error = kErrorInternetOperationCancelled;
    return false;
  }
  if (link.count > 0) {
    const std::size_t taken = std::min<std::size_t>(size, link.count);
    const std::size_t first = std::min(taken, link.ring.size() - link.head);
    char* out = static_cast<char*>(buffer);
    std::memcpy(out, link.ring.data() + link.head, first);
    std::memcpy(out + first, link.ring.data(), taken - first);
    link.head = (link.head + taken) % link.ring.size();
    link.count -= taken;
    received = static_cast<std::uint32_t>(taken);
    error = 0;
    ::WakeAllConditionVariable(&link.changed);
    return true;
  }
  error = link.failed ? link.readError : 0;
  return !link.failed;
}

int HttpRequest::statusCode() const {
  DWORD status = 0;
  DWORD size = sizeof status;
  BOOL known = FALSE;
  state_->withHandle([&](HINTERNET handle) {
    known = ::HttpQueryInfoA(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
  });
  return known ? static_cast<int>(status) : 0;
}

std::optional<std::string> HttpRequest::responseHeader(const std::string& name) const {
  if (!state_->sent) return std::nullopt;
  std::optional<std::string> value;
  state_->withHandle([&](HINTERNET handle) {
    // HTTP_QUERY_CUSTOM takes the header's name in the buffer and gives back its value there; a value
    // longer than the buffer is asked again with the size WinINet names.
    std::string buffer(std::max<std::size_t>(name.size() + 1, 256), '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::copy(name.begin(), name.end(), buffer.begin());
      buffer[name.size()] = '\0';
      DWORD size = static_cast<DWORD>(buffer.size());
      DWORD index = 0;
      if (::HttpQueryInfoA(handle, HTTP_QUERY_CUSTOM, buffer.data(), &size, &index)) {
        buffer.resize(size);
        const std::size_t begin = buffer.find_first_not_of(" \t");
        const std::size_t end = buffer.find_last_not_of(" \t\r\n");
        value = begin == std::string::npos ? std::string() : buffer.substr(begin, end - begin + 1);
        return;
      }
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;
      buffer.assign(std::max<std::size_t>(size + 1, name.size() + 1), '\0');
    }
  });
  return value;
}

// A send or read waited for returns at once; a call in WinINet ends on its pool thread.
void HttpRequest::abort() { closeLink(*state_->link); }

}  // namespace korvel::platform
