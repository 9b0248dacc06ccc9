// Win32 HTTP requests: the WinINet calls, with the session and connection handles kept for the process.
#include "platform/http.h"

#include "platform/win32/windows_prelude.h"

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

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

// The request's handle may be closed from another thread (abort), so it is taken atomically, and
// whoever takes it closes it.
struct HttpRequest::State {
  std::atomic<HINTERNET> handle{nullptr};
  bool sent = false;
  ~State() { close(); }
  void close() {
    if (HINTERNET taken = handle.exchange(nullptr)) ::InternetCloseHandle(taken);
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
  auto state = std::make_unique<State>();
  state->handle.store(handle);
  error = 0;
  return std::unique_ptr<HttpRequest>(new HttpRequest(std::move(state)));
}

bool HttpRequest::addCheckedHeader(const std::string& name, const std::string& value, std::uint32_t& error) {
  HINTERNET handle = state_->handle.load();
  if (!handle) {
    error = kErrorInternetOperationCancelled;
    return false;
  }
  if (state_->sent) {
    error = kErrorInternetInternal;
    return false;
  }
  const std::string line = name + ": " + value + "\r\n";
  if (!::HttpAddRequestHeadersA(handle, line.c_str(), static_cast<DWORD>(line.size()),
                                HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
    error = ::GetLastError();
    return false;
  }
  error = 0;
  return true;
}

bool HttpRequest::send(std::uint32_t& error) {
  HINTERNET handle = state_->handle.load();
  if (!handle) {
    error = kErrorInternetOperationCancelled;
    return false;
  }
  state_->sent = true;
  if (!::HttpSendRequestA(handle, nullptr, 0, nullptr, 0)) {
    error = ::GetLastError();
    return false;
  }
  error = 0;
  return true;
}

bool HttpRequest::read(void* buffer, std::uint32_t size, std::uint32_t& received, std::uint32_t& error) {
  DWORD got = 0;
  HINTERNET handle = state_->handle.load();
  if (!handle) {
    received = 0;
    error = kErrorInternetOperationCancelled;
    return false;
  }
  const BOOL ok = ::InternetReadFile(handle, buffer, size, &got);
  received = got;
  if (!ok) {
    error = ::GetLastError();
    return false;
  }
  error = 0;
  return true;
}

int HttpRequest::statusCode() const {
  HINTERNET handle = state_->handle.load();
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!handle || !::HttpQueryInfoA(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
    return 0;
  return static_cast<int>(status);
}

std::optional<std::string> HttpRequest::responseHeader(const std::string& name) const {
  HINTERNET handle = state_->handle.load();
  if (!handle || !state_->sent) return std::nullopt;
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
      return begin == std::string::npos ? std::string() : buffer.substr(begin, end - begin + 1);
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
    buffer.assign(std::max<std::size_t>(size + 1, name.size() + 1), '\0');
  }
  return std::nullopt;
}

// Closing a handle ends the operations pending on it: a send or read blocked on another thread
// returns with an error.
void HttpRequest::abort() { state_->close(); }

}  // namespace korvel::platform
