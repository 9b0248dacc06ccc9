// Where a request goes: a path on either the one server the manifest names for it, or the session's
// list of patch servers (optionally all asked on one port the manifest gives); and what a file
// download fetches from there and where it puts it.
#pragma once

#include <cstdint>
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

// One file download: where from, where to, and what the finished file is.
struct FileDownload {
  RemoteFile remote;
  // The local file, in the core's form ('\' separators; '/' is read the same).
  std::string localFile;
  // 1: the body is gzip data, expanded into localFile.
  int decompress = 0;
  // Bytes of the body on the wire, and of the finished file; 0 when not given.
  std::int64_t downloadSize = 0;
  std::int64_t totalSize = 0;
  // What a checked download's finished file must be, besides totalSize: its CRC-32 and its lowercase
  // hexadecimal SHA-256, each when given.
  std::optional<std::uint32_t> crc;
  std::optional<std::string> sha256;

  bool operator==(const FileDownload&) const = default;
};

}  // namespace korvel
