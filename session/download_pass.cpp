// The download pass: totals and the disk space check before it, each product held to its limits and
// brought up to date, the closing requests after it.
#include "session/download_pass.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/progress_channels.h"
#include "common/result_codes.h"
#include "manifest/product_list.h"
#include "manifest/product_record.h"
#include "manifest/scan_flags.h"
#include "session/manifest_load.h"
#include "session/product_walks.h"
#include "session/release_record.h"
#include "session/scan_job.h"
#include "transfer/download_requests.h"
#include "transfer/progress_rates.h"

namespace korvel {

namespace {
bool hasNames(const char* names) { return names && *names; }
}  // namespace

bool DownloadPass::run(const char* names) {
  SessionClient* client = reports_.client();
  if (client) client->scanStarted();
  state_.stopRequested.store(false);

  const std::int64_t compressedBytes = parts_.walks.downloadBytes(names, scan::kCompressedOnly);
  const std::int64_t toUpdate = parts_.walks.updateAmount(names, 0);
  parts_.downloads.setTotals(compressedBytes, toUpdate);
  if (toUpdate != 0 && client) client->progressRange(100, kBarOverall);

  parts_.statistics.reset();
  parts_.statistics.set(compressedBytes, ProgressRates::kExpansionBytes, ProgressRates::kExpected);
  parts_.statistics.set(parts_.walks.downloadBytes(names, 0), ProgressRates::kCopyBytes, ProgressRates::kExpected);
  parts_.statistics.set(toUpdate, ProgressRates::kDownloadBytes, ProgressRates::kExpected);
  parts_.walks.products().setPassFlag(pass::kExcludedFromUpdateCount, false);
  const int filesToUpdate = parts_.walks.countFiles(names, scan::kCountUpdates);
  parts_.statistics.set(filesToUpdate, ProgressRates::kFiles, ProgressRates::kExpected);
  parts_.statistics.set(parts_.walks.downloadBytes(names, scan::kDeltaBytesOnly), ProgressRates::kDeltaBytes,
                   ProgressRates::kExpected);
  parts_.statistics.set(parts_.walks.downloadBytes(names, scan::kNoDownloadBytes), ProgressRates::kSessionBytes,
                   ProgressRates::kExpected);

  const std::string base = state_.baseFor();
  const std::uint64_t available = parts_.downloads.freeDiskBytesIn(base);
  // The files in flight together hold their temporaries at once: room for the largest for every
  // other file that may be in flight beside the one the walk is on.
  const std::int64_t largest = parts_.walks.largestFileSpace(names, 0);
  const std::int64_t othersInFlight = std::max(0, std::min(parts_.downloads.connections(), filesToUpdate) - 1);
  const std::int64_t needed =
      parts_.walks.downloadBytes(names, 0) + largest * (1 + othersInFlight) + DownloadRequests::kDiskReserve;
  if (needed > 0 && static_cast<std::uint64_t>(needed) > available && client) {
    const std::string text = DownloadRequests::diskSpaceText(available, static_cast<std::uint64_t>(needed), false);
    client->diskSpaceLow(available, static_cast<std::uint64_t>(needed), text.c_str());
  }

  // Each product is held to its download limits first, and loses its files marked "Delete" after.
  auto downloadProduct = [&](ProductRecord& product) {
    const std::string productRoot = ProductWalks::productBase(product, base);
    product.checkLimits(scan::kIncludeLimitExceeded);
    planDownloads(product, productRoot);
    const int code = product.download(0, productRoot);
    parts_.downloads.endPlan();
    if (!state_.isCancelled()) product.removeDeleted(productRoot);
    return code;
  };
  bool result = false;
  if (hasNames(names)) {
    result = parts_.walks.forProducts(names, [&](ProductRecord& product) { downloadProduct(product); });
  } else if (ProductHandle* top = parts_.walks.products().top()) {
    result = downloadProduct(top->record()) == result::kOk;
  }

  const bool allCurrent = parts_.walks.updateAmount(names, 0) == 0;
  if (allCurrent && client) {
    client->progressPosition(100, kBarFileDownload);
    client->progressPosition(100, kBarOverall);
  }
  reports_.log("Finished Downloading\n");
  parts_.scan.savePatchCache();
  if (result && allCurrent && !state_.stopRequested.load() && !state_.failedOrStopped.load()) parts_.release.remember();

  if (parts_.downloads.downloadHappened()) closeAuthorisations();
  if (!state_.stopRequested.load() && !(state_.failedOrStopped.load()) && client) client->downloadFinished();

  state_.updateRunning.store(false);
  reports_.log("Resetting Scan Flags\n");
  parts_.walks.products().setPassFlag(pass::kVerified, false);
  parts_.scan.recountTotals();
  return result;
}

void DownloadPass::planDownloads(ProductRecord& product, const std::string& productRoot) {
  if (parts_.downloads.connections() < 2 || state_.isCancelled()) return;
  // A walk of the same tree with the same flags, in which the file nodes only say what they would
  // fetch whole; the transfers ahead then follow that order.
  std::vector<FileDownload> plan;
  state_.plan = &plan;
  product.download(0, productRoot);
  state_.plan = nullptr;
  parts_.downloads.beginPlan(std::move(plan));
}

void DownloadPass::closeAuthorisations() {
  // The requests must go out even after a stop, which would otherwise refuse them.
  const bool stopped = state_.stopRequested.exchange(false);
  parts_.walks.products().forEachProduct([&](ProductHandle& handle) {
    ProductRecord& product = handle.record();
    if (!product.authClosePath() || product.authClosePath()->empty()) return;
    if (const std::optional<RemoteFile> remote = product.remoteFile(*product.authClosePath()))
      fetchIntoMemory(parts_.downloads, !state_.server.empty(), kAuthCloseCapacity, *remote, 0);
  });
  parts_.downloads.clearDownloadHappened();
  state_.stopRequested.store(stopped || state_.stopRequested.load());
}

}  // namespace korvel
