// The session's blocking download requests: one HttpTransfer per call, followed to its end, with the
// progress channels, the byte counters of a download pass, the statistics and the failure reports
// around it, all told to a DownloadObserver. The session owns one and forwards its own download calls
// to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transfer/remote_file.h"
#include "transfer/server_choice.h"
#include "transfer/transfer_observer.h"
#include "transfer/transfer_pipeline.h"

namespace korvel {

class HttpTransfer;
class ProgressRates;

// The progress position of `done` out of `total`: done * 100 / total when total is at most 100, else
// done / (total / 100), integer divisions; -1 when total is not positive (nothing to show).
int progressPercent(std::int64_t done, std::int64_t total);

// What a memory request received, besides the body itself.
struct MemoryReply {
  // Bytes of the body as it came over the wire.
  std::uint32_t length = 0;
  // The response's HTTP status; 0 when none is known.
  int status = 0;
};

class DownloadRequests {
 public:
  using FreeDiskProbe = std::function<std::uint64_t(const std::string& folder)>;

  // Room a download keeps free on the disk beyond the bytes it writes.
  static constexpr std::int64_t kDiskReserve = 5000000;
  // A failed write warns about the disk only while less than this much is free (a larger figure means
  // the free space could not be measured in 32 bits, and the failure had another cause).
  static constexpr std::uint64_t kDiskWarningCeiling = 4ULL * 1024 * 1024 * 1024;

  // `observer` hears every notification, error and log line and gives the stop and failure state;
  // `rates` takes the download, expansion and copy figures. Both must outlive the requests.
  DownloadRequests(DownloadObserver& observer, ProgressRates& rates);
  DownloadRequests(const DownloadRequests&) = delete;
  DownloadRequests& operator=(const DownloadRequests&) = delete;

  // The patch servers requests on the session's list go to, and the order they are asked in.
  ServerChoice& servers() { return servers_; }
  // The servers `remote` is asked at, in order, with the path and the choice to report to.
  HttpTransfer::Route route(const RemoteFile& remote);

  // Each blocks the calling thread until its transfer has ended; a transient fault is asked again,
  // and at the next server of the route (HttpTransfer). Results: 0 done, 120 cancelled or stopped,
  // otherwise the transfer's error code.
  // Fetches `remote` into `buffer` (the body, expanded when decompress is 1, and a terminating zero
  // within capacity bytes). Dispatches up to five window messages per poll, so the UI thread may call
  // it. With `reply`, its length and status are filled in once the transfer has ended.
  int toMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress, MemoryReply* reply = nullptr);
  // A document of the manifest's tree: as toMemory, but an answer other than 2xx is no document and
  // fails with result::kHttpStatus (its page is never handed over as if it were the document).
  int toDocument(char* buffer, int capacity, const RemoteFile& remote, int decompress);
  // The body of `remote` exactly as it came (never expanded), at most capacity - 1 bytes, with the
  // response's status. Results as toMemory.
  int toBytes(const RemoteFile& remote, int capacity, std::string& body, int& status);
  // Fetches file.remote into file.localFile. When downloadSize + totalSize is not 0 it advances
  // bytesDone, bytesUnpacked and the statistics; with showProgress it drives channels 1, 2, 3 and 7,
  // shows failures and marks the session failed when the download fails.
  // With useTemp and `verify`, the finished file must have totalSize bytes (when not 0), and the CRC
  // and SHA-256 given (when there are), before it takes localFile's place; otherwise the request fails
  // with result::kFileMismatch and localFile stays as it was.
  // Nothing is written past totalSize (HttpTransfer::kUnstatedSizeCap when it is 0 and the file is not
  // checked), and a compressed body brings no more than downloadSize when it is given: more fails
  // with result::kFileMismatch. A checked file's broken-off body is kept and continued (HttpTransfer),
  // which the status line tells, as it tells a retry and a move to another server.
  int toFile(const FileDownload& file, bool useTemp, bool showProgress, bool verify = false);

  // When the statistics give an expected finish time: the observer's timeEstimate(finish, finish - now).
  void reportTimeEstimate();
  // Channel 3 from bytesDone and the bytes of the transfers ahead, out of bytesToUpdate; nothing while
  // bytesToUpdate is 0.
  void refreshOverallBar();

  // The text of a disk warning for `freeBytes` available and `neededBytes` needed (megabytes of
  // 1,000,000 bytes, rounded down). A failed download adds that it may be tried again.
  static std::string diskSpaceText(std::uint64_t freeBytes, std::uint64_t neededBytes, bool afterFailedDownload);
  // Free bytes in `folder`: the probe set for tests, else the volume's real free space.
  std::uint64_t freeDiskBytesIn(const std::string& folder) const;
  void setFreeDiskProbe(FreeDiskProbe probe) { freeDiskProbe_ = std::move(probe); }

  // The credentials sent with every request (absent: none); kept until replaced.
  void setCredentials(std::optional<std::string> user, std::optional<std::string> password);

  // ---- Files in flight ahead of the walk ----------------------------------------------------------
  // Transfers at once while a walk follows a plan (1: one at a time, no plan is followed).
  int connections() const { return connections_; }
  void setConnections(int count) { connections_ = count < 1 ? 1 : count; }
  // The plan entry of a download, as toFile (with useTemp, showProgress and `verify`) matches it.
  static PlannedDownload plannedDownload(const FileDownload& file, bool verify);
  // The checked downloads (useTemp, showProgress, verified) the walk will ask toFile for, in order:
  // up to connections() - 1 of them are fetched ahead; toFile takes over the matching one.
  void beginPlan(std::vector<PlannedDownload> plan);
  // The walk ended: what still runs ahead is stopped, and leaves nothing.
  void endPlan() { pipeline_.clear(); }
  // Any thread: a stop of the session; the transfers ahead end at once.
  void stopAhead() { pipeline_.stop(); }

  // Whether memory downloads show their file notices and report a null path.
  bool displayFiles() const { return displayFiles_; }
  void setDisplayFiles(bool on) { displayFiles_ = on; }
  // The name the usage text of a URL that is neither http nor https gives: the one set, else the
  // running program's file name.
  std::string programName() const;
  void setProgramName(const std::string& name) { programName_ = name; }

  bool transferRunning() const { return transferRunning_.load(); }
  // Seconds since 1970 when a file download last made progress.
  std::int64_t lastActivity() const { return lastActivity_.load(); }
  // Whether any request went out since the flag was last cleared (the authorisation-closing requests
  // follow a download pass only then).
  bool downloadHappened() const { return downloadHappened_.load(); }
  void clearDownloadHappened() { downloadHappened_.store(false); }

  // The counters of a download pass: compressed bytes in all, bytes to update, done and unpacked.
  // They are 64-bit, so that passes over 2 GiB neither wrap nor turn negative.
  std::int64_t totalDownloadBytes() const { return totalDownloadBytes_; }
  std::int64_t bytesToUpdate() const { return bytesToUpdate_; }
  std::int64_t bytesDone() const { return bytesDone_; }
  std::int64_t bytesUnpacked() const { return bytesUnpacked_; }
  void setTotals(std::int64_t downloadBytes, std::int64_t toUpdate) {
    totalDownloadBytes_ = downloadBytes;
    bytesToUpdate_ = toUpdate;
  }
  void setCounters(std::int64_t downloadBytes, std::int64_t toUpdate, std::int64_t done, std::int64_t unpacked);

 private:
  // How a file request goes on after one look at its transfer.
  enum class Step { kContinue, kDone };
  struct FileRequest;
  Step onTransferring(FileRequest& request);
  Step onExpanding(FileRequest& request);
  Step onCopying(FileRequest& request);
  Step onComplete(FileRequest& request);
  Step onFailed(FileRequest& request);
  Step onStopped(FileRequest& request);
  // The user's stop ends a request once more than a few bytes have arrived.
  Step stopIfAsked(FileRequest& request);
  // Tells the status line of a retry, a move to another server or a continued body, once each.
  void showRetries(FileRequest& request);
  const char* user() const { return user_ ? user_->c_str() : nullptr; }
  const char* password() const { return password_ ? password_->c_str() : nullptr; }

  DownloadObserver& observer_;
  ProgressRates& rates_;
  std::optional<std::string> user_, password_;
  bool displayFiles_ = false;
  std::string programName_;
  std::atomic<bool> transferRunning_{false};
  std::atomic<bool> downloadHappened_{false};
  std::atomic<std::int64_t> lastActivity_{0};
  FreeDiskProbe freeDiskProbe_;
  int connections_ = 1;
  ServerChoice servers_;
  TransferPipeline pipeline_;
  std::int64_t totalDownloadBytes_ = 0;
  std::int64_t bytesToUpdate_ = 0;
  std::int64_t bytesDone_ = 0;
  std::int64_t bytesUnpacked_ = 0;
};

}  // namespace korvel
