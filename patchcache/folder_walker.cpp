// The folder tree walker.
#include "patchcache/folder_walker.h"

#include "patchcache/tree_walk_visitor.h"
#include "platform/files.h"
#include "platform/folder_listing.h"

namespace korvel {

namespace {
constexpr std::size_t kMaxPathChars = FolderWalker::kPathCapacity - 1;
// Length of the listing pattern added to a folder's path: "\*".
constexpr std::size_t kPatternChars = 2;
}  // namespace

FolderWalker::FolderWalker(TreeWalkVisitor* visitor) : visitor_(visitor) {}

FolderWalker::~FolderWalker() = default;

bool FolderWalker::walk(TextArgument folder) {
  if (!visitor_) return false;
  if (folder.present()) {
    root_ = folder.str();
  } else {
    root_ = platform::currentDirectory();
    if (root_.size() >= kCurrentDirectoryCapacity) root_.clear();
  }
  rootLength_ = root_.size();

  if (visitor_->beginWalk(root_)) {
    const std::uint32_t attributes = root_.empty() ? platform::kInvalidAttributes : platform::fileAttributes(root_);
    if (attributes != platform::kInvalidAttributes && rootLength_ + kPatternChars <= kMaxPathChars) {
      std::string buffer = root_;
      buffer.reserve(kPathCapacity);
      if (visitor_->enterFolder("", root_, attributes)) {
        buffer += '\\';
        walkFolder(buffer);
      }
      visitor_->leaveFolder("", root_);
    }
  }
  visitor_->endWalk(root_);
  return true;
}

bool FolderWalker::walkFolder(std::string& buffer) {
  const std::size_t folderLength = buffer.size();
  platform::FolderListing listing(buffer.substr(0, folderLength - 1));
  if (!listing.isOpen()) return true;

  bool result = true;
  platform::FolderEntry entry;
  while (result && listing.next(entry)) {
    const bool isFolder = (entry.attributes & platform::kAttributeDirectory) != 0;
    if (isFolder && (entry.name == "." || entry.name == "..")) continue;
    const std::size_t needed = folderLength + entry.name.size() + (isFolder ? kPatternChars : 0);
    if (needed > kMaxPathChars) continue;

    buffer += entry.name;
    const std::string relativePath = buffer.substr(rootLength_ + 1);
    if (isFolder) {
      result = visitor_->enterFolder(relativePath, root_, entry.attributes);
      if (result) {
        buffer += '\\';
        result = walkFolder(buffer);
      }
      // The visitor hears about leaving every folder it was asked to enter, even on the way out of a
      // stopped walk.
      const bool left = visitor_->leaveFolder(relativePath, root_);
      result = result && left;
    } else {
      result = visitor_->visitFileWithTime(relativePath, root_, entry.attributes, entry.size, entry.modifiedSeconds);
    }
    buffer.resize(folderLength);
  }
  return result;
}

}  // namespace korvel
