// The compressed steps of a transfer: delivering a body into the caller's memory (decoded when asked),
// saving a compressed body beside its target, expanding it with zlib's gzip reader, and moving a
// temporary file into place.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "launcher/patch_client.h"
#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "common/result_codes.h"
#include "transfer/gzip_memory.h"
#include "transfer/http_transfer.h"

namespace korvel {

namespace {

constexpr std::size_t kFailureTextCapacity = 512;
constexpr std::size_t kLogLineCapacity = 256;
constexpr std::size_t kOverwriteLineCapacity = 544;
// Longer compressed names than this make a failed creation point at the folder depth.
constexpr std::size_t kDeepPathLength = 256;
constexpr char kMarker[] = "Hello";

const char* const kCannotOpenOutput =
    "Can't open output file. The file may currently be in use or set to Read-Only. Please make sure any related "
    "applications are not running and click Download to retry.\n";
const char* const kCannotReplaceOutput =
    "Cannot open output file. The file may currently be in use or set to Read-Only. Please make sure any "
    "related applications are not running then click Download to retry.\n";

int asInt(std::uint32_t value) { return static_cast<int>(value); }

// An open gzip file, closed when the object goes unless closed explicitly.
class GzipReader {
 public:
  explicit GzipReader(const std::string& path) : file_(gzopen(platform::nativePath(path).c_str(), "rb")) {}
  ~GzipReader() { close(); }
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;
  bool isOpen() const { return file_ != nullptr; }
  // Bytes read, 0 at the end, -1 on an error. A stream that ends before its gzip trailer is an error:
  // zlib reports it only through gzerror (Z_BUF_ERROR) and would otherwise pass a truncated download
  // off as complete.
  int read(void* buffer, unsigned size) {
    const int n = gzread(file_, buffer, size);
    if (n != 0) return n;
    int code = Z_OK;
    gzerror(file_, &code);
    return code == Z_BUF_ERROR ? -1 : 0;
  }
  const char* errorText() {
    int code = 0;
    return gzerror(file_, &code);
  }
  // Whether what was read so far was passed through as it stands, not being gzip data at all.
  bool transparent() { return gzdirect(file_) == 1; }
  // True when the file closed cleanly (or was not open).
  bool close() {
    if (!file_) return true;
    const int status = gzclose(file_);
    file_ = nullptr;
    return status == Z_OK;
  }

 private:
  gzFile file_;
};

}  // namespace

bool HttpTransfer::deliverToMemory(const char* working, std::uint32_t length) {
  const std::uint32_t capacity = static_cast<std::uint32_t>(capacity_);
  // The marker stays in place when decoding writes nothing, which is the case for a body that was
  // not compressed; that body is then delivered as it came.
  std::memcpy(memoryBuffer_, kMarker, std::min<std::uint32_t>(sizeof kMarker, capacity));
  std::uint32_t produced = 0;
  bool decoded = false;
  if (decompress_ == 1) {
    log("Decompressing to final memory.\n");
    produced = capacity;
    const int status = gunzipMemory(reinterpret_cast<unsigned char*>(memoryBuffer_), produced,
                                    reinterpret_cast<const unsigned char*>(working), length);
    if (produced >= capacity) {
      // The decoded text filled the whole buffer: its terminating zero has no room.
      std::memset(memoryBuffer_, 0, capacity);
      fail(boundedFormat(kFailureTextCapacity, "Buffer too small to hold %s\n", url_.c_str()), result::kReadFailed);
      return false;
    }
    // Judged by what decoding did rather than by re-reading the marker, so a decoded text that itself
    // reads "hello", or an empty decoded text, is not taken for a body that was not compressed.
    decoded = produced > 0 || status == Z_OK;
  }
  if (decoded) {
    memoryBuffer_[produced] = '\0';
  } else {
    std::memcpy(memoryBuffer_, working, length);
    memoryBuffer_[length] = '\0';
  }
  return true;
}

bool HttpTransfer::openCompressedFile() {
  log("Decompressing to local file.\n");
  compressedPath_ = localPath_ + ".gz";
  outputFile_ = platform::File::open(compressedPath_, "wb");
  if (outputFile_) return true;
  if (compressedPath_.size() > kDeepPathLength) {
    fail(boundedFormat(kFailureTextCapacity, "Can't open %s, possible directory path too deep\n",
                       compressedPath_.c_str()),
         result::kWriteFailed);
  } else {
    fail(boundedFormat(kFailureTextCapacity, "Can't open %s\n", compressedPath_.c_str()), result::kOutputFileFailed);
  }
  return false;
}

bool HttpTransfer::expandCompressedFile() {
  state_.store(kExpanding);
  const std::string gzPath = compressedPath_;
  const std::string destination = useTemp_ ? tempPath_ : localPath_;

  log("GzOpen file.\n");
  GzipReader gz(gzPath);
  log("GzFile open.\n");
  if (!gz.isOpen()) {
    for (int i = 0; i < 10; ++i) platform::sleepMs(100);
    platform::deleteFile(gzPath);
    fail(boundedFormat(kFailureTextCapacity, "Can't gzopen file %s\n", gzPath.c_str()), result::kGzipFailed);
    return false;
  }

  platform::setFileAttributes(destination, platform::kAttributeNormal);
  log(boundedFormat(kLogLineCapacity, "Open output file %s\n", localPath_.c_str()));
  platform::File output = platform::File::open(destination, "wb");
  log("Output file open.\n");
  if (!output) {
    log("Error opening output file.\n");
    gz.close();
    platform::deleteFile(gzPath);
    fail(kCannotOpenOutput, result::kOutputFileFailed);
    return false;
  }

  log("File Decompression Begin.\n");
  std::vector<char> block(kExpansionBlock, 0);
  bool reachedEnd = false;
  while (!stopRequested_.load()) {
    int n = gz.read(block.data(), kExpansionBlock);
    // zlib passes a body that is not gzip data through unchanged; such a body (an error page, say)
    // is not the file.
    if (n > 0 && gz.transparent()) n = -1;
    if (n < 0) {
      std::fprintf(stderr, "%s\n", gz.errorText());
      if (bytesDecompressed_.load() > 0) {
        log(boundedFormat(kLogLineCapacity, "Gzread error.  Possible corrupted file %s, Bytes Written: %d.\n",
                          localPath_.c_str(), asInt(bytesDecompressed_.load())));
      } else {
        log(boundedFormat(kLogLineCapacity, "Could not open gzfile properly. No bytes written to %s.\n",
                          localPath_.c_str()));
        log(boundedFormat(kLogLineCapacity, "Total bytes downloaded for %s: %d\n", destination.c_str(),
                          asInt(bytesDownloaded_.load())));
      }
      gz.close();
      platform::deleteFile(gzPath);
      output.close();
      platform::deleteFile(destination);
      fail("Failed to read the gzfile properly", result::kGzipFailed);
      return false;
    }
    if (n == 0) {
      reachedEnd = true;
      break;
    }
    const std::size_t written = output.write(block.data(), static_cast<std::size_t>(n));
    if (written < static_cast<std::size_t>(n)) {
      log(boundedFormat(kLogLineCapacity, "Failed fwrite: %d items to be written, %d actually written.\n", n,
                        static_cast<int>(written)));
      log(boundedFormat(kLogLineCapacity, "Total bytes downloaded for %s: %d\n", destination.c_str(),
                        asInt(bytesDownloaded_.load())));
      log(boundedFormat(kLogLineCapacity, "Last Windows Error was %d\n", errno));
      gz.close();
      platform::deleteFile(gzPath);
      output.close();
      platform::deleteFile(destination);
      fail("failed fwrite", result::kWriteFailed);
      return false;
    }
    noteWritten(block.data(), static_cast<std::uint32_t>(n));
    bytesDecompressed_.fetch_add(static_cast<std::uint32_t>(n));
    decompressMillis_.store(elapsed(expansionTick_));
  }

  log("File decompression complete.\n");
  // The expanded file counts only when its last bytes reached the disk and the gzip stream closed
  // cleanly; a temporary file is flushed to the disk before anything may rename it into place.
  const bool outputClosed = (!useTemp_ || output.flushToDisk()) && output.close();
  output.close();
  if (!outputClosed) std::fputs("failed fclose\n", stderr);
  const bool gzClosed = gz.close();
  if (!gzClosed) std::fputs("failed gzclose\n", stderr);
  platform::deleteFile(gzPath);
  compressedPath_.clear();
  if (!reachedEnd) {
    discardUnfinished(destination);
    return true;
  }
  if (!outputClosed || !gzClosed) {
    platform::deleteFile(destination);
    fail(outputClosed ? "Failed to read the gzfile properly" : "failed fclose",
         outputClosed ? result::kGzipFailed : result::kWriteFailed);
    return false;
  }
  return true;
}

bool HttpTransfer::moveIntoPlace() {
  state_.store(kCopying);
  log("Copying from temp location to final patched file.\n");
  // The complete, verified file replaces the old one in a single rename. Only where that is refused
  // (on Windows, while another program holds the target) does the copy with its retries run.
  platform::setFileAttributes(localPath_, platform::kAttributeNormal);
  const bool showCopy = finalSize_ > 0 && owner_;
  if (showCopy) owner_->progressPosition(0, kBarCopy);
  if (platform::replaceFile(tempPath_, localPath_)) {
    if (showCopy) owner_->progressPosition(100, kBarCopy);
    log("File copy complete.\n");
    return true;
  }
  if (owner_ && owner_->copyFile(tempPath_.c_str(), localPath_.c_str(), finalSize_)) {
    log("File copy complete.\n");
    return true;
  }
  const int error = errno;
  log(boundedFormat(kOverwriteLineCapacity, "Failed to overwrite file \"%s\": %d\n", localPath_.c_str(), error));
  removeLeftovers();
  fail(kCannotReplaceOutput, result::kOutputFileFailed);
  log("HttpDownload Completed.\n");
  return false;
}

}  // namespace korvel
