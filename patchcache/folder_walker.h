// Walks every file and folder below a root folder and reports each to a TreeWalkVisitor, which
// decides whether to descend and whether to go on. The walker itself changes nothing on disk.
#pragma once

#include <cstddef>
#include <string>

#include "common/text_argument.h"

namespace korvel {

class TreeWalkVisitor;

class FolderWalker {
 public:
  // Paths are built in a buffer of this many bytes: at most kPathCapacity - 1 characters. A folder
  // whose listing pattern (path + "\*") would not fit is skipped with everything below it (neither
  // entered nor left), and so is a file whose path would not fit; the rest of the walk goes on.
  static constexpr std::size_t kPathCapacity = 520;
  // The current directory is read into a buffer of this many bytes; a longer one cannot be walked.
  static constexpr std::size_t kCurrentDirectoryCapacity = 260;

  // `visitor` is not owned and must outlive the walks.
  explicit FolderWalker(TreeWalkVisitor* visitor);
  virtual ~FolderWalker();
  FolderWalker(const FolderWalker&) = delete;
  FolderWalker& operator=(const FolderWalker&) = delete;

  // Walks the tree below `folder` (the current directory when absent): beginWalk, then, when that
  // answers true and the folder exists, enterFolder("") with the folder's contents and
  // leaveFolder(""), then endWalk. Entries come in the order the file system lists them. False only
  // when there is no visitor. Blocks; runs on the calling thread.
  bool walk(TextArgument folder);

  const std::string& root() const { return root_; }

 private:
  // Walks the folder whose path `buffer` holds (ending with '\'); restores `buffer` before returning.
  bool walkFolder(std::string& buffer);

  TreeWalkVisitor* visitor_;
  std::string root_;
  std::size_t rootLength_ = 0;
};

}  // namespace korvel
