// Where a request goes: a path on either the one server the manifest names for it, or the session's
// list of patch servers (optionally all asked on one port the manifest gives).
#pragma once

#include <optional>
#include <string>

#include "transfer/server_address.h"

namespace korvel {

struct RemoteFile {
  // The server the manifest names for this element ("Server"), which alone is asked; nullopt: the
  // session's list (ServerChoice).
  std::optional<ServerAddress> server;
  // A "Port" the manifest gives without naming a server: every server of the list is asked on it.
  // 0: each server on its own port. Not used with `server`, which carries its port.
  int listPort = 0;
  // The path on the server, as the manifest spells it ('\' or '/' separators).
  std::string path;

  // A path on one given server.
  static RemoteFile on(ServerAddress server, std::string path) {
    return RemoteFile{std::move(server), 0, std::move(path)};
  }
  // A path on the session's list of servers.
  static RemoteFile onList(std::string path, int listPort = 0) {
    return RemoteFile{std::nullopt, listPort, std::move(path)};
  }

  bool operator==(const RemoteFile&) const = default;
};

}  // namespace korvel
