// The node of a "Directory" element: a folder of the installation that composes the local and
// server-side paths its files and folders inherit, is created before they are checked or downloaded,
// and is removed when marked for deletion.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "manifest/manifest_node.h"

namespace korvel {

class DirectoryNode : public ManifestNode {
 public:
  // The name of the older per-folder cache document, deleted with the folder.
  static constexpr const char* kFolderCacheName = "PatchCache.xml";

  DirectoryNode();
  ~DirectoryNode() override;

  // Slot 5: the base attributes and "LocalName" (a copy of "Name" when absent). localPath becomes
  // resolvePathToken(localName, LocalPath, parentLocal) and remotePath resolvePathToken(localName,
  // RemotePath, parentRemote), except that localName "." adds no component to the parent's paths;
  // then the "Directory" and "File" children are read with those paths.
  // False as soon as the session is cancelled.
  bool readFromElement(xmlNode* element, ManifestNode* parent, ManifestNode* previous, TextArgument parentLocal,
                       TextArgument parentRemote, ProductHandle* product) override;
  // Slot 6: false at once when cancelled; creates the folder unless delete-marked, then the walk with
  // fullPath(basePath); false when any child answered false.
  bool crcScan(bool withCrc, ScanFlags flags, TextArgument basePath) override;
  // Slot 10: the folder's path under the given root is stored and passed to the children.
  void setRootOverride(TextArgument path) override;
  // Slot 12: the base walk with fullPath(basePath).
  void scan(ScanFlags flags, ProductHandle* product, TextArgument basePath) override;
  // Slot 14: "LocalName".
  void readOwnAttributes(xmlNode* element) override;
  // As the base, but "." (the parent's own folder) is allowed as "Name" and as "LocalName".
  std::optional<std::string> refusedName() const override;
  std::int64_t countDownloadBytes(ProductHandle* pass, ScanFlags flags) override;
  std::int64_t countCompressedBytes(ProductHandle* pass, ScanFlags flags) override;
  std::int64_t largestSpaceNeeded(ProductHandle* pass, ScanFlags flags) override;
  // Slot 18: 1 without visiting the children when the directory needs no update; 0 when it is
  // delete-marked; otherwise creates the folder and downloads the children into it until a stopping
  // code (result::isStoppingCode) or a cancel, keeping the last non-zero result.
  int download(ScanFlags flags, ProductHandle* product, TextArgument basePath) override;
  // Slot 19: the children first; then a delete-marked directory removes its folder (never for "." or a
  // nameless directory, whose folder is the parent's) and is no longer marked.
  bool removeDeleted(TextArgument basePath) override;
  int countFiles(ProductHandle* pass, ScanFlags flags) override;
  std::int64_t countBytes(ProductHandle* pass, ScanFlags flags) override;

  // The folder on disk at walk time. For localName ".": the directory's own absolute LocalPath, else
  // basePath, else the current directory. Otherwise the same three each followed by \localName. A
  // directory without a name is its parent's folder (basePath). A folder of more than 255 characters
  // is never created, and the files below it refuse it.
  std::string fullPath(TextArgument basePath) const;

  // Deletes the folder's old cache document, then the folder itself; failures are ignored.
  static void removeFolder(const std::string& path);

 private:
  // The directory's own "LocalPath" when it names an absolute folder. A composed path does not count:
  // it is the parent's LocalPath followed by this name, and when the parent has a LocalPath of its
  // own that is not the parent's folder (which is LocalPath\parentName).
  const std::optional<std::string>& absoluteOwnLocalPath() const;

  // Whether localPath came from the directory's own "LocalPath" attribute.
  bool localPathFromAttribute_ = false;
};

}  // namespace korvel
