// The HTTP fetch engine: the worker procedure, its memory and file paths, the failure reporting, and
// the compressed steps: delivering a body into the caller's memory (decoded when asked), the account
// and the failures of a body expanded as it arrived, and the move of a finished file into place.
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
#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/process.h"
#include "common/result_codes.h"
#include "transfer/gzip_memory.h"
#include "transfer/gzip_stream.h"
#include "transfer/partial_file.h"
#include "transfer/progress_rates.h"

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

}  // namespace

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
  url_ = request.url ? request.url : "";
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

std::int32_t HttpTransfer::startMemoryDownload(char* buffer, std::int32_t capacity, const char* url,
                                               const char* user, const char* password, std::int32_t decompress) {
  if (worker_.hasThread()) return 0;
  memoryBuffer_ = buffer;
  capacity_ = capacity < 0 ? 0 : capacity;
  url_ = url ? url : "";
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
    if (memoryBuffer_) {
      if (openRequest()) runMemoryPath();
    } else {
      runFileAttempts();
    }
  } catch (const std::bad_alloc&) {
    outputFile_.close();
    if (state() != kFailed) fail("Out of memory\n", result::kMemoryFailed);
  }
  // Whatever the outcome, the temporary and compressed files of this run do not stay behind.
  if (!memoryBuffer_) removeLeftovers();
  if (state() == kFailed) return errorCode();
  return finish();
}

bool HttpTransfer::statusAccepted() {
  const int status = request_ ? request_->statusCode() : 0;
  if (status == 0 || (status >= 200 && status < 300)) return true;
  // An error page is not the file: the old file stays as it is.
  fail(boundedFormat(kFailureTextCapacity, "Server answered %d for %s\n", status, url_.c_str()), result::kHttpStatus);
  return false;
}

bool HttpTransfer::matchesExpectation() {
  const bool sizeWrong = expectedSize_ != 0 && writtenBytes_ != expectedSize_;
  const bool crcWrong = expectedCrc_ && writtenCrc_ != *expectedCrc_;
  const std::string sha256 = expectedSha256_ ? writtenSha256_.finishHex() : std::string();
  const bool sha256Wrong = expectedSha256_ && sha256 != *expectedSha256_;
  if (!sizeWrong && !crcWrong && !sha256Wrong) return true;
  if (sha256Wrong && !sizeWrong && !crcWrong) {
    fail(boundedFormat(kFailureTextCapacity,
                       "Downloaded file %s does not match the manifest: SHA-256 %s (expected %s)\n",
                       localPath_.c_str(), sha256.c_str(), expectedSha256_->c_str()),
         result::kFileMismatch);
    return false;
  }
  fail(boundedFormat(kFailureTextCapacity,
                     "Downloaded file %s does not match the manifest: %llu bytes, CRC %08x (expected %llu bytes, "
                     "CRC %08x)\n",
                     localPath_.c_str(), static_cast<unsigned long long>(writtenBytes_), writtenCrc_,
                     static_cast<unsigned long long>(expectedSize_),
                     expectedCrc_.value_or(0)),
       result::kFileMismatch);
  return false;
}

bool HttpTransfer::openRequest(std::uint64_t resumeFrom, const std::string& validator) {
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
  if (!session_) {
    fail(boundedFormat(kFailureTextCapacity, "InternetOpen() failed: %d\n", asInt(error)), result::kInternetOpenFailed);
    return false;
  }

  observer_.beforeConnect();
  platform::UrlParts parts;
  log("InternetCrackURL()...\n");
  // A stop skips the crack; the run then ends at the connect step, which finds no handle.
  if (!stopRequested_.load()) {
    if (!platform::crackUrl(url_, parts, error)) {
      fail(boundedFormat(kFailureTextCapacity, "InternetCrackURL() failed: %d\n", asInt(error)),
           result::kCrackUrlFailed);
      return false;
    }
    if (parts.scheme != platform::kInternetSchemeHttp) {
      fail(boundedFormat(kFailureTextCapacity, "Usage:  %s HTTP-URL Local-File\n", programName_.c_str()),
           result::kNotHttp);
      return false;
    }
  }

  log("InternetConnect()...\n");
  error = 0;
  if (!stopRequested_.load()) {
    connection_ = platform::HttpConnection::connect(*session_, parts.host, parts.port,
                                                    hasUser_ ? user_.c_str() : nullptr,
                                                    hasPassword_ ? password_.c_str() : nullptr, error);
  }
  if (!connection_) {
    fail(boundedFormat(kFailureTextCapacity, "InternetConnect() failed: %d\n", asInt(error)), result::kConnectFailed);
    return false;
  }

  log("HttpOpenRequest()...\n");
  error = 0;
  if (!stopRequested_.load()) {
    request_ = platform::HttpRequest::open(*connection_, "GET", parts.path, "HTTP/1.1", acceptTypes(),
                                           platform::kInternetFlagNoCacheWrite, error);
  }
  if (!request_) {
    fail(boundedFormat(kFailureTextCapacity, "HttpOpenRequest() failed: %d\n", asInt(error)),
         result::kOpenRequestFailed);
    return false;
  }

  if (resumeFrom > 0) {
    // Both headers are well formed by construction; a refusal leaves a request for the whole body,
    // whose 200 answer starts the body over.
    std::uint32_t ignored = 0;
    if (!request_->addHeader("Range", platform::rangeFrom(resumeFrom), ignored) ||
        !request_->addHeader("If-Range", validator, ignored))
      log("Could not ask for the rest of the body; asking for all of it.\n");
  }

  log("HttpSendRequest()...\n");
  error = 0;
  const bool sent = !stopRequested_.load() && request_->send(error);
  if (!sent) {
    fail(boundedFormat(kFailureTextCapacity, "HttpSendRequest() failed: %d\n", asInt(error)),
         result::kSendRequestFailed);
    return false;
  }
  httpStatus_.store(request_->statusCode());
  observer_.requestSent();
  return true;
}

void HttpTransfer::runMemoryPath() {
  const std::uint32_t capacity = static_cast<std::uint32_t>(capacity_);
  std::unique_ptr<char[]> working(new (std::nothrow) char[capacity > 0 ? capacity : 1]);
  std::memset(readBuffer_.get(), 0, readBufferSize_);
  if (capacity > 0) std::memset(memoryBuffer_, 0, capacity);
  log("InternetReadFile()...\n");

  std::uint32_t received = 0;
  if (!stopRequested_.load()) {
    do {
      std::uint32_t error = 0;
      lastReadOk_ = request_->read(readBuffer_.get(), readBufferSize_, lastChunkSize_, error);
      if (!lastReadOk_ && stopRequested_.load()) break;  // the stop ended the read
      if (!lastReadOk_) {
        fail(boundedFormat(kFailureTextCapacity, "InternetReadFile() failed: %d\n", asInt(error)), result::kReadFailed);
        return;
      }
      observer_.dataReceived();
      // The body and its terminating zero must fit.
      if (static_cast<std::uint64_t>(received) + lastChunkSize_ + 1 > capacity) {
        fail(boundedFormat(kFailureTextCapacity, "Buffer too small to hold %s\n", url_.c_str()), result::kReadFailed);
        return;
      }
      if (!working) {
        fail(boundedFormat(kFailureTextCapacity, "Could not write %s to memory\n", url_.c_str()),
             result::kMemoryFailed);
        return;
      }
      std::memcpy(working.get() + received, readBuffer_.get(), lastChunkSize_);
      received += lastChunkSize_;
      working[received] = '\0';
      bytesDownloaded_.fetch_add(lastChunkSize_);
      state_.store(kTransferring);
      downloadMillis_.store(elapsed(startTick_));
    } while (lastChunkSize_ != 0 && lastReadOk_ && !stopRequested_.load());
  }

  log("InternetReadFile() Complete.\n");
  if (!stopRequested_.load() && !deliverToMemory(working.get(), received)) return;
  closeHandles();
  downloadMillis_.store(elapsed(startTick_));
}

void HttpTransfer::runFileAttempts() {
  std::optional<PartialFile> partial;
  if (useTemp_ && !localPath_.empty()) {
    const std::size_t cut = localPath_.find_last_of("\\/");
    const std::string folder = cut == std::string::npos ? std::string() : localPath_.substr(0, cut);
    const std::string name = cut == std::string::npos ? localPath_ : localPath_.substr(cut + 1);
    partial.emplace(folder,
                    PartialFile::Identity{url_, decompress_, downloadSize_, expectedSize_, expectedCrc_, expectedSha256_},
                    name);
  }
  for (int attempt = 0;; ++attempt) {
    if (attempt > 0 && !pauseBeforeRetry(attempt)) return;  // stopped: what was kept stays kept
    const std::uint64_t kept = partial ? partial->keptBytes() : 0;
    if (!openRequest(kept, partial ? partial->validator() : std::string())) return;
    const Attempt outcome = runFilePath(partial ? &*partial : nullptr, kept);
    if (outcome == Attempt::kDone) return;
    closeHandles();
    if (attempt >= kMaxRetries) {
      // The retries are spent: the file fails as a single attempt would have.
      if (outcome == Attempt::kBrokeOff) {
        fail(boundedFormat(kFailureTextCapacity, "InternetReadFile() failed: %d", asInt(lastReadError_)),
             result::kReadFailed);
      } else {
        fail(boundedFormat(kFailureTextCapacity, "Server answered %d for %s\n", httpStatus_.load(), url_.c_str()),
             result::kHttpStatus);
      }
      return;
    }
    platform::FileInfo info;
    const std::uint64_t have = partial && platform::fileInfo(partial->bodyPath(), info) ? info.size : 0;
    retries_.fetch_add(1);
    log(boundedFormat(kFailureTextCapacity, "Download of %s broke off with %llu bytes kept; retry %d of %d in %u s.\n",
                      url_.c_str(), static_cast<unsigned long long>(have), attempt + 1, kMaxRetries,
                      (firstRetryPause() << attempt) / 1000));
  }
}

bool HttpTransfer::pauseBeforeRetry(int retry) {
  const std::uint32_t pause = firstRetryPause() << (retry - 1);
  std::unique_lock<std::mutex> lock(pauseMutex_);
  pauseSignal_.wait_for(lock, std::chrono::milliseconds(pause), [this] { return stopRequested_.load(); });
  return !stopRequested_.load();
}

bool HttpTransfer::replayKept(PartialFile& partial, std::uint64_t kept,
                              const std::function<bool(const char*, std::uint32_t)>& take) {
  if (!partial.reopenKept()) return false;
  platform::File& body = partial.body();
  for (std::uint64_t left = kept; left > 0;) {
    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, readBufferSize_));
    if (body.read(readBuffer_.get(), want) != want || !take(readBuffer_.get(), want)) return false;
    left -= want;
  }
  // Reading and writing one stream needs a seek between them.
  return body.seek(static_cast<std::int64_t>(kept));
}

void HttpTransfer::failOversize(std::uint64_t bytes, std::uint64_t limit, const char* what) {
  outputFile_.close();
  platform::deleteFile(tempPath_);
  discardUnfinished(localPath_);
  fail(boundedFormat(kFailureTextCapacity,
                     "Downloaded file %s does not match the manifest: %s %llu bytes (expected at most %llu)\n",
                     localPath_.c_str(), what, static_cast<unsigned long long>(bytes),
                     static_cast<unsigned long long>(limit)),
       result::kFileMismatch);
}

HttpTransfer::Attempt HttpTransfer::runFilePath(PartialFile* partial, std::uint64_t kept) {
  log("Downloading to local file.\n");
  // A continued body is one the server sends from exactly the byte asked for; anything else starts
  // it over, except a whole body (200), which simply replaces what was kept.
  bool resuming = false;
  if (partial && kept > 0) {
    const int status = request_->statusCode();
    const std::optional<platform::ContentRange> range = request_->responseHeaders().contentRange;
    if (status == 206 && range && range->satisfied && range->first == kept) {
      resuming = true;
    } else if (status == 206 || status == 416) {
      log(boundedFormat(kFailureTextCapacity, "The server did not continue %s at byte %llu; starting it over.\n",
                        url_.c_str(), static_cast<unsigned long long>(kept)));
      partial->discard();
      return Attempt::kStartOver;
    }
  }
  if (!resuming && !statusAccepted()) {
    if (partial) partial->discard();
    return Attempt::kDone;
  }
  // Once a stop is requested nothing is opened, so neither the target nor kept bytes change.
  if (stopRequested_.load()) {
    if (partial) partial->keepOrDiscard();
    closeHandles();
    return Attempt::kDone;
  }

  const platform::ResponseHeaders headers = request_->responseHeaders();
  const bool expand = decompress_ == 1;
  const std::uint64_t base = resuming ? kept : 0;
  // What may come over the wire: the compressed size of a gzip body, the file's size of a plain one.
  const std::optional<std::uint64_t> wireLimit = expand ? bodyLimit_ : sizeLimit_;
  // The whole body's length, when the server gave one (0 otherwise).
  const bool lengthKnown = headers.contentLength.has_value();
  const std::uint64_t announced = lengthKnown ? base + *headers.contentLength : 0;
  if (lengthKnown && wireLimit && announced > *wireLimit) {
    if (partial) partial->discard();
    failOversize(announced, *wireLimit, "the server announces");
    return Attempt::kDone;
  }

  // A compressed body is expanded as it arrives, into the temporary file whatever the request: the
  // target changes only by the rename at the end. With a partial file, the body's own bytes go there
  // (and a plain body is finished there).
  const bool plainIntoPartial = partial && !expand;
  const std::string& target = plainIntoPartial ? partial->bodyPath() : (useTemp_ || expand ? tempPath_ : localPath_);
  finishedPath_ = plainIntoPartial ? partial->bodyPath() : tempPath_;
  if (expand) log("Decompressing to local file.\n");
  bool opened = true;
  if (partial) {
    if (resuming) {
      resumedAt_.store(kept);
      log(boundedFormat(kFailureTextCapacity, "Resuming %s at byte %llu.\n", url_.c_str(),
                        static_cast<unsigned long long>(kept)));
      opened = partial->reopenKept();
    } else {
      if (kept > 0)
        log(boundedFormat(kFailureTextCapacity, "The server sends %s whole; starting it over.\n", url_.c_str()));
      opened = partial->beginFresh(headers.validator().value_or(std::string()));
    }
  }
  if (opened && !plainIntoPartial) {
    platform::setFileAttributes(target, platform::kAttributeNormal);
    outputFile_ = platform::File::open(target, "wb");
    opened = outputFile_.isOpen();
  }
  if (!opened) {
    outputFile_.close();
    if (partial) partial->keepOrDiscard();
    fail(boundedFormat(kFailureTextCapacity,
                       "Can't open output file %s.  The file may currently be in use or set to Read-Only. "
                       "Please make sure any related applications are not running and click Download to "
                       "retry.\n",
                       target.c_str()),
         result::kOutputFileFailed);
    return Attempt::kDone;
  }
  platform::File& out = plainIntoPartial ? partial->body() : outputFile_;
  platform::File* raw = partial && expand ? &partial->body() : nullptr;

  writtenBytes_ = 0;
  writtenCrc_ = 0;
  writtenSha256_ = trust::Sha256();
  overLimit_ = false;
  GzipStream gzip;
  const GzipStream::Sink intoFile = [this](const char* data, std::size_t size) {
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
  std::uint64_t wire = 0;
  if (resuming) {
    // The kept bytes go through the expansion and the checksums as if they had just arrived.
    const bool replayed = replayKept(*partial, kept, [&](const char* data, std::uint32_t count) {
      if (expand) return gzip.feed(data, count, intoFile) == GzipStream::Result::kOk;
      if (sizeLimit_ && writtenBytes_ + count > *sizeLimit_) return false;
      noteWritten(data, count);
      return true;
    });
    if (!replayed) {
      outputFile_.close();
      log(boundedFormat(kFailureTextCapacity, "The kept part of %s cannot be used; starting it over.\n", url_.c_str()));
      partial->discard();
      return Attempt::kStartOver;
    }
    wire = kept;
  }
  bytesDownloaded_.store(wire);

  // Ends the attempt at a fault of this body: nothing of it is kept.
  const auto dropAll = [&] {
    outputFile_.close();
    if (partial) partial->discard();
    discardUnfinished(target);
  };
  bool bodyEnded = false;
  if (!stopRequested_.load()) {
    log("Begin InternetReadFile() [2]...\n");
    std::uint32_t error = 0;
    do {
      lastReadOk_ = request_->read(readBuffer_.get(), readBufferSize_, lastChunkSize_, error);
      if (!lastReadOk_) lastChunkSize_ = 0;
      // A read the stop cut short is the end of a stopped transfer, not a failed one.
      if (!lastReadOk_ && stopRequested_.load()) {
        lastReadOk_ = true;
        break;
      }
      observer_.dataReceived();
      if (expand && bodyLimit_ && wire + lastChunkSize_ > *bodyLimit_) {
        dropAll();
        failOversize(wire + lastChunkSize_, *bodyLimit_, "the compressed body holds");
        return Attempt::kDone;
      }
      if (raw && lastChunkSize_ > 0 && raw->write(readBuffer_.get(), lastChunkSize_) != lastChunkSize_) {
        dropAll();
        fail(boundedFormat(kFailureTextCapacity, "Write to %s failed\n", localPath_.c_str()), result::kWriteFailed);
        return Attempt::kDone;
      }
      if (expand) {
        const GzipStream::Result expanded = gzip.feed(readBuffer_.get(), lastChunkSize_, intoFile);
        if (expanded != GzipStream::Result::kOk) {
          if (partial) partial->discard();
          if (overLimit_) {
            failOversize(gzip.produced(), *sizeLimit_, "the expanded file would hold at least");
          } else {
            failExpansion(expanded == GzipStream::Result::kCorrupt, gzip.produced());
          }
          return Attempt::kDone;
        }
      } else {
        if (sizeLimit_ && writtenBytes_ + lastChunkSize_ > *sizeLimit_) {
          dropAll();
          failOversize(writtenBytes_ + lastChunkSize_, *sizeLimit_, "the body holds");
          return Attempt::kDone;
        }
        if (out.write(readBuffer_.get(), lastChunkSize_) < lastChunkSize_) {
          dropAll();
          fail(boundedFormat(kFailureTextCapacity, "Write to %s failed\n", localPath_.c_str()), result::kWriteFailed);
          return Attempt::kDone;
        }
        noteWritten(readBuffer_.get(), lastChunkSize_);
      }
      wire += lastChunkSize_;
      bytesDownloaded_.fetch_add(lastChunkSize_);
      state_.store(kTransferring);
      downloadMillis_.store(elapsed(startTick_));
    } while (lastChunkSize_ != 0 && lastReadOk_ && !stopRequested_.load());
    lastReadError_ = error;
    bodyEnded = lastReadOk_ && lastChunkSize_ == 0 && !stopRequested_.load();
    log(boundedFormat(kLogLineCapacity, "End InternetReadFile() [2], %lld bytes downloaded...\n",
                      asPrinted(bytesDownloaded_.load())));
    if (!lastReadOk_) {
      outputFile_.close();
      if (partial) {
        // The bytes that arrived stay for the next request.
        partial->keepOrDiscard();
        return Attempt::kBrokeOff;
      }
      discardUnfinished(target);
      fail(boundedFormat(kFailureTextCapacity, "InternetReadFile() failed: %d", asInt(error)), result::kReadFailed);
      return Attempt::kDone;
    }
  }

  closeHandles();
  downloadMillis_.store(elapsed(startTick_));
  expansionTick_ = platform::tickCount();
  const bool stopped = stopRequested_.load();
  if (!bodyEnded) {
    outputFile_.close();
    if (partial) partial->keepOrDiscard();
    discardUnfinished(target);
  } else if (stopped) {
    // Stopped just as the body ended: its files are closed all the same, or the temporary could not be
    // removed on Windows (an open file is not deleted there), and what arrived stays kept.
    outputFile_.close();
    if (partial) partial->keepOrDiscard();
  }
  if (stopped) return Attempt::kDone;
  // A body that ended short of its announced length with success (as WinINet may report it) broke off.
  if (partial && lengthKnown && wire < announced) {
    outputFile_.close();
    partial->keepOrDiscard();
    lastReadError_ = platform::kErrorInternetConnectionAborted;
    return Attempt::kBrokeOff;
  }
  // A body whose gzip stream stops short of its end is a download cut short.
  if (expand && !gzip.complete()) {
    if (partial) partial->discard();
    failExpansion(true, gzip.produced());
    return Attempt::kDone;
  }
  if (expand) {
    writtenCrc_ = gzip.crc();
    reportExpansion(gzip.produced());
  }
  // A body whose last bytes never reached the file is as broken as a failed write. A file that is to
  // take another's place reaches the disk before the rename does.
  const bool toBeRenamed = useTemp_ || expand;
  const bool bodyClosed = (!toBeRenamed || out.flushToDisk()) && out.close();
  out.close();
  if (!bodyClosed) {
    if (expand) std::fputs("failed fclose\n", stderr);
    dropAll();
    fail(boundedFormat(kFailureTextCapacity, "Write to %s failed\n", localPath_.c_str()), result::kWriteFailed);
    return Attempt::kDone;
  }

  if (!useTemp_) {
    // Expanded straight for the caller: the whole file replaces the target in one rename.
    if (expand) placeExpanded();
    return Attempt::kDone;
  }
  // The compressed bytes are of no more use once they were expanded; a plain body leaves its partial
  // file by the rename (or is removed with it when it is refused).
  if (expand) partial->discard();
  // A file that is not the manifest's never takes the old one's place.
  if (!matchesExpectation()) {
    partial->discard();
    return Attempt::kDone;
  }
  if (holdUntilAdopted_) {
    awaitAdoption();
    // Stopped before its turn: the verified bytes are not put in place, nor kept to be continued.
    if (stopRequested_.load()) {
      partial->discard();
      return Attempt::kDone;
    }
  }
  if (observer_.failedOrStopped()) {
    // The session is ending: the finished file is not put in place, and the transfer says so.
    partial->discard();
    stopRequested_.store(true);
    return Attempt::kDone;
  }
  moveIntoPlace();
  partial->discard();
  return Attempt::kDone;
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

void HttpTransfer::failExpansion(bool corrupt, std::uint64_t produced) {
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
    fail("Failed to read the gzfile properly", result::kGzipFailed);
    return;
  }
  log(boundedFormat(kLogLineCapacity, "Total bytes downloaded for %s: %lld\n", destination.c_str(),
                    asPrinted(bytesDownloaded_.load())));
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
