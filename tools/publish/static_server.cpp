// A small static HTTP server for a patch tree.
#include "tools/publish/static_server.h"

#include <chrono>
#include <cstdint>
#include <fstream>
#include <thread>

#include <httplib.h>

#include "tools/publish/byte_ranges.h"

namespace korvel::publish {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kChunk = 64 * 1024;

std::string page(int status, const char* title, const char* text) {
  return "<!DOCTYPE html>\n<html><head><title>" + std::to_string(status) + " " + title +
         "</title></head>\n<body><h1>" + title + "</h1><p>" + text + "</p></body></html>\n";
}

void answerError(httplib::Response& response, int status) {
  response.status = status;
  switch (status) {
    case 403:
      response.set_content(page(403, "Forbidden", "The path leaves the served folder."), "text/html");
      break;
    case 405:
      response.set_header("Allow", "GET, HEAD");
      response.set_content(page(405, "Method Not Allowed", "Only GET is served."), "text/html");
      break;
    default:
      response.status = 404;
      response.set_content(page(404, "Not Found", "The requested file does not exist on this server."), "text/html");
      break;
  }
}

// Logged paths are the client's text: keep control characters out of the log.
std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

StaticServer::StaticServer(std::filesystem::path root, std::ostream& log)
    : root_(std::move(root)), log_(log), server_(std::make_unique<httplib::Server>()) {
  auto get = [this](const httplib::Request& request, httplib::Response& response) {
    int status = 404;
    auto file = resolve(request.path, status);
    if (!file) {
      answerError(response, status);
      return;
    }
    std::error_code ec;
    const std::uint64_t size = fs::file_size(*file, ec);
    const auto modified = fs::last_write_time(*file, ec);
    auto stream = std::make_shared<std::ifstream>(*file, std::ios::binary);
    if (ec || !*stream) {
      answerError(response, 404);
      return;
    }
    // Validators as static servers commonly make them, from the modification time and the size: a
    // client continuing a file sends one back with If-Range and gets the rest only of the same file.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(std::chrono::file_clock::to_sys(modified));
    const std::string etag = fileEtag(seconds, size);
    const std::string lastModified = httpDate(seconds);
    response.set_header("ETag", etag);
    response.set_header("Last-Modified", lastModified);
    response.set_header("Accept-Ranges", "bytes");
    const BytePart part = partOf(request, size, etag, lastModified);
    if (!describePart(request, response, part, size)) {
      response.set_content(std::string(), "text/plain");
      return;
    }
    // A provider of no bytes would go out without a length, ending the kept connection.
    if (part.length == 0) {
      response.set_content(std::string(), "application/octet-stream");
      return;
    }
    // Files are streamed in chunks: a tree may hold files of gigabytes.
    const std::uint64_t first = part.first;
    response.set_content_provider(
        static_cast<std::size_t>(part.length), "application/octet-stream",
        [stream, first](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          std::vector<char> buffer(std::min(length, kChunk));
          stream->clear();
          stream->seekg(static_cast<std::streamoff>(first + offset));
          stream->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
          std::streamsize got = stream->gcount();
          if (got <= 0) return false;
          return sink.write(buffer.data(), static_cast<std::size_t>(got));
        });
  };
  server_->Get(".*", get);
  auto refuse = [](const httplib::Request&, httplib::Response& response) { answerError(response, 405); };
  server_->Post(".*", refuse);
  server_->Put(".*", refuse);
  server_->Patch(".*", refuse);
  server_->Delete(".*", refuse);
  server_->Options(".*", refuse);
  // An updater fetches every file of a run from one kept-alive connection. A reply's header and body go out at once rather than waiting for the client's delayed
  // acknowledgement of the header, which would cost every request of a kept connection 40 ms.
  server_->set_keep_alive_max_count(1000);
  server_->set_tcp_nodelay(true);
  server_->set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    std::string length = response.get_header_value("Content-Length");
    if (length.empty()) length = std::to_string(response.body.size());
    logLine(request.remote_addr + " \"" + request.method + " " + printable(request.target) + "\" " +
            std::to_string(response.status) + " " + length);
  });
}

StaticServer::~StaticServer() { stop(); }

void StaticServer::logLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex_);
  log_ << line << std::endl;
}

bool StaticServer::bind(const std::string& address, int port) {
  std::error_code ec;
  if (!fs::is_directory(root_, ec)) {
    error_ = root_.string() + ": not a folder";
    return false;
  }
  root_ = fs::canonical(root_, ec);
  if (port == 0) {
    port_ = server_->bind_to_any_port(address);
    if (port_ <= 0) {
      error_ = "cannot bind to " + address;
      return false;
    }
    return true;
  }
  if (!server_->bind_to_port(address, port)) {
    error_ = "cannot bind to " + address + ":" + std::to_string(port);
    return false;
  }
  port_ = port;
  return true;
}

void StaticServer::serve() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (stopRequested_) return;
    serving_ = true;
  }
  server_->listen_after_bind();
  serving_ = false;
}

void StaticServer::stop() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    stopRequested_ = true;
  }
  // The listener only honours a stop once its accept loop runs, which follows serve() at once.
  while (serving_ && !server_->is_running()) std::this_thread::yield();
  server_->stop();
}

std::optional<std::filesystem::path> StaticServer::resolve(const std::string& requestPath, int& status) const {
  status = 404;
  if (requestPath.empty() || requestPath.front() != '/') return std::nullopt;
  fs::path candidate = root_;
  std::size_t start = 1;
  while (start <= requestPath.size()) {
    std::size_t end = requestPath.find('/', start);
    if (end == std::string::npos) end = requestPath.size();
    std::string segment = requestPath.substr(start, end - start);
    start = end + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment == ".." || segment.find('\\') != std::string::npos) {
      status = 403;
      return std::nullopt;
    }
    if (segment.find('\0') != std::string::npos) return std::nullopt;
    candidate /= segment;
  }
  std::error_code ec;
  fs::path real = fs::canonical(candidate, ec);
  if (ec) return std::nullopt;
  // A symbolic link inside the tree must not lead out of it.
  auto r = root_.begin();
  auto c = real.begin();
  for (; r != root_.end(); ++r, ++c) {
    if (c == real.end() || *c != *r) {
      status = 403;
      return std::nullopt;
    }
  }
  if (!fs::is_regular_file(real, ec)) return std::nullopt;
  return real;
}

}  // namespace korvel::publish
