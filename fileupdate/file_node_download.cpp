// File nodes brought up to date: by delta, by a staged copy or by a full download, then checked,
// stamped and handed to the self-update or the restart; and the removal of files marked "Delete".
#include <optional>

#include "fileupdate/file_node.h"
#include "common/file_utils.h"
#include "common/text_format.h"
#include "manifest/distribution_node.h"
#include "manifest/product_record.h"
#include "patchcache/patch_cache.h"
#include "platform/file.h"
#include "platform/files.h"
#include "transfer/download_requests.h"
#include "manifest/session_services.h"
#include "common/result_codes.h"
#include "manifest/stager.h"

namespace korvel {

namespace {

constexpr const char* kBadFileText = "Error: Bad File.  Please redownload this file.\n";

// The size of the file on disk; nothing when it cannot be opened.
std::optional<std::int64_t> sizeOnDisk(const std::string& path) {
  platform::File file = platform::File::open(path, "rb");
  if (!file) return std::nullopt;
  const std::int64_t size = file.size();
  return size < 0 ? FileNode::kInvalidSize : size;
}

// A byte count in the decimal form of the warnings (the text "%d" gave below 2 GiB).
long long asPrinted(std::int64_t bytes) { return static_cast<long long>(bytes); }

}  // namespace

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

int FileNode::download(ScanFlags flags, ProductHandle* product, TextArgument basePath) {
  // Part of a distribution over its download limit: left as it is (the limit check logged it).
  if (limitExceeded_ && needsUpdate(product, flags | scan::kIncludeLimitExceeded)) return result::kOk;
  if (session_ && session_->planningDownloads()) {
    planDownload(flags, product, basePath);
    return result::kOk;
  }
  if (session_) session_->clearFailure();
  const std::string local = localFile(basePath);
  const std::string temp = tempFile(basePath);
  if (isDeleteMarked() || !needsUpdate(product, flags) || local.empty() || !session_) return result::kOk;

  Stager* stager = session_->topStager();
  crcCache().forget(crcCacheKey());
  log(boundedFormat(kLineCapacity, "Downloading %s\n", localName_->c_str()));

  // The running program cannot be overwritten: its new version goes to the temporary name, and the
  // session restarts into it. When the temporary name is the one running, the real name is free.
  std::string target = local;
  bool isSelf = false;
  if (isRunningProgram(*localName_)) {
    session_->registerSelfReplacement(temp.c_str(), local.c_str());
    target = temp;
    isSelf = true;
  } else if (const std::string name = tempFilename(); !name.empty() && isRunningProgram(name)) {
    session_->registerSelfReplacement(local.c_str(), nullptr);
    isSelf = true;
  }
  const bool targetIsTemp = target == temp && isSelf;

  bool installed = false;
  if (deltaAvailable_) {
    const int applied = applyDelta(isSelf, basePath);
    if (applied == result::kOk) {
      platform::setFileAttributes(target, platform::kAttributeNormal);
      const std::int64_t size = sizeOnDisk(target).value_or(kInvalidSize);
      if (totalSize_ == 0 || size == totalSize_) {
        installed = true;
      } else {
        session_->showWarning(
            boundedFormat(kLineCapacity, "Warning: Filesize verify:  Local %lld vs. server %lld, possible mid-patch\n",
                          asPrinted(size), asPrinted(totalSize_)));
      }
    } else if (applied == result::kPartialPatch && !isCancelled()) {
      log("Error with partial patch, cancelling immediately.\n");
      reportError(result::kComponentInvalid, kBadFileText);
      return result::kComponentInvalid;
    }
  }

  if (!installed) {
    if (session_) session_->clearFailure();
    createParentDirectories(target);
    const bool staged = stager && stager->getStagedFile(stagingBase(basePath), target, crc_, totalSize_, timeStamp_,
                                                        true, StagedCopyCheck{sha256_, std::nullopt});
    if (!staged) {
      // The new bytes take the old file's place only when they are the manifest's file.
      const int code = session_->downloadCheckedFile(fullDownload(target));
      if (code != result::kOk) {
        if (code == result::kStopped)
          reportError(result::kStopped,
                      boundedFormat(kLineCapacity, "Download cancelled at file %s\n", localName_->c_str()));
        else
          log(boundedFormat(kLineCapacity, "Download error for %s\n", localName_->c_str()));
        return code;
      }
    }
  }

  const std::optional<std::int64_t> size = sizeOnDisk(target);
  if (!size) {
    log(boundedFormat(kLineCapacity, "----- Could not open file %s, patcher should be rerun.\n", target.c_str()));
    reportError(result::kComponentInvalid, kBadFileText);
    return result::kComponentInvalid;
  }
  localSize_ = *size;
  if (totalSize_ != 0) {
    if (localSize_ == totalSize_) {
      setFileTime(basePath, targetIsTemp);
    } else {
      const std::string text = boundedFormat(kLineCapacity,
                                             "Warning: File size does not match:  Local %lld vs. server %lld, possible "
                                             "mid-push.  Please try again or restart the application.\n",
                                             asPrinted(localSize_), asPrinted(totalSize_));
      session_->showWarning(text);
      if (session_->strictSize()) {
        reportError(result::kComponentInvalid, text);
        return result::kComponentInvalid;
      }
    }
  }

  clearNeedsUpdate();
  localCrc_ = crc_;
  if (restart_) session_->requestRestart(target, isSelf);
  return result::kOk;
}

// The decisions of download() up to its full download, taken without acting on any: a file that is
// patched from delta data, may come from a stager, or is the running program is never planned (the
// walk asks for its download itself, if at all).
void FileNode::planDownload(ScanFlags flags, ProductHandle* product, TextArgument basePath) {
  const std::string local = localFile(basePath);
  if (isDeleteMarked() || !needsUpdate(product, flags) || local.empty() || !localName_) return;
  if (deltaAvailable_ || session_->topStager()) return;
  if (isRunningProgram(*localName_, true)) return;
  if (const std::string name = tempFilename(); !name.empty() && isRunningProgram(name, true)) return;
  session_->planDownload(fullDownload(local));
}

FileDownload FileNode::fullDownload(const std::string& target) const {
  FileDownload file;
  // Without a server (or a remote path) the request has nowhere to go, and fails as such.
  if (remotePath_) file.remote = remoteFile(*remotePath_).value_or(RemoteFile::onList(*remotePath_));
  file.localFile = target;
  file.decompress = compressed_;
  file.downloadSize = downloadSize_;
  file.totalSize = totalSize_;
  file.crc = crc_ != 0 ? std::optional<std::uint32_t>(crc_) : std::nullopt;
  file.sha256 = sha256_;
  return file;
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

bool FileNode::removeDeleted(TextArgument basePath) {
  if (!localName_) return true;
  const std::string path = cutToCapacity(localFile(basePath), kLineCapacity);
  if (!isDeleteMarked()) return true;
  // Only a file that may be written is deleted: a read-only file is left as the user made it. The
  // attribute is asked rather than the access right, which an administrator always has.
  const std::uint32_t attributes = platform::fileAttributes(path);
  if (attributes == platform::kInvalidAttributes || (attributes & platform::kAttributeReadOnly) ||
      (attributes & platform::kAttributeDirectory))
    return true;
  log(boundedFormat(kLineCapacity, "FileDownloader::Delete() '%s'\n", path.c_str()));
  platform::deleteFile(path);
  needsUpdate_ = false;
  deleteMarked_ = false;
  crcCache().forget(crcCacheKey());
  return true;
}

bool FileNode::setFileTime(TextArgument basePath, bool useTemp) {
  const std::string path = useTemp ? tempFile(basePath) : localFile(basePath);
  platform::setFileAttributes(path, platform::kAttributeNormal);
  if (timeStamp_ == 0 || !platform::pathExists(path)) return false;
  return platform::setFileTime(path, timeStamp_);
}

}  // namespace korvel
