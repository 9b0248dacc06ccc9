// The files and folders of one version of the game, read from disk in a fixed order and checked
// against what a manifest can describe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvel::publish {

struct GameEntry {
  std::string name;  // as on disk
  bool directory = false;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // seconds since 1970-01-01 UTC
  std::filesystem::path source;
  std::vector<GameEntry> children;  // folders only, sorted by name (byte order)
};

class GameTree {
 public:
  // The updater composes local paths into buffers of 256 characters.
  static constexpr std::size_t kMaxLocalPath = 255;

  // Reads the folder recursively; files may have any size. Every problem found (a name the manifest
  // cannot carry, two names differing only in letter case within a folder, an unreadable or special
  // file, a symbolic link to a folder, a path too long) is appended to `problems` as a complete message
  // naming the path; `withDeltas` also refuses names that the delta data of a sibling would take. The
  // returned tree holds what could be read (the root entry stands for the folder itself).
  static GameEntry scan(const std::filesystem::path& folder, bool withDeltas, std::vector<std::string>& problems);
};

}  // namespace korvel::publish
