// A small static HTTP server for a patch tree: GET (and HEAD) of files below one root folder, a short
// HTML page for anything missing, one log line per request. Everything is sent as it is stored (the
// files of a patch tree are already gzip data), never re-encoded. Files carry an ETag and a
// Last-Modified; a single byte range is answered with 206 (416 past the end), guarded by If-Range,
// so that an interrupted download can continue where it broke off.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

namespace httplib {
class Server;
}

namespace korvel::publish {

class StaticServer {
 public:
  // `log` receives one line per request; it must outlive the server.
  StaticServer(std::filesystem::path root, std::ostream& log);
  ~StaticServer();
  StaticServer(const StaticServer&) = delete;
  StaticServer& operator=(const StaticServer&) = delete;

  // Binds to address:port (port 0 picks a free one). False with error() set when the root is not a
  // folder or the address cannot be bound.
  bool bind(const std::string& address, int port);
  // The bound port (after bind).
  int port() const { return port_; }

  // Serves requests until stop(); blocks the calling thread. Returns at once when stop() came first.
  void serve();
  // Ends serve() from any thread; safe to call more than once and before serve() has started.
  void stop();

  // The file a request path names, or nullopt with the HTTP status to answer (403 for a path that
  // tries to leave the root, 404 for anything else that is not a readable regular file below it).
  std::optional<std::filesystem::path> resolve(const std::string& requestPath, int& status) const;

  const std::string& error() const { return error_; }

 private:
  void logLine(const std::string& line);

  std::filesystem::path root_;
  std::ostream& log_;
  std::mutex logMutex_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::mutex stateMutex_;
  bool stopRequested_ = false;
  std::atomic<bool> serving_{false};
  std::string error_;
};

}  // namespace korvel::publish
