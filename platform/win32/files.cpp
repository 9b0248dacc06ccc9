// Win32 files and folders: the *A calls of KERNEL32, paths passed on exactly as the core spells them.
#include "platform/files.h"

#include "platform/faults.h"

#include <io.h>

#include <vector>

#include "platform/win32/windows_prelude.h"

namespace korvel::platform {

using win32::ScopedFileHandle;

std::string nativePath(const std::string& path) { return path; }

bool isAbsolutePath(const std::string& path) { return path.size() >= 2 && path[1] == ':'; }

bool startsAtVolumeRoot(const std::string& path) { return isAbsolutePath(path); }

bool pathExists(const std::string& path) {
  return !path.empty() && ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool fileInfo(const std::string& path, FileInfo& out) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path.empty() || !::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  out.attributes = data.dwFileAttributes;
  out.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out.size = out.isDirectory ? 0 : (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  out.modifiedSeconds = win32::fileTimeToSeconds1970(data.ftLastWriteTime);
  return true;
}

std::uint32_t fileAttributes(const std::string& path) {
  if (path.empty()) return kInvalidAttributes;
  return ::GetFileAttributesA(path.c_str());
}

bool setFileAttributes(const std::string& path, std::uint32_t attributes) {
  return !path.empty() && ::SetFileAttributesA(path.c_str(), attributes) != 0;
}

bool setFileTime(const std::string& path, std::int64_t secondsSince1970) {
  if (path.empty()) return false;
  // FILE_FLAG_BACKUP_SEMANTICS lets the same call stamp a folder.
  ScopedFileHandle file(::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  const FILETIME time = win32::secondsToFileTime(secondsSince1970);
  return ::SetFileTime(file.get(), &time, &time, &time) != 0;
}

bool deleteFile(const std::string& path) {
  return !path.empty() && !hasParentComponent(path) && ::DeleteFileA(path.c_str()) != 0;
}

bool createNewFile(const std::string& path) {
  if (path.empty() || hasParentComponent(path)) return false;
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(file);
  return true;
}

bool renameFile(const std::string& from, const std::string& to) {
  if (hasParentComponent(from) || hasParentComponent(to)) return false;
  return !from.empty() && !to.empty() && ::MoveFileA(from.c_str(), to.c_str()) != 0;
}

bool replaceFile(const std::string& from, const std::string& to) {
  if (hasParentComponent(from) || hasParentComponent(to)) return false;
  if (faults::failReplaces.load() > 0) {
    faults::failReplaces.fetch_sub(1);
    return false;
  }
  return !from.empty() && !to.empty() &&
         ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool makeExecutable(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool flushToDisk(std::FILE* stream) {
  if (!stream || std::fflush(stream) != 0) return false;
  const intptr_t handle = ::_get_osfhandle(::_fileno(stream));
  return handle != -1 && ::FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) != 0;
}

bool createDirectory(const std::string& path) {
  if (hasParentComponent(path)) return false;
  if (path.empty()) return false;
  if (::CreateDirectoryA(path.c_str(), nullptr)) return true;
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool removeDirectory(const std::string& path) {
  return !path.empty() && !hasParentComponent(path) && ::RemoveDirectoryA(path.c_str()) != 0;
}

std::uint64_t freeDiskBytes(const std::string& directory) {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExA(directory.empty() ? nullptr : directory.c_str(), &available, nullptr, nullptr))
    return 0;
  return available.QuadPart;
}

std::string fullPathName(const std::string& path) {
  std::vector<char> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD length = ::GetFullPathNameA(path.empty() ? "." : path.c_str(), static_cast<DWORD>(buffer.size()),
                                            buffer.data(), nullptr);
    if (length == 0) return {};
    // A result that does not fit reports the size it needs, terminator included.
    if (length < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(length + 1);
  }
}

std::string currentDirectory() {
  std::vector<char> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD length = ::GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return {};
    if (length < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(length + 1);
  }
}

bool setCurrentDirectory(const std::string& path) {
  return !path.empty() && ::SetCurrentDirectoryA(path.c_str()) != 0;
}

}  // namespace korvel::platform
