// The route of a URL as the tests' servers give it ("http://127.0.0.1:<port>/path"): its one server
// and its path, for the transfers and requests that take routes and remote files.
#pragma once

#include <string>

#include "transfer/http_transfer.h"
#include "transfer/remote_file.h"
#include "transfer/server_address.h"

namespace korvel::test {

// "scheme://authority/path" split into a server (the authority parsed as a list entry; any other
// scheme kept as it stands) and the path after the authority's '/'.
inline RemoteFile remoteOf(const std::string& url) {
  const std::size_t schemeEnd = url.find("://");
  const std::string scheme = schemeEnd == std::string::npos ? "http" : url.substr(0, schemeEnd);
  const std::size_t hostStart = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
  const std::size_t slash = url.find('/', hostStart);
  const std::string authority = url.substr(hostStart, slash == std::string::npos ? std::string::npos : slash - hostStart);
  ServerAddress server = parseServerAddress(authority, 80).value_or(ServerAddress{scheme, authority, 80});
  server.scheme = scheme;
  return RemoteFile::on(server, slash == std::string::npos ? std::string() : url.substr(slash + 1));
}

inline HttpTransfer::Route routeOf(const std::string& url) { return HttpTransfer::Route::to(remoteOf(url), nullptr); }

}  // namespace korvel::test
