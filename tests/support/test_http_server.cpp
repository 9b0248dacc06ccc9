// The scripted test HTTP server over the header-only HTTP library: one catch-all handler that looks
// the request up in the route table, so counting, recording and proxy requests need nothing special.
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
#include <functional>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "tools/publish/byte_ranges.h"

namespace korvel::test {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFileBlock = 64 * 1024;
// A held body is released after this long even when no test opens its gate, so a broken test
// cannot hang the run.
constexpr auto kGateLimit = std::chrono::seconds(60);

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
  void wait() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, kGateLimit, [this] { return open; });
  }
};

using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (equalsNoCase(key, name)) return value;
  return {};
}

struct TestHttpServer::Impl {
  httplib::Server server;
  std::thread thread;
  int port = 0;

  mutable std::mutex mutex;
  std::map<std::string, Handler> routes;
  std::vector<std::pair<std::string, fs::path>> folders;
  std::unique_ptr<HttpReply> fallback;
  std::map<std::string, std::shared_ptr<Gate>> gates;
  std::map<std::string, int> counts;
  std::vector<RecordedRequest> requests;

  void setRoute(const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex);
    routes[withSlash(path)] = std::move(handler);
  }

  static void reply(const httplib::Request& request, httplib::Response& response, const HttpReply& reply) {
    if (!reply.etag.empty()) response.set_header("ETag", reply.etag);
    if (!reply.lastModified.empty()) response.set_header("Last-Modified", reply.lastModified);
    const publish::BytePart part = reply.status == 200 && reply.answersRanges
                                       ? publish::partOf(request, reply.body.size(), reply.etag, reply.lastModified)
                                       : publish::BytePart{reply.status, 0, reply.body.size()};
    if (!publish::describePart(request, response, part, reply.body.size())) return;
    if (!reply.announcesLength) {
      auto data = std::make_shared<const std::string>(
          reply.body.substr(part.first, std::min<std::size_t>(part.length, reply.dropAfter)));
      const bool drops = reply.dropAfter < part.length;
      response.set_chunked_content_provider(reply.contentType.c_str(),
                                            [data, drops](std::size_t offset, httplib::DataSink& sink) {
                                              if (offset < data->size()) {
                                                const std::size_t n = std::min<std::size_t>(data->size() - offset, 65536);
                                                return sink.write(data->data() + offset, n);
                                              }
                                              if (drops) return false;
                                              sink.done();
                                              return true;
                                            });
      return;
    }
    if (reply.dropAfter >= part.length) {
      response.set_content(reply.body.substr(part.first, part.length), reply.contentType.c_str());
      return;
    }
    auto data = std::make_shared<const std::string>(reply.body.substr(part.first, reply.dropAfter));
    response.set_content_provider(part.length, reply.contentType.c_str(),
                                  [data](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                    if (offset < data->size()) send(sink, data->data() + offset, data->size() - offset);
                                    return false;  // the connection is closed short of the length
                                  });
  }

  static void notFound(const httplib::Request& request, httplib::Response& response) {
    reply(request, response, {404, kNotFoundPage, "text/html"});
  }

  // Streams one file, or its part; false when it cannot be opened.
  static bool serveFile(const fs::path& file, const httplib::Request& request, httplib::Response& response) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) return false;
    const auto size = static_cast<std::uint64_t>(fs::file_size(file, error));
    const auto modified = fs::last_write_time(file, error);
    auto stream = std::make_shared<std::ifstream>(file, std::ios::binary);
    if (error || !*stream) return false;
    const auto seconds = std::chrono::floor<std::chrono::seconds>(std::chrono::file_clock::to_sys(modified));
    const std::string etag = publish::fileEtag(seconds, size);
    const std::string lastModified = publish::httpDate(seconds);
    response.set_header("ETag", etag);
    response.set_header("Last-Modified", lastModified);
    const publish::BytePart part = publish::partOf(request, size, etag, lastModified);
    if (!publish::describePart(request, response, part, size)) return true;
    if (part.length == 0) {
      response.set_content(std::string(), "application/octet-stream");
      return true;
    }
    const std::uint64_t first = part.first;
    response.set_content_provider(part.length, "application/octet-stream",
                                  [stream, first](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                    std::vector<char> block(std::min(length, kFileBlock));
                                    stream->seekg(static_cast<std::streamoff>(first + offset));
                                    stream->read(block.data(), static_cast<std::streamsize>(block.size()));
                                    const auto got = static_cast<std::size_t>(stream->gcount());
                                    return got > 0 && send(sink, block.data(), got);
                                  });
    return true;
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
    {
      std::lock_guard<std::mutex> lock(mutex);
      counts[record.path] += 1;
      requests.push_back(record);
      auto route = routes.find(record.path);
      if (route != routes.end()) {
        handler = route->second;
      } else {
        const std::pair<std::string, fs::path>* best = nullptr;
        for (const auto& folder : folders) {
          if (record.path.compare(0, folder.first.size(), folder.first) == 0 &&
              (!best || folder.first.size() > best->first.size()))
            best = &folder;
        }
        if (best) {
          const fs::path relative = fs::path(record.path.substr(best->first.size())).relative_path();
          const bool escapes = std::any_of(relative.begin(), relative.end(), [](const fs::path& part) {
            return part == "..";
          });
          if (!escapes) {
            file = best->second / relative;
            inFolder = true;
          }
        }
        if (fallback) {
          fallbackReply = *fallback;
          hasFallback = true;
        }
      }
    }
    if (handler) {
      handler(request, response);
    } else if (inFolder && serveFile(file, request, response)) {
    } else if (hasFallback) {
      reply(request, response, fallbackReply);
    } else {
      notFound(request, response);
    }
    // The library would cut whatever was answered to the parsed ranges once more, unchecked against
    // the body's length: the routes above have answered them already, or ignore them. The request
    // object is the library's own modifiable one, handed to handlers as const.
    const_cast<httplib::Request&>(request).ranges.clear();
  }
};

TestHttpServer::TestHttpServer() : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  // One request per connection: a client that pools connections must not hold the server's threads
  // (and its shutdown) in a keep-alive wait.
  impl.server.set_keep_alive_max_count(1);
  auto handler = [&impl](const httplib::Request& request, httplib::Response& response) {
    impl.handle(request, response);
  };
  impl.server.Get(".*", handler);
  impl.server.Post(".*", handler);
  impl.port = impl.server.bind_to_any_port(host());
  if (impl.port <= 0) {
    impl.port = 0;
    return;
  }
  impl.thread = std::thread([&impl] { impl.server.listen_after_bind(); });
  // The socket already accepts connections; stop() only works once the accept loop runs.
  while (!impl.server.is_running()) std::this_thread::yield();
}

TestHttpServer::~TestHttpServer() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& [path, gate] : impl_->gates) gate->release();
  }
  if (impl_->thread.joinable()) {
    impl_->server.stop();
    impl_->thread.join();
  }
}

int TestHttpServer::port() const { return impl_->port; }

std::string TestHttpServer::url(const std::string& path) const {
  return "http://" + host() + ":" + std::to_string(port()) + withSlash(path);
}

void TestHttpServer::serveReply(const std::string& path, HttpReply reply) {
  impl_->setRoute(path, [reply](const httplib::Request& request, httplib::Response& response) {
    Impl::reply(request, response, reply);
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
  impl_->setRoute(path, [location](const httplib::Request&, httplib::Response& response) {
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
  impl_->setRoute(path, [data, chunk, delay](const httplib::Request&, httplib::Response& response) {
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
  auto gate = std::make_shared<Gate>();
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->gates[withSlash(path)] = gate;
  }
  const std::size_t first = std::min(before, data->size());
  impl_->setRoute(path, [data, gate, first](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(data->size(), "application/octet-stream",
                                  [data, gate, first](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                    if (offset < first) return send(sink, data->data() + offset, first - offset);
                                    gate->wait();
                                    return send(sink, data->data() + offset, data->size() - offset);
                                  });
  });
}

void TestHttpServer::openGate(const std::string& path) {
  std::shared_ptr<Gate> gate;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto found = impl_->gates.find(withSlash(path));
    if (found != impl_->gates.end()) gate = found->second;
  }
  if (gate) gate->release();
}

void TestHttpServer::serveSequence(const std::string& path, std::vector<HttpReply> replies) {
  if (replies.empty()) replies.push_back({404, kNotFoundPage, "text/html"});
  auto script = std::make_shared<const std::vector<HttpReply>>(std::move(replies));
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  impl_->setRoute(path, [script, next](const httplib::Request& request, httplib::Response& response) {
    const std::size_t index = std::min(next->fetch_add(1), script->size() - 1);
    Impl::reply(request, response, (*script)[index]);
  });
}

void TestHttpServer::serveFolder(const std::string& urlPrefix, const std::string& root) {
  const std::string folder = platform::nativePath(root);
  std::string prefix = withSlash(urlPrefix);
  if (prefix.back() != '/') prefix += '/';
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->folders.emplace_back(prefix, fs::path(folder));
}

void TestHttpServer::serveAnyPath(HttpReply reply) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->fallback = std::make_unique<HttpReply>(std::move(reply));
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
