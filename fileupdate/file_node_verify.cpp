// File nodes: the verification of the local copy against the manifest (presence, size, time stamp and
// CRC through the patch cache and the folder snapshot), the scan walks and the discrepancy log lines.
#include "fileupdate/file_node.h"

#include "fileupdate/file_crc.h"
#include "common/text_format.h"
#include "manifest/product_record.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/patch_cache.h"
#include "platform/file.h"
#include "platform/files.h"
#include "manifest/session_services.h"

namespace korvel {

namespace {

constexpr std::size_t kTextCapacity = 256;
constexpr std::int64_t kSecondsPerDay = 86400;

// Whether ".exe" appears anywhere in `name`, in any letter case.
bool mentionsExe(std::string_view name) {
  for (std::size_t dot = name.find('.'); dot != std::string_view::npos; dot = name.find('.', dot + 1))
    if (equalsIgnoreCase(name.substr(dot, 4), ".exe")) return true;
  return false;
}

bool isFolder(const std::string& path) {
  const std::uint32_t attributes = platform::fileAttributes(path);
  return attributes != platform::kInvalidAttributes && (attributes & platform::kAttributeDirectory);
}

// The file opened for reading; a folder of that name counts as no file (Windows cannot open it).
platform::File openForReading(const std::string& path) {
  platform::File file = platform::File::open(path, "rb");
  if (file && isFolder(path)) return {};
  return file;
}

bool opensForReading(const std::string& path) { return openForReading(path).isOpen(); }

std::int64_t sizeOrInvalid(std::int64_t size) { return size < 0 ? FileNode::kInvalidSize : size; }

}  // namespace

// Keeps the node's look at the disk for the time of one verification (the outermost one, when they nest).
class FileNode::KeptLook {
 public:
  explicit KeptLook(FileNode& node) : node_(node), outer_(!node.keepLook_) { node_.keepLook_ = true; }
  ~KeptLook() {
    if (!outer_) return;
    node_.keepLook_ = false;
    node_.look_.reset();
  }
  KeptLook(const KeptLook&) = delete;
  KeptLook& operator=(const KeptLook&) = delete;

 private:
  FileNode& node_;
  bool outer_;
};

// ---- Walks --------------------------------------------------------------------------------------

void FileNode::scan(ScanFlags flags, ProductHandle*, TextArgument basePath) {
  if (isCancelled() || !eligible(flags)) return;
  if (((flags & scan::kSkipScanned) && passFlags_[pass::kScanned]) || passFlags_[pass::kVerified]) return;
  passFlags_[pass::kScanned] = true;
  passFlags_[pass::kVerified] = true;
  verify(basePath);
  if (session_) session_->fileChecked();
}

void FileNode::setRootOverride(TextArgument path) {
  ManifestNode::setRootOverride(path);
  verify(path);
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
      needsUpdate_ = check(basePath);
      if (needsUpdate_) deltaAvailable_ = findDelta(basePath);
    } else {
      useCrc_ = 0;
      verify(basePath);
    }
    passFlags_[pass::kScanned] = true;
    passFlags_[pass::kVerified] = true;
  }
  useCrc_ = savedUseCrc;
  passFlags_[pass::kCrcScanRunning] = false;
  return true;
}

// ---- The decision -------------------------------------------------------------------------------

bool FileNode::verify(TextArgument basePath) {
  if (deleteCopy_ || (parent_ && parent_->isDeleteMarked())) return false;
  KeptLook keep(*this);
  const std::string local = localFile(basePath);
  if (session_) session_->setStatusLine(local);

  if (localName_) {
    if (!tempFilename_) {
      const std::string temp = tempFilename();
      if (!temp.empty()) tempFilename_ = temp;
    }
    // A new copy of the running program, running under its temporary name.
    if (tempFilename_ && isRunningProgram(*tempFilename_)) {
      existsLocally_ = opensForReading(local);
      if (existsLocally_ && installOnly_) return false;
      needsUpdate_ = crcDiffers(basePath, *tempFilename_);
      if (needsUpdate_) {
        deltaAvailable_ = findDelta(basePath);
        if (session_) session_->registerSelfReplacement(local.c_str(), nullptr);
      } else if (session_) {
        session_->startSelfCopy(tempFile(basePath).c_str(), local.c_str(), true);
      }
      return true;
    }
    // The running program itself: it cannot be replaced in place, so a new copy goes to the temporary name.
    if (isRunningProgram(*localName_)) {
      restart_ = true;
      existsLocally_ = opensForReading(local);
      if (existsLocally_ && installOnly_) return false;
      needsUpdate_ = compareCrc(basePath);
      if (needsUpdate_) {
        deltaAvailable_ = findDelta(basePath);
        if (session_) session_->registerSelfReplacement(tempFile(basePath).c_str(), local.c_str());
      } else {
        platform::deleteFile(tempFile(basePath));
      }
      return true;
    }
  }

  if (deleteMarked_) return true;
  // Nothing was written since the file was last found current under this base: it still is.
  std::uint64_t writes = 0;
  bool counted = false;
  if (session_) {
    if (const std::optional<std::uint64_t> count = session_->writeCount()) {
      writes = *count;
      counted = true;
    }
  }
  if (foundCurrent_ && counted && foundCurrent_->writes == writes && foundCurrent_->base == basePath.view() &&
      !needsUpdate_)
    return true;
  foundCurrent_.reset();
  needsUpdate_ = check(basePath);
  if (needsUpdate_) deltaAvailable_ = findDelta(basePath);
  if (!needsUpdate_ && quietlyCurrent_ && counted) foundCurrent_ = FoundCurrent{basePath.str(), writes};
  return true;
}

bool FileNode::check(TextArgument basePath) {
  quietlyCurrent_ = false;
  if (deleteCopy_) return false;
  KeptLook keep(*this);
  if (!presentLocally(basePath)) {
    existsLocally_ = false;
    if (upgradeOnly_) return false;
    logMissing();
    return true;
  }
  if (installOnly_) {
    existsLocally_ = true;
    quietlyCurrent_ = true;
    return false;
  }

  PatchCache& cache = crcCache();
  const std::string& key = crcCacheKey();
  if (!key.empty()) {
    if (PatchCacheEntry* entry = cache.lookup(key)) {
      const std::int64_t size = sizeOf(basePath);
      if (size == kInvalidSize) {
        cache.forget(key);
      } else {
        std::int32_t time = 0;
        if (timeOf(basePath, time)) entry->setTimeStamp(time);
        entry->setSize(size);
      }
    }
  }

  if (sizeDiffers(basePath)) {
    cache.forget(key);
    existsLocally_ = true;
    if (!deltaSources_.empty()) {
      localCrc_ = fileCrc(*this, basePath.str());
      if (!isCancelled()) rememberCrc(basePath, 0);
    }
    return true;
  }

  // Without a TimeStamp there is no time to compare: the CRC decides, answered by the patch cache
  // while the file's size and time stay as they were, so the file is read once, not on every run.
  if (timeStamp_ == 0 && !ignoreTimeStamp_) return compareCrc(basePath);
  if (ignoreTimeStamp_ || !timeDiffers(basePath, true)) {
    const bool differs = usesCrc() && compareCrc(basePath);
    quietlyCurrent_ = !differs && !isCancelled();
    return differs;
  }

  cache.forget(key);
  if (!compareCrc(basePath)) {
    log("--- File Discrepancy Overridden.  File is current version.\n");
    return false;
  }
  log("--- File Discrepancy Confirmed.  File is incorrect version.\n");
  return true;
}

bool FileNode::sizeDiffers(TextArgument basePath) {
  localSize_ = sizeOf(basePath);
  if (localSize_ == kInvalidSize) {
    logMissing();
    return true;
  }
  if (totalSize_ == 0 || totalSize_ == localSize_) return false;
  const char* name = localName_ ? localName_->c_str() : "";
  const auto local = static_cast<long long>(localSize_);
  const auto server = static_cast<long long>(totalSize_);
  const char* title = productTitle();
  log(title ? boundedFormat(kTextCapacity, "--- File Discrepancy S for [%s] %s: local %lld, server %lld\n", title,
                            name, local, server)
            : boundedFormat(kTextCapacity, "--- File Discrepancy S for %s: local %lld, server %lld\n", name, local,
                            server));
  return true;
}

bool FileNode::timeDiffers(TextArgument basePath, bool force) {
  if (!force && (usesCrc() || timeStamp_ == 0)) return false;
  std::int32_t local = 0;
  if (!timeOf(basePath, local)) {
    logMissing();
    return true;
  }
  if (timeStamp_ == local) return false;
  const std::int64_t difference = static_cast<std::int64_t>(timeStamp_) - local;
  if (difference >= -kTimeTolerance && difference <= kTimeTolerance) return false;

  const std::string age = boundedFormat(kTextCapacity, "%d hours, %d minutes, %d seconds",
                                        static_cast<int>(difference / 3600 % 24),
                                        static_cast<int>(difference / 60 % 60), static_cast<int>(difference % 60));
  const int days = static_cast<int>(difference / kSecondsPerDay);
  const char* name = localName_ ? localName_->c_str() : "";
  const char* title = productTitle();
  if (days >= 1) {
    log(title ? boundedFormat(kTextCapacity, "--- File Discrepancy T for [%s] %s: Out of date by %d days, %s\n", title,
                              name, days, age.c_str())
              : boundedFormat(kTextCapacity, "--- File Discrepancy T for %s: Out of date by %d days, %s\n", name, days,
                              age.c_str()));
  } else {
    log(title ? boundedFormat(kTextCapacity, "--- File Discrepancy T for [%s] %s: Out of date by %s\n", title, name,
                              age.c_str())
              : boundedFormat(kTextCapacity, "--- File Discrepancy T for %s: Out of date by %s\n", name, age.c_str()));
  }
  return true;
}

bool FileNode::crcDiffers(TextArgument basePath, const std::string& name) {
  if (crc_ == 0) return false;
  existsLocally_ = true;
  localCrc_ = fileCrc(*this, basePath.str(), name);
  if (isCancelled() || localCrc_ == crc_) return false;
  const std::string base = basePath.str();
  const int local = static_cast<int>(localCrc_);
  const int server = static_cast<int>(crc_);
  const char* title = productTitle();
  log(title ? boundedFormat(kTextCapacity, "--- File Discrepancy C for [%s] %s\\%s: local %d: server %d\n", title,
                            base.c_str(), name.c_str(), local, server)
            : boundedFormat(kTextCapacity, "--- File Discrepancy C for %s\\%s: local %d: server %d\n", base.c_str(),
                            name.c_str(), local, server));
  return true;
}

void FileNode::logMissing() const {
  const char* name = localName_ ? localName_->c_str() : "";
  const char* title = productTitle();
  log(title ? boundedFormat(kTextCapacity, "--- File Discrepancy M for [%s] %s: File not on local machine\n", title, name)
            : boundedFormat(kTextCapacity, "--- File Discrepancy M for %s: File not on local machine\n", name));
}

// ---- Measurements -------------------------------------------------------------------------------

DirectorySnapshot* FileNode::snapshotFor(TextArgument basePath) const {
  // The snapshot names files relative to the folder it was filled from; for a file under another root
  // its record of the same relative name describes a different file.
  if (!session_ || !localPath_ || !product_) return nullptr;
  DirectorySnapshot* snapshot = product_->record().snapshot();
  const std::string& folder = session_->snapshotFolder();
  if (!snapshot || snapshot != &session_->directorySnapshot() || folder.empty()) return nullptr;
  // localFile(basePath) against folder\localPath, without building either path where localFile is
  // basePath\localName as it stands.
  const bool joined = localName_ && basePath.hasText() && !platform::isAbsolutePath(*localName_);
  if (joined && basePath.view().size() < kFolderCapacity &&
      basePath.view().size() + 1 + localName_->size() < kPathCapacity)
    return joinedEqualsIgnoreCase(basePath.view(), *localName_, folder, *localPath_) ? snapshot : nullptr;
  if (!equalsIgnoreCase(localFile(basePath), folder + "\\" + *localPath_)) return nullptr;
  return snapshot;
}

const FileNode::DiskLook& FileNode::lookAt(const std::string& path) const {
  if (!keepLook_ || !look_ || look_->path != path) {
    DiskLook look;
    look.path = path;
    look.found = platform::fileInfo(path, look.info);
    look_ = std::move(look);
  }
  return *look_;
}

bool FileNode::presentLocally(TextArgument basePath) const {
  if (DirectorySnapshot* snapshot = snapshotFor(basePath)) {
    // A record in another letter case may be another file where names are case-sensitive: the disk
    // then answers.
    if (snapshot->find(*localPath_, nullptr, nullptr, nullptr) && snapshot->lastFoundPath() &&
        *snapshot->lastFoundPath() == *localPath_)
      return true;
  }
  const DiskLook& look = lookAt(localFile(basePath));
  return look.found && !look.info.isDirectory;
}

bool FileNode::timeOf(TextArgument basePath, std::int32_t& out, bool onDisk) const {
  if (!onDisk) {
    if (DirectorySnapshot* snapshot = snapshotFor(basePath)) {
      if (snapshot->find(*localPath_, nullptr, nullptr, &out)) return true;
    }
  }
  const DiskLook& look = lookAt(localFile(basePath));
  if (!look.found) return false;
  out = static_cast<std::int32_t>(look.info.modifiedSeconds);
  return true;
}

std::int64_t FileNode::sizeOf(TextArgument basePath, bool useTemp, bool onDisk) const {
  if (!onDisk && !useTemp) {
    if (DirectorySnapshot* snapshot = snapshotFor(basePath)) {
      std::int64_t size = 0;
      if (snapshot->find(*localPath_, nullptr, &size, nullptr)) return sizeOrInvalid(size);
    }
  }
  // A folder of the file's name has no size (Windows cannot open it).
  const DiskLook& look = lookAt(useTemp ? tempFile(basePath) : localFile(basePath));
  return look.found && !look.info.isDirectory ? sizeOrInvalid(static_cast<std::int64_t>(look.info.size)) : kInvalidSize;
}

bool FileNode::stampUnlessStamped(TextArgument basePath) {
  if (timeStamp_ != 0 && localPath_) {
    std::int32_t attributes = 0;
    std::int32_t time = 0;
    std::int64_t size = 0;
    DirectorySnapshot* snapshot = snapshotFor(basePath);
    const bool fromSnapshot = snapshot && snapshot->find(*localPath_, &attributes, &size, &time);
    bool known = fromSnapshot;
    if (!known) {
      const DiskLook& look = lookAt(localFile(basePath));
      known = look.found;
      attributes = static_cast<std::int32_t>(look.info.attributes);
      time = static_cast<std::int32_t>(look.info.modifiedSeconds);
    }
    if (known && time == timeStamp_ && platform::hasPlainAttributes(static_cast<std::uint32_t>(attributes))) {
      // The walk's record is what the disk would say now: the rest of this check asks it, not the disk.
      if (fromSnapshot && keepLook_ && size >= 0) {
        DiskLook look;
        look.path = localFile(basePath);
        look.found = true;
        look.info.attributes = static_cast<std::uint32_t>(attributes);
        look.info.size = static_cast<std::uint64_t>(size);
        look.info.modifiedSeconds = time;
        look_ = std::move(look);
      }
      return true;
    }
  }
  // The file changes now: what was seen of it no longer holds.
  look_.reset();
  return setFileTime(basePath, false);
}

bool FileNode::isRunningProgram(const std::string& name, bool quiet) const {
  if (!session_ || name.empty()) return false;
  const std::string& running = session_->ownFileName();
  if (running.empty()) return false;
  bool match = equalsIgnoreCase(name, running);
  if (!match && mentionsExe(name) && running.size() == 12) {
    // A short name ("WENDRE~1.EXE") only says how the long name starts.
    const std::size_t tilde = running.find('~');
    if (tilde != std::string::npos && tilde >= 1 && tilde <= 6 && name.size() >= tilde)
      match = equalsIgnoreCase(name.substr(0, tilde), running.substr(0, tilde));
  }
  if (match && !quiet)
    log(boundedFormat(kTextCapacity, "Exe Match: Name is %s, Running exe is %s\n", name.c_str(), running.c_str()));
  return match;
}

}  // namespace korvel
