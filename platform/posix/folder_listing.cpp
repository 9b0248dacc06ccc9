// POSIX folder listing over opendir/readdir, with stat for each entry's attributes, size and time.
#include "platform/folder_listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include "platform/files.h"

namespace korvel::platform {

struct FolderListing::State {
  DIR* dir = nullptr;
  std::string folder;  // native form, ends with '/'
  ~State() {
    if (dir) ::closedir(dir);
  }
};

FolderListing::FolderListing(const std::string& folder) : state_(std::make_unique<State>()) {
  std::string native = nativePath(folder);
  if (native.empty()) native = ".";
  state_->dir = ::opendir(native.c_str());
  if (native.back() != '/') native += '/';
  state_->folder = native;
}

FolderListing::~FolderListing() = default;

bool FolderListing::isOpen() const { return state_->dir != nullptr; }

bool FolderListing::next(FolderEntry& out) {
  if (!state_->dir) return false;
  while (dirent* entry = ::readdir(state_->dir)) {
    struct stat st {};
    std::string name = entry->d_name;
    if (::stat((state_->folder + name).c_str(), &st) != 0) continue;  // a dangling link: nothing to report
    out.name = name;
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
