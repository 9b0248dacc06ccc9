// File nodes: reading, eligibility, counts, paths and the CRC comparison.
#include "fileupdate/file_node.h"

#include <libxml/tree.h>

#include <string_view>
#include <utility>

#include "fileupdate/file_crc.h"
#include "common/path_tokens.h"
#include "fileupdate/time_stamp.h"
#include "common/progress_channels.h"
#include "common/name_rules.h"
#include "common/text_format.h"
#include "manifest/product_record.h"
#include "manifest/xml_attributes.h"
#include "patchcache/patch_cache.h"
#include "platform/files.h"
#include "manifest/session_services.h"
#include "common/result_codes.h"
#include "trust/sha256.h"

namespace korvel {

namespace {

// A path that does not fit its buffer is refused (empty), never cut: a cut path can name another
// file. The folder part has its own buffer (FileNode::kFolderCapacity).

std::string fitting(std::string path) { return path.size() < FileNode::kPathCapacity ? std::move(path) : std::string(); }

std::string underBase(TextArgument basePath, const std::string& name) {
  if (platform::isAbsolutePath(name) || !basePath.hasText()) return fitting(name);
  if (basePath.view().size() >= FileNode::kFolderCapacity) return std::string();
  // Built in one block: this runs several times for every file of every pass.
  const std::string_view base = basePath.view();
  std::string path;
  path.reserve(base.size() + 1 + name.size());
  path.append(base).append(1, '\\').append(name);
  return fitting(std::move(path));
}

int referenceType(const std::optional<std::string>& type) {
  if (!type) return -1;
  static constexpr const char* kTypes[scan::kEnvironmentTypes] = {"A", "B", "C", "D"};
  for (int index = 0; index < scan::kEnvironmentTypes; ++index)
    if (equalsIgnoreCase(*type, kTypes[index])) return index;
  return -1;
}

}  // namespace

FileNode::FileNode(FileNodeServices* session) : session_(session) {}

FileNode::~FileNode() = default;

// ---- Reading ------------------------------------------------------------------------------------

bool FileNode::readFromElement(xmlNode* element, ManifestNode* parent, ManifestNode* previous, TextArgument parentLocal,
                               TextArgument parentRemote, ProductHandle* product) {
  setProduct(product);
  ManifestNode::readFromElement(element, parent, previous, parentLocal, parentRemote, product);
  readOwnAttributes(element);

  const std::optional<std::string> local = std::exchange(localPath_, std::nullopt);
  const std::optional<std::string> remote = std::exchange(remotePath_, std::nullopt);
  if (localName_) {
    localPath_ = resolveFilePath(*localName_, local, parentLocal);
  } else {
    localPath_ = resolveFilePath(name_, local, parentLocal);
    if (name_) localName_ = name_;
  }
  remotePath_ = resolveFilePath(name_, remote, parentRemote);

  const std::optional<std::string> deltaName =
      localName_ ? std::optional<std::string>(*localName_ + "_delta") : std::nullopt;
  const std::optional<std::string> deltaPath = resolveFilePath(deltaName, local, nullptr);

  deltaSources_.clear();
  appliedDelta_.reset();
  referenceDistributions_.clear();
  for (xmlNode* child = element ? element->children : nullptr; child; child = child->next) {
    if (isElementNamed(child, "DeltaFile")) {
      const std::optional<std::string> filePath = readText(child, "FilePath");
      if (!filePath) continue;
      std::optional<std::string> deltaRemote = resolveFilePath(*filePath, remote, parentRemote);
      if (!deltaRemote) continue;
      std::optional<RemoteFile> where = remoteFile(*deltaRemote, readText(child, "Server"), readInteger(child, "Port", 0));
      if (!where) continue;
      DeltaSource delta;
      delta.remote = std::move(*where);
      delta.fileName = *filePath;
      delta.deltaPath = deltaPath;
      delta.deltaName = deltaName;
      delta.downloadSize = readSize(child, "DownloadSize");
      delta.totalSize = readSize(child, "TotalSize");
      delta.sourceCrc = static_cast<std::uint32_t>(readInteger(child, "CRC", 0));
      if (std::optional<std::string> sha256 = readText(child, "SHA256"))
        delta.sha256 = trust::normalizedSha256(*sha256);
      deltaSources_.push_back(std::move(delta));
    } else if (isElementNamed(child, "ReferenceDistribution")) {
      std::optional<std::string> referenceName = readText(child, "Name");
      if (!referenceName) continue;
      referenceDistributions_.push_back({std::move(*referenceName), referenceType(readText(child, "Type"))});
    }
  }

  if (!localPath_) needsUpdate_ = false;
  deleteCopy_ = deleteMarked_;
  return true;
}

bool FileNode::hasRefusedSize() const {
  if (totalSize_ == kNotASize || downloadSize_ == kNotASize) return true;
  for (const DeltaSource& delta : deltaSources_)
    if (delta.totalSize == kNotASize || delta.downloadSize == kNotASize) return true;
  return false;
}

std::optional<std::string> FileNode::refusedName() const {
  if (std::optional<std::string> refused = ManifestNode::refusedName()) return refused;
  if (tempFilename_ && !isPlainName(*tempFilename_)) return tempFilename_;
  return std::nullopt;
}

void FileNode::readOwnAttributes(xmlNode* element) {
  localName_ = readText(element, "LocalName");
  totalSize_ = readSize(element, "TotalSize");
  downloadSize_ = readSize(element, "DownloadSize");
  const std::optional<std::string> stamp = readText(element, "TimeStamp");
  timeStamp_ = stamp ? readTimeStamp(stamp->c_str()) : 0;
  restart_ = readBoolean(element, "Restart", false);
  keepBackup_ = readBoolean(element, "Keep_Backup", false);
  tempFilename_ = readText(element, "TempFilename");
  crc_ = static_cast<std::uint32_t>(readInteger(element, "CRC", 0));
  sha256_ = readText(element, "SHA256");
  if (sha256_) sha256_ = trust::normalizedSha256(*sha256_);
  compressed_ = readBoolean(element, "Compressed", true) ? 1 : 0;
  if (!compressed_ && downloadSize_ == 0) downloadSize_ = totalSize_;
  if (usesCrc() && crc_ == 0) useCrc_ = 0;
}

// ---- Questions ----------------------------------------------------------------------------------

bool FileNode::eligible(ScanFlags flags) const {
  if (deleteCopy_) return false;
  if (limitExceeded_ && !((flags & scan::kIncludeLimitExceeded) && !(flags & scan::kExcludeLimitExceeded)))
    return false;
  if (flags & scan::kIgnoreEnvironment) return true;
  for (int type = 0; type < scan::kEnvironmentTypes; ++type) {
    if ((flags & scan::environmentBit(type)) && fileEnv_[type]) return false;
  }
  if (flags & scan::kEnvironmentFilesOnly) {
    for (bool marked : fileEnv_)
      if (marked) return true;
    return xtraFile_;
  }
  return true;
}

bool FileNode::needsUpdate(ProductHandle*, ScanFlags flags) const {
  return eligible(flags) && (needsUpdate_ || passFlags_[pass::kForcedUpdate]);
}

bool FileNode::hasEnvironmentFiles() const {
  for (bool marked : fileEnv_)
    if (marked) return true;
  return xtraFile_ || ManifestNode::hasEnvironmentFiles();
}

bool FileNode::usesCrc() const { return restart_ || ManifestNode::usesCrc(); }

int FileNode::updateCountUnit() const { return 1; }

std::int64_t FileNode::transferSize() const {
  const DeltaSource* delta = appliedDelta();
  return delta ? delta->downloadSize : downloadSize_;
}

// ---- Counts -------------------------------------------------------------------------------------

std::int64_t FileNode::countDownloadBytes(ProductHandle* pass, ScanFlags flags) {
  if (passFlags_[pass::kDownloadCounted] || (flags & scan::kNoDownloadBytes) || !needsUpdate(pass, flags)) return 0;
  passFlags_[pass::kDownloadCounted] = true;
  const DeltaSource* delta = appliedDelta();
  if (!(flags & scan::kDeltaBytesOnly) && !delta && (!(flags & scan::kCompressedOnly) || compressed_))
    return totalSize_;
  return delta ? delta->totalSize : 0;
}

std::int64_t FileNode::countCompressedBytes(ProductHandle* pass, ScanFlags flags) {
  if (passFlags_[pass::kCompressedCounted] || !needsUpdate(pass, flags)) return 0;
  passFlags_[pass::kCompressedCounted] = true;
  return transferSize();
}

std::int64_t FileNode::largestSpaceNeeded(ProductHandle* pass, ScanFlags flags) {
  std::int64_t space = totalSize_;
  if (needsUpdate(pass, flags)) space += transferSize();
  return space;
}

int FileNode::countFiles(ProductHandle* pass, ScanFlags flags) {
  if (deleteCopy_ || !eligible(flags)) return 0;
  if ((flags & scan::kCountUpdates) || ((flags & scan::kSkipScanned) && passFlags_[pass::kScanned]) ||
      ((flags & scan::kSkipVerified) && passFlags_[pass::kVerified]) || passFlags_[pass::kCounted]) {
    if ((flags & scan::kCountUpdates) && !passFlags_[pass::kExcludedFromUpdateCount] && needsUpdate(pass, flags))
      return updateCountUnit();
    return 0;
  }
  passFlags_[pass::kCounted] = true;
  return 1;
}

std::int64_t FileNode::countBytes(ProductHandle* pass, ScanFlags flags) {
  if (deleteCopy_ || !eligible(flags)) return 0;
  if (((flags & scan::kSkipScanned) && passFlags_[pass::kScanned]) ||
      ((flags & scan::kSkipVerified) && passFlags_[pass::kVerified]) || passFlags_[pass::kCounted])
    return 0;
  passFlags_[pass::kCounted] = true;
  return totalSize_;
}

void FileNode::markDelete() { deleteMarked_ = true; }

void FileNode::setPassFlag(int index, bool value) {
  if (index >= 0 && index < pass::kSettableCount) passFlags_[index] = value;
}

// ---- CRC ----------------------------------------------------------------------------------------

bool FileNode::compareCrc(TextArgument basePath) {
  if (crc_ == 0) return false;
  existsLocally_ = true;
  localCrc_ = fileCrc(*this, basePath.str());
  if (isCancelled()) return false;
  bool differs = false;
  if (localCrc_ == crc_) {
    stampUnlessStamped(basePath);
  } else {
    const char* title = productTitle();
    const std::string base = basePath.str();
    const char* name = localName_ ? localName_->c_str() : "";
    log(title ? boundedFormat(kLineCapacity, "--- File Discrepancy C for [%s] %s\\%s: local %d: server %d\n", title,
                              base.c_str(), name, static_cast<int>(localCrc_), static_cast<int>(crc_))
              : boundedFormat(kLineCapacity, "--- File Discrepancy C for %s\\%s: local %d: server %d\n", base.c_str(),
                              name, static_cast<int>(localCrc_), static_cast<int>(crc_)));
    differs = true;
  }
  rememberCrc(basePath, 0);
  return differs;
}

void FileNode::rememberCrc(TextArgument basePath, std::uint32_t crc) {
  const std::uint32_t value = crc != 0 ? crc : localCrc_;
  if (value == 0) return;
  const DiskLook& look = lookAt(localFile(basePath));
  if (!look.found) return;
  crcCache().remember(crcCacheKey(), static_cast<std::int32_t>(value),
                      static_cast<std::int32_t>(look.info.modifiedSeconds), static_cast<std::int64_t>(look.info.size));
}

PatchCache& FileNode::crcCache() {
  if (product_ && product_->record().patchCache()) return *product_->record().patchCache();
  if (session_) return session_->patchCache();
  if (!detachedCache_) detachedCache_ = std::make_unique<PatchCache>();
  return *detachedCache_;
}

const std::string& FileNode::crcCacheKey() const {
  static const std::string kNoPath;
  return localPath_ ? *localPath_ : kNoPath;
}

std::string FileNode::crcFilePath(const std::string& basePath) const { return localFile(basePath); }

std::int64_t FileNode::crcExpectedSize() const { return localSize_; }

bool FileNode::crcScanRunning() const { return passFlags_[pass::kCrcScanRunning]; }

bool FileNode::crcStopping() const { return session_ && session_->failedOrStopped(); }

void FileNode::crcProgress(int position) {
  if (session_) session_->showProgress(position, kBarChecksum);
}

// ---- Paths --------------------------------------------------------------------------------------

std::string FileNode::localFile(TextArgument basePath) const {
  if (!localName_) return {};
  return underBase(basePath, *localName_);
}

std::string FileNode::tempFilename() const {
  if (tempFilename_) return *tempFilename_;
  if (!localName_ || localName_->empty()) return {};
  std::string name = *localName_;
  name[0] = '_';
  return name;
}

std::string FileNode::tempFile(TextArgument basePath) const {
  const std::string name = tempFilename();
  if (name.empty()) return {};
  return underBase(basePath, name);
}

const char* FileNode::productTitle() const {
  if (!product_ || !product_->record().title()) return nullptr;
  return product_->record().title()->c_str();
}

void FileNode::markLimitExceeded(ScanFlags flags) {
  ManifestNode::markLimitExceeded(flags);
  if (!limitExceeded_ || passFlags_[pass::kLimitMessageWritten] || !needsUpdate(nullptr, flags | scan::kIncludeLimitExceeded))
    return;
  if (session_) session_->limitExceededWarning();
  const char* title = productTitle();
  log(boundedFormat(kLineCapacity, "Download Limit Exceeded. [%s] File not updated: %s\n", title ? title : "<Unnamed>",
                    localName_ ? localName_->c_str() : ""));
  passFlags_[pass::kLimitMessageWritten] = true;
}

}  // namespace korvel
