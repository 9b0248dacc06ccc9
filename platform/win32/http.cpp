// Win32 HTTP requests: the WinINet calls, with the session and connection handles kept for the process
// and a request's blocking calls made on pool threads.
#include "platform/http.h"

#include "platform/win32/windows_prelude.h"

#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace korvel::platform {

const bool kHttpReadReportsTruncatedBody = false;

namespace {

constexpr DWORD kProxyBufferSize = 4096;

#ifndef _WIN64
static_assert(sizeof(URL_COMPONENTSA) == 60, "the cracked URL structure of the 32-bit program");
#endif

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

}  // namespace

struct HttpSession::State {
  HINTERNET handle = nullptr;  // kept by the handle cache
};

struct HttpConnection::State {
  HINTERNET handle = nullptr;  // kept by the handle cache
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

DWORD WINAPI sendOnPool(LPVOID context) {
  const std::unique_ptr<SharedLink> reference(static_cast<SharedLink*>(context));
  RequestLink& link = **reference;
  BOOL ok = FALSE;
  DWORD error = kErrorInternetOperationCancelled;
  if (HINTERNET handle = enterCall(link)) {
    ok = ::HttpSendRequestA(handle, nullptr, 0, nullptr, 0);
    error = ok ? 0 : ::GetLastError();
    leaveCall(link);
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
      if (!ok) {
        link.failed = true;
        link.readError = error;
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
          DWORD stallTimeout = kStallTimeoutMs;
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
  HINTERNET sessionHandle = session.state_->handle;
  char sessionName[32];
  std::snprintf(sessionName, sizeof sessionName, "%p", static_cast<void*>(sessionHandle));
  const std::string key = keyOf({sessionName, host, std::to_string(port), user ? "u" + std::string(user) : "-",
                                 password ? "p" + std::string(password) : "-"});
  DWORD failure = 0;
  HINTERNET handle = handleCache().find(
      key,
      [&] {
        return ::InternetConnectA(sessionHandle, host.c_str(), static_cast<INTERNET_PORT>(port), user, password,
                                  INTERNET_SERVICE_HTTP, 0, 0);
      },
      failure);
  if (!handle) {
    error = failure;
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->handle = handle;
  error = 0;
  return std::unique_ptr<HttpConnection>(new HttpConnection(std::move(state)));
}

HttpRequest::HttpRequest(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpRequest::~HttpRequest() = default;

std::unique_ptr<HttpRequest> HttpRequest::open(HttpConnection& connection, const std::string& verb,
                                               const std::string& path, const std::string& version,
                                               const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                                               std::uint32_t& error) {
  std::vector<LPCSTR> types;
  types.reserve(acceptTypes.size() + 1);
  for (const std::string& type : acceptTypes) types.push_back(type.c_str());
  types.push_back(nullptr);
  HINTERNET handle = ::HttpOpenRequestA(connection.state_->handle, verb.c_str(), path.c_str(),
                                        version.c_str(), nullptr, types.data(), flags, 0);
  if (!handle) {
    error = ::GetLastError();
    return nullptr;
  }
  // Windows hands the session's time-outs down to its requests; Wine does not (its requests would wait
  // for a stalled body without end), so each request is given them itself.
  DWORD stallTimeout = kStallTimeoutMs;
  ::InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &stallTimeout, sizeof stallTimeout);
  ::InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &stallTimeout, sizeof stallTimeout);
  auto state = std::make_unique<State>();
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
  if (!startOnPool(sendOnPool, state_->link, failure)) {
    error = failure;
    return false;
  }
  ExclusiveLock hold(link.lock);
  while (!link.sendDone && !link.closing) ::SleepConditionVariableSRW(&link.changed, &hold.lock(), INFINITE, 0);
  if (link.closing) {
    error = kErrorInternetOperationCancelled;
    return false;
  }
  error = link.sendError;
  return link.sendOk;
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
