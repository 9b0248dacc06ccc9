// The compressed steps of a transfer: delivering a body into the caller's memory (decoded when asked),
// the account and the failures of a body expanded as it arrived, and the move of a finished file
// into place.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "common/file_copy.h"
#include "common/progress_channels.h"
#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "common/result_codes.h"
#include "transfer/gzip_memory.h"
#include "transfer/http_transfer.h"
#include "transfer/progress_rates.h"

namespace korvel {

namespace {

constexpr std::size_t kFailureTextCapacity = 512;
constexpr std::size_t kLogLineCapacity = 256;
constexpr std::size_t kOverwriteLineCapacity = 544;
constexpr char kMarker[] = "Hello";

const char* const kCannotOpenOutput =
    "Can't open output file. The file may currently be in use or set to Read-Only. Please make sure any related "
    "applications are not running and click Download to retry.\n";
const char* const kCannotReplaceOutput =
    "Cannot open output file. The file may currently be in use or set to Read-Only. Please make sure any "
    "related applications are not running then click Download to retry.\n";

int asInt(std::uint32_t value) { return static_cast<int>(value); }

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

void HttpTransfer::reportExpansion(std::uint64_t produced) {
  // The body was expanded while it arrived; the expansion's steps are told in their usual order.
  state_.store(kExpanding);
  log("GzOpen file.\n");
  log("GzFile open.\n");
  log(boundedFormat(kLogLineCapacity, "Open output file %s\n", localPath_.c_str()));
  log("Output file open.\n");
  log("File Decompression Begin.\n");
  bytesDecompressed_.store(static_cast<std::uint32_t>(produced));
  decompressMillis_.store(elapsed(expansionTick_));
  log("File decompression complete.\n");
}

void HttpTransfer::failExpansion(bool corrupt, std::uint64_t produced) {
  outputFile_.close();
  bytesDecompressed_.store(static_cast<std::uint32_t>(produced));
  const std::string& destination = tempPath_;
  if (corrupt) {
    std::fprintf(stderr, "%s\n", "gzip data not valid");
    if (produced > 0) {
      log(boundedFormat(kLogLineCapacity, "Gzread error.  Possible corrupted file %s, Bytes Written: %d.\n",
                        localPath_.c_str(), asInt(static_cast<std::uint32_t>(produced))));
    } else {
      log(boundedFormat(kLogLineCapacity, "Could not open gzfile properly. No bytes written to %s.\n",
                        localPath_.c_str()));
      log(boundedFormat(kLogLineCapacity, "Total bytes downloaded for %s: %d\n", destination.c_str(),
                        asInt(bytesDownloaded_.load())));
    }
    platform::deleteFile(destination);
    fail("Failed to read the gzfile properly", result::kGzipFailed);
    return;
  }
  log(boundedFormat(kLogLineCapacity, "Total bytes downloaded for %s: %d\n", destination.c_str(),
                    asInt(bytesDownloaded_.load())));
  log(boundedFormat(kLogLineCapacity, "Last Windows Error was %d\n", errno));
  platform::deleteFile(destination);
  fail("failed fwrite", result::kWriteFailed);
}

bool HttpTransfer::placeExpanded() {
  if (platform::replaceFile(tempPath_, localPath_)) return true;
  fail(kCannotOpenOutput, result::kOutputFileFailed);
  return false;
}

bool HttpTransfer::moveIntoPlace() {
  state_.store(kCopying);
  log("Copying from temp location to final patched file.\n");
  // The complete, verified file replaces the old one in a single rename. Only where that is refused
  // (on Windows, while another program holds the target) does the copy with its retries run.
  platform::setFileAttributes(localPath_, platform::kAttributeNormal);
  const bool showCopy = finalSize_ > 0;
  if (showCopy) observer_.showProgress(0, kBarCopy);
  if (platform::replaceFile(tempPath_, localPath_)) {
    if (showCopy) observer_.showProgress(100, kBarCopy);
    log("File copy complete.\n");
    return true;
  }
  // The copy's time is added to what the table held when it began.
  const std::int32_t notedTime = copyRates_ ? copyRates_->get(ProgressRates::kCopyBytes, ProgressRates::kMilliseconds) : 0;
  CopyCallbacks callbacks;
  callbacks.log = [this](const std::string& line) { log(line); };
  callbacks.stopping = [this] { return observer_.failedOrStopped(); };
  callbacks.progress = [this](int position) { observer_.showProgress(position, kBarCopy); };
  if (copyRates_) {
    callbacks.copied = [this, notedTime](std::uint32_t bytes, std::uint32_t elapsedMs) {
      copyRates_->add(static_cast<std::int32_t>(bytes), ProgressRates::kCopyBytes, ProgressRates::kDone);
      copyRates_->set(notedTime + static_cast<std::int32_t>(elapsedMs), ProgressRates::kCopyBytes,
                      ProgressRates::kMilliseconds);
    };
  }
  if (copyFile(tempPath_.c_str(), localPath_.c_str(), finalSize_, callbacks)) {
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
