// Listing the entries of one folder (FindFirstFile / FindNextFile, or opendir / readdir on POSIX).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace korvel::platform {

struct FolderEntry {
  std::string name;  // the entry's own name, no folder part
  std::uint32_t attributes = 0;  // Win32 attribute bits, kAttributeDirectory for folders
  std::uint64_t size = 0;        // full 64-bit size of a file
  std::int64_t modifiedSeconds = 0;  // last write, seconds since 1970-01-01 UTC
};

// Iterates the entries of a folder, "." and ".." included where the system reports them, in the
// order the file system returns them. The listing is closed when the object goes.
class FolderListing {
 public:
  // `folder` uses the core's '\' separators. isOpen() is false when the folder cannot be read.
  explicit FolderListing(const std::string& folder);
  ~FolderListing();
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  bool isOpen() const;
  // Fills `out` with the next entry; false at the end.
  bool next(FolderEntry& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvel::platform
