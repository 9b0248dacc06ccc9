// Win32 HTTP requests: the WinINet calls, one RAII owner per HINTERNET.
#include "platform/http.h"

#include "platform/win32/windows_prelude.h"

#include <wininet.h>

#include <atomic>

namespace korvel::platform {

const bool kHttpReadReportsTruncatedBody = false;

namespace {

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { ::InternetCloseHandle(handle); }
};
using ScopedInternetHandle = win32::ScopedHandle<InternetHandleTraits>;

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

struct HttpSession::State {
  ScopedInternetHandle handle;
};

struct HttpConnection::State {
  ScopedInternetHandle handle;
};

// The request's handle may be closed from another thread (abort), so it is taken atomically, and
// whoever takes it closes it.
struct HttpRequest::State {
  std::atomic<HINTERNET> handle{nullptr};
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
  HINTERNET handle = ::InternetOpenA(agent.c_str(), accessType, proxyList, bypassList, 0);
  if (!handle) {
    error = ::GetLastError();
    return nullptr;
  }
  // The same limits as the other backend: a connection attempt, and a body that stalls.
  DWORD connectTimeout = kConnectTimeoutMs;
  DWORD stallTimeout = kStallTimeoutMs;
  ::InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connectTimeout, sizeof connectTimeout);
  ::InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &stallTimeout, sizeof stallTimeout);
  ::InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &stallTimeout, sizeof stallTimeout);
  auto state = std::make_unique<State>();
  state->handle.reset(handle);
  error = 0;
  return std::unique_ptr<HttpSession>(new HttpSession(std::move(state)));
}

HttpConnection::HttpConnection(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpConnection::~HttpConnection() = default;

std::unique_ptr<HttpConnection> HttpConnection::connect(HttpSession& session, const std::string& host, int port,
                                                        const char* user, const char* password,
                                                        std::uint32_t& error) {
  HINTERNET handle = ::InternetConnectA(session.state_->handle.get(), host.c_str(),
                                        static_cast<INTERNET_PORT>(port), user, password, INTERNET_SERVICE_HTTP,
                                        0, 0);
  if (!handle) {
    error = ::GetLastError();
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->handle.reset(handle);
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
  HINTERNET handle = ::HttpOpenRequestA(connection.state_->handle.get(), verb.c_str(), path.c_str(),
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

bool HttpRequest::send(std::uint32_t& error) {
  HINTERNET handle = state_->handle.load();
  if (!handle) {
    error = kErrorInternetOperationCancelled;
    return false;
  }
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

// Closing a handle ends the operations pending on it: a send or read blocked on another thread
// returns with an error.
void HttpRequest::abort() { state_->close(); }

}  // namespace korvel::platform
