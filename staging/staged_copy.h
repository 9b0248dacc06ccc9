// Putting a staged file in place. The background transfer service fetches what the patch server
// holds, which for a compressed file is its gzip body, while the file node wants the file the
// manifest describes: a staged copy is expanded when it is gzip data, checked against the manifest's
// size, CRC and SHA-256, and only then renamed over the target in one step. The target never holds a part of
// a file, and a copy that fails its check leaves the target as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace korvel {

// What the manifest says of the file the staged copy must become.
struct StagedFileExpectation {
  std::uint64_t size = 0;  // 0: not checked
  std::uint32_t crc = 0;   // 0: no CRC known, not checked
  // Lowercase hexadecimal SHA-256 of the bytes; none: not checked.
  std::optional<std::string> sha256;
  // Asked between blocks of the expansion; true stops it (the target is left alone).
  std::function<bool()> stopping;
};

enum class StagedCopyResult {
  Installed,  // the target now holds the checked file; the staged copy is gone
  Mismatch,   // the staged copy is not the manifest's file (deleted: it is of no use)
  NotMoved,   // the copy could not be read, expanded or renamed (or a stop came); both files are left
};

// Runs on the session's worker; blocks while it reads and writes. The expanded file is written to a
// temporary file beside the target ("spatchfile_<n>.tmp", which the session removes when a killed run
// left one), flushed to the disk and renamed over the target.
StagedCopyResult installStagedCopy(const std::string& stagedPath, const std::string& target,
                                   const StagedFileExpectation& expected);

}  // namespace korvel
