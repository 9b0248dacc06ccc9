// The order in which requests ask the session's patch servers.
#include "transfer/server_choice.h"

namespace korvel {

void ServerChoice::setServers(std::vector<ServerAddress> servers) {
  std::lock_guard<std::mutex> lock(mutex_);
  servers_ = std::move(servers);
  failed_.assign(servers_.size(), false);
  lastFailed_.reset();
}

std::vector<ServerAddress> ServerChoice::servers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return servers_;
}

bool ServerChoice::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return servers_.empty();
}

std::optional<ServerAddress> ServerChoice::preferred() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (servers_.empty()) return std::nullopt;
  return servers_.front();
}

std::vector<ServerAddress> ServerChoice::candidates(const RemoteFile& remote) const {
  if (remote.server) return {*remote.server};
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ServerAddress> order;
  order.reserve(servers_.size());
  for (bool failedPart : {false, true}) {
    for (std::size_t i = 0; i < servers_.size(); ++i) {
      if (failed_[i] != failedPart) continue;
      ServerAddress server = servers_[i];
      if (remote.listPort > 0) server.port = remote.listPort;
      order.push_back(std::move(server));
    }
  }
  return order;
}

int ServerChoice::entryOf(const ServerAddress& server) const {
  int sameHost = -1;
  int hosts = 0;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    const ServerAddress& entry = servers_[i];
    if (entry.scheme != server.scheme || entry.host != server.host) continue;
    if (entry.port == server.port) return static_cast<int>(i);
    sameHost = static_cast<int>(i);
    ++hosts;
  }
  // Asked on a list port: the one entry of that host and scheme is the server meant.
  return hosts == 1 ? sameHost : -1;
}

void ServerChoice::markFailed(const ServerAddress& server) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastFailed_ = server;
  const int entry = entryOf(server);
  if (entry >= 0) failed_[static_cast<std::size_t>(entry)] = true;
}

void ServerChoice::noteFailure(const ServerAddress& server) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastFailed_ = server;
}

void ServerChoice::markServed(const ServerAddress& server) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int entry = entryOf(server);
  if (entry >= 0) failed_[static_cast<std::size_t>(entry)] = false;
}

std::optional<ServerAddress> ServerChoice::lastFailed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastFailed_;
}

}  // namespace korvel
