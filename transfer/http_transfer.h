// One HTTP request on a worker thread of its own: the body goes into a caller's memory buffer or into
// a local file, optionally gzip-expanded on the way, and everything is reported through a numeric
// state, an error code and text, byte counters and the observer's log. A request that meets a
// transient fault asks again, and moves on along its list of servers, by the rules of
// transfer/attempt_ledger.h; http_transfer.cpp draws its steps.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "common/worker_thread.h"
#include "transfer/attempt_ledger.h"
#include "transfer/remote_file.h"
#include "transfer/server_address.h"
#include "transfer/transfer_observer.h"
#include "trust/sha256.h"

namespace korvel {

class PartialFile;
class ProgressRates;
class ServerChoice;

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

  // Where a request goes: a path on each of a list of servers, asked in that order.
  struct Route {
    std::vector<ServerAddress> servers;
    std::string path;
    // Told which servers failed the request or served it, so that later requests ask the ones that
    // failed last; may be null.
    ServerChoice* choice = nullptr;
    // The URL of `path` on the first server (empty without one).
    std::string firstUrl() const { return servers.empty() ? std::string() : servers.front().url(path); }
    // The route of `remote`: its own server, or the servers of `choice` in the order it gives (none
    // without a choice).
    static Route to(const RemoteFile& remote, ServerChoice* choice);
  };

  struct FileRequest {
    Route route;
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
  // The body is read in chunks of this size (less when memory is short, or under a rate cap).
  static constexpr std::uint32_t kReadBufferSize = 256 * 1024;
  static constexpr std::uint32_t kSmallestReadBuffer = 4096;
  // The pause before the first retry at a server; later ones double it (transfer/attempt_ledger.h).
  static constexpr std::uint32_t kFirstRetryPauseMs = 1000;
  // The first pause; tests shorten it. Any thread.
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

  // The name the usage text of a URL that is neither http nor https gives (null: none).
  void setProgramName(const char* name);

  // Starts the worker (highest priority) on a file request; returns 0. The texts are copied. Makes the
  // temporary name (".tmp" in localPath's folder) now, creating that file. An object serves one
  // request: a second start call is ignored.
  // With useTemp the body's bytes go to a partial file beside the target first: a body that breaks off
  // (the connection drops, stalls or is stopped) leaves them there when they may be continued (the
  // server named a validator, ETag or Last-Modified, or the request pins the result by its size and
  // CRC or SHA-256), and the next attempt (at any server of the route), or the next request for the
  // same path and expected result, asks only for the rest (Range, with If-Range where the same server
  // gave a validator); a 200 answer starts the body over. A finished file is verified and put in place
  // as without it.
  std::int32_t startFileDownload(const FileRequest& request);
  // Starts the worker (normal priority) on a memory request into `buffer` of `capacity` bytes; returns
  // 0. The buffer must stay valid until the transfer is destroyed; it receives the body (expanded when
  // decompress is 1) followed by a terminating zero.
  std::int32_t startMemoryDownload(char* buffer, std::int32_t capacity, Route route, const char* user,
                                   const char* password, std::int32_t decompress);

  // Any thread: asks the worker to stop; a send, read or pause it is blocked in ends at once, and its
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
  // How often the request was sent again after an attempt failed (at the same server or the next),
  // how often it moved on to another server, and the byte offset the last attempt continued the body
  // from (0: it was never continued). Any thread.
  std::int32_t retries() const { return retries_.load(); }
  std::int32_t serverChanges() const { return serverChanges_.load(); }
  std::uint64_t resumedAt() const { return resumedAt_.load(); }

 private:
  // How one attempt (a request and its body, at one server) ended.
  struct Outcome {
    enum class Kind {
      kDone,        // the request is over: it succeeded, was stopped, or failed for good (failed())
      kTransient,   // a fault that asking again may cure
      kStall,       // the body brought nothing for the stall time-out
      kNoAnswer,    // no answer came within the time-out: the server is down or unreachable
      kWrongBytes,  // the body is not what the request expects
      kRefused,     // the server's certificate failed verification, or it redirected https to http
      kStartOver,   // the kept bytes cannot be continued: the body is asked for again at once
    };
    Kind kind = Kind::kDone;
    // The failure as the request reports it if it ends with this attempt.
    int code = 0;
    std::string text;
    // What the retry's log line says happened ("was answered 503", ...).
    std::string cause;
    bool newBytes = false;
    std::optional<std::uint32_t> requestedPauseMs;
  };

  int run();
  void start(int priority);
  // The attempts of the request, each at the server the ledger names, until one ends it.
  void runAttempts();
  // One attempt's steps: connect (session, URL, connection, request), send, then the body.
  Outcome connectAndSend(std::uint64_t resumeFrom, const std::string& ifRange);
  Outcome receiveIntoMemory();
  // A file's body, in its steps: the answer judged (a continued body, an error page, a size too
  // large), the files opened (and the kept bytes replayed), the body read, then closed and checked.
  // Each step's outcome, when it has one, ends the attempt.
  struct FileBody;
  Outcome receiveIntoFile(const ServerAddress& server, PartialFile* partial, std::uint64_t kept);
  std::optional<Outcome> acceptAnswer(FileBody& body);
  std::optional<Outcome> openBody(FileBody& body, const ServerAddress& server);
  std::optional<Outcome> readBody(FileBody& body);
  Outcome finishBody(FileBody& body);
  // Ends the attempt at a fault of this body: nothing of it is kept.
  void dropBody(FileBody& body);
  // The body broke off (a failed read, or a short one): what arrived stays kept when it may be
  // continued, and the fault is the read's.
  Outcome brokeOff(FileBody& body, std::uint32_t error, bool readFailed);
  // The file's bytes, once the body has ended: checked, then put in place.
  Outcome verifyAndPlace(PartialFile* partial, bool expand);
  // The outcome of a failure that no other attempt may cure.
  Outcome ended(const std::string& text, int code);
  // The outcome of a status other than 2xx: transient for 5xx, 408 and 429, else the end (result::kHttpStatus).
  Outcome statusOutcome(int status);
  // The outcome of a failed network call (error number `error`), reported as `code` with `text`.
  Outcome networkOutcome(std::uint32_t error, int code, const std::string& text, bool newBytes = false);
  // Logs the retry line and waits; false when a stop ended the wait.
  bool pauseBeforeRetry(const std::string& url, const Outcome& outcome, int attempt, std::uint32_t pauseMs);
  // The failure of a body that is, or would grow, larger than the request allows (result::kFileMismatch).
  Outcome oversize(std::uint64_t bytes, std::uint64_t limit, const char* what);
  // Logs "Http get error", records the failure, closes the handles and ends the run in state 5.
  void fail(const std::string& text, int code);
  // Wakes a requester waiting in waitForEnd (after a final state was stored).
  void announceEnd();
  // With holdUntilAdopted: waits, in bounded slices, until adopt() or a stop.
  void awaitAdoption();
  void closeHandles();
  // With useTemp: the finished temporary file against the request's expected size, CRC and SHA-256;
  // the failure's text when it does not match.
  std::optional<std::string> mismatch();
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
  // Reads the next chunk of the body into the read buffer, under the rate cap.
  bool readChunk(std::uint32_t& received, std::uint32_t& error);

  // Compressed transfer steps.
  bool deliverToMemory(const char* working, std::uint32_t length);
  // The expansion's log lines and counters once the body was expanded while it arrived.
  void reportExpansion(std::uint64_t produced);
  // The end of an expansion that found data other than gzip (corrupt: the wrong bytes) or could not
  // write (result::kWriteFailed).
  Outcome expansionFailed(bool corrupt, std::uint64_t produced);
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
  std::atomic<std::int32_t> serverChanges_{0};
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
  std::uint32_t startTick_ = 0;
  std::uint32_t expansionTick_ = 0;

  Route route_;
  // The URL the current attempt asks.
  std::string url_;
  std::string localPath_;
  bool hasUser_ = false, hasPassword_ = false;
  std::string user_, password_;
  std::string tempPath_;
  char* memoryBuffer_ = nullptr;
  // A memory request's body as the last attempt received it (before decoding).
  std::unique_ptr<char[]> memoryBody_;
  std::uint32_t memoryLength_ = 0;
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
  // The current attempt continues a body from kept bytes.
  bool continuing_ = false;
  // The sink refused expanded data because the file would grow past sizeLimit_.
  bool overLimit_ = false;
  // What the file written so far holds (the expanded bytes of a compressed body).
  std::uint32_t writtenCrc_ = 0;
  trust::Sha256 writtenSha256_;
  std::uint64_t writtenBytes_ = 0;
  WorkerThread worker_;
  static inline std::atomic<std::uint32_t> firstRetryPauseMs_{kFirstRetryPauseMs};
};

}  // namespace korvel
