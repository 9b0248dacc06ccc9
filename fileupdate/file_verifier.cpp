// The verification of a file's local copy against the manifest (presence, size, time stamp and CRC
// through the patch cache and the folder snapshot) and the discrepancy log lines.
#include "fileupdate/file_verifier.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "common/text_format.h"
#include "fileupdate/file_crc.h"
#include "fileupdate/file_node.h"
#include "manifest/product_record.h"
#include "manifest/session_services.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/patch_cache.h"
#include "platform/file.h"

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

// The base path as the files of one folder share it: a scan verifies them one after another with
// the same base, which each remembers with the file it found current.
std::shared_ptr<const std::string> sharedBase(std::string_view base) {
  thread_local std::shared_ptr<const std::string> last;
  if (!last || *last != base) last = std::make_shared<const std::string>(base);
  return last;
}

std::int64_t sizeOrInvalid(std::int64_t size) { return size < 0 ? FileVerifier::kInvalidSize : size; }

}  // namespace

// Keeps the verifier's look at the disk for the time of one verification (the outermost one, when they
// nest).
class FileVerifier::KeptLook {
 public:
  explicit KeptLook(FileVerifier& verifier) : verifier_(verifier), outer_(!verifier.keepLook_) {
    verifier_.keepLook_ = true;
  }
  ~KeptLook() {
    if (!outer_) return;
    verifier_.keepLook_ = false;
    verifier_.look_.reset();
  }
  KeptLook(const KeptLook&) = delete;
  KeptLook& operator=(const KeptLook&) = delete;

 private:
  FileVerifier& verifier_;
  bool outer_;
};

FileVerifier::FileVerifier(FileNode& file) : file_(file) {}

// ---- The decision -------------------------------------------------------------------------------

bool FileVerifier::verify(TextArgument basePath) {
  FileNode& f = file_;
  if (f.deleteCopy_ || (f.parent_ && f.parent_->isDeleteMarked())) return false;
  KeptLook keep(*this);
  const std::string local = f.localFile(basePath);
  FileNodeServices* session = f.session_;
  if (session) session->setStatusLine(local);

  if (f.localName_) {
    if (!f.tempFilename_) {
      const std::string temp = f.tempFilename();
      if (!temp.empty()) f.tempFilename_ = temp;
    }
    // A new copy of the running program, running under its temporary name.
    if (f.tempFilename_ && isRunningProgram(*f.tempFilename_)) {
      f.existsLocally_ = opensForReading(local);
      if (f.existsLocally_ && f.installOnly_) return false;
      f.needsUpdate_ = crcDiffers(basePath, *f.tempFilename_);
      if (f.needsUpdate_) {
        f.deltaAvailable_ = f.findDelta(basePath);
        if (session) session->registerSelfReplacement(local.c_str(), nullptr);
      } else if (session) {
        session->startSelfCopy(f.tempFile(basePath).c_str(), local.c_str(), true);
      }
      return true;
    }
    // The running program itself: it cannot be replaced in place, so a new copy goes to the temporary name.
    if (isRunningProgram(*f.localName_)) {
      f.restart_ = true;
      f.existsLocally_ = opensForReading(local);
      if (f.existsLocally_ && f.installOnly_) return false;
      f.needsUpdate_ = f.compareCrc(basePath);
      if (f.needsUpdate_) {
        f.deltaAvailable_ = f.findDelta(basePath);
        if (session) session->registerSelfReplacement(f.tempFile(basePath).c_str(), local.c_str());
      } else {
        platform::deleteFile(f.tempFile(basePath));
      }
      return true;
    }
  }

  if (f.deleteMarked_) return true;
  // Nothing was written since the file was last found current under this base: it still is.
  std::uint64_t writes = 0;
  bool counted = false;
  if (session) {
    if (const std::optional<std::uint64_t> count = session->writeCount()) {
      writes = *count;
      counted = true;
    }
  }
  if (foundCurrent_ && counted && foundCurrent_->writes == writes && *foundCurrent_->base == basePath.view() &&
      !f.needsUpdate_)
    return true;
  foundCurrent_.reset();
  f.needsUpdate_ = check(basePath);
  if (f.needsUpdate_) f.deltaAvailable_ = f.findDelta(basePath);
  if (!f.needsUpdate_ && quietlyCurrent_ && counted) foundCurrent_ = FoundCurrent{sharedBase(basePath.view()), writes};
  return true;
}

bool FileVerifier::check(TextArgument basePath) {
  FileNode& f = file_;
  quietlyCurrent_ = false;
  if (f.deleteCopy_) return false;
  KeptLook keep(*this);
  if (!presentLocally(basePath)) {
    f.existsLocally_ = false;
    if (f.upgradeOnly_) return false;
    logMissing();
    return true;
  }
  if (f.installOnly_) {
    f.existsLocally_ = true;
    quietlyCurrent_ = true;
    return false;
  }

  PatchCache& cache = f.crcCache();
  const std::string& key = f.crcCacheKey();
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
    f.existsLocally_ = true;
    if (!f.deltaSources_.empty()) {
      f.localCrc_ = fileCrc(f, basePath.str());
      if (!f.isCancelled()) rememberCrc(basePath, 0);
    }
    return true;
  }

  // Without a TimeStamp there is no time to compare: the CRC decides, answered by the patch cache
  // while the file's size and time stay as they were, so the file is read once, not on every run.
  if (f.timeStamp_ == 0 && !f.ignoreTimeStamp_) return f.compareCrc(basePath);
  if (f.ignoreTimeStamp_ || !timeDiffers(basePath, true)) {
    const bool differs = f.usesCrc() && f.compareCrc(basePath);
    quietlyCurrent_ = !differs && !f.isCancelled();
    return differs;
  }

  cache.forget(key);
  if (!f.compareCrc(basePath)) {
    f.log("--- File Discrepancy Overridden.  File is current version.\n");
    return false;
  }
  f.log("--- File Discrepancy Confirmed.  File is incorrect version.\n");
  return true;
}

bool FileVerifier::sizeDiffers(TextArgument basePath) {
  FileNode& f = file_;
  f.localSize_ = sizeOf(basePath);
  if (f.localSize_ == kInvalidSize) {
    logMissing();
    return true;
  }
  if (f.totalSize_ == 0 || f.totalSize_ == f.localSize_) return false;
  const char* name = f.localName_ ? f.localName_->c_str() : "";
  const auto local = static_cast<long long>(f.localSize_);
  const auto server = static_cast<long long>(f.totalSize_);
  const char* title = f.productTitle();
  f.log(title ? boundedFormat(kTextCapacity, "--- File Discrepancy S for [%s] %s: local %lld, server %lld\n", title,
                              name, local, server)
              : boundedFormat(kTextCapacity, "--- File Discrepancy S for %s: local %lld, server %lld\n", name, local,
                              server));
  return true;
}

bool FileVerifier::timeDiffers(TextArgument basePath, bool force) {
  const FileNode& f = file_;
  if (!force && (f.usesCrc() || f.timeStamp_ == 0)) return false;
  std::int32_t local = 0;
  if (!timeOf(basePath, local)) {
    logMissing();
    return true;
  }
  if (f.timeStamp_ == local) return false;
  const std::int64_t difference = static_cast<std::int64_t>(f.timeStamp_) - local;
  if (difference >= -kTimeTolerance && difference <= kTimeTolerance) return false;

  const std::string age = boundedFormat(kTextCapacity, "%d hours, %d minutes, %d seconds",
                                        static_cast<int>(difference / 3600 % 24),
                                        static_cast<int>(difference / 60 % 60), static_cast<int>(difference % 60));
  const int days = static_cast<int>(difference / kSecondsPerDay);
  const char* name = f.localName_ ? f.localName_->c_str() : "";
  const char* title = f.productTitle();
  if (days >= 1) {
    f.log(title ? boundedFormat(kTextCapacity, "--- File Discrepancy T for [%s] %s: Out of date by %d days, %s\n",
                                title, name, days, age.c_str())
                : boundedFormat(kTextCapacity, "--- File Discrepancy T for %s: Out of date by %d days, %s\n", name,
                                days, age.c_str()));
  } else {
    f.log(title ? boundedFormat(kTextCapacity, "--- File Discrepancy T for [%s] %s: Out of date by %s\n", title, name,
                                age.c_str())
                : boundedFormat(kTextCapacity, "--- File Discrepancy T for %s: Out of date by %s\n", name,
                                age.c_str()));
  }
  return true;
}

bool FileVerifier::crcDiffers(TextArgument basePath, const std::string& name) {
  FileNode& f = file_;
  if (f.crc_ == 0) return false;
  f.existsLocally_ = true;
  f.localCrc_ = fileCrc(f, basePath.str(), name);
  if (f.isCancelled() || f.localCrc_ == f.crc_) return false;
  const std::string base = basePath.str();
  const int local = static_cast<int>(f.localCrc_);
  const int server = static_cast<int>(f.crc_);
  const char* title = f.productTitle();
  f.log(title ? boundedFormat(kTextCapacity, "--- File Discrepancy C for [%s] %s\\%s: local %d: server %d\n", title,
                              base.c_str(), name.c_str(), local, server)
              : boundedFormat(kTextCapacity, "--- File Discrepancy C for %s\\%s: local %d: server %d\n", base.c_str(),
                              name.c_str(), local, server));
  return true;
}

bool FileVerifier::compareCrc(TextArgument basePath) {
  FileNode& f = file_;
  if (f.crc_ == 0) return false;
  f.existsLocally_ = true;
  f.localCrc_ = fileCrc(f, basePath.str());
  if (f.isCancelled()) return false;
  bool differs = false;
  if (f.localCrc_ == f.crc_) {
    stampUnlessStamped(basePath);
  } else {
    const char* title = f.productTitle();
    const std::string base = basePath.str();
    const char* name = f.localName_ ? f.localName_->c_str() : "";
    f.log(title ? boundedFormat(FileNode::kLineCapacity, "--- File Discrepancy C for [%s] %s\\%s: local %d: server %d\n",
                                title, base.c_str(), name, static_cast<int>(f.localCrc_), static_cast<int>(f.crc_))
                : boundedFormat(FileNode::kLineCapacity, "--- File Discrepancy C for %s\\%s: local %d: server %d\n",
                                base.c_str(), name, static_cast<int>(f.localCrc_), static_cast<int>(f.crc_)));
    differs = true;
  }
  rememberCrc(basePath, 0);
  return differs;
}

void FileVerifier::rememberCrc(TextArgument basePath, std::uint32_t crc) {
  const std::uint32_t value = crc != 0 ? crc : file_.localCrc_;
  if (value == 0) return;
  const DiskLook& look = lookAt(file_.localFile(basePath));
  if (!look.found) return;
  file_.crcCache().remember(file_.crcCacheKey(), static_cast<std::int32_t>(value),
                            static_cast<std::int32_t>(look.info.modifiedSeconds),
                            static_cast<std::int64_t>(look.info.size));
}

void FileVerifier::logMissing() const {
  const char* name = file_.localName_ ? file_.localName_->c_str() : "";
  const char* title = file_.productTitle();
  file_.log(title ? boundedFormat(kTextCapacity, "--- File Discrepancy M for [%s] %s: File not on local machine\n",
                                  title, name)
                  : boundedFormat(kTextCapacity, "--- File Discrepancy M for %s: File not on local machine\n", name));
}

// ---- Measurements -------------------------------------------------------------------------------

DirectorySnapshot* FileVerifier::snapshotFor(TextArgument basePath) const {
  const FileNode& f = file_;
  // The snapshot names files relative to the folder it was filled from; for a file under another root
  // its record of the same relative name describes a different file.
  if (!f.session_ || !f.localPath_ || !f.product_) return nullptr;
  DirectorySnapshot* snapshot = f.product_->record().snapshot();
  const std::string& folder = f.session_->snapshotFolder();
  if (!snapshot || snapshot != &f.session_->directorySnapshot() || folder.empty()) return nullptr;
  // localFile(basePath) against folder\localPath, without building either path where localFile is
  // basePath\localName as it stands.
  const bool joined = f.localName_ && basePath.hasText() && !platform::isAbsolutePath(*f.localName_);
  if (joined && basePath.view().size() < FileNode::kFolderCapacity &&
      basePath.view().size() + 1 + f.localName_->size() < FileNode::kPathCapacity)
    return joinedEqualsIgnoreCase(basePath.view(), *f.localName_, folder, *f.localPath_) ? snapshot : nullptr;
  if (!equalsIgnoreCase(f.localFile(basePath), folder + "\\" + *f.localPath_)) return nullptr;
  return snapshot;
}

void FileVerifier::keep(DiskLook&& look) const {
  // Into the block already held, so that a look handed out earlier stays where it was.
  if (look_)
    *look_ = std::move(look);
  else
    look_ = std::make_unique<DiskLook>(std::move(look));
}

const FileVerifier::DiskLook& FileVerifier::lookAt(const std::string& path) const {
  if (!keepLook_ || !look_ || look_->path != path) {
    DiskLook look;
    look.path = path;
    look.found = platform::fileInfo(path, look.info);
    keep(std::move(look));
  }
  return *look_;
}

bool FileVerifier::presentLocally(TextArgument basePath) const {
  if (DirectorySnapshot* snapshot = snapshotFor(basePath)) {
    // A record in another letter case may be another file where names are case-sensitive: the disk
    // then answers.
    if (snapshot->find(*file_.localPath_, nullptr, nullptr, nullptr) && snapshot->lastFoundPath() &&
        *snapshot->lastFoundPath() == *file_.localPath_)
      return true;
  }
  const DiskLook& look = lookAt(file_.localFile(basePath));
  return look.found && !look.info.isDirectory;
}

bool FileVerifier::timeOf(TextArgument basePath, std::int32_t& out, bool onDisk) const {
  if (!onDisk) {
    if (DirectorySnapshot* snapshot = snapshotFor(basePath)) {
      if (snapshot->find(*file_.localPath_, nullptr, nullptr, &out)) return true;
    }
  }
  const DiskLook& look = lookAt(file_.localFile(basePath));
  if (!look.found) return false;
  out = static_cast<std::int32_t>(look.info.modifiedSeconds);
  return true;
}

std::int64_t FileVerifier::sizeOf(TextArgument basePath, bool useTemp, bool onDisk) const {
  if (!onDisk && !useTemp) {
    if (DirectorySnapshot* snapshot = snapshotFor(basePath)) {
      std::int64_t size = 0;
      if (snapshot->find(*file_.localPath_, nullptr, &size, nullptr)) return sizeOrInvalid(size);
    }
  }
  // A folder of the file's name has no size (Windows cannot open it).
  const DiskLook& look = lookAt(useTemp ? file_.tempFile(basePath) : file_.localFile(basePath));
  return look.found && !look.info.isDirectory ? sizeOrInvalid(static_cast<std::int64_t>(look.info.size)) : kInvalidSize;
}

bool FileVerifier::stampUnlessStamped(TextArgument basePath) {
  const FileNode& f = file_;
  if (f.timeStamp_ != 0 && f.localPath_) {
    std::int32_t attributes = 0;
    std::int32_t time = 0;
    std::int64_t size = 0;
    DirectorySnapshot* snapshot = snapshotFor(basePath);
    const bool fromSnapshot = snapshot && snapshot->find(*f.localPath_, &attributes, &size, &time);
    bool known = fromSnapshot;
    if (!known) {
      const DiskLook& look = lookAt(f.localFile(basePath));
      known = look.found;
      attributes = static_cast<std::int32_t>(look.info.attributes);
      time = static_cast<std::int32_t>(look.info.modifiedSeconds);
    }
    if (known && time == f.timeStamp_ && platform::hasPlainAttributes(static_cast<std::uint32_t>(attributes))) {
      // The walk's record is what the disk would say now: the rest of this check asks it, not the disk.
      if (fromSnapshot && keepLook_ && size >= 0) {
        DiskLook look;
        look.path = f.localFile(basePath);
        look.found = true;
        look.info.attributes = static_cast<std::uint32_t>(attributes);
        look.info.size = static_cast<std::uint64_t>(size);
        look.info.modifiedSeconds = time;
        keep(std::move(look));
      }
      return true;
    }
  }
  // The file changes now: what was seen of it no longer holds.
  look_.reset();
  return file_.installer().setFileTime(basePath, false);
}

bool FileVerifier::isRunningProgram(const std::string& name, bool quiet) const {
  const FileNode& f = file_;
  if (!f.session_ || name.empty()) return false;
  const std::string& running = f.session_->ownFileName();
  if (running.empty()) return false;
  bool match = equalsIgnoreCase(name, running);
  if (!match && mentionsExe(name) && running.size() == 12) {
    // A short name ("WENDRE~1.EXE") only says how the long name starts.
    const std::size_t tilde = running.find('~');
    if (tilde != std::string::npos && tilde >= 1 && tilde <= 6 && name.size() >= tilde)
      match = equalsIgnoreCase(name.substr(0, tilde), running.substr(0, tilde));
  }
  if (match && !quiet)
    f.log(boundedFormat(kTextCapacity, "Exe Match: Name is %s, Running exe is %s\n", name.c_str(), running.c_str()));
  return match;
}

}  // namespace korvel
