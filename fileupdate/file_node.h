// The node of a "File" element: one file of the installation with its expected size, time stamp and
// CRC, its delta sources, its eligibility for a walk, its per-pass bookkeeping and its counts.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileupdate/crc_subject.h"
#include "fileupdate/delta_source.h"
#include "manifest/manifest_node.h"
#include "platform/files.h"
#include "transfer/partial_file.h"

namespace korvel {

class DirectorySnapshot;
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
  // Slot 18: brings a file that needs an update up to date: by its chosen delta, else by a staged copy
  // or a full download (the running program's own entry under its temporary name), then checks the
  // size, stamps the manifest's time and asks for a restart when the file wants one. 0 done or nothing
  // to do; 44 bad file; 120 stopped during the transfer; otherwise the transfer's code.
  int download(ScanFlags flags, ProductHandle* product, TextArgument basePath) override;
  // While the session plans the walk: hands the full download that download() would make, if any, to
  // the session's planDownload, and nothing else.
  void planDownload(ScanFlags flags, ProductHandle* product, TextArgument basePath);
  // The full download of this file into `target`, checked against its size, CRC and SHA-256.
  FileDownload fullDownload(const std::string& target) const;
  // Slot 19: a delete-marked file that is writable is deleted, logged, forgotten by the patch cache
  // and no longer marked. Returns true.
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

  // Slot 31: whether the CRC shows a discrepancy: false when no CRC is known or the session is
  // cancelled. Computes the local CRC (through the patch cache); a match stamps the file with the
  // manifest's time, a mismatch logs the "C" discrepancy. The CRC is remembered in the cache.
  virtual bool compareCrc(TextArgument basePath);
  // Slot 32: chooses the first delta whose source CRC is the local file's CRC; false when the file
  // was not found locally, its CRC is unknown, or no delta matches.
  virtual bool findDelta(TextArgument basePath);
  // Slot 33: fetches the chosen delta's data and combines it with the local file (for the running
  // program, with a copy under the temporary name, whose result the caller measures). 0 done; 20 no
  // delta chosen, data unreadable or the combine failed (the old file is kept); 120 stopped during the
  // combine; otherwise the fetch's code.
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

  // ---- Verification (fileupdate/file_node_verify.cpp) ----------------------------------------------
  // A size that cannot be had (the file is missing, a folder, or cannot be opened).
  static constexpr std::int64_t kInvalidSize = -1;
  // Time stamps this many seconds apart count as the same.
  static constexpr std::int64_t kTimeTolerance = 60;
  // Decides whether the file needs an update and records it (needsUpdate, and whether a delta fits).
  // The running program's own entry is compared by CRC and handed to the session's self-update. False
  // for a file that is to be deleted or whose folder is; true otherwise.
  bool verify(TextArgument basePath);
  // The decision itself, in this order: a file to be deleted is not needed; a missing file is (unless
  // only upgrades are made, line M); an install-only file that exists is current; a wrong size is a
  // discrepancy (line S); a matching time stamp (within a minute, or ignored) is current unless CRC
  // checking finds a different CRC; a different time stamp (line T) is overridden by a matching CRC.
  // The patch cache's entry follows the file's current time and size, and is dropped when they change.
  bool check(TextArgument basePath);
  // Measures localSize: true (line S) when TotalSize is known and differs, true (line M) when the size
  // cannot be had.
  bool sizeDiffers(TextArgument basePath);
  // Whether the local time stamp lies more than a minute from TimeStamp (line T), or cannot be had
  // (line M). Without `force`, false for a file checked by CRC or without a TimeStamp.
  bool timeDiffers(TextArgument basePath, bool force);
  // The CRC of the file `name` in basePath compared with the manifest's: true (line C, naming `name`)
  // when it differs; false when no CRC is known or the session is cancelled. The cache is not used.
  bool crcDiffers(TextArgument basePath, const std::string& name);
  // The local file's modification time: from the session's folder snapshot when it describes the
  // file's folder and `onDisk` is not set, otherwise from the file system. False when it cannot be had.
  bool timeOf(TextArgument basePath, std::int32_t& out, bool onDisk = false) const;
  // The local file's size (the temporary file's with `useTemp`, always measured on disk), from the
  // snapshot as timeOf; kInvalidSize when it cannot be had.
  std::int64_t sizeOf(TextArgument basePath, bool useTemp = false, bool onDisk = false) const;
  // Whether `name` names the running program: equal to its file name ignoring case, or an ".exe" name
  // matching the part of a short (8.3) running name before its "~". Logs the match unless `quiet`.
  bool isRunningProgram(const std::string& name, bool quiet = false) const;

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

  // Stamps the local file (or the temporary one) with the manifest's time: creation, access and
  // write time. False when TimeStamp is 0 or the file cannot be opened for writing.
  bool setFileTime(TextArgument basePath, bool useTemp);
  // setFileTime for the local file, skipped (true) when the file already has normal attributes and
  // the manifest's write time: a current file is not written to on every run.
  bool stampUnlessStamped(TextArgument basePath);
  // Remembers `crc` (or the local CRC when crc is 0; nothing when both are 0) in the patch cache with
  // the local file's time and size measured on disk.
  void rememberCrc(TextArgument basePath, std::uint32_t crc);

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
  const DeltaSource* appliedDelta() const { return appliedDelta_ ? &deltaSources_[*appliedDelta_] : nullptr; }
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
  // The product's title for the log lines; null when the file has no product or the product no title.
  const char* productTitle() const;
  // Logs the "M" discrepancy (the file is not on the local machine).
  void logMissing() const;
  // The session's folder snapshot when it describes the folder this file lies in under basePath.
  DirectorySnapshot* snapshotFor(TextArgument basePath) const;

  // What one look at a file on disk found. While a verification runs its look at the local file is
  // kept, so that the presence, size and time it asks for cost the disk one query.
  struct DiskLook {
    std::string path;
    bool found = false;
    platform::FileInfo info;
  };
  class KeptLook;
  const DiskLook& lookAt(const std::string& path) const;
  // Whether the local file is there and is no folder: from the snapshot when it names the file in the
  // same letter case, else from a look at the disk.
  bool presentLocally(TextArgument basePath) const;
  mutable std::optional<DiskLook> look_;
  bool keepLook_ = false;
  // Set by check(): it found the file current without a discrepancy line.
  bool quietlyCurrent_ = false;
  // The base path and the session's write count of the last verification that found the file
  // quietly current.
  struct FoundCurrent {
    std::string base;
    std::uint64_t writes = 0;
  };
  std::optional<FoundCurrent> foundCurrent_;

  bool existsLocally_ = false;
  std::uint32_t localCrc_ = 0;
  std::vector<DeltaSource> deltaSources_;
  std::optional<std::size_t> appliedDelta_;
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
};

}  // namespace korvel
