// Win32 folder listing: FindFirstFileA / FindNextFileA over "<folder>\*", closed with FindClose.
#include "platform/folder_listing.h"

#include "platform/win32/windows_prelude.h"

namespace korvel::platform {

struct FolderListing::State {
  win32::ScopedFindHandle find;
  WIN32_FIND_DATAA data{};
  bool pending = false;  // `data` holds the first entry, not yet handed out
};

FolderListing::FolderListing(const std::string& folder) : state_(std::make_unique<State>()) {
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  state_->find.reset(::FindFirstFileA(pattern.c_str(), &state_->data));
  state_->pending = state_->find.valid();
}

FolderListing::~FolderListing() = default;

bool FolderListing::isOpen() const { return state_->find.valid(); }

bool FolderListing::next(FolderEntry& out) {
  if (!state_->find) return false;
  if (state_->pending) {
    state_->pending = false;
  } else if (!::FindNextFileA(state_->find.get(), &state_->data)) {
    return false;
  }
  const WIN32_FIND_DATAA& data = state_->data;
  out.name = data.cFileName;
  out.attributes = data.dwFileAttributes;
  out.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  out.modifiedSeconds = win32::fileTimeToSeconds1970(data.ftLastWriteTime);
  return true;
}

}  // namespace korvel::platform
