// Delta encoding: the records that rebuild a new file from an old one, in the updater's delta format.
//
// Format (all numbers 32-bit big-endian): the old file's size (not read by the updater), the new
// file's size, then records until the end: a copy record is a count (>= 0) and an offset into the old
// file; a literal record is -n followed by n bytes. The new file is the concatenation of the records'
// output.
//
// The encoder indexes blocks of the old file with a rolling hash (sampled more sparsely when the file
// is too large for the memory budget), streams the new file through the index looking for matching
// blocks at every byte position, extends each match forwards and backwards byte by byte, and writes
// what matches nowhere as literal runs. Matches are found wherever they lie in the old file (moved,
// inserted and repeated blocks included), in time linear in the two sizes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

namespace korvel::publish {

struct DeltaOptions {
  // Upper bound of the block index (the only structure that grows with the old file).
  std::uint64_t indexBudgetBytes = 64ull << 20;
  // Bytes per indexed block: shorter finds shorter matches, at more index memory per old byte.
  std::uint32_t blockSize = 16;
  // Shortest match worth a copy record (a copy costs 8 bytes and interrupts a literal run).
  std::uint32_t minimumMatch = 24;
  // Page cache over the old file for match verification and extension.
  std::size_t pageSize = 64 * 1024;
  std::size_t pageCount = 64;
  // Read-ahead buffer of the new file.
  std::size_t newBufferBytes = 1 << 20;
  // Literal bytes held back at most before a literal record is written.
  std::size_t literalRunBytes = 1 << 20;
};

struct DeltaStats {
  std::uint64_t oldSize = 0;
  std::uint64_t newSize = 0;
  std::uint64_t deltaBytes = 0;  // bytes written to the output, header included
  std::uint64_t copyRecords = 0;
  std::uint64_t literalRecords = 0;
  std::uint64_t copiedBytes = 0;
  std::uint64_t literalBytes = 0;
  std::uint64_t sampleStep = 0;    // distance between indexed old blocks
  std::uint64_t indexBytes = 0;    // memory of the block index
  std::uint64_t workingBytes = 0;  // memory of every structure the encoder allocated, index included
};

struct DeltaResult {
  bool ok = false;
  // The files are beyond what delta data can describe: nothing was written and nothing went wrong;
  // the new file is to be downloaded whole.
  bool declined = false;
  std::string error;  // set when ok and declined are false
  DeltaStats stats;
};

class DeltaEncoder {
 public:
  // Offsets and counts are 32-bit signed: larger files cannot be expressed.
  static constexpr std::uint64_t kMaxFileSize = 0x7FFFFFFF;

  // Whether delta data can turn a file of oldSize bytes into one of newSize bytes.
  static bool fits(std::uint64_t oldSize, std::uint64_t newSize) {
    return oldSize <= kMaxFileSize && newSize <= kMaxFileSize;
  }

  explicit DeltaEncoder(DeltaOptions options = {});

  // Writes the delta data turning oldPath into newPath to `out`. Declines (declined true, nothing
  // written) when the sizes do not fit(). Fails (ok false with an error, the output then incomplete)
  // when a file cannot be read, a file changes while it is read, or the output cannot be written.
  // Safe to call from several threads at once.
  DeltaResult encode(const std::filesystem::path& oldPath, const std::filesystem::path& newPath,
                     std::ostream& out) const;

  const DeltaOptions& options() const { return options_; }

 private:
  DeltaOptions options_;
};

}  // namespace korvel::publish
