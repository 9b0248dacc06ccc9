// The scripted test HTTP server over the HTTP library: one catch-all handler that looks the request up
// in the route table, so counting, recording and proxy requests need nothing special. The server drives
// its connections itself (FaultServer), so that a route can reset one before any byte of the answer,
// hold one, or notice that its client has gone, and so that TLS can sit underneath.
#include "tests/support/test_http_server.h"

#include <httplib.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/files.h"
#include "tests/support/connection_security.h"
#include "tests/support/server_socket.h"
#include "tools/publish/byte_ranges.h"

namespace korvel::test {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFileBlock = 64 * 1024;
// How often a held answer looks whether its client is still there.
constexpr auto kHoldPoll = std::chrono::milliseconds(50);
constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

const char* const kNotFoundPage =
    "<html><head><title>404 Not Found</title></head>"
    "<body><h1>Not Found</h1><p>The requested URL was not found on this server.</p></body></html>\n";
const char* const kUnauthorizedPage =
    "<html><head><title>401 Authorization Required</title></head>"
    "<body><h1>Authorization Required</h1><p>This server could not verify that you are authorized to "
    "access the document requested.</p></body></html>\n";

bool equalsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The URL path of a request target: the absolute form a proxy receives loses its scheme and authority,
// and the query is dropped.
std::string pathOfTarget(const std::string& target) {
  std::string path = target;
  const std::size_t scheme = path.find("://");
  if (scheme != std::string::npos && scheme < path.find('/')) {
    const std::size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? "/" : path.substr(slash);
  }
  const std::size_t query = path.find('?');
  if (query != std::string::npos) path.erase(query);
  return path;
}

std::string withSlash(const std::string& path) { return !path.empty() && path[0] == '/' ? path : "/" + path; }

std::string asPrefix(const std::string& urlPrefix) {
  std::string prefix = withSlash(urlPrefix);
  if (prefix.back() != '/') prefix += '/';
  return prefix;
}

// The entry of `entries` (prefix, value) with the longest prefix of `path`, or nullptr.
template <typename Entry>
const Entry* longestPrefix(const std::vector<Entry>& entries, const std::string& path) {
  const Entry* best = nullptr;
  for (const auto& entry : entries) {
    if (path.compare(0, entry.first.size(), entry.first) == 0 && (!best || entry.first.size() > best->first.size()))
      best = &entry;
  }
  return best;
}

// Sends what it can of data; false once the client has gone.
bool send(httplib::DataSink& sink, const char* data, std::size_t size) {
  return size == 0 || (sink.is_writable() && sink.write(data, size));
}

struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;

  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      open = true;
    }
    changed.notify_all();
  }
};

// One accepted connection as the HTTP library reads and writes it, over plain TCP or a secure channel.
// Used by the one thread that serves the connection.
class Connection final : public httplib::Stream {
 public:
  Connection(server_socket::Handle socket, std::unique_ptr<SecureChannel> channel)
      : socket_(socket), channel_(std::move(channel)) {}

  bool is_readable() const override {
    return (channel_ && channel_->buffered()) || server_socket::readable(socket_, std::chrono::seconds(5));
  }
  bool is_writable() const override { return !resetting_; }
  ssize_t read(char* data, size_t size) override {
    return channel_ ? channel_->read(data, size) : server_socket::receive(socket_, data, size);
  }
  ssize_t write(const char* data, size_t size) override {
    // A reset answer sends nothing, so the library gives the connection up at its first write.
    if (resetting_) return -1;
    return channel_ ? channel_->write(data, size) : server_socket::send(socket_, data, size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    server_socket::address(socket_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    server_socket::address(socket_, false, ip, port);
  }
  socket_t socket() const override { return static_cast<socket_t>(socket_); }

  // Waits for the next request until `limit`, or until `stillServing` turns false.
  template <typename StillServing>
  bool awaitRequest(std::chrono::milliseconds limit, StillServing stillServing) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (stillServing()) {
      if ((channel_ && channel_->buffered()) || server_socket::readable(socket_, std::chrono::milliseconds(10)))
        return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
    }
    return false;
  }

  void resetBeforeHeader() { resetting_ = true; }
  bool resetting() const { return resetting_; }
  bool peerGone() const { return server_socket::peerGone(socket_); }

  // Ends the connection: with a reset when an answer asked for one, in order when the last answer went
  // out whole, else as a dropped connection (without the TLS close notification).
  void close(bool whole) {
    if (resetting_) {
      server_socket::reset(socket_);
      return;
    }
    if (whole && channel_) channel_->closeNotify();
    server_socket::close(socket_);
  }

 private:
  server_socket::Handle socket_;
  std::unique_ptr<SecureChannel> channel_;
  bool resetting_ = false;
};

// The connection the calling server thread is serving, for the routes that reset or hold it.
thread_local Connection* currentConnection = nullptr;

// The HTTP library's server with the connections driven here: the library's own loop cannot reset a
// connection before the header or tell a route that its client has gone.
class FaultServer final : public httplib::Server {
 public:
  std::unique_ptr<ConnectionSecurity> security;
  std::size_t requestsPerConnection = 1;

 private:
  bool process_and_close_socket(socket_t sock) override {
    const auto handle = static_cast<server_socket::Handle>(sock);
    std::unique_ptr<SecureChannel> channel;
    if (security) {
      channel = security->accept(handle);
      if (!channel) {
        server_socket::close(handle);
        return false;
      }
    }
    Connection connection(handle, std::move(channel));
    currentConnection = &connection;
    const auto keepAlive = std::chrono::seconds(keep_alive_timeout_sec_);
    bool whole = false;
    for (std::size_t served = 0; served < requestsPerConnection; ++served) {
      if (!connection.awaitRequest(keepAlive, [this] { return svr_sock_ != INVALID_SOCKET; })) break;
      bool closed = false;
      whole = process_request(connection, served + 1 == requestsPerConnection, closed, nullptr);
      // The library reports an answer whose header could not be written as served: a reset one must
      // still end the connection here.
      if (!whole || closed || connection.resetting()) break;
    }
    currentConnection = nullptr;
    connection.close(whole);
    return whole;
  }
};

// Where the bytes of a body come from: `size` bytes at `offset` from the body's start put into `into`;
// the count read, 0 on failure.
using BodyReader = std::function<std::size_t(std::uint64_t offset, char* into, std::size_t size)>;

// The faults of one body (of the part sent): bytes after which the connection drops, bytes after which
// it stalls (with the gate that lets it go on).
struct BodyFaults {
  std::uint64_t dropAfter = kNoLimit;
  std::uint64_t stallAfter = kNoLimit;
  std::shared_ptr<Gate> gate;

  // What the record says of a part of `length` bytes after its status.
  std::string note(std::uint64_t length) const {
    std::string text;
    if (dropAfter < length) text += " break-at " + std::to_string(dropAfter);
    if (stallAfter < length && stallAfter <= dropAfter) text += " stall-at " + std::to_string(stallAfter);
    return text;
  }
};

// A folder's fault plan with its counts.
struct FaultState {
  FaultPlan plan;
  std::shared_ptr<Gate> gate;
  std::map<std::string, std::size_t> requests;  // per path
  std::map<std::string, std::size_t> order;     // per path: the how-manieth path asked for
};

}  // namespace

HttpReply HttpReply::reset() {
  HttpReply reply(200);
  reply.beforeHeader = BeforeHeader::Reset;
  return reply;
}

HttpReply HttpReply::stall() {
  HttpReply reply(200);
  reply.beforeHeader = BeforeHeader::Stall;
  return reply;
}

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (equalsNoCase(key, name)) return value;
  return {};
}

struct TestHttpServer::Impl {
  // One request on its way: records its answer once and tells the observer.
  struct Exchange {
    Impl& impl;
    std::size_t index;
    bool answered = false;

    void answer(const std::string& text) {
      if (answered) return;
      answered = true;
      RecordedRequest record;
      std::function<void(const RecordedRequest&)> observer;
      {
        std::lock_guard<std::mutex> lock(impl.mutex);
        impl.requests[index].answer = text;
        record = impl.requests[index];
        observer = impl.observer;
      }
      if (observer) observer(record);
    }
  };
  using Handler = std::function<void(const httplib::Request&, httplib::Response&, Exchange&)>;

  FaultServer server;
  std::thread thread;
  int port = 0;
  std::string scheme = "http";
  std::chrono::milliseconds holdLimit{0};

  mutable std::mutex mutex;
  std::map<std::string, Handler> routes;
  std::vector<std::pair<std::string, fs::path>> folders;
  std::vector<std::pair<std::string, std::shared_ptr<FaultState>>> faults;
  std::unique_ptr<HttpReply> fallback;
  std::map<std::string, std::shared_ptr<Gate>> gates;
  // Holds an answer that has no gate of its own (the catch-all reply's) until the server's end.
  std::shared_ptr<Gate> endGate = std::make_shared<Gate>();
  std::vector<std::shared_ptr<Gate>> everyGate{endGate};  // replaced ones too: the server's end releases them all
  std::map<std::string, int> counts;
  std::vector<RecordedRequest> requests;
  std::function<void(const RecordedRequest&)> observer;

  void setRoute(const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex);
    routes[withSlash(path)] = std::move(handler);
  }

  std::shared_ptr<Gate> newGate() {
    auto gate = std::make_shared<Gate>();
    everyGate.push_back(gate);
    return gate;
  }

  // The gate of a path or prefix, made when it has none.
  std::shared_ptr<Gate> gateOf(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    auto& gate = gates[name];
    if (!gate) gate = newGate();
    return gate;
  }

  // Holds the calling connection until the gate opens (the server's end opens every gate), the hold
  // limit passes or the client goes away; false in the last case.
  bool hold(const std::shared_ptr<Gate>& given) const {
    Gate& gate = given ? *given : *endGate;
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(gate.mutex);
    while (!gate.open) {
      if (holdLimit.count() > 0 && std::chrono::steady_clock::now() - start >= holdLimit) return true;
      if (currentConnection && currentConnection->peerGone()) return false;
      gate.changed.wait_for(lock, kHoldPoll);
    }
    return true;
  }

  // Sends the part [first, first + length) of a body through a provider, with its faults.
  void provide(httplib::Response& response, const std::string& contentType, BodyReader read, std::uint64_t first,
               std::uint64_t length, const BodyFaults& faults, bool announcesLength) {
    const std::uint64_t sendable = std::min(length, faults.dropAfter);
    const std::uint64_t stallAt = faults.stallAfter < length ? faults.stallAfter : kNoLimit;
    auto stalled = std::make_shared<bool>(false);
    // 1: bytes went out; 0: the sendable bytes are all out; -1: the client has gone.
    auto next = [this, read = std::move(read), first, sendable, stallAt, gate = faults.gate, stalled](
                    std::uint64_t offset, httplib::DataSink& sink) -> int {
      if (offset == stallAt && !*stalled) {
        *stalled = true;
        if (!hold(gate)) return -1;
      }
      if (offset >= sendable) return 0;
      const std::uint64_t end = offset < stallAt ? std::min(sendable, stallAt) : sendable;
      std::vector<char> block(static_cast<std::size_t>(std::min<std::uint64_t>(end - offset, kFileBlock)));
      const std::size_t got = read(first + offset, block.data(), block.size());
      return got > 0 && send(sink, block.data(), got) ? 1 : -1;
    };
    if (announcesLength) {
      // Asked past the bytes it may send, the provider says no, and the connection closes short of the
      // length announced.
      response.set_content_provider(static_cast<std::size_t>(length), contentType.c_str(),
                                    [next](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                      return next(offset, sink) > 0;
                                    });
      return;
    }
    const bool drops = sendable < length;
    response.set_chunked_content_provider(contentType.c_str(), [next, drops](std::size_t offset, httplib::DataSink& sink) {
      const int sent = next(offset, sink);
      if (sent > 0) return true;
      if (sent < 0 || drops) return false;
      sink.done();
      return true;
    });
  }

  // Resets or holds the connection as the reply asks, before anything is sent; false when nothing is
  // to be sent any more.
  bool beforeHeader(const HttpReply& reply, const std::shared_ptr<Gate>& gate, Exchange& exchange) const {
    if (reply.beforeHeader == HttpReply::BeforeHeader::Reset) {
      exchange.answer("reset");
      if (currentConnection) currentConnection->resetBeforeHeader();
      return false;
    }
    if (reply.beforeHeader == HttpReply::BeforeHeader::Stall) {
      exchange.answer("stall");
      if (!hold(gate)) {
        // The client has gone: nothing is to be written to it.
        if (currentConnection) currentConnection->resetBeforeHeader();
        return false;
      }
    }
    return true;
  }

  void reply(const httplib::Request& request, httplib::Response& response, const HttpReply& reply,
             const std::shared_ptr<Gate>& gate, Exchange& exchange) {
    if (!beforeHeader(reply, gate, exchange)) return;
    for (const auto& [name, value] : reply.headers) response.set_header(name, value);
    if (!reply.etag.empty()) response.set_header("ETag", reply.etag);
    if (!reply.lastModified.empty()) response.set_header("Last-Modified", reply.lastModified);
    const publish::BytePart part = reply.status == 200 && reply.answersRanges
                                       ? publish::partOf(request, reply.body.size(), reply.etag, reply.lastModified)
                                       : publish::BytePart{reply.status, 0, reply.body.size()};
    const bool whole = publish::describePart(request, response, part, reply.body.size());
    BodyFaults faults;
    faults.dropAfter = reply.dropAfter == std::string::npos ? kNoLimit : reply.dropAfter;
    faults.stallAfter = reply.stallAfter == std::string::npos ? kNoLimit : reply.stallAfter;
    faults.gate = gate;
    exchange.answer(std::to_string(part.status) + (whole ? faults.note(part.length) : std::string()));
    if (!whole) return;
    if (reply.announcesLength && faults.dropAfter >= part.length && faults.stallAfter >= part.length) {
      response.set_content(reply.body.substr(part.first, part.length), reply.contentType.c_str());
      return;
    }
    auto body = std::make_shared<const std::string>(reply.body);
    BodyReader read = [body](std::uint64_t offset, char* into, std::size_t size) {
      const std::size_t n = std::min<std::size_t>(size, body->size() - static_cast<std::size_t>(offset));
      std::copy_n(body->data() + offset, n, into);
      return n;
    };
    provide(response, reply.contentType, std::move(read), part.first, part.length, faults, reply.announcesLength);
  }

  // Streams one file, or its part, with the faults of its plan; false when it cannot be opened.
  bool serveFile(const fs::path& file, const httplib::Request& request, httplib::Response& response,
                 bool validators, const BodyFaults& faults, Exchange& exchange) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) return false;
    const auto size = static_cast<std::uint64_t>(fs::file_size(file, error));
    const auto modified = fs::last_write_time(file, error);
    auto stream = std::make_shared<std::ifstream>(file, std::ios::binary);
    if (error || !*stream) return false;
    std::string etag;
    std::string lastModified;
    if (validators) {
      const auto seconds = std::chrono::floor<std::chrono::seconds>(std::chrono::file_clock::to_sys(modified));
      etag = publish::fileEtag(seconds, size);
      lastModified = publish::httpDate(seconds);
      response.set_header("ETag", etag);
      response.set_header("Last-Modified", lastModified);
    }
    const publish::BytePart part = publish::partOf(request, size, etag, lastModified);
    const bool whole = publish::describePart(request, response, part, size);
    exchange.answer(std::to_string(part.status) + (whole ? faults.note(part.length) : std::string()));
    if (!whole) return true;
    if (part.length == 0) {
      response.set_content(std::string(), "application/octet-stream");
      return true;
    }
    BodyReader read = [stream](std::uint64_t offset, char* into, std::size_t size) {
      stream->clear();
      stream->seekg(static_cast<std::streamoff>(offset));
      stream->read(into, static_cast<std::streamsize>(size));
      return static_cast<std::size_t>(stream->gcount());
    };
    provide(response, "application/octet-stream", std::move(read), part.first, part.length, faults, true);
    return true;
  }

  void notFound(const httplib::Request& request, httplib::Response& response, Exchange& exchange) {
    reply(request, response, {404, kNotFoundPage, "text/html"}, nullptr, exchange);
  }

  // What a fault plan holds for the next request of a path: a reply in the file's place, or the file
  // with the faults of its body. Called with the mutex held.
  static void planFor(FaultState& state, const std::string& path, const HttpReply*& instead, BodyFaults& faults,
                      bool& validators) {
    const FaultPlan& plan = state.plan;
    const std::size_t seen = state.requests[path]++;
    const std::size_t number = state.order.emplace(path, state.order.size()).first->second;
    validators = plan.validators;
    if (seen < plan.firstRequests && !plan.firstReplies.empty()) {
      instead = &plan.firstReplies[(number + seen) % plan.firstReplies.size()];
      return;
    }
    faults.dropAfter = plan.breakEvery;
    const std::size_t served = seen - std::min(seen, plan.firstRequests);
    if (plan.stallCount == 0 || served < plan.stallCount) faults.stallAfter = plan.stallAfter;
    faults.gate = state.gate;
  }

  void handle(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest record;
    record.method = request.method;
    record.target = request.target;
    record.path = pathOfTarget(request.target);
    for (const auto& [key, value] : request.headers) record.headers.emplace(key, value);

    Handler handler;
    fs::path file;
    bool inFolder = false;
    HttpReply fallbackReply;
    bool hasFallback = false;
    std::optional<HttpReply> instead;
    BodyFaults bodyFaults;
    bool validators = true;
    std::shared_ptr<Gate> planGate;
    std::size_t index = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      counts[record.path] += 1;
      index = requests.size();
      requests.push_back(record);
      auto route = routes.find(record.path);
      if (route != routes.end()) {
        handler = route->second;
      } else {
        if (const auto* folder = longestPrefix(folders, record.path)) {
          const fs::path relative = fs::path(record.path.substr(folder->first.size())).relative_path();
          const bool escapes = std::any_of(relative.begin(), relative.end(), [](const fs::path& part) {
            return part == "..";
          });
          if (!escapes) {
            file = folder->second / relative;
            inFolder = true;
          }
        }
        if (const auto* plan = longestPrefix(faults, record.path)) {
          const HttpReply* replaced = nullptr;
          planFor(*plan->second, record.path, replaced, bodyFaults, validators);
          if (replaced) instead = *replaced;
          planGate = plan->second->gate;
        }
        if (fallback) {
          fallbackReply = *fallback;
          hasFallback = true;
        }
      }
    }
    Exchange exchange{*this, index};
    if (handler) {
      handler(request, response, exchange);
    } else if (instead && instead->status != 200) {
      reply(request, response, *instead, planGate, exchange);
    } else if (instead && !beforeHeader(*instead, planGate, exchange)) {
    } else if (inFolder && serveFile(file, request, response, validators, bodyFaults, exchange)) {
    } else if (hasFallback) {
      reply(request, response, fallbackReply, nullptr, exchange);
    } else {
      notFound(request, response, exchange);
    }
    exchange.answer(std::to_string(response.status));
    // The library would cut whatever was answered to the parsed ranges once more, unchecked against
    // the body's length: the routes above have answered them already, or ignore them. The request
    // object is the library's own modifiable one, handed to handlers as const.
    const_cast<httplib::Request&>(request).ranges.clear();
  }

};

TestHttpServer::TestHttpServer() : TestHttpServer(Options{}) {}

TestHttpServer::TestHttpServer(const Options& options) : impl_(std::make_unique<Impl>()) { start(options, nullptr); }

TestHttpServer::TestHttpServer(const Options& options, std::unique_ptr<ConnectionSecurity> security)
    : impl_(std::make_unique<Impl>()) {
  impl_->scheme = "https";
  if (security) start(options, std::move(security));
}

void TestHttpServer::start(const Options& options, std::unique_ptr<ConnectionSecurity> security) {
  Impl& impl = *impl_;
  impl.server.security = std::move(security);
  impl.server.requestsPerConnection = std::max<std::size_t>(options.requestsPerConnection, 1);
  impl.holdLimit = options.holdLimit;
  if (options.threads > 0) {
    const std::size_t threads = options.threads;
    impl.server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  }
  auto handler = [&impl](const httplib::Request& request, httplib::Response& response) {
    impl.handle(request, response);
  };
  impl.server.Get(".*", handler);
  impl.server.Post(".*", handler);
  if (options.port > 0) {
    impl.port = impl.server.bind_to_port(host(), options.port) ? options.port : 0;
  } else {
    impl.port = std::max(impl.server.bind_to_any_port(host()), 0);
  }
  if (impl.port == 0) return;
  impl.thread = std::thread([&impl] { impl.server.listen_after_bind(); });
  // The socket already accepts connections; stop() only works once the accept loop runs.
  while (!impl.server.is_running()) std::this_thread::yield();
}

TestHttpServer::~TestHttpServer() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& gate : impl_->everyGate) gate->release();
  }
  if (impl_->thread.joinable()) {
    impl_->server.stop();
    impl_->thread.join();
  }
}

int TestHttpServer::port() const { return impl_->port; }

std::string TestHttpServer::url(const std::string& path) const {
  return impl_->scheme + "://" + host() + ":" + std::to_string(port()) + withSlash(path);
}

std::string TestHttpServer::localhostUrl(const std::string& path) const {
  return impl_->scheme + "://localhost:" + std::to_string(port()) + withSlash(path);
}

void TestHttpServer::serveReply(const std::string& path, HttpReply reply) {
  std::shared_ptr<Gate> gate;
  if (reply.beforeHeader == HttpReply::BeforeHeader::Stall || reply.stallAfter != std::string::npos)
    gate = impl_->gateOf(withSlash(path));
  Impl& impl = *impl_;
  impl.setRoute(path, [&impl, reply, gate](const httplib::Request& request, httplib::Response& response,
                                           Impl::Exchange& exchange) {
    impl.reply(request, response, reply, gate, exchange);
  });
}

void TestHttpServer::serveBytes(const std::string& path, std::string body, int status) {
  serveReply(path, {status, std::move(body), "application/octet-stream"});
}

void TestHttpServer::serveGzip(const std::string& path, const std::string& plain) {
  serveReply(path, {200, gzip(plain), "application/x-gzip"});
}

void TestHttpServer::serveNotFoundPage(const std::string& path) { serveReply(path, {404, kNotFoundPage, "text/html"}); }

void TestHttpServer::serveAuthorizationRequired(const std::string& path) {
  serveReply(path, {401, kUnauthorizedPage, "text/html"});
}

void TestHttpServer::serveEmpty(const std::string& path) { serveReply(path, {200, std::string(), "text/plain"}); }

void TestHttpServer::serveRedirect(const std::string& path, const std::string& location) {
  impl_->setRoute(path, [location](const httplib::Request&, httplib::Response& response, Impl::Exchange&) {
    response.status = 302;
    response.set_header("Location", location);
    response.set_content("moved", "text/plain");
  });
}

void TestHttpServer::serveTruncated(const std::string& path, std::string body, std::size_t sentBytes) {
  HttpReply reply(200, std::move(body));
  reply.dropAfter = std::min(sentBytes, reply.body.size());
  serveReply(path, std::move(reply));
}

void TestHttpServer::serveSlow(const std::string& path, std::string body, std::size_t chunkBytes,
                               std::chrono::milliseconds delay) {
  auto data = std::make_shared<const std::string>(std::move(body));
  const std::size_t chunk = std::max<std::size_t>(chunkBytes, 1);
  impl_->setRoute(path, [data, chunk, delay](const httplib::Request&, httplib::Response& response, Impl::Exchange&) {
    response.set_content_provider(data->size(), "application/octet-stream",
                                  [data, chunk, delay](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                    if (offset > 0) std::this_thread::sleep_for(delay);
                                    const std::size_t n = std::min(chunk, data->size() - offset);
                                    return send(sink, data->data() + offset, n);
                                  });
  });
}

void TestHttpServer::serveGated(const std::string& path, std::string body, std::size_t before) {
  auto data = std::make_shared<const std::string>(std::move(body));
  std::shared_ptr<Gate> gate;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    gate = impl_->newGate();
    impl_->gates[withSlash(path)] = gate;
  }
  const std::size_t first = std::min(before, data->size());
  Impl& impl = *impl_;
  impl.setRoute(path, [&impl, data, gate, first](const httplib::Request&, httplib::Response& response, Impl::Exchange&) {
    response.set_content_provider(data->size(), "application/octet-stream",
                                  [&impl, data, gate, first](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                    if (offset < first) return send(sink, data->data() + offset, first - offset);
                                    return impl.hold(gate) && send(sink, data->data() + offset, data->size() - offset);
                                  });
  });
}

void TestHttpServer::openGate(const std::string& pathOrPrefix) {
  std::shared_ptr<Gate> gate;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (const std::string& name : {withSlash(pathOrPrefix), asPrefix(pathOrPrefix)}) {
      auto found = impl_->gates.find(name);
      if (found != impl_->gates.end()) {
        gate = found->second;
        break;
      }
    }
  }
  if (gate) gate->release();
}

void TestHttpServer::serveSequence(const std::string& path, std::vector<HttpReply> replies) {
  if (replies.empty()) replies.push_back({404, kNotFoundPage, "text/html"});
  const bool stalls = std::any_of(replies.begin(), replies.end(), [](const HttpReply& reply) {
    return reply.beforeHeader == HttpReply::BeforeHeader::Stall || reply.stallAfter != std::string::npos;
  });
  auto gate = stalls ? impl_->gateOf(withSlash(path)) : nullptr;
  auto script = std::make_shared<const std::vector<HttpReply>>(std::move(replies));
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  Impl& impl = *impl_;
  impl.setRoute(path, [&impl, script, next, gate](const httplib::Request& request, httplib::Response& response,
                                                  Impl::Exchange& exchange) {
    const std::size_t index = std::min(next->fetch_add(1), script->size() - 1);
    impl.reply(request, response, (*script)[index], gate, exchange);
  });
}

void TestHttpServer::serveFolder(const std::string& urlPrefix, const std::string& root) {
  const std::string folder = platform::nativePath(root);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->folders.emplace_back(asPrefix(urlPrefix), fs::path(folder));
}

void TestHttpServer::serveAnyPath(HttpReply reply) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->fallback = std::make_unique<HttpReply>(std::move(reply));
}

void TestHttpServer::setFaults(const std::string& urlPrefix, FaultPlan plan) {
  const std::string prefix = asPrefix(urlPrefix);
  auto state = std::make_shared<FaultState>();
  state->plan = std::move(plan);
  state->gate = impl_->gateOf(prefix);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto& faults = impl_->faults;
  faults.erase(std::remove_if(faults.begin(), faults.end(), [&](const auto& entry) { return entry.first == prefix; }),
               faults.end());
  faults.emplace_back(prefix, std::move(state));
}

int TestHttpServer::requestCount(const std::string& path) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto found = impl_->counts.find(withSlash(path));
  return found == impl_->counts.end() ? 0 : found->second;
}

int TestHttpServer::totalRequests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return static_cast<int>(impl_->requests.size());
}

std::vector<RecordedRequest> TestHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests;
}

void TestHttpServer::setRequestObserver(std::function<void(const RecordedRequest&)> observer) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->observer = std::move(observer);
}

std::string TestHttpServer::gzip(const std::string& data) {
  z_stream stream{};
  // 16 + 15 window bits: a gzip wrapper around the deflate data.
  if (deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace korvel::test
