// File nodes: reading, eligibility, the walks, counts and paths; the work on the file handed to the
// node's verifier, installer and delta applier.
#include "fileupdate/file_node.h"

#include <libxml/tree.h>

#include <string_view>
#include <utility>

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
  deltas_.forget();
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

// ---- Walks --------------------------------------------------------------------------------------

void FileNode::scan(ScanFlags flags, ProductHandle*, TextArgument basePath) {
  if (isCancelled() || !eligible(flags)) return;
  if (((flags & scan::kSkipScanned) && passFlags_[pass::kScanned]) || passFlags_[pass::kVerified]) return;
  passFlags_[pass::kScanned] = true;
  passFlags_[pass::kVerified] = true;
  verifier_.verify(basePath);
  if (session_) session_->fileChecked();
}

void FileNode::setRootOverride(TextArgument path) {
  ManifestNode::setRootOverride(path);
  verifier_.verify(path);
  if (session_) session_->fileChecked();
}

bool FileNode::crcScan(bool withCrc, ScanFlags flags, TextArgument basePath) {
  if (passFlags_[pass::kCrcScanned] && !isCancelled() && eligible(flags)) return false;
  // The cached CRC is what this scan questions, so it must not answer.
  passFlags_[pass::kCrcScanRunning] = true;
  const int savedUseCrc = useCrc_;
  if (!isCancelled() && eligible(flags)) {
    passFlags_[pass::kCrcScanned] = true;
    if (session_) {
      session_->fileChecked();
      if (localName_) session_->setStatusLine(*localName_);
    }
    if (withCrc) {
      useCrc_ = 1;
      needsUpdate_ = verifier_.check(basePath);
      if (needsUpdate_) deltaAvailable_ = findDelta(basePath);
    } else {
      useCrc_ = 0;
      verifier_.verify(basePath);
    }
    passFlags_[pass::kScanned] = true;
    passFlags_[pass::kVerified] = true;
  }
  useCrc_ = savedUseCrc;
  passFlags_[pass::kCrcScanRunning] = false;
  return true;
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

// ---- The work on the file -----------------------------------------------------------------------

int FileNode::download(ScanFlags flags, ProductHandle* product, TextArgument basePath) {
  return installer_.download(flags, product, basePath);
}

bool FileNode::removeDeleted(TextArgument basePath) { return installer_.removeDeleted(basePath); }

bool FileNode::compareCrc(TextArgument basePath) { return verifier_.compareCrc(basePath); }

bool FileNode::findDelta(TextArgument basePath) { return deltas_.choose(basePath); }

int FileNode::applyDelta(bool isRunningProgram, TextArgument basePath) {
  return deltas_.apply(isRunningProgram, basePath);
}

// ---- CRC subject --------------------------------------------------------------------------------

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

// The stager keeps a file at its path below the distribution, which is the file's cache key: it is
// asked with the distribution's folder as the base rather than the file's own folder.
std::string FileNode::stagingBase(TextArgument basePath) const {
  const std::string local = localFile(basePath);
  const std::string& key = crcCacheKey();
  if (key.empty() || local.size() <= key.size()) return basePath.str();
  const std::size_t cut = local.size() - key.size() - 1;
  if (local[cut] != '\\' || local.compare(cut + 1, key.size(), key) != 0) return basePath.str();
  return local.substr(0, cut);
}

void FileNode::visitDownloadRequests(const std::function<void(const PartialFile::Identity&)>& visit) const {
  // As the requests are made: a size that is not above 0 is not given.
  const auto wireSize = [](std::int64_t size) { return size > 0 ? static_cast<std::uint64_t>(size) : 0; };
  if (remotePath_ && remoteFile(*remotePath_)) {
    visit({*remotePath_, compressed_, wireSize(downloadSize_), wireSize(totalSize_),
           crc_ != 0 ? std::optional<std::uint32_t>(crc_) : std::nullopt, sha256_});
  }
  for (const DeltaSource& delta : deltaSources_) {
    if (delta.remote.path.empty()) continue;
    // Delta data with a digest is a checked download; without one it is checked by nothing.
    visit({delta.remote.path, delta.compressed ? 1 : 0, wireSize(delta.downloadSize),
           delta.sha256 ? wireSize(delta.totalSize) : 0, std::nullopt, delta.sha256});
  }
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
