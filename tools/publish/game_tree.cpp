// Reads and checks one version of the game.
#include "tools/publish/game_tree.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <cctype>

#include "tools/publish/name_rules.h"

namespace korvel::publish {

namespace {

namespace fs = std::filesystem;

std::int64_t modifiedSeconds(const fs::path& path, std::error_code& ec) {
  auto stamp = fs::last_write_time(path, ec);
  if (ec) return 0;
  auto system = std::chrono::file_clock::to_sys(stamp);
  return std::chrono::floor<std::chrono::seconds>(system).time_since_epoch().count();
}

// "<stem>_<8 hex digits>.delta": the stem of the file whose delta data would take this name.
std::string deltaOwner(const std::string& folded) {
  const std::string suffix = ".delta";
  if (folded.size() < suffix.size() + 9) return {};
  if (folded.compare(folded.size() - suffix.size(), suffix.size(), suffix) != 0) return {};
  std::size_t underscore = folded.size() - suffix.size() - 9;
  if (folded[underscore] != '_') return {};
  for (std::size_t i = underscore + 1; i < underscore + 9; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(folded[i]))) return {};
  }
  return folded.substr(0, underscore);
}

class Scanner {
 public:
  Scanner(bool withDeltas, std::vector<std::string>& problems) : withDeltas_(withDeltas), problems_(problems) {}

  void readFolder(GameEntry& folder, const std::string& localPath) {
    std::error_code ec;
    fs::directory_iterator it(folder.source, ec);
    if (ec) {
      problem(folder.source, "cannot list the folder: " + ec.message());
      return;
    }
    std::vector<fs::path> paths;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      paths.push_back(it->path());
    }
    if (ec) problem(folder.source, "cannot list the folder: " + ec.message());
    std::sort(paths.begin(), paths.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });

    std::map<std::string, std::string> folded;  // folded name -> name as on disk
    for (const auto& path : paths) {
      std::string name = path.filename().string();
      std::string key = foldCase(name);
      auto [existing, fresh] = folded.emplace(key, name);
      if (!fresh) {
        problem(path, "\"" + existing->second + "\" and \"" + name +
                          "\" differ only in letter case; the updater cannot tell them apart");
      }
    }
    for (const auto& path : paths) {
      std::string name = path.filename().string();
      if (auto why = nameProblem(name)) {
        problem(path, *why);
        continue;
      }
      std::string childLocal = localPath.empty() ? name : localPath + "\\" + name;
      if (childLocal.size() > GameTree::kMaxLocalPath) {
        problem(path, "the path is longer than 255 characters");
        continue;
      }
      if (withDeltas_) {
        std::string owner = deltaOwner(foldCase(name));
        auto match = owner.empty() ? folded.end() : folded.find(owner);
        if (match != folded.end()) {
          problem(path, "the name is taken by the delta data of \"" + match->second + "\"");
          continue;
        }
      }
      GameEntry entry;
      entry.name = name;
      entry.source = path;
      if (readEntry(entry, childLocal)) folder.children.push_back(std::move(entry));
    }
  }

 private:
  bool readEntry(GameEntry& entry, const std::string& localPath) {
    std::error_code ec;
    fs::file_status link = fs::symlink_status(entry.source, ec);
    if (ec) return problem(entry.source, "cannot be read: " + ec.message());
    fs::file_status status = fs::status(entry.source, ec);
    if (ec || status.type() == fs::file_type::not_found) {
      return problem(entry.source, fs::is_symlink(link) ? "cannot be read (broken symbolic link)"
                                                        : "cannot be read: " + ec.message());
    }
    if (fs::is_directory(status)) {
      // A linked folder could lead back into the tree or out of it.
      if (fs::is_symlink(link)) return problem(entry.source, "symbolic link to a folder (not followed)");
      entry.directory = true;
      readFolder(entry, localPath);
      return true;
    }
    if (!fs::is_regular_file(status)) return problem(entry.source, "not a regular file or folder");
    entry.size = fs::file_size(entry.source, ec);
    if (ec) return problem(entry.source, "cannot be read: " + ec.message());
    entry.modified = modifiedSeconds(entry.source, ec);
    if (ec) return problem(entry.source, "cannot be read: " + ec.message());
    std::ifstream probe(entry.source, std::ios::binary);
    if (!probe) return problem(entry.source, "cannot be read (permission denied or locked)");
    return true;
  }

  bool problem(const fs::path& path, const std::string& text) {
    problems_.push_back(path.string() + ": " + text);
    return false;
  }

  bool withDeltas_;
  std::vector<std::string>& problems_;
};

}  // namespace

GameEntry GameTree::scan(const std::filesystem::path& folder, bool withDeltas, std::vector<std::string>& problems) {
  GameEntry root;
  root.directory = true;
  root.source = folder;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    problems.push_back(folder.string() + ": not a folder");
    return root;
  }
  Scanner(withDeltas, problems).readFolder(root, "");
  return root;
}

}  // namespace korvel::publish
