// The node of a "File" element: one file of the installation with its expected size, time stamp and
// CRC, its delta sources, its eligibility for a walk, its per-pass bookkeeping and its counts. The work
// on the file itself is done by the node's verifier (is the local copy current?), its installer
// (download, temporary, rename) and its delta applier, which the node's slots hand it to.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileupdate/crc_subject.h"
#include "fileupdate/delta_applier.h"
#include "fileupdate/delta_source.h"
#include "fileupdate/file_installer.h"
#include "fileupdate/file_verifier.h"
#include "manifest/manifest_node.h"
#include "transfer/partial_file.h"

namespace korvel {

class FileNodeServices;
class PatchCache;

class FileNode : public ManifestNode, public CrcSubject {
 public:
  // localFile and tempFile hold at most this many bytes with the terminator (511 characters).
  static constexpr std::size_t kPathCapacity = 512;
  // The buffer of the folder part of a local path; a longer folder gives no path at all.
  static constexpr std::size_t kFolderCapacity = 256;
  // Log lines hold at most 255 characters.
  static constexpr std::size_t kLineCapacity = 256;

  // A "ReferenceDistribution" child: a name and a type (0 to 3 for "A" to "D", -1 otherwise).
  struct ReferenceDistribution {
    std::string name;
    int type = -1;
  };

  // `session` (may be null) is what the file asks of the session it belongs to; it must outlive the node.
  explicit FileNode(FileNodeServices* session);
  ~FileNode() override;

  // Slot 2: eligible(flags) and (the scan found a discrepancy or an update is forced).
  bool needsUpdate(ProductHandle* pass, ScanFlags flags) const override;
  // Slot 3: any FileEnv flag or XtraFile, else the base answer.
  bool hasEnvironmentFiles() const override;
  // Slot 5: the base attributes and readOwnAttributes; localPath := resolveFilePath(localName,
  // LocalPath, parentLocal) (localName defaults to Name), remotePath := resolveFilePath(Name,
  // RemotePath, parentRemote); then the "DeltaFile" and "ReferenceDistribution" children. A file
  // without a local path never needs an update. Returns true.
  bool readFromElement(xmlNode* element, ManifestNode* parent, ManifestNode* previous, TextArgument parentLocal,
                       TextArgument parentRemote, ProductHandle* product) override;
  // Slot 6: once per pass (pass flag 4) for an eligible file while the session runs: with `withCrc`
  // the file is checked with CRC checking on and the cached CRC ignored, otherwise verified as in a
  // scan. The file then counts as scanned and verified. False only for a file already CRC-scanned.
  bool crcScan(bool withCrc, ScanFlags flags, TextArgument basePath) override;
  // Slot 7: true for a file that restarts the program, otherwise the base answer.
  bool usesCrc() const override;
  // Slot 10: stores the root and verifies the file against it (counted by the session's progress).
  void setRootOverride(TextArgument path) override;
  // Slot 12: verifies an eligible file once per pass (pass flags 0 and 5; with 0x80 a file already
  // scanned is skipped), counted by the session's progress. Nothing once the session is cancelled.
  void scan(ScanFlags flags, ProductHandle* product, TextArgument basePath) override;
  // Slot 14: LocalName, TotalSize, DownloadSize, TimeStamp, Restart, Keep_Backup, TempFilename, CRC,
  // SHA256 and Compressed (default true). An uncompressed file without a DownloadSize downloads
  // TotalSize bytes; a file that would use CRC checks but names no CRC does not use them (useCrc 0).
  void readOwnAttributes(xmlNode* element) override;
  // "Name", "LocalName" and "TempFilename" must be plain names.
  std::optional<std::string> refusedName() const override;
  // A "TotalSize" or "DownloadSize" of the file or of one of its deltas that is no byte count.
  bool hasRefusedSize() const override;
  // Slot 15: once per pass (pass flag 3): TotalSize of a file to update, unless deltas only are asked
  // (0x40000), a delta is chosen, or only compressed files count (0x800) and this one is not; then
  // the chosen delta's TotalSize (or 0). Nothing with 0x80000.
  std::int64_t countDownloadBytes(ProductHandle* pass, ScanFlags flags) override;
  // Slot 16: once per pass (pass flag 2): transferSize() of a file to update.
  std::int64_t countCompressedBytes(ProductHandle* pass, ScanFlags flags) override;
  // Slot 17: TotalSize, plus transferSize() when the file needs an update.
  std::int64_t largestSpaceNeeded(ProductHandle* pass, ScanFlags flags) override;
  // Slot 18: brings a file that needs an update up to date (FileInstaller::download).
  int download(ScanFlags flags, ProductHandle* product, TextArgument basePath) override;
  // Slot 19: removes a delete-marked file that is writable (FileInstaller::removeDeleted). Returns true.
  bool removeDeleted(TextArgument basePath) override;
  // Slot 20: 0 for a deleted or ineligible file. With 0x20000: updateCountUnit() when the file needs
  // an update and is not excluded from the update count (pass flag 7), else 0. Otherwise 1 once per
  // pass (pass flag 1), honouring 0x80 (skip scanned, flag 5) and 0x100 (skip verified, flag 0).
  int countFiles(ProductHandle* pass, ScanFlags flags) override;
  // Slot 21: TotalSize under the guards of countFiles (without its 0x20000 case).
  std::int64_t countBytes(ProductHandle* pass, ScanFlags flags) override;
  // Slot 22: deleteMarked := true.
  void markDelete() override;
  // Slot 27: stores the value for indices 0 to 7; others are ignored.
  void setPassFlag(int index, bool value) override;
  // Slot 29: marks the file; a file that would have been updated warns the session (once per session)
  // and logs that it is not updated (once per file).
  void markLimitExceeded(ScanFlags flags) override;

  // Slot 31: whether the CRC shows a discrepancy (FileVerifier::compareCrc).
  virtual bool compareCrc(TextArgument basePath);
  // Slot 32: chooses the delta that fits the local file (DeltaApplier::choose).
  virtual bool findDelta(TextArgument basePath);
  // Slot 33: patches the file by its chosen delta (DeltaApplier::apply).
  virtual int applyDelta(bool isRunningProgram, TextArgument basePath);
  // Slot 34: the unit a file adds to the update count: 1.
  virtual int updateCountUnit() const;
  // Slot 35: the chosen delta's DownloadSize, else the file's DownloadSize.
  virtual std::int64_t transferSize() const;

  // Whether a walk with `flags` considers this file: not when it is to be deleted; not when its
  // download limit was exceeded unless 0x400 without 0x10000; always with 0x4; not when it belongs
  // to a selected environment (0x1000 with FileEnvA ... 0x8000 with FileEnvD); with 0x10 only when it
  // has a FileEnv flag or XtraFile.
  bool eligible(ScanFlags flags) const;

  // localName when it is absolute, else basePath\localName (localName alone for an empty base). At
  // most 511 characters; empty without a name.
  std::string localFile(TextArgument basePath) const;
  // The same for the temporary name ("TempFilename", else localName with its first character "_").
  std::string tempFile(TextArgument basePath) const;
  // The temporary name in use: "TempFilename", else localName with its first character replaced by "_".
  std::string tempFilename() const;
  // The folder the stager is asked with: the distribution's folder (the file's path below it is its
  // cache key), else basePath.
  std::string stagingBase(TextArgument basePath) const;

  // The work on the file, each part owned by the node: tests and the slots above reach it here.
  FileVerifier& verifier() { return verifier_; }
  FileInstaller& installer() { return installer_; }
  DeltaApplier& deltaApplier() { return deltas_; }

  // CrcSubject: the CRC computation is answered from and remembered in the product's patch cache.
  PatchCache& crcCache() override;
  const std::string& crcCacheKey() const override;
  std::string crcFilePath(const std::string& basePath) const override;
  std::int64_t crcExpectedSize() const override;
  bool crcScanRunning() const override;
  bool crcStopping() const override;
  void crcProgress(int position) override;

  // Fields.
  bool existsLocally() const { return existsLocally_; }
  void setExistsLocally(bool value) { existsLocally_ = value; }
  std::uint32_t localCrc() const { return localCrc_; }
  void setLocalCrc(std::uint32_t value) { localCrc_ = value; }
  const std::vector<DeltaSource>& deltaSources() const { return deltaSources_; }
  // Runs `visit` for each download this file may make into a kept partial body (its full download and
  // its delta data), with the identity that body is named after.
  void visitDownloadRequests(const std::function<void(const PartialFile::Identity&)>& visit) const;
  const DeltaSource* appliedDelta() const { return deltas_.chosen(); }
  bool deltaAvailable() const { return deltaAvailable_; }
  std::int64_t totalSize() const { return totalSize_; }
  std::int64_t downloadSize() const { return downloadSize_; }
  std::int32_t timeStamp() const { return timeStamp_; }
  std::int64_t localSize() const { return localSize_; }
  void setLocalSize(std::int64_t value) { localSize_ = value; }
  std::uint32_t crc() const { return crc_; }
  // "SHA256", lowercase; absent when the manifest gives none.
  const std::optional<std::string>& sha256() const { return sha256_; }
  int compressed() const { return compressed_; }
  bool deleteCopy() const { return deleteCopy_; }
  bool restart() const { return restart_; }
  bool keepBackup() const { return keepBackup_; }
  bool passFlag(int index) const { return index >= 0 && index < pass::kCount && passFlags_[index]; }
  const std::vector<ReferenceDistribution>& referenceDistributions() const { return referenceDistributions_; }

 protected:
  // The work on the file reads and writes the node's fields: what the manifest says of the file and
  // what was found of its local copy.
  friend class DeltaApplier;
  friend class FileInstaller;
  friend class FileVerifier;

  // The product's title for the log lines; null when the file has no product or the product no title.
  const char* productTitle() const;

  bool existsLocally_ = false;
  std::uint32_t localCrc_ = 0;
  std::vector<DeltaSource> deltaSources_;
  std::optional<std::string> tempFilename_;
  bool deltaAvailable_ = false;
  // Byte counts of the manifest; kNotASize when the manifest gives a negative or oversized one.
  std::int64_t totalSize_ = 0;
  std::int64_t downloadSize_ = 0;
  std::int32_t timeStamp_ = 0;
  std::int64_t localSize_ = 0;
  std::uint32_t crc_ = 0;
  std::optional<std::string> sha256_;
  int compressed_ = 1;
  bool deleteCopy_ = false;
  bool restart_ = false;
  bool keepBackup_ = false;
  std::array<bool, pass::kCount> passFlags_{};
  std::vector<ReferenceDistribution> referenceDistributions_;
  FileNodeServices* session_;
  // The cache used when the file belongs to no product with a cache (a node read on its own).
  std::unique_ptr<PatchCache> detachedCache_;
  FileVerifier verifier_{*this};
  FileInstaller installer_{*this};
  DeltaApplier deltas_{*this};
};

}  // namespace korvel
