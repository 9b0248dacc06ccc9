// Shared helpers of the publishing tests: files of bytes, gzip expansion the way the updater does it,
// and a reader that resolves a written manifest's paths with the updater's own rules.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel::test {

using Bytes = std::vector<std::uint8_t>;

Bytes readBytes(const std::filesystem::path& path);
// Creates parent folders; fails the current test when the file cannot be written.
void writeBytes(const std::filesystem::path& path, const Bytes& data);
void writeText(const std::filesystem::path& path, const std::string& text);
// Sets a file's modification time in seconds since 1970.
void setModifiedTime(const std::filesystem::path& path, std::int64_t seconds);

// Deterministic pseudo-random bytes; `alphabet` < 256 gives low-entropy data with many repeats.
Bytes randomBytes(std::size_t count, std::uint64_t seed, unsigned alphabet = 256);

// Expands a gzip file with zlib's gzip reader, as the updater expands downloaded files (the trailer
// is checked); nullopt when that fails.
std::optional<Bytes> gunzipFile(const std::filesystem::path& path);
// Decodes a body as the updater decodes the manifest in memory: skips the gzip header, then inflates
// the raw deflate data in one call (no trailer check).
std::optional<std::string> inflateLikeUpdater(const std::string& body);

struct ResolvedDelta {
  std::string remotePath;
  std::uint32_t crc = 0;
  std::int32_t downloadSize = 0;
  std::int32_t totalSize = 0;
};

struct ResolvedFile {
  std::string localPath;   // as the updater composes it (the key of its caches)
  std::string remotePath;  // as the updater composes it, before it becomes a URL
  std::map<std::string, std::string> attributes;
  std::uint32_t crc = 0;   // "CRC" read the way the updater reads it
  std::vector<ResolvedDelta> deltas;
};

struct ResolvedManifest {
  bool ok = false;
  std::string error;
  std::map<std::string, std::string> rootAttributes;
  std::map<std::string, std::string> productAttributes;
  bool productHasChildren = false;  // any child node, text included
  std::map<std::string, std::string> distributionAttributes;
  bool distributionHasChildren = false;
  std::vector<std::string> directoryLocalPaths;
  std::vector<ResolvedFile> files;
};

// Reads a gzip-compressed manifest file and resolves every directory, file and delta path of the
// named distribution with the updater's path rules.
ResolvedManifest resolveManifest(const std::filesystem::path& manifestFile, const std::string& distribution);

// The URL the updater requests for a server-side path (backslashes become slashes).
std::string updaterUrlPath(const std::string& remotePath);

// Every regular file below a folder with its bytes, keyed by the path relative to it.
std::map<std::string, Bytes> snapshotTree(const std::filesystem::path& folder);

}  // namespace korvel::test
