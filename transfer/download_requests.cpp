// The session's blocking download requests: one HttpTransfer per call, followed to its end, with the
// progress channels, the byte counters, the statistics and the failure reports around it.
#include "transfer/download_requests.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "common/file_utils.h"
#include "common/progress_channels.h"
#include "common/result_codes.h"
#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "transfer/http_transfer.h"
#include "transfer/progress_rates.h"

namespace korvel {

namespace {

constexpr std::size_t kMessageCapacity = 1024;
constexpr std::uint32_t kPollMs = 100;
constexpr int kMessagesPerPoll = 5;
constexpr std::uint64_t kBytesPerMegabyte = 1000000;
// The session's counters are 32-bit; a larger figure is shown as the largest count rather than
// wrapping to a negative one.
int saturated(std::uint64_t value) { return static_cast<int>(std::min<std::uint64_t>(value, INT_MAX)); }
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
// milliseconds, each as the value it held when the request started plus the transfer's own count. A
// transfer fetched ahead of the walk ran while the walk waited for the files before it, whose time
// is counted already: only the time since the walk came to it is added, so that the bytes of all the
// files in flight over the walk's own time give the rate they arrive at together.
class RateCells {
 public:
  explicit RateCells(ProgressRates& rates)
      : rates_(rates),
        started_(platform::tickCount()),
        downloadBytes_(rates.get(ProgressRates::kDownloadBytes, ProgressRates::kDone)),
        downloadMs_(rates.get(ProgressRates::kDownloadBytes, ProgressRates::kMilliseconds)),
        expansionBytes_(rates.get(ProgressRates::kExpansionBytes, ProgressRates::kDone)),
        expansionMs_(rates.get(ProgressRates::kExpansionBytes, ProgressRates::kMilliseconds)) {}

  void update(const HttpTransfer& transfer) {
    rates_.set(downloadBytes_ + static_cast<std::int64_t>(transfer.bytesDownloaded()), ProgressRates::kDownloadBytes,
               ProgressRates::kDone);
    const std::uint32_t walked = platform::tickCount() - started_;
    rates_.set(downloadMs_ + std::min(transfer.downloadMillis(), walked), ProgressRates::kDownloadBytes,
               ProgressRates::kMilliseconds);
    rates_.set(expansionBytes_ + static_cast<std::int64_t>(transfer.bytesDecompressed()),
               ProgressRates::kExpansionBytes, ProgressRates::kDone);
    rates_.set(expansionMs_ + transfer.decompressMillis(), ProgressRates::kExpansionBytes,
               ProgressRates::kMilliseconds);
  }

 private:
  ProgressRates& rates_;
  std::uint32_t started_;
  std::int64_t downloadBytes_, downloadMs_, expansionBytes_, expansionMs_;
};

}  // namespace

// What one file request knows while it follows its transfer.
struct DownloadRequests::FileRequest {
  FileRequest(HttpTransfer& transfer, ProgressRates& rates) : transfer(transfer), rates(rates) {}

  HttpTransfer& transfer;
  std::string url;
  std::string local;   // the local file with '/' separators
  std::string folder;  // its folder, for the free-space probe
  std::string name;    // its last component, for the failure text
  std::int64_t needed = 0;
  bool tracked = false;  // the request counts towards the pass's bytes and bars
  bool showProgress = false;
  int decompress = 0;
  std::int64_t downloadSize = 0;
  std::int64_t totalSize = 0;
  std::int64_t doneBefore = 0;
  std::int64_t unpackedBefore = 0;
  RateCells rates;
  // The transfer's counters at this look, and the ones last shown.
  std::uint64_t downloaded = 0, decompressed = 0;
  std::uint64_t lastDownloaded = 0, lastDecompressed = 0;
  bool expansionShown = false, copyShown = false;
  // The retries, the moves to another server and the continued offset the status line told last.
  std::int32_t retriesShown = 0;
  std::int32_t serverChangesShown = 0;
  std::uint64_t resumeShown = 0;
  int result = result::kOk;
};

DownloadRequests::DownloadRequests(DownloadObserver& observer, ProgressRates& rates)
    : observer_(observer), rates_(rates), pipeline_(observer, rates) {}

PlannedDownload DownloadRequests::plannedDownload(const FileDownload& file, bool verify) {
  PlannedDownload planned = file;
  for (char& c : planned.localFile)
    if (c == '\\') c = '/';
  if (!verify) {
    planned.crc.reset();
    planned.sha256.reset();
  }
  return planned;
}

HttpTransfer::Route DownloadRequests::route(const RemoteFile& remote) { return HttpTransfer::Route::to(remote, &servers_); }

void DownloadRequests::beginPlan(std::vector<PlannedDownload> plan) {
  TransferPipeline::Settings settings;
  settings.limit = connections_;
  settings.user = user_;
  settings.password = password_;
  settings.programName = programName();
  settings.servers = &servers_;
  pipeline_.begin(std::move(plan), std::move(settings));
}

int progressPercent(std::int64_t done, std::int64_t total) {
  if (total <= 0) return -1;
  if (total <= 100) return static_cast<int>(done * 100 / total);
  return static_cast<int>(done / (total / 100));
}

std::string DownloadRequests::programName() const {
  if (!programName_.empty()) return programName_;
  const std::string path = platform::programPath();
  const std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

void DownloadRequests::setCredentials(std::optional<std::string> user, std::optional<std::string> password) {
  user_ = std::move(user);
  password_ = std::move(password);
}

void DownloadRequests::setCounters(std::int64_t downloadBytes, std::int64_t toUpdate, std::int64_t done,
                                   std::int64_t unpacked) {
  totalDownloadBytes_ = downloadBytes;
  bytesToUpdate_ = toUpdate;
  bytesDone_ = done;
  bytesUnpacked_ = unpacked;
}

void DownloadRequests::reportTimeEstimate() {
  std::int32_t finish = 0;
  if (!rates_.finishTime(finish)) return;
  const std::int64_t now = platform::nowSeconds();
  if (finish > now + 3600 || finish < now) {
    if (!rates_.finishTime(finish)) return;
  }
  observer_.timeEstimate(finish, finish - now);
}

void DownloadRequests::refreshOverallBar() {
  // Every byte that arrived counts, those of the files fetched ahead of the walk too.
  const std::int64_t arrived = bytesDone_ + static_cast<std::int64_t>(pipeline_.bytesAhead());
  const int position = progressPercent(std::min(arrived, bytesToUpdate_), bytesToUpdate_);
  if (position >= 0) observer_.showProgress(position, kBarOverall);
}

std::string DownloadRequests::diskSpaceText(std::uint64_t freeBytes, std::uint64_t neededBytes,
                                            bool afterFailedDownload) {
  const std::uint64_t missing = neededBytes > freeBytes ? neededBytes - freeBytes : 0;
  return boundedFormat(kMessageCapacity,
                       afterFailedDownload
                           ? "Not enough free disk space.  Space available is %d MB, space needed is %d MB.  Please "
                             "free up %d MB and reattempt download.\n"
                           : "Not enough free disk space.  Space available is %d MB, space needed is %d MB.  Please "
                             "free up %d MB.\n",
                       saturated(freeBytes / kBytesPerMegabyte), saturated(neededBytes / kBytesPerMegabyte),
                       saturated(missing / kBytesPerMegabyte));
}

std::uint64_t DownloadRequests::freeDiskBytesIn(const std::string& folder) const {
  return freeDiskProbe_ ? freeDiskProbe_(folder) : freeDiskBytes(folder);
}

int DownloadRequests::toBytes(const RemoteFile& remote, int capacity, std::string& body, int& status) {
  body.clear();
  status = 0;
  if (capacity <= 0) return result::kReadFailed;
  std::vector<char> buffer(static_cast<std::size_t>(capacity), '\0');
  MemoryReply reply;
  const int code = toMemory(buffer.data(), capacity, remote, 0, &reply);
  status = reply.status;
  if (code == result::kOk) body.assign(buffer.data(), std::min<std::size_t>(reply.length, buffer.size()));
  return code;
}

int DownloadRequests::toMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress,
                               MemoryReply* reply) {
  HttpTransfer transfer(observer_, &rates_);
  observer_.log("Initializing Get\n");
  const std::string program = programName();
  transfer.setProgramName(program.c_str());
  observer_.log("Get Initialized\n");
  if (observer_.stopRequested()) return result::kStopped;
  if (remote.path.empty()) {
    if (displayFiles_) observer_.reportError(result::kNullPath, kNullPathText);
    return result::kOk;
  }

  if (displayFiles_) observer_.reportFile(nullptr, kNoticeDownloadStarts);
  HttpTransfer::Route where = route(remote);
  const std::string url = where.firstUrl();
  downloadHappened_.store(true);
  TransferRunning running(transferRunning_);
  transfer.startMemoryDownload(buffer, capacity, std::move(where), user(), password(), decompress);
  std::int32_t retriesShown = 0;

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
    if (observer_.stopRequested()) {
      outcome = result::kStopped;
      break;
    }
    if (transfer.retries() != retriesShown) {
      retriesShown = transfer.retries();
      observer_.showStatus(boundedFormat(kMessageCapacity, "Connection lost: retrying %s", remote.path.c_str()));
    }
    for (int i = 0; i < kMessagesPerPoll && platform::dispatchWaitingMessage(); ++i) {
    }
    transfer.waitForEnd(kPollMs);
  }
  if (reply) {
    // A completed transfer stored its counters before it said so.
    reply->length = transfer.bytesDownloaded();
    reply->status = transfer.httpStatus();
  }
  if (displayFiles_) observer_.reportFile(url.c_str(), kNoticeFinished);
  return outcome;
}

int DownloadRequests::toDocument(char* buffer, int capacity, const RemoteFile& remote, int decompress) {
  MemoryReply reply;
  const int outcome = toMemory(buffer, capacity, remote, decompress, &reply);
  if (outcome == result::kOk && reply.status != 0 && (reply.status < 200 || reply.status >= 300)) {
    if (capacity > 0) buffer[0] = '\0';
    return result::kHttpStatus;
  }
  return outcome;
}

int DownloadRequests::toFile(const FileDownload& file, bool useTemp, bool showProgress, bool verify) {
  if (observer_.stopRequested()) return result::kStopped;
  if (file.remote.path.empty() || file.localFile.empty()) {
    observer_.reportError(result::kNullPath, kNullPathText);
    return result::kOk;
  }
  const int decompress = file.decompress;
  const std::int64_t downloadSize = file.downloadSize;
  const std::int64_t totalSize = file.totalSize;
  // A checked download the plan foresaw was started ahead of its turn: it is taken over, with what it
  // held back, and goes on from where it is.
  std::unique_ptr<AheadTransfer> ahead;
  if (useTemp && showProgress && verify) ahead = pipeline_.take(plannedDownload(file, true));
  std::unique_ptr<HttpTransfer> own;
  if (!ahead) {
    own = std::make_unique<HttpTransfer>(observer_, &rates_);
    const std::string program = programName();
    own->setProgramName(program.c_str());
  }
  HttpTransfer& transfer = ahead ? ahead->transfer : *own;

  FileRequest request(transfer, rates_);
  HttpTransfer::FileRequest start;
  start.route = route(file.remote);
  request.url = start.route.firstUrl();
  request.local = file.localFile;
  for (char& c : request.local)
    if (c == '\\') c = '/';
  const std::size_t cut = request.local.rfind('/');
  if (cut != std::string::npos) {
    request.folder = request.local.substr(0, cut);
    request.name = request.local.substr(cut + 1);
  }
  request.needed = downloadSize + totalSize;
  request.tracked = request.needed != 0;
  request.showProgress = showProgress;
  request.decompress = decompress;
  request.downloadSize = downloadSize;
  request.totalSize = totalSize;

  if (request.tracked) {
    if (showProgress) {
      observer_.reportFile(request.local.c_str(), kNoticeDownloadStarts);
      observer_.showProgress(0, kBarFileDownload);
      observer_.showProgress(0, kBarUnpack);
    }
  } else {
    observer_.reportFile(nullptr, kNoticeDownloadStarts);
  }

  request.doneBefore = bytesDone_;
  request.unpackedBefore = bytesUnpacked_;
  if (downloadSize != 0) reportTimeEstimate();

  downloadHappened_.store(true);
  TransferRunning running(transferRunning_);
  start.localPath = request.local.c_str();
  start.finalSize = totalSize;
  start.user = user();
  start.password = password();
  start.decompress = decompress;
  start.useTemp = useTemp;
  if (useTemp && verify) {
    start.expectedSize = totalSize > 0 ? static_cast<std::uint64_t>(totalSize) : 0;
    start.expectedCrc = file.crc;
    start.expectedSha256 = file.sha256;
  }
  start.boundBy(decompress, downloadSize, totalSize, useTemp && verify);
  if (ahead) {
    ahead->observer.release();
    transfer.adopt();
  } else {
    transfer.startFileDownload(start);
  }

  std::int32_t lastState = HttpTransfer::kConstructed;
  std::uint64_t lastTotal = 0;
  for (;;) {
    const std::int32_t state = transfer.state();
    const std::uint64_t total = transfer.totalBytes();
    if (state != lastState || total != lastTotal) {
      lastState = state;
      lastTotal = total;
      lastActivity_.store(platform::nowSeconds());
      request.downloaded = transfer.bytesDownloaded();
      request.decompressed = transfer.bytesDecompressed();
      Step step = Step::kContinue;
      switch (state) {
        case HttpTransfer::kTransferring: step = onTransferring(request); break;
        case HttpTransfer::kExpanding: step = onExpanding(request); break;
        case HttpTransfer::kCopying: step = onCopying(request); break;
        case HttpTransfer::kComplete: step = onComplete(request); break;
        case HttpTransfer::kFailed: step = onFailed(request); break;
        case HttpTransfer::kStopped: step = onStopped(request); break;
        default: break;
      }
      if (step == Step::kDone) return request.result;
    }
    if (stopIfAsked(request) == Step::kDone) return request.result;
    showRetries(request);
    transfer.waitForEnd(kPollMs);
  }
}

void DownloadRequests::showRetries(FileRequest& request) {
  const HttpTransfer& transfer = request.transfer;
  const std::int32_t retries = transfer.retries();
  const std::int32_t serverChanges = transfer.serverChanges();
  const std::uint64_t resumedAt = transfer.resumedAt();
  const std::string& shown = request.name.empty() ? request.local : request.name;
  if (serverChanges != request.serverChangesShown) {
    request.serverChangesShown = serverChanges;
    request.retriesShown = retries;
    observer_.showStatus(boundedFormat(kMessageCapacity, "Trying another server for %s", shown.c_str()));
  } else if (retries != request.retriesShown) {
    request.retriesShown = retries;
    observer_.showStatus(boundedFormat(kMessageCapacity, "Connection lost: retrying %s", shown.c_str()));
  }
  if (resumedAt != request.resumeShown) {
    request.resumeShown = resumedAt;
    const int percent = request.downloadSize > 0 ? progressPercent(static_cast<std::int64_t>(resumedAt), request.downloadSize) : -1;
    observer_.showStatus(percent >= 0 ? boundedFormat(kMessageCapacity, "Resuming %s at %d%%", shown.c_str(), percent)
                                      : boundedFormat(kMessageCapacity, "Resuming %s", shown.c_str()));
  }
}

DownloadRequests::Step DownloadRequests::onTransferring(FileRequest& request) {
  if (request.downloadSize < 1 || request.downloaded == request.lastDownloaded || !request.tracked ||
      observer_.stopRequested())
    return Step::kContinue;
  request.lastDownloaded = request.downloaded;
  request.rates.update(request.transfer);
  bytesDone_ = request.doneBefore + request.downloaded;
  if (request.showProgress) {
    refreshOverallBar();
    observer_.showProgress(progressPercent(request.downloaded, request.downloadSize), kBarFileDownload);
  }
  reportTimeEstimate();
  return Step::kContinue;
}

DownloadRequests::Step DownloadRequests::onExpanding(FileRequest& request) {
  if (!request.tracked) return Step::kContinue;
  if (!request.expansionShown) {
    request.expansionShown = true;
    if (request.showProgress) {
      observer_.showProgress(100, kBarFileDownload);
      observer_.reportFile(request.local.c_str(), kNoticeUnpackStarts);
      observer_.showProgress(0, kBarUnpack);
    }
  }
  if (request.decompressed != request.lastDecompressed && !observer_.stopRequested()) {
    request.lastDecompressed = request.decompressed;
    request.rates.update(request.transfer);
    bytesUnpacked_ = request.unpackedBefore + request.decompressed;
    const int position = progressPercent(request.decompressed, request.totalSize);
    if (request.showProgress && position >= 0) observer_.showProgress(position, kBarUnpack);
  }
  reportTimeEstimate();
  return Step::kContinue;
}

DownloadRequests::Step DownloadRequests::onCopying(FileRequest& request) {
  if (!request.tracked) return Step::kContinue;
  if (!request.copyShown) {
    request.copyShown = true;
    if (request.showProgress) {
      observer_.showProgress(100, kBarUnpack);
      observer_.reportFile(request.local.c_str(), kNoticeCopyStarts);
      observer_.showProgress(0, kBarCopy);
    }
  }
  reportTimeEstimate();
  return Step::kContinue;
}

DownloadRequests::Step DownloadRequests::onComplete(FileRequest& request) {
  if (request.tracked) {
    bytesDone_ = request.doneBefore + request.downloaded;
    bytesUnpacked_ = request.decompress ? request.unpackedBefore + request.decompressed : request.unpackedBefore;
    if (request.showProgress) {
      if (bytesToUpdate_ < bytesDone_ + bytesUnpacked_) {
        observer_.showProgress(100, kBarFileDownload);
      } else {
        refreshOverallBar();
      }
      observer_.reportFile(request.local.c_str(), 100);
    }
    request.rates.update(request.transfer);
    rates_.add(1, ProgressRates::kFiles, ProgressRates::kDone);
  }
  request.transfer.requestStop();
  if (request.showProgress) observer_.reportFile(request.url.c_str(), kNoticeFinished);
  request.result = result::kOk;
  return Step::kDone;
}

DownloadRequests::Step DownloadRequests::onFailed(FileRequest& request) {
  HttpTransfer& transfer = request.transfer;
  const int code = transfer.errorCode();
  const std::string& shown = request.name.empty() ? request.local : request.name;
  const char* error = transfer.errorText();
  const std::string text = error
                               ? boundedFormat(kMessageCapacity, "Error downloading %s: %s\n", shown.c_str(), error)
                               : boundedFormat(kMessageCapacity, "Error downloading %s\n", shown.c_str());
  if (request.showProgress) observer_.reportError(code, text);
  // A server that could not prove who it is, or sent a secure request elsewhere, is the player's
  // business: the status line says so, where errors are not shown.
  if (code == result::kCertificateRefused || code == result::kInsecureRedirect) observer_.showStatus(error ? error : text);
  if (code == result::kWriteFailed) {
    const std::uint64_t available = freeDiskBytesIn(request.folder);
    const std::int64_t need = request.needed + kDiskReserve;
    if (available < kDiskWarningCeiling && static_cast<std::int64_t>(available) < need) {
      const std::string warning = diskSpaceText(available, static_cast<std::uint64_t>(need), true);
      observer_.diskSpaceLow(available, static_cast<std::uint64_t>(need), warning);
    }
  }
  // A shown failure marks the session failed, which ends the running walks.
  if (request.showProgress && code != result::kStopped) observer_.markFailed();
  transfer.requestStop();
  bytesDone_ = request.doneBefore;
  bytesUnpacked_ = request.unpackedBefore;
  if (request.showProgress) observer_.reportFile(request.url.c_str(), kNoticeFinished);
  request.result = code;
  return Step::kDone;
}

DownloadRequests::Step DownloadRequests::onStopped(FileRequest& request) {
  if (request.tracked) {
    observer_.showProgress(0, kBarOverall);
    observer_.reportFile(request.url.c_str(), 0);
  } else {
    observer_.reportFile(request.url.c_str(), kNoticeFinished);
  }
  request.result = result::kStopped;
  return Step::kDone;
}

DownloadRequests::Step DownloadRequests::stopIfAsked(FileRequest& request) {
  HttpTransfer& transfer = request.transfer;
  if (!observer_.stopRequested() || transfer.bytesDownloaded() <= kCancelAfterBytes) return Step::kContinue;
  transfer.requestStop();
  while (transfer.isBusy()) transfer.waitForEnd(kPollMs);
  bytesDone_ = request.doneBefore;
  if (request.showProgress) {
    observer_.showProgress(0, kBarOverall);
    observer_.reportFile(request.url.c_str(), 0);
  }
  request.result = result::kStopped;
  return Step::kDone;
}

}  // namespace korvel
