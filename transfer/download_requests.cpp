// The session's blocking download requests: one HttpTransfer per call, polled to its end, with the
// progress channels, the session's byte counters, the statistics and the failure reports around it.
#include "transfer/download_requests.h"

#include "launcher/file_utils.h"
#include "launcher/patch_client.h"
#include "launcher/text_format.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "session/patcher.h"
#include "session/result_codes.h"
#include "transfer/http_transfer.h"
#include "transfer/progress_rates.h"

namespace korvel {

namespace {

constexpr std::size_t kUrlCapacity = 512;
constexpr std::size_t kMessageCapacity = 1024;
constexpr std::uint32_t kPollMs = 100;
constexpr int kMessagesPerPoll = 5;
constexpr std::uint64_t kDiskWarningCeiling = 4ULL * 1024 * 1024 * 1024;
constexpr std::int64_t kDiskReserve = 5000000;
constexpr std::int64_t kBytesPerMegabyte = 1000000;
// The file request honours a cancel only once this many bytes have arrived.
constexpr std::uint32_t kCancelAfterBytes = 100;
constexpr const char* kNullPathText = "Null path requested for download.\n";

// Clears the session's transfer-running flag on every way out of a request.
class TransferRunning {
 public:
  explicit TransferRunning(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
  ~TransferRunning() { flag_.store(false); }
  TransferRunning(const TransferRunning&) = delete;
  TransferRunning& operator=(const TransferRunning&) = delete;

 private:
  std::atomic<bool>& flag_;
};

// The statistics cells a file request feeds: rows 0 (download) and 1 (expansion), bytes and
// milliseconds, each as the value it held when the request started plus the transfer's own count.
class RateCells {
 public:
  explicit RateCells(ProgressRates& rates)
      : rates_(rates),
        downloadBytes_(rates.get(ProgressRates::kDownloadBytes, ProgressRates::kDone)),
        downloadMs_(rates.get(ProgressRates::kDownloadBytes, ProgressRates::kMilliseconds)),
        expansionBytes_(rates.get(ProgressRates::kExpansionBytes, ProgressRates::kDone)),
        expansionMs_(rates.get(ProgressRates::kExpansionBytes, ProgressRates::kMilliseconds)) {}

  void update(const HttpTransfer& transfer) {
    rates_.set(downloadBytes_ + static_cast<std::int32_t>(transfer.bytesDownloaded()), ProgressRates::kDownloadBytes,
               ProgressRates::kDone);
    rates_.set(downloadMs_ + static_cast<std::int32_t>(transfer.downloadMillis()), ProgressRates::kDownloadBytes,
               ProgressRates::kMilliseconds);
    rates_.set(expansionBytes_ + static_cast<std::int32_t>(transfer.bytesDecompressed()),
               ProgressRates::kExpansionBytes, ProgressRates::kDone);
    rates_.set(expansionMs_ + static_cast<std::int32_t>(transfer.decompressMillis()), ProgressRates::kExpansionBytes,
               ProgressRates::kMilliseconds);
  }

 private:
  ProgressRates& rates_;
  std::int32_t downloadBytes_, downloadMs_, expansionBytes_, expansionMs_;
};

const char* orNull(bool has, const std::string& text) { return has ? text.c_str() : nullptr; }

}  // namespace

std::string downloadUrl(const char* server, int port, const char* path) {
  const char* host = server ? server : "";
  std::string url;
  if (path && (path[0] == '\\' || path[0] == '/')) {
    url = boundedFormat(kUrlCapacity, "http://%s:%d/%s", host, port, path + 1);
  } else {
    url = boundedFormat(kUrlCapacity, "http://%s:%d/%s", host, port, path ? path : "");
  }
  for (char& c : url)
    if (c == '\\') c = '/';
  return url;
}

int progressPercent(std::int64_t done, std::int64_t total) {
  if (total <= 0) return -1;
  if (total <= 100) return static_cast<int>(done * 100 / total);
  return static_cast<int>(done / (total / 100));
}

std::string Patcher::programName() const {
  if (!programName_.empty()) return programName_;
  const std::string path = platform::programPath();
  const std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

void Patcher::setDownloadCounters(int downloadBytes, int toUpdate, int done, int unpacked) {
  totalDownloadBytes_ = downloadBytes;
  bytesToUpdate_ = toUpdate;
  bytesDone_ = done;
  bytesUnpacked_ = unpacked;
}

void Patcher::downloadFailed() { client_->setFailedOrStopped(true); }

void Patcher::reportTimeEstimate() {
  std::int32_t finish = 0;
  if (!statistics_->finishTime(finish)) return;
  const std::int64_t now = platform::nowSeconds();
  if (finish > now + 3600 || finish < now) {
    if (!statistics_->finishTime(finish)) return;
  }
  client_->timeEstimate(finish, finish - now);
}

void Patcher::refreshOverallBar() {
  const int position = progressPercent(bytesDone_, bytesToUpdate_);
  if (position >= 0) client_->progressPosition(position, kBarOverall);
}

int Patcher::downloadToMemory(char* buffer, int capacity, const char* server, int port, const char* path,
                              int decompress) {
  HttpTransfer transfer(client_);
  log("Initializing Get\n");
  const std::string program = programName();
  transfer.setProgramName(program.c_str());
  log("Get Initialized\n");
  if (stopRequested_.load()) return result::kStopped;
  if (!path) {
    if (displayFiles_) reportError(result::kNullPath, kNullPathText);
    return result::kOk;
  }

  if (displayFiles_) client_->reportFile(nullptr, kNoticeDownloadStarts);
  const std::string url = downloadUrl(server, port, path);
  downloadHappened_.store(true);
  TransferRunning running(transferRunning_);
  transfer.startMemoryDownload(buffer, capacity, url.c_str(), orNull(hasLoginUser_, loginUser_),
                               orNull(hasLoginPassword_, loginPassword_), decompress);

  int outcome = result::kStopped;
  std::int32_t lastState = HttpTransfer::kConstructed;
  for (;;) {
    const std::int32_t state = transfer.state();
    if (state != lastState || transfer.totalBytes() != 0) {
      lastState = state;
      if (state == HttpTransfer::kFailed) {
        transfer.requestStop();
        outcome = transfer.errorCode();
        break;
      }
      if (state == HttpTransfer::kComplete) {
        transfer.requestStop();
        outcome = result::kOk;
        break;
      }
      if (state == HttpTransfer::kStopped) {
        outcome = result::kStopped;
        break;
      }
    }
    if (stopRequested_.load()) {
      outcome = result::kStopped;
      break;
    }
    for (int i = 0; i < kMessagesPerPoll && platform::dispatchWaitingMessage(); ++i) {
    }
    transfer.waitForEnd(kPollMs);
  }
  if (displayFiles_) client_->reportFile(url.c_str(), kNoticeFinished);
  return outcome;
}

int Patcher::downloadToFile(const char* server, int port, const char* path, const char* localFile, int decompress,
                            int downloadSize, int totalSize, bool useTemp, bool showProgress) {
  HttpTransfer transfer(client_);
  const std::string program = programName();
  transfer.setProgramName(program.c_str());
  if (stopRequested_.load()) return result::kStopped;
  if (!path || !localFile) {
    reportError(result::kNullPath, kNullPathText);
    return result::kOk;
  }

  const std::string url = downloadUrl(server, port, path);
  std::string local = localFile;
  for (char& c : local)
    if (c == '\\') c = '/';
  const std::size_t cut = local.rfind('/');
  const std::string folder = cut == std::string::npos ? std::string() : local.substr(0, cut);
  const std::string name = cut == std::string::npos ? std::string() : local.substr(cut + 1);

  const std::int64_t needed = static_cast<std::int64_t>(downloadSize) + totalSize;
  const bool tracked = needed != 0;
  if (tracked) {
    if (showProgress) {
      client_->reportFile(local.c_str(), kNoticeDownloadStarts);
      client_->progressPosition(0, kBarFileDownload);
      client_->progressPosition(0, kBarUnpack);
    }
  } else {
    client_->reportFile(nullptr, kNoticeDownloadStarts);
  }

  const int doneBefore = bytesDone_;
  const int unpackedBefore = bytesUnpacked_;
  RateCells rates(*statistics_);
  if (downloadSize != 0) reportTimeEstimate();

  downloadHappened_.store(true);
  TransferRunning running(transferRunning_);
  HttpTransfer::FileRequest request;
  request.url = url.c_str();
  request.localPath = local.c_str();
  request.finalSize = totalSize;
  request.user = orNull(hasLoginUser_, loginUser_);
  request.password = orNull(hasLoginPassword_, loginPassword_);
  request.decompress = decompress;
  request.useTemp = useTemp;
  transfer.startFileDownload(request);

  std::int32_t lastState = HttpTransfer::kConstructed;
  std::uint32_t lastTotal = 0, lastDownloaded = 0, lastDecompressed = 0;
  bool expansionShown = false, copyShown = false;
  for (;;) {
    const std::int32_t state = transfer.state();
    const std::uint32_t total = transfer.totalBytes();
    if (state != lastState || total != lastTotal) {
      lastState = state;
      lastTotal = total;
      lastActivity_.store(platform::nowSeconds());
      const std::uint32_t downloaded = transfer.bytesDownloaded();
      const std::uint32_t decompressed = transfer.bytesDecompressed();
      switch (state) {
        case HttpTransfer::kTransferring:
          if (downloadSize >= 1 && downloaded != lastDownloaded && tracked && !stopRequested_.load()) {
            lastDownloaded = downloaded;
            rates.update(transfer);
            bytesDone_ = doneBefore + static_cast<int>(downloaded);
            if (showProgress) {
              refreshOverallBar();
              client_->progressPosition(progressPercent(downloaded, downloadSize), kBarFileDownload);
            }
            reportTimeEstimate();
          }
          break;
        case HttpTransfer::kExpanding:
          if (!tracked) break;
          if (!expansionShown) {
            expansionShown = true;
            if (showProgress) {
              client_->progressPosition(100, kBarFileDownload);
              client_->reportFile(local.c_str(), kNoticeUnpackStarts);
              client_->progressPosition(0, kBarUnpack);
            }
          }
          if (decompressed != lastDecompressed && !stopRequested_.load()) {
            lastDecompressed = decompressed;
            rates.update(transfer);
            bytesUnpacked_ = unpackedBefore + static_cast<int>(decompressed);
            const int position = progressPercent(decompressed, totalSize);
            if (showProgress && position >= 0) client_->progressPosition(position, kBarUnpack);
          }
          reportTimeEstimate();
          break;
        case HttpTransfer::kCopying:
          if (!tracked) break;
          if (!copyShown) {
            copyShown = true;
            if (showProgress) {
              client_->progressPosition(100, kBarUnpack);
              client_->reportFile(local.c_str(), kNoticeCopyStarts);
              client_->progressPosition(0, kBarCopy);
            }
          }
          reportTimeEstimate();
          break;
        case HttpTransfer::kComplete:
          if (tracked) {
            bytesDone_ = doneBefore + static_cast<int>(downloaded);
            bytesUnpacked_ = decompress ? unpackedBefore + static_cast<int>(decompressed) : unpackedBefore;
            if (showProgress) {
              if (static_cast<std::int64_t>(bytesToUpdate_) <
                  static_cast<std::int64_t>(bytesDone_) + bytesUnpacked_) {
                client_->progressPosition(100, kBarFileDownload);
              } else {
                refreshOverallBar();
              }
              client_->reportFile(local.c_str(), 100);
            }
            rates.update(transfer);
            statistics_->add(1, ProgressRates::kFiles, ProgressRates::kDone);
          }
          transfer.requestStop();
          if (showProgress) client_->reportFile(url.c_str(), kNoticeFinished);
          return result::kOk;
        case HttpTransfer::kFailed: {
          const int code = transfer.errorCode();
          const std::string& shown = name.empty() ? local : name;
          const char* error = transfer.errorText();
          const std::string text =
              error ? boundedFormat(kMessageCapacity, "Error downloading %s: %s\n", shown.c_str(), error)
                    : boundedFormat(kMessageCapacity, "Error downloading %s\n", shown.c_str());
          if (showProgress) reportError(code, text);
          if (code == result::kWriteFailed) {
            const std::uint64_t available = freeDiskProbe_ ? freeDiskProbe_(folder) : freeDiskBytes(folder);
            const std::int64_t need = needed + kDiskReserve;
            if (available < kDiskWarningCeiling && static_cast<std::int64_t>(available) < need) {
              const std::int64_t free = static_cast<std::int64_t>(available);
              const std::string warning = boundedFormat(
                  kMessageCapacity,
                  "Not enough free disk space.  Space available is %d MB, space needed is %d MB.  Please free up "
                  "%d MB and reattempt download.\n",
                  static_cast<int>(free / kBytesPerMegabyte), static_cast<int>(need / kBytesPerMegabyte),
                  static_cast<int>((need - free) / kBytesPerMegabyte));
              client_->diskSpaceLow(available, static_cast<std::uint64_t>(need), warning.c_str());
            }
          }
          if (showProgress && code != result::kStopped) downloadFailed();
          transfer.requestStop();
          bytesDone_ = doneBefore;
          bytesUnpacked_ = unpackedBefore;
          if (showProgress) client_->reportFile(url.c_str(), kNoticeFinished);
          return code;
        }
        case HttpTransfer::kStopped:
          if (tracked) {
            client_->progressPosition(0, kBarOverall);
            client_->reportFile(url.c_str(), 0);
          } else {
            client_->reportFile(url.c_str(), kNoticeFinished);
          }
          return result::kStopped;
        default:
          break;
      }
    }
    if (stopRequested_.load() && transfer.bytesDownloaded() > kCancelAfterBytes) {
      transfer.requestStop();
      while (transfer.isBusy()) transfer.waitForEnd(kPollMs);
      bytesDone_ = doneBefore;
      if (showProgress) {
        client_->progressPosition(0, kBarOverall);
        client_->reportFile(url.c_str(), 0);
      }
      return result::kStopped;
    }
    transfer.waitForEnd(kPollMs);
  }
}

}  // namespace korvel
