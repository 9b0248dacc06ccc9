// Where a patch server lives (scheme, host, port), and the comma-separated lists of them that the
// environment and the session's callers give: "cdn1.example:7000,https://cdn2.example".
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

struct ServerAddress {
  // The port of an entry that names none: the patch service's own for plain HTTP, the usual one for
  // HTTPS.
  static constexpr int kDefaultHttpPort = 7000;
  static constexpr int kDefaultHttpsPort = 443;

  // "http" or "https" for the servers of a list; a server the manifest names may carry another
  // scheme, which its requests then refuse.
  std::string scheme = "http";
  std::string host;  // a name or an address; an IPv6 address in brackets
  int port = kDefaultHttpPort;

  // Reached over TLS.
  bool secure() const { return scheme == "https"; }
  // How the log names the server: "host:port", or "scheme://host:port" for any scheme but http.
  std::string text() const;
  // The URL of `path` on this server: "scheme://host:port/path"; a path that starts with '\' or '/'
  // gives that character as the URL's '/'. At most capacity - 1 characters (511 by default: a
  // request's URL), and every '\' is made '/'.
  std::string url(const std::string& path, std::size_t capacity = 512) const;

  bool operator==(const ServerAddress&) const = default;
};

// Parses one entry "[http://|https://]host[:port]" (scheme in any letter case, blanks around the entry
// allowed). Without a port (or with an empty one, "host:"): `defaultPort` for http, 443 for https. nullopt for an empty host, a host
// with characters no host name or bracketed IPv6 address has, another scheme, a path, or a port that
// is not a number from 1 to 65535.
std::optional<ServerAddress> parseServerAddress(std::string_view entry, int defaultPort);

// The servers a comma-separated list names, in its order, and the entries that do not parse (as they
// stand, blanks trimmed); empty entries (",,") are skipped silently.
struct ServerList {
  std::vector<ServerAddress> servers;
  std::vector<std::string> refused;
};
ServerList parseServerList(std::string_view text, int defaultPort);

// The list in the form parseServerList reads back: each server's text(), joined with ",".
std::string serverListText(const std::vector<ServerAddress>& servers);

// A server the manifest names with its "Server" attribute ("host", or "https://host"): reached on
// `namedPort` when the manifest gives one (above 0), else on its own port, else on `sessionPort` for
// http and 443 for https. A name with another scheme keeps it (its requests fail as requests of that
// scheme do); any other name that does not parse as an entry is taken as the host it names, as it
// stands, so that its request fails where it always did (at the connection) rather than here.
ServerAddress manifestServer(const std::string& name, int namedPort, int sessionPort);

}  // namespace korvel
