// The HTTP fetch engine. A request runs as attempts, each at one server of its route; an attempt is
// a chain of steps, and the first step that does not succeed ends it with an outcome, which the
// ledger (transfer/attempt_ledger.h) turns into what follows:
//
//                 +------------------- retry: the same server, after a pause -------------------+
//                 |  +---------------- next server ------------------------------------------+  |
//                 v  v                                                                       |  |
//   start ---> connect ---> send ---> read ---> expand ---> verify ---> place ---> done      |  |
//                 |           |         |          |           |          |                  |  |
//                 +-----------+---------+----------+-----------+----------+--> outcome --> ledger
//                                                                                   |
//                                                  every server failed, or a fault  +--> failed
//                                                  no attempt cures (4xx, a write)
//
// connect opens the session for the access mode, cracks the URL and opens the connection and the
// request (asking for the rest of a kept body); send waits for the response's header; read takes the
// body into memory or, for a file, into its partial or temporary file; expand inflates a gzip body as
// it arrives; verify holds the finished file against the expected size, CRC and SHA-256; place puts
// it in the target's place by a rename (or the copy with retries). The memory path stops after read:
// its body is decoded into the caller's buffer.
#include "transfer/http_transfer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <zlib.h>

#include "common/file_copy.h"
#include "common/file_utils.h"
#include "common/progress_channels.h"
#include "common/result_codes.h"
#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/process.h"
#include "transfer/gzip_memory.h"
#include "transfer/gzip_stream.h"
#include "transfer/partial_file.h"
#include "transfer/progress_rates.h"
#include "transfer/rate_cap.h"
#include "transfer/server_choice.h"

namespace korvel {

namespace {

// Texts of failures are formatted into a buffer of this size; the "Http get error" line and the other
// log lines that carry numbers or names into the smaller one.
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

const std::vector<std::string>& acceptTypes() {
  static const std::vector<std::string> types = {
      "Accept: application/x-zip-compressed; application/octet-stream; text/*",
      "Accept-Encoding: x-zip",
  };
  return types;
}

// A byte count in the decimal form of the log lines ("%lld": below 2 GiB the text a 32-bit "%d" gave).
long long asPrinted(std::uint64_t value) { return static_cast<long long>(value); }

int asInt(std::uint32_t value) { return static_cast<int>(value); }

// Statuses that say the server cannot answer now, but may in a moment.
bool isTransientStatus(int status) { return status >= 500 || status == 408 || status == 429; }

}  // namespace

HttpTransfer::Route HttpTransfer::Route::to(const RemoteFile& remote, ServerChoice* choice) {
  Route route;
  route.path = remote.path;
  route.choice = choice;
  if (choice) {
    route.servers = choice->candidates(remote);
  } else if (remote.server) {
    route.servers.push_back(*remote.server);
  }
  return route;
}

HttpTransfer::HttpTransfer(TransferObserver& observer, ProgressRates* copyRates, std::uint32_t readBufferSize)
    : observer_(observer), copyRates_(copyRates) {
  // Halve the request while memory is short, down to the smallest useful chunk.
  for (std::uint32_t size = std::max(readBufferSize, kSmallestReadBuffer);; size /= 2) {
    if (size < kSmallestReadBuffer) size = kSmallestReadBuffer;
    readBuffer_.reset(new (std::nothrow) char[size]);
    if (readBuffer_) {
      readBufferSize_ = size;
      break;
    }
    if (size == kSmallestReadBuffer) {
      readBuffer_ = std::make_unique<char[]>(size);  // the last attempt throws like any allocation
      readBufferSize_ = size;
      break;
    }
  }
  // Left as allocated: every read fills the part of the buffer that is looked at afterwards, and a
  // transfer object is made for every file.
}

HttpTransfer::~HttpTransfer() {
  requestStop();
  worker_.wait();
  worker_.closeHandle();
}

void HttpTransfer::setProgramName(const char* name) { programName_ = name ? name : ""; }

void HttpTransfer::requestStop() {
  stopRequested_.store(true);
  {
    std::lock_guard<std::mutex> lock(endMutex_);
  }
  adoption_.notify_all();
  { std::lock_guard<std::mutex> pause(pauseMutex_); }
  pauseSignal_.notify_all();
  std::lock_guard<std::mutex> lock(requestMutex_);
  if (request_) request_->abort();
}

void HttpTransfer::adopt() {
  {
    std::lock_guard<std::mutex> lock(endMutex_);
    adopted_.store(true);
  }
  adoption_.notify_all();
}

void HttpTransfer::awaitAdoption() {
  constexpr auto kSlice = std::chrono::milliseconds(100);
  std::unique_lock<std::mutex> lock(endMutex_);
  while (!adopted_.load() && !stopRequested_.load()) adoption_.wait_for(lock, kSlice);
}

void HttpTransfer::FileRequest::boundBy(int decompressed, std::int64_t downloadBytes, std::int64_t totalBytes,
                                        bool checked) {
  downloadSize = downloadBytes > 0 ? static_cast<std::uint64_t>(downloadBytes) : 0;
  if (totalBytes > 0) {
    sizeLimit = static_cast<std::uint64_t>(totalBytes);
  } else if (!checked) {
    sizeLimit = kUnstatedSizeCap;
  }
  if (decompressed == 1) {
    if (downloadBytes > 0) {
      bodyLimit = static_cast<std::uint64_t>(downloadBytes);
    } else if (totalBytes <= 0 && !checked) {
      bodyLimit = kUnstatedSizeCap;
    }
  }
}

std::int32_t HttpTransfer::startFileDownload(const FileRequest& request) {
  if (worker_.hasThread()) return 0;
  route_ = request.route;
  localPath_ = request.localPath ? request.localPath : "";
  finalSize_ = request.finalSize;
  hasUser_ = request.user != nullptr;
  user_ = hasUser_ ? request.user : "";
  hasPassword_ = request.password != nullptr;
  password_ = hasPassword_ ? request.password : "";
  decompress_ = request.decompress;
  useTemp_ = request.useTemp;
  expectedSize_ = request.expectedSize;
  expectedCrc_ = request.expectedCrc;
  expectedSha256_ = request.expectedSha256;
  downloadSize_ = request.downloadSize;
  sizeLimit_ = request.sizeLimit;
  bodyLimit_ = request.bodyLimit;
  holdUntilAdopted_ = request.useTemp && request.holdUntilAdopted;
  memoryBuffer_ = nullptr;
  capacity_ = 0;

  std::string folder = localPath_;
  for (char& c : folder)
    if (c == '/') c = '\\';
  const std::size_t cut = folder.rfind('\\');
  folder = cut == std::string::npos ? std::string() : folder.substr(0, cut);
  tempPath_ = makeTempName(".tmp", folder.c_str());
  finishedPath_ = tempPath_;

  start(platform::kThreadPriorityHighest);
  return 0;
}

std::int32_t HttpTransfer::startMemoryDownload(char* buffer, std::int32_t capacity, Route route, const char* user,
                                               const char* password, std::int32_t decompress) {
  if (worker_.hasThread()) return 0;
  memoryBuffer_ = buffer;
  capacity_ = capacity < 0 ? 0 : capacity;
  route_ = std::move(route);
  hasUser_ = user != nullptr;
  user_ = hasUser_ ? user : "";
  hasPassword_ = password != nullptr;
  password_ = hasPassword_ ? password : "";
  decompress_ = decompress;
  localPath_.clear();
  useTemp_ = false;
  start(platform::kThreadPriorityNormal);
  return 0;
}

void HttpTransfer::start(int priority) {
  // A route without a server fails where a URL without a host does: when it is cracked.
  if (route_.servers.empty()) route_.servers.push_back(ServerAddress{"http", std::string(), 0});
  // Busy from here, so a requester that polls isBusy() right after starting sees the run.
  busy_.store(true);
  worker_.setPriority(priority);
  if (!worker_.start([this] { return run(); })) busy_.store(false);
}

void HttpTransfer::log(const std::string& text) {
  observer_.log(text);
}

std::uint32_t HttpTransfer::elapsed(std::uint32_t since) const { return platform::tickCount() - since; }

void HttpTransfer::fail(const std::string& text, int code) {
  log(boundedFormat(kLogLineCapacity, "Http get error %d: %s\n", code, text.c_str()));
  errorCode_.store(code);
  errorText_ = text;
  hasErrorText_.store(true);
  closeHandles();
  state_.store(kFailed);
  stopRequested_.store(true);
  busy_.store(false);
  announceEnd();
}

void HttpTransfer::announceEnd() {
  // Taking the lock orders the state change before a waiter's test of it, so no wake-up is lost.
  { std::lock_guard<std::mutex> lock(endMutex_); }
  ended_.notify_all();
}

void HttpTransfer::waitForEnd(std::uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(endMutex_);
  ended_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] {
    const std::int32_t state = state_.load();
    return state == kFailed || state == kComplete || state == kStopped;
  });
}

void HttpTransfer::closeHandles() {
  {
    std::lock_guard<std::mutex> lock(requestMutex_);
    request_.reset();
  }
  connection_.reset();
  session_.reset();
}

void HttpTransfer::discardUnfinished(const std::string& path) {
  if (!useTemp_ && !localPath_.empty() && path == localPath_) platform::deleteFile(path);
}

int HttpTransfer::finish() {
  const bool stopped = stopRequested_.load();
  state_.store(stopped ? kStopped : kComplete);
  busy_.store(false);
  log("HttpDownload Completed.\n");
  announceEnd();
  return stopped ? result::kStopped : result::kOk;
}

void HttpTransfer::removeLeftovers() {
  if (!tempPath_.empty()) platform::deleteFile(tempPath_);
}

int HttpTransfer::run() {
  busy_.store(true);
  startTick_ = platform::tickCount();
  try {
    runAttempts();
  } catch (const std::bad_alloc&) {
    outputFile_.close();
    if (state() != kFailed) fail("Out of memory\n", result::kMemoryFailed);
  }
  // Whatever the outcome, the temporary and compressed files of this run do not stay behind.
  if (!memoryBuffer_) removeLeftovers();
  if (state() == kFailed) return errorCode();
  return finish();
}

// ---- The attempts ------------------------------------------------------------------------------

void HttpTransfer::runAttempts() {
  const bool toMemory = memoryBuffer_ != nullptr;
  std::optional<PartialFile> partial;
  if (!toMemory && useTemp_ && !localPath_.empty()) {
    const std::size_t cut = localPath_.find_last_of("\\/");
    const std::string folder = cut == std::string::npos ? std::string() : localPath_.substr(0, cut);
    const std::string name = cut == std::string::npos ? localPath_ : localPath_.substr(cut + 1);
    partial.emplace(folder,
                    PartialFile::Identity{route_.path, decompress_, downloadSize_, expectedSize_, expectedCrc_,
                                          expectedSha256_},
                    name);
  }
  AttemptLedger ledger(route_.servers.size(), firstRetryPause());
  for (;;) {
    const ServerAddress& server = route_.servers[ledger.current()];
    url_ = server.url(route_.path);

    // What an earlier attempt (at any server) or an earlier run kept of the body is continued: with
    // If-Range where this server gave the validator, with a plain Range where the result is pinned.
    std::uint64_t kept = partial ? partial->keptBytes() : 0;
    std::string ifRange;
    if (kept > 0) {
      // A tag of an earlier version names no server: its validator is taken to be this one's.
      const std::string& origin = partial->validatorServer();
      if (!partial->validator().empty() && (origin.empty() || origin == server.text())) {
        ifRange = partial->validator();
      } else if (!partial->pinned()) {
        partial->discard();
        kept = 0;
      }
    }
    continuing_ = false;

    Outcome outcome = connectAndSend(kept, ifRange);
    if (outcome.kind == Outcome::Kind::kDone && state() != kFailed && !stopRequested_.load()) {
      outcome = toMemory ? receiveIntoMemory() : receiveIntoFile(server, partial ? &*partial : nullptr, kept);
    }
    if (outcome.kind == Outcome::Kind::kStartOver) {
      closeHandles();
      continue;
    }
    if (outcome.kind == Outcome::Kind::kDone) {
      if (state() == kFailed && route_.choice) route_.choice->noteFailure(server);
      if (state() != kFailed && !stopRequested_.load()) {
        if (route_.choice) route_.choice->markServed(server);
        if (ledger.current() != 0 || serverChanges_.load() > 0)
          log(boundedFormat(kFailureTextCapacity, "Download of %s served by %s.\n", route_.path.c_str(),
                            server.text().c_str()));
      }
      return;
    }

    closeHandles();
    AttemptLedger::Fault fault = AttemptLedger::Fault::kTransient;
    if (outcome.kind == Outcome::Kind::kStall) fault = AttemptLedger::Fault::kStall;
    if (outcome.kind == Outcome::Kind::kNoAnswer) fault = AttemptLedger::Fault::kNoAnswer;
    if (outcome.kind == Outcome::Kind::kWrongBytes) fault = AttemptLedger::Fault::kWrongBytes;
    if (outcome.kind == Outcome::Kind::kRefused) fault = AttemptLedger::Fault::kRefused;
    const AttemptLedger::Decision decision =
        ledger.record(fault, outcome.newBytes, outcome.requestedPauseMs, continuing_);
    using Kind = AttemptLedger::Decision::Kind;
    if (decision.kind != Kind::kRetry && route_.choice) route_.choice->markFailed(server);
    if (decision.kind == Kind::kGiveUp) {
      if (toMemory && memoryBody_ && outcome.code == result::kHttpStatus) {
        // Every server answered with an error page: as without retries, the page is the content,
        // and the requester judges its status.
        if (!deliverToMemory(memoryBody_.get(), memoryLength_)) return;
        closeHandles();
        downloadMillis_.store(elapsed(startTick_));
        return;
      }
      fail(outcome.text, outcome.code);
      return;
    }
    retries_.fetch_add(1);
    if (decision.kind == Kind::kNextServer) {
      serverChanges_.fetch_add(1);
      log(boundedFormat(kFailureTextCapacity, "Download of %s %s; asking %s next.\n", url_.c_str(),
                        outcome.cause.c_str(), route_.servers[decision.server].text().c_str()));
      if (stopRequested_.load()) return;
      continue;
    }
    if (!pauseBeforeRetry(url_, outcome, ledger.attemptsWithoutProgress(), decision.pauseMs)) return;
  }
}

bool HttpTransfer::pauseBeforeRetry(const std::string& url, const Outcome& outcome, int attempt,
                                    std::uint32_t pauseMs) {
  log(boundedFormat(kFailureTextCapacity, "Download of %s %s; retry %d of %d in %u s.\n", url.c_str(),
                    outcome.cause.c_str(), std::max(attempt, 1), AttemptLedger::kAttemptsPerServer - 1,
                    (pauseMs + 999) / 1000));
  std::unique_lock<std::mutex> lock(pauseMutex_);
  pauseSignal_.wait_for(lock, std::chrono::milliseconds(pauseMs), [this] { return stopRequested_.load(); });
  return !stopRequested_.load();
}

HttpTransfer::Outcome HttpTransfer::ended(const std::string& text, int code) {
  fail(text, code);
  return Outcome{};
}

HttpTransfer::Outcome HttpTransfer::networkOutcome(std::uint32_t error, int code, const std::string& text,
                                                   bool newBytes) {
  Outcome outcome;
  outcome.code = code;
  outcome.text = text;
  outcome.newBytes = newBytes;
  if (platform::isCertificateError(error)) {
    outcome.kind = Outcome::Kind::kRefused;
    outcome.code = result::kCertificateRefused;
    outcome.text = boundedFormat(kFailureTextCapacity,
                                 "The certificate of the server for %s failed verification (%d); nothing is taken "
                                 "from it.\n",
                                 url_.c_str(), asInt(error));
    outcome.cause = boundedFormat(kLogLineCapacity, "was refused: the server's certificate failed verification (%d)",
                                  asInt(error));
  } else if (platform::isInsecureRedirect(error)) {
    outcome.kind = Outcome::Kind::kRefused;
    outcome.code = result::kInsecureRedirect;
    outcome.text = boundedFormat(kFailureTextCapacity,
                                 "The server for %s redirected the secure request to plain HTTP; refused.\n",
                                 url_.c_str());
    outcome.cause = "was refused: the server redirected it from https to http";
  } else if (error == platform::kErrorInternetTimeout) {
    outcome.kind = Outcome::Kind::kStall;
    outcome.cause = boundedFormat(kLogLineCapacity, "stalled (%d)", asInt(error));
  } else {
    outcome.kind = Outcome::Kind::kTransient;
    outcome.cause = boundedFormat(kLogLineCapacity, "failed (%d)", asInt(error));
  }
  return outcome;
}

HttpTransfer::Outcome HttpTransfer::statusOutcome(int status) {
  const std::string text = boundedFormat(kFailureTextCapacity, "Server answered %d for %s\n", status, url_.c_str());
  if (!isTransientStatus(status)) return ended(text, result::kHttpStatus);
  Outcome outcome;
  outcome.kind = Outcome::Kind::kTransient;
  outcome.code = result::kHttpStatus;
  outcome.text = text;
  outcome.cause = boundedFormat(kLogLineCapacity, "was answered %d", status);
  if (request_) {
    if (const std::optional<std::string> value = request_->responseHeader("Retry-After")) {
      outcome.requestedPauseMs = parseRetryAfter(*value, platform::nowSeconds());
    }
  }
  return outcome;
}

HttpTransfer::Outcome HttpTransfer::connectAndSend(std::uint64_t resumeFrom, const std::string& ifRange) {
  std::uint32_t error = 0;
  platform::ProxySettings proxy;
  if (!platform::queryProxySettings(proxy, error))
    log(boundedFormat(kLogLineCapacity, "InternetQueryOption failed. (%d)\n", asInt(error)));

  log("InternetOpen()...\n");
  const int mode = observer_.internetAccessMode();
  error = 0;
  if (!stopRequested_.load()) {
    session_ = platform::HttpSession::open(
        kAgent, mode == 1 ? platform::kInternetOpenTypeProxy : platform::kInternetOpenTypeDirect, proxy, error);
  }
  if (!session_)
    return ended(boundedFormat(kFailureTextCapacity, "InternetOpen() failed: %d\n", asInt(error)),
                 result::kInternetOpenFailed);

  observer_.beforeConnect();
  platform::UrlParts parts;
  log("InternetCrackURL()...\n");
  // A stop skips the crack; the run then ends at the connect step, which finds no handle.
  if (!stopRequested_.load()) {
    if (!platform::crackUrl(url_, parts, error))
      return ended(boundedFormat(kFailureTextCapacity, "InternetCrackURL() failed: %d\n", asInt(error)),
                   result::kCrackUrlFailed);
    if (parts.scheme != platform::kInternetSchemeHttp && parts.scheme != platform::kInternetSchemeHttps)
      return ended(boundedFormat(kFailureTextCapacity, "Usage:  %s HTTP-URL Local-File\n", programName_.c_str()),
                   result::kNotHttp);
  }

  log("InternetConnect()...\n");
  error = 0;
  if (!stopRequested_.load()) {
    connection_ = platform::HttpConnection::connect(*session_, parts.host, parts.port,
                                                    hasUser_ ? user_.c_str() : nullptr,
                                                    hasPassword_ ? password_.c_str() : nullptr, error);
  }
  if (!connection_)
    return ended(boundedFormat(kFailureTextCapacity, "InternetConnect() failed: %d\n", asInt(error)),
                 result::kConnectFailed);

  log("HttpOpenRequest()...\n");
  error = 0;
  if (!stopRequested_.load()) {
    std::uint32_t flags = platform::kInternetFlagNoCacheWrite;
    if (parts.scheme == platform::kInternetSchemeHttps) flags |= platform::kInternetFlagSecure;
    std::unique_ptr<platform::HttpRequest> opened =
        platform::HttpRequest::open(*connection_, "GET", parts.path, "HTTP/1.1", acceptTypes(), flags, error);
    std::lock_guard<std::mutex> lock(requestMutex_);
    request_ = std::move(opened);
  }
  if (!request_)
    return ended(boundedFormat(kFailureTextCapacity, "HttpOpenRequest() failed: %d\n", asInt(error)),
                 result::kOpenRequestFailed);

  if (resumeFrom > 0) {
    // Both headers are well formed by construction; a refusal leaves a request for the whole body,
    // whose 200 answer starts the body over.
    std::uint32_t ignored = 0;
    if (!request_->addHeader("Range", platform::rangeFrom(resumeFrom), ignored) ||
        (!ifRange.empty() && !request_->addHeader("If-Range", ifRange, ignored)))
      log("Could not ask for the rest of the body; asking for all of it.\n");
  }

  log("HttpSendRequest()...\n");
  error = 0;
  const bool stopped = stopRequested_.load();
  if (stopped || !request_->send(error)) {
    const std::string text = boundedFormat(kFailureTextCapacity, "HttpSendRequest() failed: %d\n", asInt(error));
    // A send the stop ended is no fault of the server.
    if (stopped || stopRequested_.load()) return ended(text, result::kSendRequestFailed);
    Outcome outcome = networkOutcome(error, result::kSendRequestFailed, text);
    // A time-out before any answer: the server is down, or does not answer; once is enough.
    if (outcome.kind == Outcome::Kind::kStall) {
      outcome.kind = Outcome::Kind::kNoAnswer;
      outcome.cause = boundedFormat(kLogLineCapacity, "got no answer (%d)", asInt(error));
    }
    return outcome;
  }
  httpStatus_.store(request_->statusCode());
  // A send that "succeeds" without any status line (WinINet's answer to a connection reset before the
  // header) brought no answer at all.
  if (httpStatus_.load() == 0) {
    return networkOutcome(platform::kErrorHttpInvalidServerResponse, result::kSendRequestFailed,
                          boundedFormat(kFailureTextCapacity, "HttpSendRequest() failed: %d\n",
                                        asInt(platform::kErrorHttpInvalidServerResponse)));
  }
  observer_.requestSent();
  return Outcome{};
}

bool HttpTransfer::readChunk(std::uint32_t& received, std::uint32_t& error) {
  RateCap& cap = RateCap::shared();
  const bool ok = request_->read(readBuffer_.get(), cap.chunk(readBufferSize_), received, error);
  if (ok) cap.take(received, stopRequested_);
  return ok;
}

// ---- Into memory -------------------------------------------------------------------------------

HttpTransfer::Outcome HttpTransfer::receiveIntoMemory() {
  const std::uint32_t capacity = static_cast<std::uint32_t>(capacity_);
  if (!memoryBody_) memoryBody_.reset(new (std::nothrow) char[capacity > 0 ? capacity : 1]);
  std::memset(readBuffer_.get(), 0, readBufferSize_);
  if (capacity > 0) std::memset(memoryBuffer_, 0, capacity);
  memoryLength_ = 0;
  bytesDownloaded_.store(0);
  log("InternetReadFile()...\n");

  const int status = request_->statusCode();
  std::uint32_t received = 0;
  if (!stopRequested_.load()) {
    std::uint32_t chunk = 0;
    do {
      std::uint32_t error = 0;
      const bool ok = readChunk(chunk, error);
      if (!ok && stopRequested_.load()) break;  // the stop ended the read
      if (!ok) {
        return networkOutcome(error, result::kReadFailed,
                              boundedFormat(kFailureTextCapacity, "InternetReadFile() failed: %d\n", asInt(error)));
      }
      observer_.dataReceived();
      // The body and its terminating zero must fit.
      if (static_cast<std::uint64_t>(received) + chunk + 1 > capacity)
        return ended(boundedFormat(kFailureTextCapacity, "Buffer too small to hold %s\n", url_.c_str()),
                     result::kReadFailed);
      if (!memoryBody_)
        return ended(boundedFormat(kFailureTextCapacity, "Could not write %s to memory\n", url_.c_str()),
                     result::kMemoryFailed);
      std::memcpy(memoryBody_.get() + received, readBuffer_.get(), chunk);
      received += chunk;
      memoryBody_[received] = '\0';
      memoryLength_ = received;
      bytesDownloaded_.fetch_add(chunk);
      state_.store(kTransferring);
      downloadMillis_.store(elapsed(startTick_));
    } while (chunk != 0 && !stopRequested_.load());
  }

  log("InternetReadFile() Complete.\n");
  // A body that ended short of its announced length with success (as WinINet may report it) broke off.
  const std::optional<std::uint64_t> announced = request_->responseHeaders().contentLength;
  if (!stopRequested_.load() && announced && received < *announced) {
    return networkOutcome(platform::kErrorInternetConnectionAborted, result::kReadFailed,
                          boundedFormat(kFailureTextCapacity, "InternetReadFile() failed: %d\n",
                                        asInt(platform::kErrorInternetConnectionAborted)));
  }
  // An answer that says the server cannot serve now is asked for again; should every attempt end
  // so, its page is the content (see runAttempts).
  if (!stopRequested_.load() && isTransientStatus(status)) return statusOutcome(status);
  if (!stopRequested_.load() && !deliverToMemory(memoryBody_.get(), received)) return Outcome{};
  closeHandles();
  downloadMillis_.store(elapsed(startTick_));
  return Outcome{};
}

// ---- Into a file -------------------------------------------------------------------------------

HttpTransfer::Outcome HttpTransfer::oversize(std::uint64_t bytes, std::uint64_t limit, const char* what) {
  outputFile_.close();
  platform::deleteFile(tempPath_);
  discardUnfinished(localPath_);
  Outcome outcome;
  outcome.kind = Outcome::Kind::kWrongBytes;
  outcome.code = result::kFileMismatch;
  outcome.text = boundedFormat(kFailureTextCapacity,
                               "Downloaded file %s does not match the manifest: %s %llu bytes (expected at most %llu)\n",
                               localPath_.c_str(), what, static_cast<unsigned long long>(bytes),
                               static_cast<unsigned long long>(limit));
  outcome.cause = "brought more bytes than the manifest gives";
  return outcome;
}

// What one attempt's body needs from its answer to its end.
struct HttpTransfer::FileBody {
  FileBody(PartialFile* partial, std::uint64_t kept) : partial(partial), kept(kept) {}

  PartialFile* partial;
  std::uint64_t kept;
  bool resuming = false;  // the answer continues the kept bytes
  bool expand = false;    // the body is gzip data expanded as it arrives
  // The whole body's length, when the server gave one (0 otherwise).
  bool lengthKnown = false;
  std::uint64_t announced = 0;
  // The file the body's own bytes (or the expanded ones) go to, and the files written.
  std::string target;
  platform::File* out = nullptr;
  PartialFile* raw = nullptr;  // keeps the compressed bytes of a gzip body
  GzipStream gzip;
  GzipStream::Sink intoFile;
  std::uint64_t wire = 0;  // bytes of the body over the wire, the kept ones included
  bool ended = false;      // the body came to its end
};

HttpTransfer::Outcome HttpTransfer::receiveIntoFile(const ServerAddress& server, PartialFile* partial,
                                                    std::uint64_t kept) {
  log("Downloading to local file.\n");
  FileBody body(partial, kept);
  if (std::optional<Outcome> outcome = acceptAnswer(body)) return *outcome;
  if (std::optional<Outcome> outcome = openBody(body, server)) return *outcome;
  if (std::optional<Outcome> outcome = readBody(body)) return *outcome;
  return finishBody(body);
}

std::optional<HttpTransfer::Outcome> HttpTransfer::acceptAnswer(FileBody& body) {
  // A continued body is one the server sends from exactly the byte asked for; anything else starts
  // it over, except a whole body (200), which simply replaces what was kept.
  PartialFile* partial = body.partial;
  const int status = request_->statusCode();
  if (partial && body.kept > 0) {
    const std::optional<platform::ContentRange> range = request_->responseHeaders().contentRange;
    if (status == 206 && range && range->satisfied && range->first == body.kept) {
      body.resuming = true;
      continuing_ = true;
    } else if (status == 206 || status == 416) {
      log(boundedFormat(kFailureTextCapacity, "The server did not continue %s at byte %llu; starting it over.\n",
                        url_.c_str(), static_cast<unsigned long long>(body.kept)));
      partial->discard();
      Outcome outcome;
      outcome.kind = Outcome::Kind::kStartOver;
      return outcome;
    }
  }
  if (!body.resuming && status != 0 && (status < 200 || status >= 300)) {
    // An error page is not the file: the old file stays as it is, and bytes kept for it stay kept
    // while the server may still send the rest.
    if (partial) {
      if (isTransientStatus(status)) {
        partial->keepOrDiscard();
      } else {
        partial->discard();
      }
    }
    return statusOutcome(status);
  }
  // Once a stop is requested nothing is opened, so neither the target nor kept bytes change.
  if (stopRequested_.load()) {
    if (partial) partial->keepOrDiscard();
    closeHandles();
    return Outcome{};
  }

  const platform::ResponseHeaders headers = request_->responseHeaders();
  body.expand = decompress_ == 1;
  // What may come over the wire: the compressed size of a gzip body, the file's size of a plain one.
  const std::optional<std::uint64_t> wireLimit = body.expand ? bodyLimit_ : sizeLimit_;
  body.lengthKnown = headers.contentLength.has_value();
  body.announced = body.lengthKnown ? (body.resuming ? body.kept : 0) + *headers.contentLength : 0;
  if (body.lengthKnown && wireLimit && body.announced > *wireLimit) {
    if (partial) partial->discard();
    return oversize(body.announced, *wireLimit, "the server announces");
  }
  return std::nullopt;
}

std::optional<HttpTransfer::Outcome> HttpTransfer::openBody(FileBody& body, const ServerAddress& server) {
  // A compressed body is expanded as it arrives, into the temporary file whatever the request: the
  // target changes only by the rename at the end. With a partial file, the body's own bytes go there
  // (and a plain body is finished there).
  PartialFile* partial = body.partial;
  const bool plainIntoPartial = partial && !body.expand;
  body.target = plainIntoPartial ? partial->bodyPath() : (useTemp_ || body.expand ? tempPath_ : localPath_);
  finishedPath_ = plainIntoPartial ? partial->bodyPath() : tempPath_;
  if (body.expand) log("Decompressing to local file.\n");
  bool opened = true;
  if (partial) {
    if (body.resuming) {
      resumedAt_.store(body.kept);
      log(boundedFormat(kFailureTextCapacity, "Resuming %s at byte %llu.\n", url_.c_str(),
                        static_cast<unsigned long long>(body.kept)));
      opened = partial->reopenKept();
    } else {
      if (body.kept > 0)
        log(boundedFormat(kFailureTextCapacity, "The server sends %s whole; starting it over.\n", url_.c_str()));
      opened = partial->beginFresh(request_->responseHeaders().validator().value_or(std::string()), server.text());
    }
  }
  if (opened && !plainIntoPartial) {
    platform::setFileAttributes(body.target, platform::kAttributeNormal);
    outputFile_ = platform::File::open(body.target, "wb");
    opened = outputFile_.isOpen();
  }
  if (!opened) {
    outputFile_.close();
    if (partial) partial->keepOrDiscard();
    return ended(boundedFormat(kFailureTextCapacity,
                               "Can't open output file %s.  The file may currently be in use or set to Read-Only. "
                               "Please make sure any related applications are not running and click Download to "
                               "retry.\n",
                               body.target.c_str()),
                 result::kOutputFileFailed);
  }
  body.out = plainIntoPartial ? &partial->body() : &outputFile_;
  body.raw = partial && body.expand ? partial : nullptr;

  writtenBytes_ = 0;
  writtenCrc_ = 0;
  writtenSha256_ = trust::Sha256();
  overLimit_ = false;
  body.intoFile = [this](const char* data, std::size_t size) {
    // Nothing is written past the size the file may have.
    if (sizeLimit_ && writtenBytes_ + size > *sizeLimit_) {
      overLimit_ = true;
      return false;
    }
    if (outputFile_.write(data, size) != size) return false;
    // The CRC of the expanded bytes is inflate's own (taken from the stream once it ended).
    noteWritten(data, static_cast<std::uint32_t>(size), false);
    return true;
  };
  if (body.resuming) {
    // The kept bytes go through the expansion and the checksums as if they had just arrived.
    const auto take = [&](const char* data, std::uint32_t count) {
      if (body.expand) return body.gzip.feed(data, count, body.intoFile) == GzipStream::Result::kOk;
      if (sizeLimit_ && writtenBytes_ + count > *sizeLimit_) return false;
      noteWritten(data, count);
      return true;
    };
    if (!partial->replayKept(body.kept, readBuffer_.get(), readBufferSize_, take)) {
      outputFile_.close();
      log(boundedFormat(kFailureTextCapacity, "The kept part of %s cannot be used; starting it over.\n", url_.c_str()));
      partial->discard();
      Outcome outcome;
      outcome.kind = Outcome::Kind::kStartOver;
      return outcome;
    }
    body.wire = body.kept;
  }
  bytesDownloaded_.store(body.wire);
  return std::nullopt;
}

void HttpTransfer::dropBody(FileBody& body) {
  outputFile_.close();
  if (body.partial) body.partial->discard();
  discardUnfinished(body.target);
}

HttpTransfer::Outcome HttpTransfer::brokeOff(FileBody& body, std::uint32_t error, bool readFailed) {
  outputFile_.close();
  // The bytes that arrived stay for the next attempt when they may be continued.
  bool newBytes = false;
  if (body.partial) {
    newBytes = body.partial->keepable() && body.wire > body.kept;
    body.partial->keepOrDiscard();
  } else {
    discardUnfinished(body.target);
  }
  Outcome outcome = networkOutcome(error, result::kReadFailed,
                                   boundedFormat(kFailureTextCapacity, "InternetReadFile() failed: %d", asInt(error)),
                                   newBytes);
  if (outcome.kind == Outcome::Kind::kTransient) {
    std::uint64_t have = 0;
    if (body.partial && readFailed) {
      platform::FileInfo info;
      if (platform::fileInfo(body.partial->bodyPath(), info)) have = info.size;
    } else if (body.partial && body.partial->keepable()) {
      have = body.wire;
    }
    outcome.cause = boundedFormat(kLogLineCapacity, "broke off with %llu bytes kept", static_cast<unsigned long long>(have));
  }
  return outcome;
}

std::optional<HttpTransfer::Outcome> HttpTransfer::readBody(FileBody& body) {
  if (stopRequested_.load()) return std::nullopt;
  log("Begin InternetReadFile() [2]...\n");
  std::uint32_t error = 0;
  std::uint32_t chunk = 0;
  bool readOk = true;
  do {
    readOk = readChunk(chunk, error);
    if (!readOk) chunk = 0;
    // A read the stop cut short is the end of a stopped transfer, not a failed one.
    if (!readOk && stopRequested_.load()) {
      readOk = true;
      break;
    }
    observer_.dataReceived();
    if (body.expand && bodyLimit_ && body.wire + chunk > *bodyLimit_) {
      dropBody(body);
      return oversize(body.wire + chunk, *bodyLimit_, "the compressed body holds");
    }
    if (body.raw && chunk > 0 && !body.raw->append(readBuffer_.get(), chunk)) {
      dropBody(body);
      return ended(boundedFormat(kFailureTextCapacity, "Write to %s failed\n", localPath_.c_str()), result::kWriteFailed);
    }
    if (body.expand) {
      const GzipStream::Result expanded = body.gzip.feed(readBuffer_.get(), chunk, body.intoFile);
      if (expanded != GzipStream::Result::kOk) {
        if (body.partial) body.partial->discard();
        if (overLimit_) return oversize(body.gzip.produced(), *sizeLimit_, "the expanded file would hold at least");
        return expansionFailed(expanded == GzipStream::Result::kCorrupt, body.gzip.produced());
      }
    } else {
      if (sizeLimit_ && writtenBytes_ + chunk > *sizeLimit_) {
        dropBody(body);
        return oversize(writtenBytes_ + chunk, *sizeLimit_, "the body holds");
      }
      if (body.out->write(readBuffer_.get(), chunk) < chunk) {
        dropBody(body);
        return ended(boundedFormat(kFailureTextCapacity, "Write to %s failed\n", localPath_.c_str()), result::kWriteFailed);
      }
      noteWritten(readBuffer_.get(), chunk);
    }
    body.wire += chunk;
    bytesDownloaded_.fetch_add(chunk);
    state_.store(kTransferring);
    downloadMillis_.store(elapsed(startTick_));
  } while (chunk != 0 && readOk && !stopRequested_.load());
  body.ended = readOk && chunk == 0 && !stopRequested_.load();
  log(boundedFormat(kLogLineCapacity, "End InternetReadFile() [2], %lld bytes downloaded...\n",
                    asPrinted(bytesDownloaded_.load())));
  if (!readOk) return brokeOff(body, error, true);
  return std::nullopt;
}

HttpTransfer::Outcome HttpTransfer::finishBody(FileBody& body) {
  closeHandles();
  downloadMillis_.store(elapsed(startTick_));
  expansionTick_ = platform::tickCount();
  const bool stopped = stopRequested_.load();
  if (!body.ended) {
    outputFile_.close();
    if (body.partial) body.partial->keepOrDiscard();
    discardUnfinished(body.target);
  } else if (stopped) {
    // Stopped just as the body ended: its files are closed all the same, or the temporary could not be
    // removed on Windows (an open file is not deleted there), and what arrived stays kept.
    outputFile_.close();
    if (body.partial) body.partial->keepOrDiscard();
  }
  if (stopped) return Outcome{};
  // A body that ended short of its announced length with success (as WinINet may report it) broke off.
  if (body.lengthKnown && body.wire < body.announced)
    return brokeOff(body, platform::kErrorInternetConnectionAborted, false);
  // A body whose gzip stream stops short of its end is not the file.
  if (body.expand && !body.gzip.complete()) {
    if (body.partial) body.partial->discard();
    return expansionFailed(true, body.gzip.produced());
  }
  if (body.expand) {
    writtenCrc_ = body.gzip.crc();
    reportExpansion(body.gzip.produced());
  }
  // A body whose last bytes never reached the file is as broken as a failed write. A file that is to
  // take another's place reaches the disk before the rename does.
  const bool toBeRenamed = useTemp_ || body.expand;
  const bool bodyClosed = (!toBeRenamed || body.out->flushToDisk()) && body.out->close();
  body.out->close();
  if (!bodyClosed) {
    if (body.expand) std::fputs("failed fclose\n", stderr);
    dropBody(body);
    return ended(boundedFormat(kFailureTextCapacity, "Write to %s failed\n", localPath_.c_str()), result::kWriteFailed);
  }
  return verifyAndPlace(body.partial, body.expand);
}

HttpTransfer::Outcome HttpTransfer::verifyAndPlace(PartialFile* partial, bool expand) {
  if (!useTemp_) {
    // Expanded straight for the caller: the whole file replaces the target in one rename.
    if (expand) placeExpanded();
    return Outcome{};
  }
  // The compressed bytes are of no more use once they were expanded; a plain body leaves its partial
  // file by the rename (or is removed with it when it is refused).
  if (expand) partial->discard();
  // A file that is not the manifest's never takes the old one's place.
  if (const std::optional<std::string> text = mismatch()) {
    partial->discard();
    Outcome outcome;
    outcome.kind = Outcome::Kind::kWrongBytes;
    outcome.code = result::kFileMismatch;
    outcome.text = *text;
    outcome.cause = "brought a file that does not match the manifest";
    return outcome;
  }
  if (holdUntilAdopted_) {
    awaitAdoption();
    // Stopped before its turn: the verified bytes are not put in place, nor kept to be continued.
    if (stopRequested_.load()) {
      partial->discard();
      return Outcome{};
    }
  }
  if (observer_.failedOrStopped()) {
    // The session is ending: the finished file is not put in place, and the transfer says so.
    partial->discard();
    stopRequested_.store(true);
    return Outcome{};
  }
  moveIntoPlace();
  partial->discard();
  return Outcome{};
}

std::optional<std::string> HttpTransfer::mismatch() {
  const bool sizeWrong = expectedSize_ != 0 && writtenBytes_ != expectedSize_;
  const bool crcWrong = expectedCrc_ && writtenCrc_ != *expectedCrc_;
  const std::string sha256 = expectedSha256_ ? writtenSha256_.finishHex() : std::string();
  const bool sha256Wrong = expectedSha256_ && sha256 != *expectedSha256_;
  if (!sizeWrong && !crcWrong && !sha256Wrong) return std::nullopt;
  if (sha256Wrong && !sizeWrong && !crcWrong)
    return boundedFormat(kFailureTextCapacity, "Downloaded file %s does not match the manifest: SHA-256 %s (expected %s)\n",
                         localPath_.c_str(), sha256.c_str(), expectedSha256_->c_str());
  return boundedFormat(kFailureTextCapacity,
                       "Downloaded file %s does not match the manifest: %llu bytes, CRC %08x (expected %llu bytes, "
                       "CRC %08x)\n",
                       localPath_.c_str(), static_cast<unsigned long long>(writtenBytes_), writtenCrc_,
                       static_cast<unsigned long long>(expectedSize_), expectedCrc_.value_or(0));
}

void HttpTransfer::noteWritten(const char* data, std::uint32_t count, bool withCrc) {
  if (withCrc && expectedCrc_) writtenCrc_ = static_cast<std::uint32_t>(crc32(writtenCrc_, reinterpret_cast<const Bytef*>(data), count));
  if (expectedSha256_) writtenSha256_.update(data, count);
  writtenBytes_ += count;
}

// ---- Compressed steps ----------------------------------------------------------------------------

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
  bytesDecompressed_.store(produced);
  decompressMillis_.store(elapsed(expansionTick_));
  log("File decompression complete.\n");
}

HttpTransfer::Outcome HttpTransfer::expansionFailed(bool corrupt, std::uint64_t produced) {
  outputFile_.close();
  bytesDecompressed_.store(produced);
  const std::string& destination = tempPath_;
  if (corrupt) {
    std::fprintf(stderr, "%s\n", "gzip data not valid");
    if (produced > 0) {
      log(boundedFormat(kLogLineCapacity, "Gzread error.  Possible corrupted file %s, Bytes Written: %lld.\n",
                        localPath_.c_str(), asPrinted(produced)));
    } else {
      log(boundedFormat(kLogLineCapacity, "Could not open gzfile properly. No bytes written to %s.\n",
                        localPath_.c_str()));
      log(boundedFormat(kLogLineCapacity, "Total bytes downloaded for %s: %lld\n", destination.c_str(),
                        asPrinted(bytesDownloaded_.load())));
    }
    platform::deleteFile(destination);
    // Data that is not the gzip body the manifest names is the server's fault: another may have it.
    Outcome outcome;
    outcome.kind = Outcome::Kind::kWrongBytes;
    outcome.code = result::kGzipFailed;
    outcome.text = "Failed to read the gzfile properly";
    outcome.cause = "brought data that does not expand";
    return outcome;
  }
  log(boundedFormat(kLogLineCapacity, "Total bytes downloaded for %s: %lld\n", destination.c_str(),
                    asPrinted(bytesDownloaded_.load())));
  log(boundedFormat(kLogLineCapacity, "Last Windows Error was %d\n", errno));
  platform::deleteFile(destination);
  return ended("failed fwrite", result::kWriteFailed);
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
  if (platform::replaceFile(finishedPath_, localPath_)) {
    if (showCopy) observer_.showProgress(100, kBarCopy);
    log("File copy complete.\n");
    return true;
  }
  // The copy's time is added to what the table held when it began.
  const std::int64_t notedTime = copyRates_ ? copyRates_->get(ProgressRates::kCopyBytes, ProgressRates::kMilliseconds) : 0;
  CopyCallbacks callbacks;
  callbacks.log = [this](const std::string& line) { log(line); };
  callbacks.stopping = [this] { return observer_.failedOrStopped(); };
  callbacks.progress = [this](int position) { observer_.showProgress(position, kBarCopy); };
  if (copyRates_) {
    callbacks.copied = [this, notedTime](std::uint32_t bytes, std::uint32_t elapsedMs) {
      copyRates_->add(bytes, ProgressRates::kCopyBytes, ProgressRates::kDone);
      copyRates_->set(notedTime + elapsedMs, ProgressRates::kCopyBytes,
                      ProgressRates::kMilliseconds);
    };
  }
  if (copyFile(finishedPath_.c_str(), localPath_.c_str(), finalSize_, callbacks)) {
    log("File copy complete.\n");
    return true;
  }
  const int error = errno;
  log(boundedFormat(kOverwriteLineCapacity, "Failed to overwrite file \"%s\": %d\n", localPath_.c_str(), error));
  removeLeftovers();
  platform::deleteFile(finishedPath_);
  fail(kCannotReplaceOutput, result::kOutputFileFailed);
  log("HttpDownload Completed.\n");
  return false;
}

}  // namespace korvel
