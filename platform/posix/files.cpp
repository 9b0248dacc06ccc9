// POSIX files and folders: '\' separators become '/', attributes map to permission bits.
#include "platform/files.h"

#include "platform/faults.h"
#include "platform/posix/unique_fd.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <vector>

namespace korvel::platform {

std::string nativePath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

static std::string corePath(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

bool isAbsolutePath(const std::string& path) { return !path.empty() && (path[0] == '\\' || path[0] == '/'); }

bool startsAtVolumeRoot(const std::string& path) { return isAbsolutePath(path); }

bool pathExists(const std::string& path) {
  if (path.empty()) return false;
  return ::access(nativePath(path).c_str(), F_OK) == 0;
}

static std::uint32_t attributesOf(const struct stat& st) {
  std::uint32_t attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= kAttributeDirectory;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= kAttributeReadOnly;
  if (attributes == 0) attributes = S_ISREG(st.st_mode) ? kAttributeArchive : kAttributeNormal;
  return attributes;
}

bool fileInfo(const std::string& path, FileInfo& out) {
  struct stat st {};
  if (path.empty() || ::stat(nativePath(path).c_str(), &st) != 0) return false;
  out.attributes = attributesOf(st);
  out.size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
  out.modifiedSeconds = static_cast<std::int64_t>(st.st_mtime);
  out.isDirectory = S_ISDIR(st.st_mode);
  return true;
}

std::uint32_t fileAttributes(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(nativePath(path).c_str(), &st) != 0) return kInvalidAttributes;
  return attributesOf(st);
}

bool setFileAttributes(const std::string& path, std::uint32_t attributes) {
  std::string native = nativePath(path);
  struct stat st {};
  if (path.empty() || ::stat(native.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttributeReadOnly) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else {
    // "Normal" (and any attribute set without read-only) makes the file writable for its owner.
    mode |= S_IWUSR;
  }
  return ::chmod(native.c_str(), mode) == 0;
}

bool setFileTime(const std::string& path, std::int64_t secondsSince1970) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(secondsSince1970);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return ::utimensat(AT_FDCWD, nativePath(path).c_str(), times, 0) == 0;
}

bool createNewFile(const std::string& path) {
  if (path.empty() || hasParentComponent(path)) return false;
  const posix::UniqueFd fd(::open(nativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  return static_cast<bool>(fd);
}

bool deleteFile(const std::string& path) {
  if (hasParentComponent(path)) return false;
  std::string native = nativePath(path);
  struct stat st {};
  // DeleteFile refuses folders and read-only files; keep that so callers see the same outcome.
  if (::lstat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 && !S_ISLNK(st.st_mode)) return false;
  return ::unlink(native.c_str()) == 0;
}

bool renameFile(const std::string& from, const std::string& to) {
  if (hasParentComponent(from) || hasParentComponent(to)) return false;
  std::string target = nativePath(to);
  // MoveFile does not replace an existing target.
  if (::access(target.c_str(), F_OK) == 0) return false;
  return ::rename(nativePath(from).c_str(), target.c_str()) == 0;
}

bool replaceFile(const std::string& from, const std::string& to) {
  if (hasParentComponent(from) || hasParentComponent(to)) return false;
  if (faults::failReplaces.load() > 0) {
    faults::failReplaces.fetch_sub(1);
    return false;
  }
  const std::string source = nativePath(from), target = nativePath(to);
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::chmod(source.c_str(), old.st_mode & 07777);
  return ::rename(source.c_str(), target.c_str()) == 0;
}

bool makeExecutable(const std::string& path) {
  const std::string native = nativePath(path);
  struct stat st {};
  if (::stat(native.c_str(), &st) != 0) return false;
  const mode_t readable = st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH);
  return ::chmod(native.c_str(), (st.st_mode & 07777) | (readable >> 2)) == 0;
}

bool flushToDisk(std::FILE* stream) {
  // The data and what is needed to read it back (its size); the time stamps need not wait for the disk.
  return stream && std::fflush(stream) == 0 && ::fdatasync(::fileno(stream)) == 0;
}

bool createDirectory(const std::string& path) {
  if (hasParentComponent(path)) return false;
  if (path.empty()) return false;
  if (::mkdir(nativePath(path).c_str(), 0777) == 0) return true;
  struct stat st {};
  return errno == EEXIST && ::stat(nativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool removeDirectory(const std::string& path) {
  return !path.empty() && !hasParentComponent(path) && ::rmdir(nativePath(path).c_str()) == 0;
}

std::uint64_t freeDiskBytes(const std::string& directory) {
  struct statvfs vfs {};
  std::string native = directory.empty() ? std::string(".") : nativePath(directory);
  if (::statvfs(native.c_str(), &vfs) != 0) return 0;
  return static_cast<std::uint64_t>(vfs.f_bavail) * static_cast<std::uint64_t>(vfs.f_frsize);
}

std::string fullPathName(const std::string& path) {
  std::string native = nativePath(path);
  if (native.empty() || native[0] != '/') {
    std::string cwd = nativePath(currentDirectory());
    native = native.empty() ? cwd : cwd + "/" + native;
  }
  // Resolve "." and ".." textually, as the Windows call does, without touching the disk.
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= native.size()) {
    std::size_t end = native.find('/', start);
    if (end == std::string::npos) end = native.size();
    std::string part = native.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const auto& part : parts) out += "\\" + part;
  if (out.empty()) out = "\\";
  if (!path.empty() && (path.back() == '\\' || path.back() == '/') && out != "\\") out += "\\";
  return out;
}

std::string currentDirectory() {
  std::vector<char> buffer(PATH_MAX + 1);
  if (!::getcwd(buffer.data(), buffer.size())) return {};
  return corePath(buffer.data());
}

bool setCurrentDirectory(const std::string& path) { return !path.empty() && ::chdir(nativePath(path).c_str()) == 0; }

}  // namespace korvel::platform
