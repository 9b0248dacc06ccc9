// POSIX HTTP and HTTPS requests over libcurl, driven step by step like WinINet: the transfer runs on a
// multi handle that is pumped from send() and read(), and a pausing write callback keeps at most one
// network buffer of the body waiting for the reader.
#include "platform/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/environment.h"
#include "platform/posix/curl_handles.h"
#include "platform/posix/curl_tls.h"

namespace korvel::platform {

namespace {

// How long one wait for network activity lasts before the transfer is pumped again.
constexpr int kPollMilliseconds = 1000;
constexpr long kNetworkBufferBytes = 256 * 1024;

bool globalInitDone() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ok;
}

std::optional<std::string> firstVariable(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    auto value = environmentValue(name);
    if (value && !value->empty()) return value;
  }
  return std::nullopt;
}

std::uint32_t wininetError(CURL* easy, CURLcode code) {
  if (const std::uint32_t tls = posix::tlsFailure(easy, code)) return tls;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kErrorInternetNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kErrorInternetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return kErrorInternetTimeout;
    case CURLE_PARTIAL_FILE:
      return kErrorInternetConnectionAborted;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return kErrorInternetConnectionReset;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kErrorHttpInvalidServerResponse;
    case CURLE_URL_MALFORMAT:
      return kErrorInternetInvalidUrl;
    default:
      return kErrorInternetInternal;
  }
}

int schemeNumber(const std::string& name) {
  static const char* const names[] = {"ftp", "gopher", "http", "https", "file", "news",
                                      "mailto", "socks", "javascript", "vbscript", "res"};
  for (int i = 0; i < static_cast<int>(std::size(names)); ++i) {
    if (name.size() == std::strlen(names[i]) &&
        std::equal(name.begin(), name.end(), names[i],
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
      return i + 1;
  }
  return kInternetSchemeUnknown;
}

int defaultPort(int scheme) {
  switch (scheme) {
    case kInternetSchemeFtp: return 21;
    case 2: return 70;  // gopher
    case kInternetSchemeHttp: return 80;
    case kInternetSchemeHttps: return 443;
    case 8: return 1080;  // socks
    default: return 0;
  }
}

bool fits(const std::string& part) { return part.size() < kUrlComponentCapacity; }

bool equalNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string trimmed(const char* data, std::size_t size) {
  std::size_t begin = 0;
  while (begin < size && (data[begin] == ' ' || data[begin] == '\t')) ++begin;
  while (size > begin && std::strchr(" \t\r\n", data[size - 1]) != nullptr) --size;
  return std::string(data + begin, size - begin);
}

// Percent-encodes the bytes a request line cannot carry (blanks, controls, non-ASCII); WinINet
// escapes them the same way.
std::string requestTarget(const std::string& path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (c <= 0x20 || c >= 0x7F) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out.empty() || out[0] != '/' ? "/" + out : out;
}

}  // namespace

bool queryProxySettings(ProxySettings& out, std::uint32_t& error) {
  out.proxy = firstVariable({"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"});
  out.bypass = firstVariable({"no_proxy", "NO_PROXY"});
  out.httpsProxy = firstVariable({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"});
  error = 0;
  return true;
}

bool crackUrl(const std::string& url, UrlParts& out, std::uint32_t& error) {
  const std::size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0) {
    error = kErrorInternetUnrecognizedScheme;
    return false;
  }
  UrlParts parts;
  parts.schemeName = url.substr(0, colon);
  parts.scheme = schemeNumber(parts.schemeName);
  std::size_t pos = colon + 1;
  if (url.compare(pos, 2, "//") == 0) {
    pos += 2;
    const std::size_t end = url.find_first_of("/?#", pos);
    std::string authority = url.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
      const std::size_t close = authority.find(']');
      if (close == std::string::npos) {
        error = kErrorInternetInvalidUrl;
        return false;
      }
      parts.host = authority.substr(0, close + 1);
      if (close + 1 < authority.size()) {
        if (authority[close + 1] != ':') {
          error = kErrorInternetInvalidUrl;
          return false;
        }
        portText = authority.substr(close + 2);
      }
    } else {
      const std::size_t portColon = authority.rfind(':');
      parts.host = authority.substr(0, portColon);
      if (portColon != std::string::npos) portText = authority.substr(portColon + 1);
    }
    parts.port = defaultPort(parts.scheme);
    if (!portText.empty()) {
      if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(),
                                               [](char c) { return c >= '0' && c <= '9'; })) {
        error = kErrorInternetInvalidUrl;
        return false;
      }
      parts.port = std::stoi(portText);
      if (parts.port < 1 || parts.port > 65535) {
        error = kErrorInternetInvalidUrl;
        return false;
      }
    }
    if (end != std::string::npos) parts.path = url.substr(end);
  } else {
    parts.port = defaultPort(parts.scheme);
    parts.path = url.substr(pos);
  }
  if (parts.scheme == kInternetSchemeHttp && parts.host.empty()) {
    error = kErrorInternetInvalidUrl;
    return false;
  }
  if (!fits(parts.schemeName) || !fits(parts.host) || !fits(parts.path)) {
    error = kErrorInsufficientBuffer;
    return false;
  }
  out = std::move(parts);
  error = 0;
  return true;
}

// ---- Session and connection: settings only; nothing touches the network before send() ----------

struct HttpSession::State {
  std::string agent;
  std::string proxy;       // of http requests; empty: connect directly
  std::string httpsProxy;  // of https requests; empty: connect directly
  std::string bypass;
};

struct HttpConnection::State {
  HttpSession::State session;
  std::string host;
  int port = 0;
  std::optional<std::string> user;
  std::optional<std::string> password;
};

HttpSession::HttpSession(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpSession::~HttpSession() = default;

std::unique_ptr<HttpSession> HttpSession::open(const std::string& agent, std::uint32_t accessType,
                                               const ProxySettings& proxy, std::uint32_t& error) {
  if (!globalInitDone()) {
    error = kErrorInternetInternal;
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->agent = agent;
  if (accessType == kInternetOpenTypeProxy) {
    if (!proxy.proxy && !proxy.httpsProxy) {
      error = kErrorInvalidParameter;
      return nullptr;
    }
    state->proxy = proxy.proxy.value_or("");
    state->httpsProxy = proxy.httpsProxy.value_or("");
    state->bypass = proxy.bypass.value_or("");
  }
  error = 0;
  return std::unique_ptr<HttpSession>(new HttpSession(std::move(state)));
}

HttpConnection::HttpConnection(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpConnection::~HttpConnection() = default;

std::unique_ptr<HttpConnection> HttpConnection::connect(HttpSession& session, const std::string& host, int port,
                                                        const char* user, const char* password,
                                                        std::uint32_t& error) {
  if (host.empty() || port < 0 || port > 65535) {
    error = kErrorInternetInvalidUrl;
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->session = *session.state_;
  state->host = host;
  state->port = port;
  if (user) state->user = user;
  if (password) state->password = password;
  error = 0;
  return std::unique_ptr<HttpConnection>(new HttpConnection(std::move(state)));
}

// ---- Kept connections ----------------------------------------------------------------------------

// A multi handle with its one easy handle. The multi handle keeps the connections its transfers
// used, so a pair given back after a clean transfer lets the next request on the same server skip
// the connect; libcurl checks that a kept connection is still alive before it reuses it, and matches
// host, port, proxy and credentials itself.
struct CurlPair {
  posix::CurlMulti multi;
  posix::CurlEasy easy;  // goes before the multi handle
  explicit operator bool() const { return multi && easy; }
};

class CurlPairPool {
 public:
  // A pair whose options are all at their defaults: an idle one, or a new one.
  CurlPair take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        CurlPair pair = std::move(idle_.back());
        idle_.pop_back();
        return pair;
      }
    }
    CurlPair pair{posix::CurlMulti(curl_multi_init()), posix::CurlEasy(curl_easy_init())};
    if (!pair) pair = {};
    return pair;
  }
  // Takes back the pair of a transfer that ended cleanly (already removed from its multi handle).
  void giveBack(CurlPair pair) {
    curl_easy_reset(pair.easy.get());
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < kIdlePairs) {
      idle_.push_back(std::move(pair));
      return;
    }
    pair = {};
  }

 private:
  // As many as run at once, each with its connection, and two for a requester that overlaps them.
  static constexpr std::size_t kIdlePairs = kMaxConnectionsPerServer + 2;
  std::mutex mutex_;
  std::vector<CurlPair> idle_;
};

// Lives as long as the process: its connections close with it.
CurlPairPool& pairPool() {
  static CurlPairPool* pool = new CurlPairPool;
  return *pool;
}

// ---- Request: one easy handle on its own multi handle --------------------------------------------

struct HttpRequest::State {
  // Declared in the order they go last: the easy handle, its multi handle, then the header list the
  // easy handle points at.
  posix::CurlSlist headers;
  posix::CurlMulti multi;
  posix::CurlEasy easy;
  // Request header lines ("Name: value"), Accept first; turned into `headers` by send.
  std::vector<std::string> requestHeaders;
  // Name and value of each header of the latest response block.
  std::vector<std::pair<std::string, std::string>> responseHeaders;
  bool added = false;
  bool headersDone = false;
  bool finished = false;
  bool paused = false;
  std::atomic<bool> aborted{false};
  bool sawLocation = false;
  // A redirect from https to plain http was met and the transfer ended there.
  bool insecureRedirect = false;
  int redirects = 0;
  CURLcode result = CURLE_OK;
  // Body bytes delivered by libcurl and not yet read; refilled only once emptied, so it holds at most
  // one network buffer.
  std::vector<char> pending;
  std::size_t pendingOffset = 0;
  // When the body last brought bytes.
  std::chrono::steady_clock::time_point lastData = std::chrono::steady_clock::now();

  ~State() {
    if (easy && added) curl_multi_remove_handle(multi.get(), easy.get());
    // Only a transfer that ran to its end leaves a connection fit for the next request; any other
    // handles go with the state.
    if (multi && easy && finished && result == CURLE_OK && !aborted.load())
      pairPool().giveBack(CurlPair{std::move(multi), std::move(easy)});
  }

  bool hasPending() const { return pendingOffset < pending.size(); }

  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<State*>(user);
    self->headersDone = true;
    if (self->hasPending()) {
      self->paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    const std::size_t n = size * count;
    self->pending.assign(data, data + n);
    self->pendingOffset = 0;
    self->lastData = std::chrono::steady_clock::now();
    return n;
  }

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<State*>(user);
    const std::size_t n = size * count;
    // Every response of a redirect chain, and every interim one, starts a block of its own.
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
      self->responseHeaders.clear();
    } else if (const void* colon = std::memchr(data, ':', n)) {
      const auto nameLength = static_cast<std::size_t>(static_cast<const char*>(colon) - data);
      self->responseHeaders.emplace_back(trimmed(data, nameLength),
                                         trimmed(data + nameLength + 1, n - nameLength - 1));
    }
    static constexpr char kLocation[] = "location:";
    if (n >= sizeof kLocation - 1 &&
        std::equal(kLocation, kLocation + sizeof kLocation - 1, data,
                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
      self->sawLocation = true;
      long status = 0;
      curl_easy_getinfo(self->easy.get(), CURLINFO_RESPONSE_CODE, &status);
      // A redirect that would be followed ends the transfer here when it leaves TLS, before libcurl
      // sends anything to the plain http address (a redirect past the limit is the caller's answer).
      if (status >= 300 && status < 400 && self->redirects < kMaxRedirects &&
          posix::redirectDropsTls(self->easy.get(),
                                  trimmed(data + sizeof kLocation - 1, n - (sizeof kLocation - 1)))) {
        self->insecureRedirect = true;
        return 0;
      }
    }
    // The blank line that closes a header block. Interim (1xx) blocks, and redirects that libcurl
    // follows, are followed by the real one.
    if (n <= 2 && (n == 0 || data[0] == '\r' || data[0] == '\n')) {
      long status = 0;
      curl_easy_getinfo(self->easy.get(), CURLINFO_RESPONSE_CODE, &status);
      const bool followed = status >= 300 && status < 400 && self->sawLocation && self->redirects < kMaxRedirects;
      self->sawLocation = false;
      if (followed) {
        ++self->redirects;
      } else if (status >= 200) {
        self->headersDone = true;
      }
    }
    return n;
  }

  // libcurl asks this between its steps: a non-zero answer ends the transfer.
  static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<State*>(user)->aborted.load() ? 1 : 0;
  }

  // One round of the transfer: perform, collect completion, and wait for activity when nothing
  // arrived and `wait` is set. An abort wakes the wait.
  void pump(bool wait) {
    int running = 0;
    curl_multi_perform(multi.get(), &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy.get()) {
        finished = true;
        result = message->data.result;
      }
    }
    if (wait && !finished && !hasPending() && !paused)
      curl_multi_poll(multi.get(), nullptr, 0, kPollMilliseconds, nullptr);
  }
};

HttpRequest::HttpRequest(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpRequest::~HttpRequest() = default;

std::unique_ptr<HttpRequest> HttpRequest::open(HttpConnection& connection, const std::string& verb,
                                               const std::string& path, const std::string& version,
                                               const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                                               std::uint32_t& error) {
  const HttpConnection::State& c = *connection.state_;
  auto state = std::make_unique<State>();
  CurlPair pair = pairPool().take();
  state->multi = std::move(pair.multi);
  state->easy = std::move(pair.easy);
  if (!state->multi || !state->easy) {
    error = kErrorInternetInternal;
    return nullptr;
  }
  CURL* easy = state->easy.get();
  std::string host = c.host;
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  const bool secure = (flags & kInternetFlagSecure) != 0;
  const int port = c.port != 0 ? c.port : secure ? 443 : 80;
  const std::string url =
      std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(port) + requestTarget(path);
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb == "GET" ? nullptr : verb.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                   version == "HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, c.session.agent.c_str());
  // An empty proxy switches off the proxy environment variables that libcurl would read itself. An
  // https request goes through its proxy with CONNECT, the TLS session running inside the tunnel.
  curl_easy_setopt(easy, CURLOPT_PROXY, (secure ? c.session.httpsProxy : c.session.proxy).c_str());
  // The proxy's answer to CONNECT is not the server's response.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy, CURLOPT_NOPROXY, c.session.bypass.c_str());
  if (c.user) curl_easy_setopt(easy, CURLOPT_USERNAME, c.user->c_str());
  if (c.password) curl_easy_setopt(easy, CURLOPT_PASSWORD, c.password->c_str());
  if (c.user || c.password) curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
  // Redirects are followed as WinINet follows them: within http and https, never from https back to
  // plain http, a few at most.
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
  posix::configureTls(easy, secure);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // Large network reads: the body is handed over in pieces of this size at most.
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kNetworkBufferBytes);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kConnectTimeoutMs));
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &State::onProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, state.get());
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  // Counts from the request on, so a header that does not come fails as a stalled body does.
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stallTimeoutMs() / 1000));
  // The accept types become one Accept header, joined as WinINet joins them; without any, libcurl's
  // own Accept line is switched off.
  std::string accept = "Accept:";
  for (std::size_t i = 0; i < acceptTypes.size(); ++i) accept += (i ? ", " : " ") + acceptTypes[i];
  state->requestHeaders.push_back(std::move(accept));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &State::onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, state.get());
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &State::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, state.get());
  error = 0;
  return std::unique_ptr<HttpRequest>(new HttpRequest(std::move(state)));
}

bool HttpRequest::addCheckedHeader(const std::string& name, const std::string& value, std::uint32_t& error) {
  State& s = *state_;
  if (s.added) {
    error = kErrorInternetInternal;
    return false;
  }
  auto& lines = s.requestHeaders;
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [&](const std::string& line) {
                               return equalNoCase(line.substr(0, line.find_first_of(":;")), name);
                             }),
              lines.end());
  // An empty value would tell libcurl to leave the header out; "Name;" sends it empty.
  lines.push_back(value.empty() ? name + ";" : name + ": " + value);
  error = 0;
  return true;
}

bool HttpRequest::send(std::uint32_t& error) {
  State& s = *state_;
  if (s.added) {
    error = kErrorInternetInternal;
    return false;
  }
  // Built once: a send that failed before the transfer began may be repeated.
  if (!s.headers) {
    for (const std::string& line : s.requestHeaders) {
      if (!posix::appendLine(s.headers, line)) {
        s.headers.reset();
        error = kErrorInternetInternal;
        return false;
      }
    }
  }
  curl_easy_setopt(s.easy.get(), CURLOPT_HTTPHEADER, s.headers.get());
  if (curl_multi_add_handle(s.multi.get(), s.easy.get()) != CURLM_OK) {
    error = kErrorInternetInternal;
    return false;
  }
  s.added = true;
  while (!s.headersDone && !s.finished && !s.aborted.load()) s.pump(true);
  if (s.aborted.load()) {
    error = kErrorInternetOperationCancelled;
    return false;
  }
  if (s.finished && s.insecureRedirect) {
    error = kErrorInternetHttpsToHttpOnRedirect;
    return false;
  }
  if (s.finished && s.result != CURLE_OK && !s.headersDone) {
    error = wininetError(s.easy.get(), s.result);
    return false;
  }
  error = 0;
  return true;
}

bool HttpRequest::read(void* buffer, std::uint32_t size, std::uint32_t& received, std::uint32_t& error) {
  State& s = *state_;
  received = 0;
  error = 0;
  if (!s.added) {
    error = kErrorInternetInternal;
    return false;
  }
  // libcurl's own low-speed limit averages the speed over several seconds, so a body that stops after
  // a burst would be noticed only that much later: the stall is measured here, from the last bytes
  // that came or from the start of this read, whichever is later (the reader's own pauses, under a
  // rate cap, are no stall).
  const auto readStarted = std::chrono::steady_clock::now();
  const auto stallLimit = std::chrono::milliseconds(stallTimeoutMs());
  for (;;) {
    if (s.aborted.load()) {
      error = kErrorInternetOperationCancelled;
      return false;
    }
    if (!s.finished && !s.hasPending() && !s.paused &&
        std::chrono::steady_clock::now() - std::max(readStarted, s.lastData) > stallLimit) {
      // The connection is of no further use: the transfer ends as a timed-out one.
      s.finished = true;
      s.result = CURLE_OPERATION_TIMEDOUT;
    }
    if (s.hasPending()) {
      const std::size_t n = std::min<std::size_t>(size, s.pending.size() - s.pendingOffset);
      std::memcpy(buffer, s.pending.data() + s.pendingOffset, n);
      s.pendingOffset += n;
      received = static_cast<std::uint32_t>(n);
      return true;
    }
    if (s.finished) {
      if (s.result == CURLE_OK) return true;
      error = wininetError(s.easy.get(), s.result);
      return false;
    }
    if (size == 0) return true;
    if (s.paused) {
      // Resuming hands over the buffer that was held back, straight into `pending`.
      s.paused = false;
      curl_easy_pause(s.easy.get(), CURLPAUSE_CONT);
      continue;
    }
    s.pump(true);
  }
}

int HttpRequest::statusCode() const {
  long status = 0;
  if (!state_->added || curl_easy_getinfo(state_->easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return 0;
  return static_cast<int>(status);
}

std::optional<std::string> HttpRequest::responseHeader(const std::string& name) const {
  if (!state_->headersDone) return std::nullopt;
  for (const auto& [key, value] : state_->responseHeaders)
    if (equalNoCase(key, name)) return value;
  return std::nullopt;
}

void HttpRequest::abort() {
  state_->aborted.store(true);
  curl_multi_wakeup(state_->multi.get());
}

}  // namespace korvel::platform
