// Directory nodes: path composition, folder creation and removal, and the walks through a folder.
#include "manifest/directory_node.h"

#include <libxml/tree.h>

#include <algorithm>
#include <utility>

#include "common/path_tokens.h"
#include "common/file_utils.h"
#include "common/name_rules.h"
#include "common/text_format.h"
#include "manifest/session_services.h"
#include "manifest/xml_attributes.h"
#include "platform/files.h"
#include "common/result_codes.h"

namespace korvel {

namespace {

constexpr std::size_t kPathCapacity = 256;

bool isToken(const std::string& path) {
  for (const char* token : {kTokenCurrentDirectory, kTokenHomeDirectory, kTokenWindowsHome, kTokenDesktop, kTokenStartMenu})
    if (equalsIgnoreCase(path, token)) return true;
  return false;
}

std::string joined(const std::string& folder, const std::string& name) { return folder + "\\" + name; }

}  // namespace

DirectoryNode::DirectoryNode() = default;

DirectoryNode::~DirectoryNode() = default;

bool DirectoryNode::readFromElement(xmlNode* element, ManifestNode* parent, ManifestNode* previous,
                                    TextArgument parentLocal, TextArgument parentRemote, ProductHandle* product) {
  setProduct(product);
  ManifestNode::readFromElement(element, parent, previous, parentLocal, parentRemote, product);
  readOwnAttributes(element);

  const std::optional<std::string> local = std::exchange(localPath_, std::nullopt);
  const std::optional<std::string> remote = std::exchange(remotePath_, std::nullopt);
  localPathFromAttribute_ = local.has_value();
  if (localName_) {
    localPath_ = resolvePathToken(*localName_, local, parentLocal);
  } else {
    localPath_ = resolvePathToken(name_, local, parentLocal);
    if (name_) localName_ = name_;
  }
  remotePath_ = resolvePathToken(localName_, remote, parentRemote);
  if (localName_ && *localName_ == ".") {
    // The parent's own folder, here and on the server: the paths the children inherit get no "."
    // component, so a file keeps the cache key and the staging path it has when placed there directly.
    localPath_ = resolvePathToken(std::nullopt, local, parentLocal);
    remotePath_ = resolvePathToken(std::nullopt, remote, parentRemote);
  }

  if (!element) return true;
  for (xmlNode *child = element->children, *next = nullptr; child; child = next) {
    next = child->next;
    if (isCancelled()) return false;
    std::unique_ptr<ManifestNode> node = createNode(child, false);
    if (!node || !childDepthAllowed()) continue;
    node->readFromElement(child, this, lastChild(), localPath_, remotePath_, product_);
    releaseFileElement(child);
    if (admitChild(*node)) appendChild(std::move(node));
  }
  return !isCancelled();
}

void DirectoryNode::readOwnAttributes(xmlNode* element) { localName_ = readText(element, "LocalName"); }

std::optional<std::string> DirectoryNode::refusedName() const {
  if (name_ && *name_ != "." && !isPlainName(*name_)) return name_;
  if (localName_ && *localName_ != "." && !isPlainName(*localName_)) return localName_;
  return std::nullopt;
}

const std::optional<std::string>& DirectoryNode::absoluteOwnLocalPath() const {
  static const std::optional<std::string> kNone;
  return localPathFromAttribute_ && localPath_ && platform::isAbsolutePath(*localPath_) ? localPath_ : kNone;
}

std::string DirectoryNode::fullPath(TextArgument basePath) const {
  const std::string base = basePath.present() ? basePath.str() : platform::currentDirectory();
  // Without a name the directory composes no folder of its own: its files live in the parent's.
  // Not cut to the folder buffer: the files below refuse a folder that does not fit, where a cut
  // one could name another folder.
  if (!localName_) return base;
  const std::optional<std::string>& own = absoluteOwnLocalPath();
  if (*localName_ == ".") return own ? *own : base;
  return joined(own ? *own : base, *localName_);
}

void DirectoryNode::removeFolder(const std::string& path) {
  platform::deleteFile(joined(path, kFolderCacheName));
  platform::removeDirectory(path);
}

void DirectoryNode::setRootOverride(TextArgument path) {
  const std::optional<std::string>& own = absoluteOwnLocalPath();
  std::string folder;
  if (localName_ && *localName_ == ".") {
    folder = own ? *own : path.str();
  } else if (own) {
    folder = joined(*own, localName_.value_or(std::string()));
  } else if (path.present()) {
    folder = localName_ ? joined(path.str(), *localName_) : path.str();
  }
  ManifestNode::setRootOverride(cutToCapacity(folder, kPathCapacity));
}

bool DirectoryNode::crcScan(bool withCrc, ScanFlags flags, TextArgument basePath) {
  if (isCancelled()) return false;
  const std::string full = fullPath(basePath);
  if (!isDeleteMarked() && full.size() < kPathCapacity) platform::createDirectory(full);
  bool result = true;
  for (const auto& child : children_) {
    if (isCancelled()) break;
    if (!child->crcScan(withCrc, flags, full)) result = false;
  }
  return result;
}

void DirectoryNode::scan(ScanFlags flags, ProductHandle* product, TextArgument basePath) {
  ManifestNode::scan(flags, product, fullPath(basePath));
}

int DirectoryNode::download(ScanFlags flags, ProductHandle* product, TextArgument basePath) {
  if (!needsUpdate_) return 1;
  const bool planning = services_ && services_->planningDownloads();
  if (!planning && localPathFromAttribute_ && localPath_ && !isToken(*localPath_) &&
      platform::isAbsolutePath(*localPath_))
    createDirectoryPath(*localPath_);
  const std::string full = fullPath(basePath);
  if (isDeleteMarked()) return 0;
  if (!planning && full.size() < kPathCapacity) platform::createDirectory(full);

  int result = 0;
  for (const auto& child : children_) {
    if (result::isStoppingCode(result) || isCancelled()) break;
    const int code = child->download(flags, product, full);
    if (code != 0) result = code;
  }
  return result;
}

bool DirectoryNode::removeDeleted(TextArgument basePath) {
  const std::string full = fullPath(basePath);
  for (const auto& child : children_) child->removeDeleted(full);
  if (isDeleteMarked()) {
    // "." and a nameless directory stand for the parent's folder, which is not theirs to remove.
    if (localName_ && *localName_ != ".") removeFolder(full);
    needsUpdate_ = false;
    deleteMarked_ = false;
  }
  return true;
}

int DirectoryNode::countFiles(ProductHandle* pass, ScanFlags flags) {
  int sum = 0;
  for (const auto& child : children_) sum += child->countFiles(pass, flags);
  return sum;
}

std::int64_t DirectoryNode::countBytes(ProductHandle* pass, ScanFlags flags) {
  std::int64_t sum = 0;
  for (const auto& child : children_) sum += child->countBytes(pass, flags);
  return sum;
}

std::int64_t DirectoryNode::countDownloadBytes(ProductHandle* pass, ScanFlags flags) {
  std::int64_t sum = 0;
  for (const auto& child : children_) sum += child->countDownloadBytes(pass, flags);
  return sum;
}

std::int64_t DirectoryNode::countCompressedBytes(ProductHandle* pass, ScanFlags flags) {
  std::int64_t sum = 0;
  for (const auto& child : children_) sum += child->countCompressedBytes(pass, flags);
  return sum;
}

std::int64_t DirectoryNode::largestSpaceNeeded(ProductHandle* pass, ScanFlags flags) {
  std::int64_t largest = 0;
  for (const auto& child : children_) largest = std::max(largest, child->largestSpaceNeeded(pass, flags));
  return largest;
}

}  // namespace korvel
