// The background stager of a non-live distribution: the staging operation, its caches, the clean-up
// of the staging folder and the hand-over of staged files.
#include "staging/trickle_downloader.h"

#include <libxml/tree.h>

#include <cstdlib>

#include "bits/tarn_bits_exception.h"
#include "bits/tarn_bits_manager.h"
#include "common/file_utils.h"
#include "common/name_rules.h"
#include "common/text_format.h"
#include "fileupdate/time_stamp.h"
#include "manifest/manifest_node.h"
#include "manifest/product_record.h"
#include "manifest/xml_attributes.h"
#include "patchcache/folder_walker.h"
#include "patchcache/patch_cache.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "manifest/session_services.h"
#include "staging/staged_copy.h"
#include "staging/staging_tree_visitor.h"
#include "staging/wide_text.h"

namespace korvel {

namespace {

using tarn::trickler::TarnBitsException;
using tarn::trickler::TarnBitsFile;

// A version text read as a decimal number, as the C library reads it (0 for text that is none).
std::int32_t versionNumber(const std::string& text) { return static_cast<std::int32_t>(std::atol(text.c_str())); }

const char* orEmpty(const std::optional<std::string>& text) { return text ? text->c_str() : ""; }

// "a" + "/" + "b", or "b" alone when there is no first part yet.
std::string remoteJoined(const std::optional<std::string>& dir, const std::string& name) {
  return dir ? *dir + "/" + name : name;
}

}  // namespace

void TrickleDownloader::NodeFree::operator()(xmlNode* node) const { xmlFreeNode(node); }

TrickleDownloader::TrickleDownloader(ProductHandle* product, const xmlNode* element)
    : product_(product),
      currentCache_(std::make_unique<PatchCache>()),
      transferCache_(std::make_unique<PatchCache>()),
      element_(element ? xmlCopyNode(const_cast<xmlNode*>(element), 1) : nullptr) {
  name_ = readText(element, "Name");
  version_ = readText(element, "Version");
  server_ = readText(element, "Server");
  port_ = readInteger(element, "Port", 0);
  currentCache_->setDropMissing(false);
  transferCache_->setDropMissing(false);

  const std::optional<std::string>* productName = product_ ? &product_->record().name() : nullptr;
  if (productName && *productName && name_) {
    log(boundedFormat(kMessageCapacity, "TrickleDownloader created for '%s' distribution '%s'.\n",
                      (*productName)->c_str(), name_->c_str()));
  } else {
    log("TrickleDownloader() - product or dist name null!\n");
  }
  if (server_) {
    log(boundedFormat(kMessageCapacity, "TrickleDownloader VIP is '%s:%d'.\n", server_->c_str(), port_));
  } else {
    log("TrickleDownloader VIP is not set - using main VIP.\n");
  }
}

TrickleDownloader::~TrickleDownloader() {
  currentCache_->save();
  transferCache_->save();
}

// ---- Names, folders and caches ------------------------------------------------------------------

std::wstring TrickleDownloader::jobName(const std::string& version) const {
  const std::string productName = product_ ? orEmpty(product_->record().name()) : "";
  return widenText(productName + "|" + orEmpty(name_) + "|" + std::to_string(versionNumber(version)));
}

void TrickleDownloader::setUserName() {
  if (!userName_.empty()) return;
  try {
    TarnBitsManager manager;
    userName_ = manager.userName();
  } catch (const TarnBitsException& e) {
    log(boundedFormat(kMessageCapacity, "TrickleDownloader::setUserName(): %s\n", narrowText(e.message()).c_str()));
  }
}

std::string TrickleDownloader::stageRoot() const {
  const StagerServices* services = product_ ? product_->services() : nullptr;
  if (!services) return kStageFolderName;
  // Without a default root the installation folder holds it: a folder at the top of the drive would
  // be shared by every installation, and is not writable for a user on most systems.
  std::string base = services->defaultRootPath();
  if (base.empty()) base = services->installDirectory();
  return base.empty() ? std::string(kStageFolderName) : base + "\\" + kStageFolderName;
}

const std::string& TrickleDownloader::getStageDir() {
  if (!stageDir_.empty()) return stageDir_;
  if (userName_.empty()) setUserName();
  const std::string root = stageRoot();
  stageDir_ = userName_.empty() ? root : root + "\\" + narrowText(userName_);
  for (char& c : stageDir_)
    if (c == '/') c = '\\';
  if (!platform::pathExists(stageDir_)) {
    createDirectoryPath(stageDir_);
    platform::setFileAttributes(root, platform::kAttributeHidden);
  }
  return stageDir_;
}

void TrickleDownloader::loadCaches() {
  const std::string folder = getStageDir();
  currentCache_->open(kCurrentCacheName, folder);
  transferCache_->open(kTransferCacheName, folder);
  cachesLoaded_ = true;
}

bool TrickleDownloader::versionChanged() {
  if (!version_) {
    log("TrickleDownloader::versionChanged(): WARNING: Distribution has no version!\n");
    return false;
  }
  if (!cachesLoaded_) loadCaches();
  const std::optional<std::string>& serial = currentCache_->serial();
  if (!serial) return versionNumber(*version_) != 0;
  stagedVersion_ = *serial;
  return versionNumber(*serial) != versionNumber(*version_);
}

bool TrickleDownloader::admitName(const std::optional<std::string>& name) const {
  if (name && isPlainName(*name)) return true;
  // The staged files live below the staging folder, whatever the manifest says.
  log(boundedFormat(kMessageCapacity, "TrickleDownloader: entry refused, \"%s\" is not a plain file or folder name.\n",
                    orEmpty(name)));
  return false;
}

// ---- The staging operation -----------------------------------------------------------------------

void TrickleDownloader::stageDistribution() {
  // A version that reads as 0 finds itself unchanged after the restage as well: one restage per call.
  if (stagePass(true)) stagePass(false);
}

bool TrickleDownloader::stagePass(bool mayRestage) {
  StagerServices* services = product_ ? product_->services() : nullptr;
  if (!services || !services->trickleEnabled()) {
    log("TrickleDownloader disabled, skipping stage operation\n");
    done_ = true;
    return false;
  }
  log("TrickleDownloader::stageDistribution()\n");
  if (done_) return false;

  std::unique_ptr<TarnBitsManager> manager;
  try {
    manager = std::make_unique<TarnBitsManager>();
  } catch (const TarnBitsException& e) {
    log(boundedFormat(kMessageCapacity, "TarnBitsException creating Manager: %s\n", narrowText(e.message()).c_str()));
    return false;
  }
  userName_ = manager->userName();

  if (versionChanged()) {
    completeCurrentJob(*manager);
    const std::wstring name = jobName(*version_);
    if (TarnBitsJob* job = manager->addJob(name)) {
      processDistribution(*job);
      if (job->fileCount() == 0) {
        manager->removeJob(job, true);
      } else {
        log(" BITS job created\n");
        job->resume();
      }
    } else if (manager->hasJob(name)) {
      log("Valid Job already exists, re-sync'ing cache\n");
      rebuildCache(*manager, name);
    }
  } else if (version_) {
    if (TarnBitsJob* job = manager->findJob(jobName(*version_))) {
      log("  current version already staged\n");
      if (job->isSuspended()) job->resume();
    } else {
      log("  BITS Job missing (could be complete), restaging...\n");
      currentCache_->clear();
      currentCache_->setSerial("0");
      currentCache_->save();
      if (mayRestage) return true;
    }
  }
  done_ = true;
  return false;
}

void TrickleDownloader::processDistribution(TarnBitsJob& job) {
  processNodes(element_ ? element_->children : nullptr, getStageDir(), std::nullopt, job);
  currentCache_->setSerial(version_);
  currentCache_->save();
  int entries = 0;
  for (const auto& [key, entry] : currentCache_->entries())
    if (entry) ++entries;
  log(boundedFormat(kMessageCapacity, "TrickleDownloader staging cache size: %d\n", entries));
}

void TrickleDownloader::processNodes(const xmlNode* node, const std::string& localDir,
                                     const std::optional<std::string>& remoteDir, TarnBitsJob& job) {
  for (; node; node = node->next) {
    if (!node->name) continue;
    if (isElementNamed(node, "Directory")) {
      const std::optional<std::string> name = readText(node, "Name");
      if (name && *name == ".") {
        processNodes(node->children, localDir, readText(node, "RemotePath"), job);
        continue;
      }
      // The folder below the staging folder is the one the live directory will have.
      const std::optional<std::string> localName = readText(node, "LocalName", name);
      const bool sameFolder = localName && *localName == ".";
      if (!admitName(name) || (!sameFolder && !admitName(localName))) continue;
      const std::string local = sameFolder ? localDir : localDir + "\\" + *localName;
      const std::string remote = remoteJoined(remoteDir, *name);
      if (local.size() >= kMessageCapacity || remote.size() >= kMessageCapacity) {
        log(boundedFormat(kMessageCapacity, "TrickleDownloader: path too long, skipping '%s'\n", name->c_str()));
        continue;
      }
      processNodes(node->children, local, remote, job);
    } else if (isElementNamed(node, "File")) {
      const std::optional<std::string> name = readText(node, "Name");
      if (!name) {
        log("File node has no Name attribute\n");
        continue;
      }
      processFileNode(node, localDir, *name, remoteDir, job);
    } else {
      log(boundedFormat(kMessageCapacity, "TrickleDownloader: unable to handle node type: '%s'\n",
                        reinterpret_cast<const char*>(node->name)));
    }
  }
}

void TrickleDownloader::processFileNode(const xmlNode* file, const std::string& localDir, const std::string& localName,
                                        const std::optional<std::string>& remoteDir, TarnBitsJob& job) {
  // Only element children count: the blanks of an indented document are not entries.
  bool hasElements = false;
  for (const xmlNode* child = file->children; child; child = child->next) {
    if (!isElement(child)) continue;
    hasElements = true;
    if (isElementNamed(child, "DeltaFile")) {
      stageEntry(child, file, localDir, localName, remoteDir, job);
    } else {
      log(boundedFormat(kMessageCapacity, "TrickleDownloader: expected DeltaFile, got '%s'.\n",
                        reinterpret_cast<const char*>(child->name)));
    }
  }
  if (!hasElements) stageEntry(nullptr, file, localDir, localName, remoteDir, job);
}

void TrickleDownloader::stageEntry(const xmlNode* delta, const xmlNode* file, const std::string& localDir,
                                   const std::string& localName, const std::optional<std::string>& remoteDir,
                                   TarnBitsJob& job) {
  std::optional<std::string> remoteName;
  std::optional<std::string> stagedName;
  PatchCacheEntry expected;
  // The expected values are those of the file once in place: its CRC and "TotalSize", not the
  // "DownloadSize" of the body the service fetches (the copy is expanded when it is taken).
  if (delta) {
    remoteName = readText(delta, "FilePath");
    stagedName = remoteName;
    log(boundedFormat(kMessageCapacity, "processing delta '%s' for local file '%s'\n", orEmpty(remoteName),
                      localName.c_str()));
    expected.set(readInteger(delta, "CRC", 0), 0, readSize(delta, "TotalSize"));
  } else {
    remoteName = readText(file, "Name");
    stagedName = readText(file, "LocalName", remoteName);
    log(boundedFormat(kMessageCapacity, "processing remotename '%s' for local file '%s'\n", orEmpty(remoteName),
                      localName.c_str()));
    const std::optional<std::string> timeStamp = readText(file, "TimeStamp");
    expected.set(readInteger(file, "CRC", 0), readTimeStamp(timeStamp ? timeStamp->c_str() : nullptr),
                 readSize(file, "TotalSize"));
  }
  if (!remoteName || !admitName(stagedName)) return;
  if (!needsStaging(localDir, *stagedName, expected, job)) return;
  log(boundedFormat(kMessageCapacity, "mkdir '%s'\n", localDir.c_str()));
  if (!createDirectoryPath(localDir)) log("Failed to create path\n");
  stageFile(localDir + "\\" + *stagedName, remoteDir, *remoteName, job);
}

void TrickleDownloader::stageFile(const std::string& localPath, const std::optional<std::string>& remoteDir,
                                  const std::string& remoteName, TarnBitsJob& job) {
  // A background transfer knows one URL: the server the stager names (on the product's port when it
  // names none), else the first the product's requests would ask.
  const ProductRecord* record = product_ ? &product_->record() : nullptr;
  const std::string remotePath = remoteJoined(remoteDir, remoteName);
  std::optional<RemoteFile> remote;
  if (server_) {
    remote = remoteFileOn(record ? record->services() : nullptr, remotePath, server_,
                          port_ > 0 ? port_ : (record ? record->namedPort() : 0));
  } else if (record) {
    remote = record->remoteFile(remotePath);
  }
  const StagerServices* services = record ? record->services() : nullptr;
  const std::optional<ServerAddress> host =
      remote ? (services ? services->firstServer(*remote) : remote->server) : std::nullopt;
  // Formatted with room to spare, so that a URL too long for a job is refused below rather than cut.
  const std::string url = host ? host->url(remotePath, 2 * kMessageCapacity) : std::string();
  log(boundedFormat(kMessageCapacity, "TrickleDownloader::stageFile(%s,%s)\n", url.c_str(), localPath.c_str()));
  if (!host || url.size() >= kMessageCapacity || localPath.size() >= kMessageCapacity) {
    log(boundedFormat(kMessageCapacity, "  Error adding file to bits job: %s\n",
                      host ? "the URL or the local path is too long" : "no server is known"));
    return;
  }
  if (job.addFile(widenText(url), widenText(localPath))) {
    log("  File added successfully\n");
  } else {
    log(boundedFormat(kMessageCapacity, "  Error adding file to bits job: %s\n", narrowText(job.lastError()).c_str()));
  }
}

// ---- The caches and the clean-up ------------------------------------------------------------------

bool TrickleDownloader::needsStaging(const std::string& localDir, const std::string& name,
                                     const PatchCacheEntry& expected, TarnBitsJob& job) {
  const std::string key = localDir + "\\" + name;
  const bool inJob = job.findFile(widenText(key)) != nullptr;
  const PatchCacheEntry* arrived = transferCache_->entry(key);
  if (arrived && arrived->matches(expected)) return false;
  currentCache_->remember(key, expected.crc(), expected.timeStamp(), expected.size());
  return !inJob;
}

void TrickleDownloader::completeCurrentJob(TarnBitsManager& manager) {
  versionChanged();
  if (!stagedVersion_) return;
  const std::wstring name = jobName(*stagedVersion_);
  log(boundedFormat(kMessageCapacity, "TrickleDownloader::completeCurrentJob(): '%s'.\n", narrowText(name).c_str()));
  TarnBitsJob* job = manager.findJob(name);
  if (!job) {
    log("TrickleDownloader::completeCurrentJob(): job not found\n");
    return;
  }
  for (TarnBitsFile* file : job->files()) {
    const std::string key = narrowText(file->name());
    const PatchCacheEntry* handed = currentCache_->entry(key);
    if (!handed || !(file->isCompleted() || file->bytesTransferred() == file->bytesTotal())) continue;
    transferCache_->remember(key, handed->crc(), handed->timeStamp(), handed->size());
    currentCache_->forget(key);
  }
  // What else was handed to the job and is on disk counts as arrived; getStagedFile checks every
  // copy before it takes it.
  for (const auto& [key, entry] : currentCache_->entries()) {
    if (!entry || !platform::pathExists(key)) continue;
    transferCache_->forget(key);
    transferCache_->remember(key, entry->crc(), entry->timeStamp(), entry->size());
  }
  currentCache_->clear();
  currentCache_->setSerial("0");
  currentCache_->save();
  transferCache_->save();
  cleanStageDir();
  if (manager.completeJob(job)) log("TrickleDownloader successfully completed job\n");
}

void TrickleDownloader::rebuildCache(TarnBitsManager& manager, const std::wstring& jobName) {
  TarnBitsJob* job = manager.findJob(jobName);
  if (!cachesLoaded_) loadCaches();
  if (!job) return;
  if (job->isInError()) {
    log("TrickleDownloader::rebuildCache(): clearing errored job");
    currentCache_->clear();
    currentCache_->save();
    manager.removeJob(job, true);
    return;
  }
  processDistribution(*job);
}

void TrickleDownloader::cleanStageDir() {
  log("TrickleDownloader::cleanStageDir()\n");
  StagingTreeVisitor visitor(transferCache_.get());
  FolderWalker walker(&visitor);
  walker.walk(getStageDir());
}

// ---- Staged copies for the live distribution -------------------------------------------------------

bool TrickleDownloader::getStagedFile(TextArgument baseDir, TextArgument localPath, std::uint32_t crc,
                                      std::int64_t size, std::int32_t timeStamp, bool move,
                                      const StagedCopyCheck& check) {
  const std::string local = localPath.str();
  const std::string base = baseDir.str();
  // The part of localPath after baseDir and its separator (all of it when there is no base).
  const std::size_t skip = base.empty() ? 0 : base.size() + 1;
  std::string relative = local.size() > skip ? local.substr(skip) : std::string();
  if (check.deltaName) {
    // Staged only under a plain name, so no other name can be in the cache.
    if (!admitName(check.deltaName)) return false;
    const std::size_t cut = relative.find_last_of('\\');
    relative = cut == std::string::npos ? *check.deltaName : relative.substr(0, cut + 1) + *check.deltaName;
  }
  std::string message = "TrickleDownloader::getStagedFile() '";
  // Nothing was ever staged under this root: no folder, no service connection, nothing created.
  if (!cachesLoaded_ && !platform::pathExists(stageRoot())) {
    log(cutToCapacity(message + stageRoot() + "\\" + relative + "': No asset exists by that name\n", kMessageCapacity));
    return false;
  }
  if (!cachesLoaded_) loadCaches();
  const std::string stagedPath = getStageDir() + "\\" + relative;
  const PatchCacheEntry* cached = transferCache_->entry(stagedPath);
  const bool matched = cached && cached->matches(static_cast<std::int32_t>(crc), timeStamp, size);
  const bool existed = cached != nullptr;
  if (matched && move) transferCache_->forget(stagedPath);

  message += stagedPath + "': ";
  bool result = false;
  if (matched) {
    message += "matched ";
    if (!platform::pathExists(stagedPath)) {
      message += ", but the staged file is missing.\n";
    } else if (!move) {
      message += "and moved\n";
      result = true;
    } else {
      StagerServices* services = product_ ? product_->services() : nullptr;
      StagedFileExpectation expected;
      expected.size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
      expected.crc = check.deltaName ? 0 : crc;
      expected.sha256 = check.sha256;
      expected.stopping = [services] { return services && services->isCancelled(); };
      switch (installStagedCopy(stagedPath, local, expected)) {
        case StagedCopyResult::Installed:
          message += "and moved\n";
          result = true;
          break;
        case StagedCopyResult::Mismatch:
          message += ", but it is not the manifest's file (size, CRC or SHA-256 differ), removed.\n";
          break;
        case StagedCopyResult::NotMoved:
          message += ", but failed to move file.\n";
          break;
      }
    }
  } else {
    message += existed ? "Asset doesn't match given crc\n" : "No asset exists by that name\n";
  }
  log(cutToCapacity(message, kMessageCapacity));
  return result;
}

void TrickleDownloader::log(const std::string& line) const {
  const std::string text = cutToCapacity(line, kMessageCapacity);
  if (product_ && product_->services()) product_->services()->log(text);
  platform::debugOutput(text);
}

}  // namespace korvel
