// Local file utilities: the copy's retry and chunk rules, temporary names, free space, creation of
// folder paths, existence tests and file-time conversion.
#include "common/file_utils.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/files.h"

namespace korvel {

namespace {

std::atomic<std::uint32_t> retryDelayMs{kCopyRetryDelayMs};

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The last component of a folder prefix, to recognise "." and "..".
std::string lastComponent(const std::string& prefix) {
  std::size_t cut = prefix.find_last_of("\\/");
  return cut == std::string::npos ? prefix : prefix.substr(cut + 1);
}

bool isDirectory(const std::string& path) {
  platform::FileInfo info;
  return platform::fileInfo(path, info) && info.isDirectory;
}

}  // namespace

std::uint32_t copyRetryDelayMs() { return retryDelayMs.load(); }

void setCopyRetryDelayMs(std::uint32_t milliseconds) { retryDelayMs.store(milliseconds); }

std::vector<std::uint64_t> copyChunkAttempts(std::uint64_t size) {
  std::vector<std::uint64_t> attempts;
  std::uint64_t chunk = std::min(size, kCopyChunkBytes);
  attempts.push_back(chunk);
  if (chunk == kCopyMinChunkBytes) return attempts;
  for (std::uint64_t divisor = 2;; divisor *= 2) {
    chunk = std::max(chunk / divisor, kCopyMinChunkBytes);
    attempts.push_back(chunk);
    if (chunk == kCopyMinChunkBytes) return attempts;
  }
}

std::string makeTempName(const char* extension, const char* directory) {
  if (!extension) extension = "";
  const bool inDirectory = directory && *directory && platform::pathExists(directory);
  std::string name;
  for (int n = 0; n < 30; ++n) {
    name = inDirectory ? boundedFormat(512, "%s\\spatchfile_%d%s", directory, n, extension)
                       : boundedFormat(512, "spatchfile_%d%s", n, extension);
    // Taken in one step: a probe that opened the name would, on Windows, keep its owner (another
    // transfer ending) from deleting it, and two transfers starting at once could take the same name.
    if (platform::createNewFile(name)) break;
  }
  return name;
}

std::uint64_t freeDiskBytes(const char* directory) {
  return platform::freeDiskBytes(directory ? std::string(directory) : std::string());
}

bool createParentDirectories(const std::string& filePath) {
  std::size_t cut = filePath.find_last_of("\\/");
  if (cut == std::string::npos) return true;
  const std::string folder = filePath.substr(0, cut);
  if (folder.empty() || platform::pathExists(folder)) return true;

  // Walk the components from the start point, building each prefix as a path instead of changing
  // into it, so the process's current directory is never touched.
  std::string prefix;
  std::size_t position = 0;
  if (platform::startsAtVolumeRoot(folder) && folder.size() >= 2 && folder[1] == ':') {
    prefix = folder.substr(0, 2) + "\\";
    position = 2;
  } else if (isSeparator(folder[0])) {
    prefix = "\\";
  }
  while (position < folder.size()) {
    while (position < folder.size() && isSeparator(folder[position])) ++position;
    if (position >= folder.size()) break;
    std::size_t end = folder.find_first_of("\\/", position);
    if (end == std::string::npos) end = folder.size();
    std::string component = folder.substr(position, end - position);
    position = end;
    if (!prefix.empty() && !isSeparator(prefix.back())) prefix += '\\';
    prefix += component;
    if (isDirectory(prefix)) continue;
    if (!platform::createDirectory(prefix)) break;
  }
  return true;
}

bool createDirectoryPath(const char* path, const char* base) {
  if (!path || std::strlen(path) < 2) return false;
  std::string full = path;
  if (!platform::isAbsolutePath(full)) {
    std::string root = base && *base ? std::string(base) : platform::currentDirectory();
    full = root + "\\" + full;
  }
  // A ".." could lead out of the folder the path was built in.
  if (platform::hasParentComponent(full)) return false;
  if (platform::pathExists(full)) return true;
  for (std::size_t i = 0; i < full.size(); ++i) {
    if (!isSeparator(full[i])) continue;
    std::string prefix = full.substr(0, i);
    std::string last = lastComponent(prefix);
    // Nothing to create for the volume root, a drive ("C:"), doubled separators, "." or "..".
    if (last.empty() || last == "." || last == ".." || (prefix.size() == 2 && prefix[1] == ':')) continue;
    if (platform::pathExists(prefix)) continue;
    if (!platform::createDirectory(prefix)) return false;
  }
  if (platform::pathExists(full)) return true;
  return platform::createDirectory(full);
}

bool existsRelative(const char* path, const char* base) {
  if (!path || !*path) return false;
  std::string target = path;
  const bool ownRoot = platform::isAbsolutePath(target) || isSeparator(target[0]);
  if (base && *base && !ownRoot) target = platform::fullPathName(std::string(base) + "\\" + target);
  platform::FileInfo info;
  return platform::fileInfo(target, info);
}

std::int32_t fileTimeToSeconds(std::uint64_t fileTime, std::int32_t* out) {
  const std::uint64_t seconds = (fileTime - 116444736000000000ull) / 10000000ull;
  const auto result = static_cast<std::int32_t>(static_cast<std::uint32_t>(seconds));
  if (out) *out = result;
  return result;
}

}  // namespace korvel
