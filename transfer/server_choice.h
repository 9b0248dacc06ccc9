// Which server a request asks, and in which order: the session's list of patch servers, with those
// that failed in this run moved to the back, so that a host that is down costs one attempt in a run
// rather than one per file.
//
// Threads: every member may be called from any thread (the transfers fetched ahead of the walk run on
// their own); the list is replaced only while no request runs.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transfer/remote_file.h"
#include "transfer/server_address.h"

namespace korvel {

class ServerChoice {
 public:
  // The session's list (empty: the session has no server, as with a local manifest). Forgets which
  // servers failed.
  void setServers(std::vector<ServerAddress> servers);
  std::vector<ServerAddress> servers() const;
  bool empty() const;
  // The list's first server: the one the session names where one server must stand for the list (the
  // background stager's URLs). nullopt for an empty list.
  std::optional<ServerAddress> preferred() const;

  // The servers to ask for `remote`, in order: its own server alone; else the list (each on
  // remote.listPort when it is above 0), those that have not failed in this run first, each part in
  // the list's order. Empty when there is none.
  std::vector<ServerAddress> candidates(const RemoteFile& remote) const;

  // A server failed a request: it is asked last from now on. Its address as the request used it
  // (with a list port, the list entry of that host and scheme is meant).
  void markFailed(const ServerAddress& server);
  // A request ended in a failure at `server` that is no fault of the server's (an answer such as 404):
  // it is the one lastFailed() names, and keeps its place.
  void noteFailure(const ServerAddress& server);
  // A server served a request: a server that had failed counts as good again.
  void markServed(const ServerAddress& server);
  // The server that failed last in this run (for the texts that name one server); nullopt when none
  // has.
  std::optional<ServerAddress> lastFailed() const;

 private:
  // The list entry `server` stands for (same scheme and host; same port too unless several entries
  // share the host); -1 when none.
  int entryOf(const ServerAddress& server) const;

  mutable std::mutex mutex_;
  std::vector<ServerAddress> servers_;
  std::vector<bool> failed_;
  std::optional<ServerAddress> lastFailed_;
};

}  // namespace korvel
