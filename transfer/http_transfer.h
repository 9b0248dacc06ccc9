// One HTTP request on a worker thread of its own: the body goes into a caller's memory buffer or into
// a local file, optionally gzip-expanded on the way, and everything is reported through a numeric
// state, an error code and text, byte counters and the observer's log.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <string>

#include "platform/file.h"
#include "common/worker_thread.h"
#include "transfer/transfer_observer.h"
#include "trust/sha256.h"

namespace korvel {

class PartialFile;
class ProgressRates;

namespace platform {
class HttpSession;
class HttpConnection;
class HttpRequest;
}  // namespace platform

class HttpTransfer {
 public:
  // The states the requesters compare by number.
  enum TransferState : std::int32_t {
    kConstructed = -1,
    kTransferring = 4,
    kFailed = 5,
    kComplete = 6,
    kExpanding = 7,
    kCopying = 8,
    kStopped = 9,
  };

  struct FileRequest {
    const char* url = nullptr;
    const char* localPath = nullptr;
    std::int64_t finalSize = 0;  // expected size of the finished file, for the copy's progress
    const char* user = nullptr;
    const char* password = nullptr;
    std::int32_t decompress = 0;  // 1: the body is gzip data to be expanded into localPath
    bool useTemp = false;  // write to a temporary file in localPath's folder, then move it into place
    // With useTemp: what the finished file must be before it may take localPath's place. A size of
    // 0 and an absent CRC or SHA-256 (lowercase hexadecimal) are not checked.
    std::uint64_t expectedSize = 0;
    std::optional<std::uint32_t> expectedCrc;
    std::optional<std::string> expectedSha256;
    // Bytes of the body as the server stores it (compressed, for a gzip body); 0 when not given. Part
    // of what a kept partial body belongs to.
    std::uint64_t downloadSize = 0;
    // The most the finished file may hold, and the most a compressed body may bring over the wire.
    // A transfer that would write or receive one byte more (or is announced with more) fails with 49
    // and leaves the target as it was. nullopt: no bound.
    std::optional<std::uint64_t> sizeLimit;
    std::optional<std::uint64_t> bodyLimit;
    // With useTemp: the verified temporary waits for adopt() (or a stop) before it takes localPath's
    // place, so that a transfer started ahead of its turn changes nothing before that turn.
    bool holdUntilAdopted = false;

    // Sets downloadSize and the bounds from the manifest's sizes (0: not given): the file may hold
    // totalSize bytes, a compressed body bring downloadSize; where a size is not given, an unchecked
    // download (a document, a note) is held to kUnstatedSizeCap.
    void boundBy(int decompressed, std::int64_t downloadBytes, std::int64_t totalBytes, bool checked);
  };
  // The most a file download whose size is not given may write (expanded) or receive: documents and
  // notes, whose own readers take far less.
  static constexpr std::uint64_t kUnstatedSizeCap = 64ULL * 1024 * 1024;

  static constexpr const char* kAgent = "Orvane Patcher";
  // The body is read in chunks of this size (less when memory is short).
  static constexpr std::uint32_t kReadBufferSize = 256 * 1024;
  static constexpr std::uint32_t kSmallestReadBuffer = 4096;
  // With useTemp, a body that breaks off is kept (see transfer/partial_file.h) and asked for again from
  // where it broke, this many times, after pauses of 1, 2 and 4 seconds.
  static constexpr int kMaxRetries = 3;
  static constexpr std::uint32_t kFirstRetryPauseMs = 1000;
  // The first pause (the others are its double and quadruple); tests shorten it. Any thread.
  static void setFirstRetryPause(std::uint32_t milliseconds) { firstRetryPauseMs_.store(milliseconds); }
  static std::uint32_t firstRetryPause() { return firstRetryPauseMs_.load(); }
  // The read buffer of a transfer started ahead of its turn: several run at once.
  static constexpr std::uint32_t kAheadReadBufferSize = 64 * 1024;

  // `observer` gives the log, the access mode, the progress channels and the session's failure state;
  // `copyRates` (optional) counts the bytes and time of a copy into place. Both must outlive the
  // transfer. The read buffer (of `readBufferSize` bytes, at least kSmallestReadBuffer) is allocated here.
  explicit HttpTransfer(TransferObserver& observer, ProgressRates* copyRates = nullptr,
                        std::uint32_t readBufferSize = kReadBufferSize);
  // Requests a stop, which ends any network wait of the worker at once, and waits for it to end.
  ~HttpTransfer();
  HttpTransfer(const HttpTransfer&) = delete;
  HttpTransfer& operator=(const HttpTransfer&) = delete;

  // The name the usage text of a non-HTTP URL gives (null: none).
  void setProgramName(const char* name);

  // Starts the worker (highest priority) on a file request; returns 0. The texts are copied. Makes the
  // temporary name (".tmp" in localPath's folder) now, creating that file. An object serves one
  // request: a second start call is ignored.
  // With useTemp the body's bytes go to a partial file beside the target first: a body that breaks off
  // (the connection drops, stalls or is stopped) leaves them there when the server named a validator
  // (ETag or Last-Modified), and the next request for the same URL and expected result asks only for
  // the rest (Range with If-Range); a 200 answer starts the body over. A finished file is verified
  // and put in place as without it.
  std::int32_t startFileDownload(const FileRequest& request);
  // Starts the worker (normal priority) on a memory request into `buffer` of `capacity` bytes; returns
  // 0. The buffer must stay valid until the transfer is destroyed; it receives the body (expanded when
  // decompress is 1) followed by a terminating zero.
  std::int32_t startMemoryDownload(char* buffer, std::int32_t capacity, const char* url, const char* user,
                                   const char* password, std::int32_t decompress);

  // Any thread: asks the worker to stop; a send or read it is blocked in ends at once, and its
  // remaining network calls are skipped.
  void requestStop();
  // Any thread: a file request started with holdUntilAdopted may now put its verified file in place.
  void adopt();
  // Blocks until the worker has ended, without asking it to stop (the destructor asks, then waits).
  void join() { worker_.wait(); }

  // Polled from the requesting thread.
  std::int32_t state() const { return state_.load(); }
  bool isBusy() const { return busy_.load(); }
  // Blocks the requester for at most `milliseconds`, returning early once the transfer has reached a
  // final state (failed, complete or stopped). The requesters poll with it instead of sleeping, so a
  // finished transfer is noticed at once rather than at the next poll. Any thread but the worker.
  void waitForEnd(std::uint32_t milliseconds);
  std::uint64_t bytesDownloaded() const { return bytesDownloaded_.load(); }
  std::uint64_t bytesDecompressed() const { return bytesDecompressed_.load(); }
  std::uint64_t totalBytes() const { return bytesDownloaded() + bytesDecompressed(); }
  std::uint32_t downloadMillis() const { return downloadMillis_.load(); }
  std::uint32_t decompressMillis() const { return decompressMillis_.load(); }
  // Valid once the state is 5 (failed): the code and text of the failure; 0 and null before one.
  std::int32_t errorCode() const { return errorCode_.load(); }
  const char* errorText() const { return hasErrorText_.load() ? errorText_.c_str() : nullptr; }
  // The HTTP status of the response once the request was sent; 0 before, or when none is known.
  std::int32_t httpStatus() const { return httpStatus_.load(); }
  // How often the body was asked for again after it broke off, and the byte offset the last request
  // continued it from (0: the body was never continued). Any thread.
  std::int32_t retries() const { return retries_.load(); }
  std::uint64_t resumedAt() const { return resumedAt_.load(); }

 private:
  // How one request for a file body ended.
  enum class Attempt { kDone, kBrokeOff, kStartOver };

  int run();
  void start(int priority);
  // With resumeFrom > 0 the request asks for the body from that byte on, if it is still `validator`.
  bool openRequest(std::uint64_t resumeFrom = 0, const std::string& validator = {});
  void runMemoryPath();
  // The file request: its attempts, each a request and its body, until one is done or the retries
  // are spent.
  void runFileAttempts();
  Attempt runFilePath(PartialFile* partial, std::uint64_t kept);
  // Feeds the kept bytes of `partial` through `take` as if they had just arrived. False when they
  // cannot be read or are refused.
  bool replayKept(PartialFile& partial, std::uint64_t kept, const std::function<bool(const char*, std::uint32_t)>& take);
  // Waits the pause before retry `retry` (1-based); false when a stop ended it.
  bool pauseBeforeRetry(int retry);
  // Fails a body that is, or would grow, larger than the request allows (49).
  void failOversize(std::uint64_t bytes, std::uint64_t limit, const char* what);
  // Logs "Http get error", records the failure, closes the handles and ends the run in state 5.
  void fail(const std::string& text, int code);
  // Wakes a requester waiting in waitForEnd (after a final state was stored).
  void announceEnd();
  // With holdUntilAdopted: waits, in bounded slices, until adopt() or a stop.
  void awaitAdoption();
  void closeHandles();
  // The HTTP status of a file request: a status other than 2xx fails the request with 48.
  bool statusAccepted();
  // With useTemp: the finished temporary file against the request's expected size, CRC and SHA-256.
  bool matchesExpectation();
  // Removes the temporary and compressed files this run made (nothing once they were moved away).
  void removeLeftovers();
  // Counts bytes that went into the file being made, and their CRC (unless `withCrc` is false: the
  // caller has it from elsewhere) and SHA-256 when they are expected.
  void noteWritten(const char* data, std::uint32_t count, bool withCrc = true);
  void log(const std::string& text);
  std::uint32_t elapsed(std::uint32_t since) const;
  // Deletes a file this run was writing in place of localPath and could not finish.
  void discardUnfinished(const std::string& path);
  int finish();

  // Compressed transfer steps.
  bool deliverToMemory(const char* working, std::uint32_t length);
  // The expansion's log lines and counters once the body was expanded while it arrived.
  void reportExpansion(std::uint64_t produced);
  // Ends an expansion that found data other than gzip (corrupt) or could not write (41).
  void failExpansion(bool corrupt, std::uint64_t produced);
  // Renames the expanded temporary file over the target of a request without useTemp.
  bool placeExpanded();
  bool moveIntoPlace();

  TransferObserver& observer_;
  ProgressRates* copyRates_;
  std::string programName_;
  std::string errorText_;
  std::atomic<bool> hasErrorText_{false};
  std::atomic<std::int32_t> errorCode_{0};
  std::atomic<std::int32_t> state_{kConstructed};
  std::atomic<std::int32_t> httpStatus_{0};
  std::mutex endMutex_;
  std::condition_variable ended_;
  // Wakes a held transfer (under endMutex_) on adopt() or a stop.
  std::condition_variable adoption_;
  std::atomic<bool> adopted_{false};
  bool holdUntilAdopted_ = false;
  std::atomic<bool> stopRequested_{false};
  // Wakes the pause before a retry when a stop is asked for.
  std::mutex pauseMutex_;
  std::condition_variable pauseSignal_;
  std::atomic<std::int32_t> retries_{0};
  std::atomic<std::uint64_t> resumedAt_{0};
  std::atomic<bool> busy_{false};
  std::atomic<std::uint64_t> bytesDownloaded_{0};
  std::atomic<std::uint64_t> bytesDecompressed_{0};
  std::atomic<std::uint32_t> downloadMillis_{0};
  std::atomic<std::uint32_t> decompressMillis_{0};
  std::unique_ptr<char[]> readBuffer_;
  std::uint32_t readBufferSize_ = 0;
  std::unique_ptr<platform::HttpSession> session_;
  std::unique_ptr<platform::HttpConnection> connection_;
  std::unique_ptr<platform::HttpRequest> request_;
  // Guards request_ between the worker, which closes it, and a requester that aborts it.
  std::mutex requestMutex_;
  platform::File outputFile_;
  std::uint32_t lastChunkSize_ = 0;
  bool lastReadOk_ = true;
  std::uint32_t startTick_ = 0;
  std::uint32_t expansionTick_ = 0;

  std::string url_;
  std::string localPath_;
  bool hasUser_ = false, hasPassword_ = false;
  std::string user_, password_;
  std::string tempPath_;
  char* memoryBuffer_ = nullptr;
  std::int32_t decompress_ = 0;
  std::int32_t capacity_ = 0;
  std::int64_t finalSize_ = 0;
  bool useTemp_ = false;
  std::uint64_t expectedSize_ = 0;
  std::optional<std::uint32_t> expectedCrc_;
  std::optional<std::string> expectedSha256_;
  std::uint64_t downloadSize_ = 0;
  std::optional<std::uint64_t> sizeLimit_;
  std::optional<std::uint64_t> bodyLimit_;
  // The file that is renamed over the target once it is verified.
  std::string finishedPath_;
  // The sink refused expanded data because the file would grow past sizeLimit_.
  bool overLimit_ = false;
  std::uint32_t lastReadError_ = 0;
  // What the file written so far holds (the expanded bytes of a compressed body).
  std::uint32_t writtenCrc_ = 0;
  trust::Sha256 writtenSha256_;
  std::uint64_t writtenBytes_ = 0;
  WorkerThread worker_;
  static inline std::atomic<std::uint32_t> firstRetryPauseMs_{kFirstRetryPauseMs};
};

}  // namespace korvel
