// Putting a staged file in place: expanded when it is gzip data, checked, renamed over the target.
#include "staging/staged_copy.h"

#include <vector>

#include <zlib.h>

#include "common/file_utils.h"
#include "fileupdate/crc32_checksum.h"
#include "platform/file.h"
#include "platform/files.h"
#include "trust/sha256.h"

namespace korvel {

namespace {

constexpr std::size_t kBlockBytes = 256 * 1024;

// What is learnt of a file's bytes as they pass: their size, CRC-32 and (when one is expected)
// SHA-256.
class Facts {
 public:
  explicit Facts(const StagedFileExpectation& expected) : hashing_(expected.sha256.has_value()) {}
  void add(const char* bytes, std::size_t count) {
    crc_.update(bytes, count);
    if (hashing_) sha256_.update(bytes, count);
    size_ += count;
  }
  std::uint64_t size() const { return size_; }
  // Only once all bytes were added.
  bool fits(const StagedFileExpectation& expected) {
    if (expected.size != 0 && size_ != expected.size) return false;
    if (expected.crc != 0 && crc_.value() != expected.crc) return false;
    return !expected.sha256 || sha256_.finishHex() == trust::normalizedSha256(*expected.sha256);
  }

 private:
  bool hashing_;
  std::uint64_t size_ = 0;
  Crc32Checksum crc_;
  trust::Sha256 sha256_;
};

// Owns an open gzip reader.
class GzReader {
 public:
  explicit GzReader(const std::string& path) : gz_(gzopen(path.c_str(), "rb")) {}
  ~GzReader() { close(); }
  GzReader(const GzReader&) = delete;
  GzReader& operator=(const GzReader&) = delete;
  explicit operator bool() const { return gz_ != nullptr; }
  gzFile get() const { return gz_; }
  // Z_OK when the data ended well (zlib checks the last member's trailer here).
  int close() {
    gzFile gz = gz_;
    gz_ = nullptr;
    return gz ? gzclose(gz) : Z_OK;
  }

 private:
  gzFile gz_;
};

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
  std::vector<char> block(kBlockBytes);
  for (;;) {
    if (stopRequested(expected)) return false;
    const std::size_t n = file.read(block.data(), block.size());
    if (n > 0) facts.add(block.data(), n);
    if (n < block.size()) break;
  }
  return !file.hadError();
}

enum class Expansion { Done, NotGzip, Stopped, WriteFailed };

// Expands the gzip file `source` into `output` (flushed to the disk and closed). zlib checks each
// member's trailer (CRC and length), so damaged or cut data ends as NotGzip. Output beyond the
// expected size is not written: the copy is not the file then.
Expansion expand(const std::string& source, const std::string& output, Facts& facts,
                 const StagedFileExpectation& expected) {
  GzReader gz(platform::nativePath(source));
  if (!gz) return Expansion::NotGzip;
  platform::File out = platform::File::open(output, "wb");
  if (!out) return Expansion::WriteFailed;
  std::vector<char> block(kBlockBytes);
  Expansion result = Expansion::Done;
  for (;;) {
    if (stopRequested(expected)) {
      result = Expansion::Stopped;
      break;
    }
    const int n = gzread(gz.get(), block.data(), static_cast<unsigned>(block.size()));
    if (n < 0 || (n > 0 && gzdirect(gz.get()))) {
      result = Expansion::NotGzip;
      break;
    }
    if (n == 0) {
      // The end, or data that stops before its trailer (which zlib reports only here).
      int code = Z_OK;
      gzerror(gz.get(), &code);
      if (code != Z_OK) result = Expansion::NotGzip;
      break;
    }
    if (expected.size != 0 && facts.size() + static_cast<std::uint64_t>(n) > expected.size) {
      result = Expansion::NotGzip;
      break;
    }
    if (out.write(block.data(), static_cast<std::size_t>(n)) != static_cast<std::size_t>(n)) {
      result = Expansion::WriteFailed;
      break;
    }
    facts.add(block.data(), static_cast<std::size_t>(n));
  }
  if (gz.close() != Z_OK && result == Expansion::Done) result = Expansion::NotGzip;
  const bool written = out.flushToDisk() && out.close();
  if (!written && result == Expansion::Done) result = Expansion::WriteFailed;
  return result;
}

}  // namespace

StagedCopyResult installStagedCopy(const std::string& stagedPath, const std::string& target,
                                   const StagedFileExpectation& expected) {
  if (!platform::pathExists(stagedPath)) return StagedCopyResult::NotMoved;
  if (isGzipData(stagedPath)) {
    const std::string temp = makeTempName(".tmp", folderOf(target));
    Facts expanded(expected);
    const Expansion expansion = expand(stagedPath, temp, expanded, expected);
    if (expansion == Expansion::Done && expanded.fits(expected)) {
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
  Facts raw(expected);
  if (expected.size != 0 && info.size != expected.size) {
    platform::deleteFile(stagedPath);
    return StagedCopyResult::Mismatch;
  }
  if (!measure(stagedPath, raw, expected)) return StagedCopyResult::NotMoved;
  if (!raw.fits(expected)) {
    platform::deleteFile(stagedPath);
    return StagedCopyResult::Mismatch;
  }
  platform::setFileAttributes(target, platform::kAttributeNormal);
  return platform::replaceFile(stagedPath, target) ? StagedCopyResult::Installed : StagedCopyResult::NotMoved;
}

}  // namespace korvel
