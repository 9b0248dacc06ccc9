// Whether the local copy of one file of the manifest is current: its presence, size, time stamp and
// CRC, looked at through the patch cache and the session's folder snapshot, with the discrepancy lines
// of the log. Runs on the session's worker thread, like the node it belongs to.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/text_argument.h"
#include "platform/files.h"

namespace korvel {

class DirectorySnapshot;
class FileNode;

class FileVerifier {
 public:
  // A size that cannot be had (the file is missing, a folder, or cannot be opened).
  static constexpr std::int64_t kInvalidSize = -1;
  // Time stamps this many seconds apart count as the same.
  static constexpr std::int64_t kTimeTolerance = 60;

  // Verifies `file`, which owns the verifier and outlives it.
  explicit FileVerifier(FileNode& file);
  FileVerifier(const FileVerifier&) = delete;
  FileVerifier& operator=(const FileVerifier&) = delete;

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
  // Measures the file's localSize: true (line S) when TotalSize is known and differs, true (line M)
  // when the size cannot be had.
  bool sizeDiffers(TextArgument basePath);
  // Whether the local time stamp lies more than a minute from TimeStamp (line T), or cannot be had
  // (line M). Without `force`, false for a file checked by CRC or without a TimeStamp.
  bool timeDiffers(TextArgument basePath, bool force);
  // The CRC of the file `name` in basePath compared with the manifest's: true (line C, naming `name`)
  // when it differs; false when no CRC is known or the session is cancelled. The cache is not used.
  bool crcDiffers(TextArgument basePath, const std::string& name);
  // FileNode::compareCrc: whether the CRC shows a discrepancy: false when no CRC is known or the
  // session is cancelled. Computes the local CRC (through the patch cache); a match stamps the file
  // with the manifest's time, a mismatch logs the "C" discrepancy. The CRC is remembered in the cache.
  bool compareCrc(TextArgument basePath);
  // Remembers `crc` (or the local CRC when crc is 0; nothing when both are 0) in the patch cache with
  // the local file's time and size measured on disk.
  void rememberCrc(TextArgument basePath, std::uint32_t crc);
  // Stamps the local file with the manifest's time, skipped (true) when the file already has normal
  // attributes and the manifest's write time: a current file is not written to on every run.
  bool stampUnlessStamped(TextArgument basePath);
  // The local file's modification time: from the session's folder snapshot when it describes the
  // file's folder and `onDisk` is not set, otherwise from the file system. False when it cannot be had.
  bool timeOf(TextArgument basePath, std::int32_t& out, bool onDisk = false) const;
  // The local file's size (the temporary file's with `useTemp`, always measured on disk), from the
  // snapshot as timeOf; kInvalidSize when it cannot be had.
  std::int64_t sizeOf(TextArgument basePath, bool useTemp = false, bool onDisk = false) const;
  // Whether `name` names the running program: equal to its file name ignoring case, or an ".exe" name
  // matching the part of a short (8.3) running name before its "~". Logs the match unless `quiet`.
  bool isRunningProgram(const std::string& name, bool quiet = false) const;

 private:
  // What one look at a file on disk found. While a verification runs its look at the local file is
  // kept, so that the presence, size and time it asks for cost the disk one query.
  struct DiskLook {
    std::string path;
    bool found = false;
    platform::FileInfo info;
  };
  class KeptLook;

  // Logs the "M" discrepancy (the file is not on the local machine).
  void logMissing() const;
  // The session's folder snapshot when it describes the folder this file lies in under basePath.
  DirectorySnapshot* snapshotFor(TextArgument basePath) const;
  const DiskLook& lookAt(const std::string& path) const;
  // Makes `look` the one held.
  void keep(DiskLook&& look) const;
  // Whether the local file is there and is no folder: from the snapshot when it names the file in the
  // same letter case, else from a look at the disk.
  bool presentLocally(TextArgument basePath) const;

  FileNode& file_;
  // Held only while a verification runs (and after a look outside one): a block of its own, not a
  // part of every file node of the tree.
  mutable std::unique_ptr<DiskLook> look_;
  bool keepLook_ = false;
  // Set by check(): it found the file current without a discrepancy line.
  bool quietlyCurrent_ = false;
  // The base path and the session's write count of the last verification that found the file
  // quietly current; the files of a folder share one copy of the base.
  struct FoundCurrent {
    std::shared_ptr<const std::string> base;
    std::uint64_t writes = 0;
  };
  std::optional<FoundCurrent> foundCurrent_;
};

}  // namespace korvel
