// Files and folders: attributes, sizes, times, deletion, renaming, creation, free space and path forms.
//
// Every path the core hands in is spelled as the manifest spells it, with '\' separators; the POSIX
// backend converts them to '/' at this boundary, the Win32 backend passes them on unchanged.
// All calls may be made from any thread; none of them blocks beyond the file system call itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace korvel::platform {

// Win32 file attribute bits (the POSIX backend reports and accepts the same values).
inline constexpr std::uint32_t kAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kAttributeHidden = 0x02;
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeArchive = 0x20;
inline constexpr std::uint32_t kAttributeNormal = 0x80;
inline constexpr std::uint32_t kAttributeSystem = 0x04;
inline constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFF;

// Whether a file's attributes are already what setting kAttributeNormal makes of them, the archive
// mark aside: not read-only, hidden or system, and no folder.
inline bool hasPlainAttributes(std::uint32_t attributes) {
  return attributes != kInvalidAttributes &&
         (attributes & (kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeDirectory)) == 0;
}

struct FileInfo {
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedSeconds = 0;  // last write, seconds since 1970-01-01 UTC
  bool isDirectory = false;
};

// The path as the operating system wants it: separators converted on POSIX, unchanged on Win32.
// Used where a third-party library (zlib, libxml2) opens a file by name.
std::string nativePath(const std::string& path);

// Whether a path names a location independent of the current directory: on Win32 a drive letter and
// a colon ("C:..."), on POSIX a leading separator ('\' or '/').
bool isAbsolutePath(const std::string& path);

// Whether the path starts at the root of a volume (Win32: "X:"; POSIX: a leading separator); the
// walk of createParentDirectories starts there instead of at the current directory.
bool startsAtVolumeRoot(const std::string& path);

// Access test: true when the path names an existing file or folder.
bool pathExists(const std::string& path);

// stat-like query; false when the path does not exist.
bool fileInfo(const std::string& path, FileInfo& out);

// GetFileAttributes: kInvalidAttributes when the path does not exist.
std::uint32_t fileAttributes(const std::string& path);

// SetFileAttributes. On POSIX "normal" makes the file writable for its owner, "read-only" removes the
// write bits and "hidden" changes nothing (POSIX has no hidden bit; a leading dot is a naming rule).
bool setFileAttributes(const std::string& path, std::uint32_t attributes);

// Sets the last-write (and last-access) time; Win32 also sets the creation time, which POSIX lacks.
bool setFileTime(const std::string& path, std::int64_t secondsSince1970);

// Whether a path has ".." among its components ('\' and '/' both separate). Opening, creating,
// renaming and deleting refuse such paths: whatever a manifest names must stay inside the folder it
// was placed in.
bool hasParentComponent(const std::string& path);

bool deleteFile(const std::string& path);
// Creates an empty file at `path` only when nothing is there yet, in one step (O_EXCL, CREATE_NEW), and
// keeps no handle open: of two callers after one name only one gets it, and nobody holds the file
// while its owner deletes it. False when something exists at `path` or it cannot be created.
bool createNewFile(const std::string& path);
bool renameFile(const std::string& from, const std::string& to);  // fails when `to` exists
// Renames `from` over `to`, replacing it in one step (MoveFileEx with MOVEFILE_REPLACE_EXISTING and
// MOVEFILE_WRITE_THROUGH; rename on POSIX): a reader sees the old file or the new one, never a mix.
// Fails on Win32 while another process holds `to` open without sharing its deletion. On POSIX the
// new file takes the old one's permission bits, so an updated program stays executable.
bool replaceFile(const std::string& from, const std::string& to);
// Lets the file be run as a program: nothing to do on Win32; on POSIX every class that may read the
// file may now execute it.
bool makeExecutable(const std::string& path);
// Writes the stream's buffered bytes and asks the system to put the file's data on the disk
// (FlushFileBuffers; fsync), so that a rename that follows cannot outlive its content.
bool flushToDisk(std::FILE* stream);
bool createDirectory(const std::string& path);                    // true when it exists already
bool removeDirectory(const std::string& path);                    // only an empty folder

// Bytes available to the caller on the volume of `directory` (the current directory when empty);
// 0 when it cannot be read.
std::uint64_t freeDiskBytes(const std::string& directory);

// GetFullPathName: `path` made absolute against the current directory, with "." and ".." resolved
// textually. Separators in the result are those of the core ('\').
std::string fullPathName(const std::string& path);

// The process's current directory, with '\' separators.
std::string currentDirectory();
bool setCurrentDirectory(const std::string& path);

}  // namespace korvel::platform
