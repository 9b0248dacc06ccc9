// Small file-system routines shared by the session, the transfer code and the file nodes: temporary
// file names, free disk space, creation of directory paths, existence relative to a base folder and
// the conversion of Windows file times, and the retry and chunk rules of the copy into place
// (common/file_copy.h).
//
// Paths use the core's '\' separators ('/' is accepted too). None of these changes the process's
// current directory; all may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

// The copy's open attempts per file and the pause between two of them.
inline constexpr int kCopyOpenAttempts = 31;
inline constexpr std::uint32_t kCopyRetryDelayMs = 700;
// The largest copy chunk, and the smallest one tried when a buffer cannot be had.
inline constexpr std::uint64_t kCopyChunkBytes = 0x800000;
inline constexpr std::uint64_t kCopyMinChunkBytes = 1024;

// The pause between two open attempts of copyFile (kCopyRetryDelayMs unless a test shortens it).
std::uint32_t copyRetryDelayMs();
void setCopyRetryDelayMs(std::uint32_t milliseconds);

// The buffer sizes copyFile tries for a source of `size` bytes, in order: the size capped at
// kCopyChunkBytes, then that halved, the result quartered, divided by 8 and so on, never below
// kCopyMinChunkBytes, ending with the attempt at exactly kCopyMinChunkBytes.
std::vector<std::uint64_t> copyChunkAttempts(std::uint64_t size);

// A fresh temporary name "spatchfile_<n><extension>" for n = 0..29, in `directory` when it is given
// and exists ("<directory>\spatchfile_<n><extension>"), else in the current directory. The first name
// that does not exist yet is taken and the file created empty (in one step), so the next request
// gets another name; when all 30 exist the last one is returned. At most 511 characters. Null extension: none.
std::string makeTempName(const char* extension, const char* directory);
inline std::string makeTempName(const std::string& extension, const std::string& directory = {}) {
  return makeTempName(extension.c_str(), directory.empty() ? nullptr : directory.c_str());
}

// Bytes available to the caller on the volume of `directory` (null or empty: the current directory);
// 0 when it cannot be read.
std::uint64_t freeDiskBytes(const char* directory);
inline std::uint64_t freeDiskBytes(const std::string& directory) { return freeDiskBytes(directory.c_str()); }

// Creates the folder part of `filePath` (cut at its last '\' or '/'), one component at a time from
// the current directory, or from the volume's root for an absolute path; stops at the first component
// that can be neither found nor created. Always true.
bool createParentDirectories(const std::string& filePath);

// Creates `path` and every missing parent. A path that is not absolute is taken relative to `base`
// (null: the current directory). False for a path shorter than 2 characters or when a folder cannot
// be created; true when the path exists at the end. "." components are skipped; a path with a ".."
// component is refused.
bool createDirectoryPath(const char* path, const char* base);
inline bool createDirectoryPath(const std::string& path, const std::string& base = {}) {
  return createDirectoryPath(path.c_str(), base.empty() ? nullptr : base.c_str());
}

// Without base: true when `path` is not empty and names something that exists. With base: the same
// test for path taken relative to base (a path with its own drive or root stays where it is).
bool existsRelative(const char* path, const char* base);
inline bool existsRelative(const std::string& path, const std::string& base = {}) {
  return existsRelative(path.c_str(), base.empty() ? nullptr : base.c_str());
}

// A FILETIME (100 ns steps since 1601) as seconds since 1970: (fileTime - 116444736000000000) /
// 10000000 in unsigned 64-bit arithmetic, truncated to 32 bits; also stored in *out when out is given.
std::int32_t fileTimeToSeconds(std::uint64_t fileTime, std::int32_t* out);

}  // namespace korvel
