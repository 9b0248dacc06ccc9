// POSIX folder listing over opendir/readdir, with fstatat for each entry's attributes, size and time.
#include "platform/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/files.h"

namespace korvel::platform {

struct FolderListing::State {
  DIR* dir = nullptr;
  ~State() {
    if (dir) ::closedir(dir);
  }
};

FolderListing::FolderListing(const std::string& folder) : state_(std::make_unique<State>()) {
  std::string native = nativePath(folder);
  if (native.empty()) native = ".";
  state_->dir = ::opendir(native.c_str());
}

FolderListing::~FolderListing() = default;

bool FolderListing::isOpen() const { return state_->dir != nullptr; }

bool FolderListing::next(FolderEntry& out) {
  if (!state_->dir) return false;
  while (dirent* entry = ::readdir(state_->dir)) {
    struct stat st {};
    // Relative to the open folder: no walk of the whole path for every entry. Links are followed,
    // and a dangling one has nothing to report.
    if (::fstatat(::dirfd(state_->dir), entry->d_name, &st, 0) != 0) continue;
    out.name.assign(entry->d_name);
    out.attributes = S_ISDIR(st.st_mode) ? kAttributeDirectory : 0;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) out.attributes |= kAttributeReadOnly;
    if (out.attributes == 0) out.attributes = kAttributeArchive;
    out.size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    out.modifiedSeconds = static_cast<std::int64_t>(st.st_mtime);
    return true;
  }
  return false;
}

}  // namespace korvel::platform
