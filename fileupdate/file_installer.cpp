// A file brought up to date: by delta, by a staged copy or by a full download, then checked, stamped
// and handed to the self-update or the restart; and the removal of files marked "Delete".
#include "fileupdate/file_installer.h"

#include <optional>

#include "common/file_utils.h"
#include "common/result_codes.h"
#include "common/text_format.h"
#include "fileupdate/file_node.h"
#include "manifest/session_services.h"
#include "manifest/stager.h"
#include "patchcache/patch_cache.h"
#include "platform/file.h"
#include "platform/files.h"

namespace korvel {

namespace {

constexpr const char* kBadFileText = "Error: Bad File.  Please redownload this file.\n";

// The size of the file on disk; nothing when it cannot be opened.
std::optional<std::int64_t> sizeOnDisk(const std::string& path) {
  platform::File file = platform::File::open(path, "rb");
  if (!file) return std::nullopt;
  const std::int64_t size = file.size();
  return size < 0 ? FileVerifier::kInvalidSize : size;
}

// A byte count in the decimal form of the warnings (the text "%d" gave below 2 GiB).
long long asPrinted(std::int64_t bytes) { return static_cast<long long>(bytes); }

}  // namespace

FileInstaller::FileInstaller(FileNode& file) : file_(file) {}

int FileInstaller::download(ScanFlags flags, ProductHandle* product, TextArgument basePath) {
  FileNode& f = file_;
  // Part of a distribution over its download limit: left as it is (the limit check logged it).
  if (f.limitExceeded_ && f.needsUpdate(product, flags | scan::kIncludeLimitExceeded)) return result::kOk;
  if (f.session_ && f.session_->planningDownloads()) {
    planDownload(flags, product, basePath);
    return result::kOk;
  }
  if (f.session_) f.session_->clearFailure();
  const std::string local = f.localFile(basePath);
  if (f.isDeleteMarked() || !f.needsUpdate(product, flags) || local.empty() || !f.session_) return result::kOk;

  Stager* stager = f.session_->topStager();
  f.crcCache().forget(f.crcCacheKey());
  f.log(boundedFormat(FileNode::kLineCapacity, "Downloading %s\n", f.localName_->c_str()));

  bool isSelf = false;
  const std::string target = targetOf(basePath, isSelf);
  const bool targetIsTemp = target == f.tempFile(basePath) && isSelf;

  int failure = result::kOk;
  if (!f.deltaAvailable_ || !patched(target, isSelf, basePath, failure)) {
    if (failure != result::kOk) return failure;
    f.session_->clearFailure();
    createParentDirectories(target);
    const bool staged = stager && stager->getStagedFile(f.stagingBase(basePath), target, f.crc_, f.totalSize_,
                                                        f.timeStamp_, true, StagedCopyCheck{f.sha256_, std::nullopt});
    if (!staged) {
      if (const int code = fetched(target); code != result::kOk) return code;
    }
  }
  return finished(target, targetIsTemp, isSelf, basePath);
}

// The running program cannot be overwritten: its new version goes to the temporary name, and the
// session restarts into it. When the temporary name is the one running, the real name is free.
std::string FileInstaller::targetOf(TextArgument basePath, bool& isSelf) {
  FileNode& f = file_;
  const std::string local = f.localFile(basePath);
  const std::string temp = f.tempFile(basePath);
  isSelf = false;
  if (f.verifier_.isRunningProgram(*f.localName_)) {
    f.session_->registerSelfReplacement(temp.c_str(), local.c_str());
    isSelf = true;
    return temp;
  }
  if (const std::string name = f.tempFilename(); !name.empty() && f.verifier_.isRunningProgram(name)) {
    f.session_->registerSelfReplacement(local.c_str(), nullptr);
    isSelf = true;
  }
  return local;
}

bool FileInstaller::patched(const std::string& target, bool isSelf, TextArgument basePath, int& failure) {
  FileNode& f = file_;
  const int applied = f.applyDelta(isSelf, basePath);
  if (applied == result::kOk) {
    platform::setFileAttributes(target, platform::kAttributeNormal);
    const std::int64_t size = sizeOnDisk(target).value_or(FileVerifier::kInvalidSize);
    if (f.totalSize_ == 0 || size == f.totalSize_) return true;
    f.session_->showWarning(boundedFormat(FileNode::kLineCapacity,
                                          "Warning: Filesize verify:  Local %lld vs. server %lld, possible mid-patch\n",
                                          asPrinted(size), asPrinted(f.totalSize_)));
  } else if (applied == result::kPartialPatch && !f.isCancelled()) {
    f.log("Error with partial patch, cancelling immediately.\n");
    f.reportError(result::kComponentInvalid, kBadFileText);
    failure = result::kComponentInvalid;
  }
  return false;
}

int FileInstaller::fetched(const std::string& target) {
  FileNode& f = file_;
  // The new bytes take the old file's place only when they are the manifest's file.
  const int code = f.session_->downloadCheckedFile(fullDownload(target));
  if (code == result::kOk) return code;
  if (code == result::kStopped)
    f.reportError(result::kStopped,
                  boundedFormat(FileNode::kLineCapacity, "Download cancelled at file %s\n", f.localName_->c_str()));
  else
    f.log(boundedFormat(FileNode::kLineCapacity, "Download error for %s\n", f.localName_->c_str()));
  return code;
}

int FileInstaller::finished(const std::string& target, bool targetIsTemp, bool isSelf, TextArgument basePath) {
  FileNode& f = file_;
  const std::optional<std::int64_t> size = sizeOnDisk(target);
  if (!size) {
    f.log(boundedFormat(FileNode::kLineCapacity, "----- Could not open file %s, patcher should be rerun.\n",
                        target.c_str()));
    f.reportError(result::kComponentInvalid, kBadFileText);
    return result::kComponentInvalid;
  }
  f.localSize_ = *size;
  if (f.totalSize_ != 0) {
    if (f.localSize_ == f.totalSize_) {
      setFileTime(basePath, targetIsTemp);
    } else {
      const std::string text = boundedFormat(FileNode::kLineCapacity,
                                             "Warning: File size does not match:  Local %lld vs. server %lld, possible "
                                             "mid-push.  Please try again or restart the application.\n",
                                             asPrinted(f.localSize_), asPrinted(f.totalSize_));
      f.session_->showWarning(text);
      if (f.session_->strictSize()) {
        f.reportError(result::kComponentInvalid, text);
        return result::kComponentInvalid;
      }
    }
  }

  f.clearNeedsUpdate();
  f.localCrc_ = f.crc_;
  if (f.restart_) f.session_->requestRestart(target, isSelf);
  return result::kOk;
}

// The decisions of download() up to its full download, taken without acting on any: a file that is
// patched from delta data, may come from a stager, or is the running program is never planned (the
// walk asks for its download itself, if at all).
void FileInstaller::planDownload(ScanFlags flags, ProductHandle* product, TextArgument basePath) {
  FileNode& f = file_;
  const std::string local = f.localFile(basePath);
  if (f.isDeleteMarked() || !f.needsUpdate(product, flags) || local.empty() || !f.localName_) return;
  if (f.deltaAvailable_ || f.session_->topStager()) return;
  if (f.verifier_.isRunningProgram(*f.localName_, true)) return;
  if (const std::string name = f.tempFilename(); !name.empty() && f.verifier_.isRunningProgram(name, true)) return;
  f.session_->planDownload(fullDownload(local));
}

FileDownload FileInstaller::fullDownload(const std::string& target) const {
  const FileNode& f = file_;
  FileDownload file;
  // Without a server (or a remote path) the request has nowhere to go, and fails as such.
  if (f.remotePath_) file.remote = f.remoteFile(*f.remotePath_).value_or(RemoteFile::onList(*f.remotePath_));
  file.localFile = target;
  file.decompress = f.compressed_;
  file.downloadSize = f.downloadSize_;
  file.totalSize = f.totalSize_;
  file.crc = f.crc_ != 0 ? std::optional<std::uint32_t>(f.crc_) : std::nullopt;
  file.sha256 = f.sha256_;
  return file;
}

bool FileInstaller::removeDeleted(TextArgument basePath) {
  FileNode& f = file_;
  if (!f.localName_) return true;
  const std::string path = cutToCapacity(f.localFile(basePath), FileNode::kLineCapacity);
  if (!f.isDeleteMarked()) return true;
  // Only a file that may be written is deleted: a read-only file is left as the user made it. The
  // attribute is asked rather than the access right, which an administrator always has.
  const std::uint32_t attributes = platform::fileAttributes(path);
  if (attributes == platform::kInvalidAttributes || (attributes & platform::kAttributeReadOnly) ||
      (attributes & platform::kAttributeDirectory))
    return true;
  f.log(boundedFormat(FileNode::kLineCapacity, "FileDownloader::Delete() '%s'\n", path.c_str()));
  platform::deleteFile(path);
  f.needsUpdate_ = false;
  f.deleteMarked_ = false;
  f.crcCache().forget(f.crcCacheKey());
  return true;
}

bool FileInstaller::setFileTime(TextArgument basePath, bool useTemp) {
  const FileNode& f = file_;
  const std::string path = useTemp ? f.tempFile(basePath) : f.localFile(basePath);
  platform::setFileAttributes(path, platform::kAttributeNormal);
  if (f.timeStamp_ == 0 || !platform::pathExists(path)) return false;
  return platform::setFileTime(path, f.timeStamp_);
}

}  // namespace korvel
