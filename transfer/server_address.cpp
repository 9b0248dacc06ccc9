// Patch server addresses and their lists: parsing, the log's form, and URLs.
#include "transfer/server_address.h"

#include <algorithm>
#include <cctype>

#include "common/text_format.h"

namespace korvel {

namespace {

constexpr std::string_view kHttp = "http://";
constexpr std::string_view kHttps = "https://";

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return text;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

bool isNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// A port of 1 to 65535 written in at most five decimal digits.
std::optional<int> portNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return value;
}

}  // namespace

std::string ServerAddress::text() const {
  return (scheme == "http" ? std::string() : scheme + "://") + host + ":" + std::to_string(port);
}

std::string ServerAddress::url(const std::string& path, std::size_t capacity) const {
  const char* rest = path.c_str();
  if (rest[0] == '\\' || rest[0] == '/') ++rest;
  std::string out = boundedFormat(capacity, "%s://%s:%d/%s", scheme.c_str(), host.c_str(), port, rest);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

std::optional<ServerAddress> parseServerAddress(std::string_view entry, int defaultPort) {
  entry = trimmed(entry);
  ServerAddress server;
  if (startsWithNoCase(entry, kHttps)) {
    server.scheme = "https";
    entry.remove_prefix(kHttps.size());
  } else if (startsWithNoCase(entry, kHttp)) {
    entry.remove_prefix(kHttp.size());
  } else if (entry.find("://") != std::string_view::npos) {
    return std::nullopt;  // a scheme the updater does not speak
  }
  // A trailing '/' is as good as none; anything after it would be a path, which an entry has not.
  if (!entry.empty() && entry.back() == '/') entry.remove_suffix(1);

  std::string_view host = entry;
  std::string_view port;
  if (!entry.empty() && entry.front() == '[') {
    const std::size_t close = entry.find(']');
    if (close == std::string_view::npos || close < 3) return std::nullopt;
    host = entry.substr(0, close + 1);
    const std::string_view inside = entry.substr(1, close - 1);
    if (!std::all_of(inside.begin(), inside.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
        }))
      return std::nullopt;
    const std::string_view after = entry.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
    }
  } else {
    const std::size_t colon = entry.find(':');
    if (colon != std::string_view::npos) {
      host = entry.substr(0, colon);
      port = entry.substr(colon + 1);
    }
    if (host.empty() || !std::all_of(host.begin(), host.end(), isNameCharacter)) return std::nullopt;
  }
  server.host = std::string(host);
  if (!port.empty()) {
    const std::optional<int> number = portNumber(port);
    if (!number) return std::nullopt;
    server.port = *number;
  } else {
    server.port = server.secure() ? ServerAddress::kDefaultHttpsPort : defaultPort;
  }
  return server;
}

ServerList parseServerList(std::string_view text, int defaultPort) {
  ServerList list;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view entry = trimmed(text.substr(0, comma));
    if (!entry.empty()) {
      if (std::optional<ServerAddress> server = parseServerAddress(entry, defaultPort)) {
        list.servers.push_back(std::move(*server));
      } else {
        list.refused.emplace_back(entry);
      }
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return list;
}

std::string serverListText(const std::vector<ServerAddress>& servers) {
  std::string text;
  for (const ServerAddress& server : servers) {
    if (!text.empty()) text += ',';
    text += server.text();
  }
  return text;
}

ServerAddress manifestServer(const std::string& name, int namedPort, int sessionPort) {
  const int port = namedPort > 0 ? namedPort : sessionPort;
  if (std::optional<ServerAddress> server = parseServerAddress(name, port)) {
    if (namedPort > 0) server->port = namedPort;
    return *server;
  }
  ServerAddress server{"http", name, port};
  const std::size_t separator = name.find("://");
  if (separator != std::string::npos && separator > 0) {
    server.scheme = name.substr(0, separator);
    server.host = name.substr(separator + 3);
  }
  return server;
}

}  // namespace korvel
