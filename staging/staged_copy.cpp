// Putting a staged file in place: expanded when it is gzip data, checked, renamed over the target.
#include "staging/staged_copy.h"

#include <vector>

#include <zlib.h>

#include "common/file_utils.h"
#include "fileupdate/crc32_checksum.h"
#include "platform/file.h"
#include "platform/files.h"

namespace korvel {

namespace {

constexpr std::size_t kBlockBytes = 256 * 1024;

// The size and CRC-32 of a file's bytes.
struct Facts {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};

bool fits(const Facts& facts, const StagedFileExpectation& expected) {
  if (expected.size != 0 && facts.size != expected.size) return false;
  if (expected.crc != 0 && facts.crc != expected.crc) return false;
  // The one place where a SHA-256 from the manifest would be compared too, over the same bytes: the
  // file nodes do not read one yet ("SHA256"), so size and CRC are all there is to check.
  return true;
}

bool stopRequested(const StagedFileExpectation& expected) { return expected.stopping && expected.stopping(); }

std::string folderOf(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

bool isGzipData(const std::string& path) {
  platform::File file = platform::File::open(path, "rb");
  unsigned char magic[2] = {0, 0};
  return file && file.read(magic, 2) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
}

// Reads the file through; false when it cannot be read to its end or a stop came.
bool measure(const std::string& path, Facts& facts, const StagedFileExpectation& expected) {
  platform::File file = platform::File::open(path, "rb");
  if (!file) return false;
  Crc32Checksum crc;
  std::vector<char> block(kBlockBytes);
  for (;;) {
    if (stopRequested(expected)) return false;
    const std::size_t n = file.read(block.data(), block.size());
    if (n > 0) {
      crc.update(block.data(), n);
      facts.size += n;
    }
    if (n < block.size()) break;
  }
  facts.crc = crc.value();
  return !file.hadError();
}

enum class Expansion { Done, NotGzip, Stopped, WriteFailed };

// Expands the gzip file `source` into `output` (flushed to the disk and closed). zlib checks each
// member's trailer (CRC and length), so damaged or cut data ends as NotGzip.
Expansion expand(const std::string& source, const std::string& output, Facts& facts,
                 const StagedFileExpectation& expected) {
  gzFile gz = gzopen(platform::nativePath(source).c_str(), "rb");
  if (!gz) return Expansion::NotGzip;
  platform::File out = platform::File::open(output, "wb");
  if (!out) {
    gzclose(gz);
    return Expansion::WriteFailed;
  }
  Crc32Checksum crc;
  std::vector<char> block(kBlockBytes);
  Expansion result = Expansion::Done;
  for (;;) {
    if (stopRequested(expected)) {
      result = Expansion::Stopped;
      break;
    }
    const int n = gzread(gz, block.data(), static_cast<unsigned>(block.size()));
    if (n < 0 || (n > 0 && gzdirect(gz))) {
      result = Expansion::NotGzip;
      break;
    }
    if (n == 0) {
      // The end, or data that stops before its trailer (which zlib reports only here).
      int code = Z_OK;
      gzerror(gz, &code);
      if (code != Z_OK) result = Expansion::NotGzip;
      break;
    }
    if (out.write(block.data(), static_cast<std::size_t>(n)) != static_cast<std::size_t>(n)) {
      result = Expansion::WriteFailed;
      break;
    }
    crc.update(block.data(), static_cast<std::size_t>(n));
    facts.size += static_cast<std::uint64_t>(n);
  }
  if (gzclose(gz) != Z_OK && result == Expansion::Done) result = Expansion::NotGzip;
  const bool written = out.flushToDisk() && out.close();
  if (!written && result == Expansion::Done) result = Expansion::WriteFailed;
  facts.crc = crc.value();
  return result;
}

}  // namespace

StagedCopyResult installStagedCopy(const std::string& stagedPath, const std::string& target,
                                   const StagedFileExpectation& expected) {
  if (!platform::pathExists(stagedPath)) return StagedCopyResult::NotMoved;
  if (isGzipData(stagedPath)) {
    const std::string temp = makeTempName(".tmp", folderOf(target));
    Facts expanded;
    const Expansion expansion = expand(stagedPath, temp, expanded, expected);
    if (expansion == Expansion::Done && fits(expanded, expected)) {
      platform::setFileAttributes(target, platform::kAttributeNormal);
      if (platform::replaceFile(temp, target)) {
        platform::deleteFile(stagedPath);
        return StagedCopyResult::Installed;
      }
      platform::deleteFile(temp);
      return StagedCopyResult::NotMoved;
    }
    platform::deleteFile(temp);
    if (expansion == Expansion::Stopped || expansion == Expansion::WriteFailed) return StagedCopyResult::NotMoved;
    // Not the file once expanded; a file that is gzip data itself, sent as it stands, may still be.
  }

  platform::FileInfo info;
  if (!platform::fileInfo(stagedPath, info)) return StagedCopyResult::NotMoved;
  Facts raw;
  if (expected.size == 0 || info.size == expected.size) {
    if (!measure(stagedPath, raw, expected)) return StagedCopyResult::NotMoved;
  } else {
    raw.size = info.size;
  }
  if (!fits(raw, expected)) {
    platform::deleteFile(stagedPath);
    return StagedCopyResult::Mismatch;
  }
  platform::setFileAttributes(target, platform::kAttributeNormal);
  return platform::replaceFile(stagedPath, target) ? StagedCopyResult::Installed : StagedCopyResult::NotMoved;
}

}  // namespace korvel
