// The session's download pass: totals and the disk space check before it, each product held to its
// limits and brought up to date, the closing requests after it; and the download requests the floors
// below make through the session.
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "common/progress_channels.h"
#include "common/result_codes.h"
#include "manifest/product_record.h"
#include "manifest/scan_flags.h"
#include "session/patcher.h"
#include "transfer/download_requests.h"
#include "transfer/progress_rates.h"

namespace korvel {

namespace {
bool hasNames(const char* names) { return names && *names; }
}  // namespace

bool Patcher::downloadPass(const char* names) {
  if (client_) client_->scanStarted();
  stopRequested_.store(false);

  const std::int64_t compressedBytes = totalDownloadBytes(names, scan::kCompressedOnly);
  const std::int64_t toUpdate = updateAmount(names, 0);
  downloads_->setTotals(compressedBytes, toUpdate);
  if (toUpdate != 0 && client_) client_->progressRange(100, kBarOverall);

  statistics_->reset();
  statistics_->set(compressedBytes, ProgressRates::kExpansionBytes, ProgressRates::kExpected);
  statistics_->set(totalDownloadBytes(names, 0), ProgressRates::kCopyBytes, ProgressRates::kExpected);
  statistics_->set(toUpdate, ProgressRates::kDownloadBytes, ProgressRates::kExpected);
  products_->setPassFlag(pass::kExcludedFromUpdateCount, false);
  const int filesToUpdate = countFiles(names, scan::kCountUpdates);
  statistics_->set(filesToUpdate, ProgressRates::kFiles, ProgressRates::kExpected);
  statistics_->set(totalDownloadBytes(names, scan::kDeltaBytesOnly), ProgressRates::kDeltaBytes,
                   ProgressRates::kExpected);
  statistics_->set(totalDownloadBytes(names, scan::kNoDownloadBytes), ProgressRates::kSessionBytes,
                   ProgressRates::kExpected);

  const std::string base = baseFor();
  const std::uint64_t available = downloads_->freeDiskBytesIn(base);
  // The files in flight together hold their temporaries at once: room for the largest for every
  // other file that may be in flight beside the one the walk is on.
  const std::int64_t largest = largestFileSpace(names, 0);
  const std::int64_t othersInFlight = std::max(0, std::min(downloads_->connections(), filesToUpdate) - 1);
  const std::int64_t needed =
      sumDownloadBytes(names, 0) + largest * (1 + othersInFlight) + DownloadRequests::kDiskReserve;
  if (needed > 0 && static_cast<std::uint64_t>(needed) > available && client_) {
    const std::string text = DownloadRequests::diskSpaceText(available, static_cast<std::uint64_t>(needed), false);
    client_->diskSpaceLow(available, static_cast<std::uint64_t>(needed), text.c_str());
  }

  // Each product is held to its download limits first, and loses its files marked "Delete" after.
  auto downloadProduct = [&](ProductRecord& product) {
    const std::string productRoot = productBase(product, base);
    product.checkLimits(scan::kIncludeLimitExceeded);
    planDownloads(product, productRoot);
    const int code = product.download(0, productRoot);
    downloads_->endPlan();
    if (!isCancelled()) product.removeDeleted(productRoot);
    return code;
  };
  bool result = false;
  if (hasNames(names)) {
    result = forProducts(names, false, [&](ProductRecord& product) { downloadProduct(product); });
  } else if (ProductHandle* top = products_->top()) {
    result = downloadProduct(top->record()) == result::kOk;
  }

  const bool allCurrent = updateAmount(names, 0) == 0;
  if (allCurrent && client_) {
    client_->progressPosition(100, kBarFileDownload);
    client_->progressPosition(100, kBarOverall);
  }
  log("Finished Downloading\n");
  savePatchCache();
  if (result && allCurrent && !stopRequested_.load() && !failedOrStopped_.load()) rememberRelease();

  if (downloads_->downloadHappened()) closeAuthorisations();
  if (!stopRequested_.load() && !(failedOrStopped_.load()) && client_) client_->downloadFinished();

  updateRunning_.store(false);
  log("Resetting Scan Flags\n");
  products_->setPassFlag(pass::kVerified, false);
  recountTotals();
  return result;
}

void Patcher::planDownloads(ProductRecord& product, const std::string& productRoot) {
  if (downloads_->connections() < 2 || isCancelled()) return;
  // A walk of the same tree with the same flags, in which the file nodes only say what they would
  // fetch whole; the transfers ahead then follow that order.
  std::vector<FileDownload> plan;
  plan_ = &plan;
  product.download(0, productRoot);
  plan_ = nullptr;
  downloads_->beginPlan(std::move(plan));
}

void Patcher::planDownload(const FileDownload& file) {
  // A request without a path or target fails at its turn, as it does today; it is never fetched ahead.
  if (!plan_ || file.remote.path.empty() || file.localFile.empty()) return;
  plan_->push_back(DownloadRequests::plannedDownload(file, true));
}

void Patcher::closeAuthorisations() {
  // The requests must go out even after a stop, which would otherwise refuse them.
  const bool stopped = stopRequested_.exchange(false);
  products_->forEachProduct([&](ProductHandle& handle) {
    ProductRecord& product = handle.record();
    if (!product.authClosePath() || product.authClosePath()->empty()) return;
    if (const std::optional<RemoteFile> remote = product.remoteFile(*product.authClosePath()))
      memoryFetch(kAuthCloseCapacity, *remote, 0);
  });
  downloads_->clearDownloadHappened();
  stopRequested_.store(stopped || stopRequested_.load());
}

int Patcher::downloadToMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress) {
  return downloads_->toDocument(buffer, capacity, remote, decompress);
}

int Patcher::downloadToFile(const FileDownload& file, bool useTemp, bool showProgress) {
  FileDownload unchecked = file;
  unchecked.crc.reset();
  unchecked.sha256.reset();
  return downloads_->toFile(unchecked, useTemp, showProgress);
}

int Patcher::downloadCheckedFile(const FileDownload& file) { return downloads_->toFile(file, true, true, true); }

ServerChoice& Patcher::servers() { return downloads_->servers(); }

bool Patcher::hasServers() const { return !server_.empty(); }

std::optional<ServerAddress> Patcher::lastFailedServer() const { return downloads_->servers().lastFailed(); }

std::optional<ServerAddress> Patcher::firstServer(const RemoteFile& remote) const {
  const std::vector<ServerAddress> candidates = downloads_->servers().candidates(remote);
  if (candidates.empty()) return std::nullopt;
  return candidates.front();
}

void Patcher::reportTimeEstimate() { downloads_->reportTimeEstimate(); }

std::int64_t Patcher::bytesToUpdate() const { return downloads_->bytesToUpdate(); }

}  // namespace korvel
