// The helper process of the POSIX background transfer service: downloads the files of the jobs in a
// state folder with libcurl into partial files beside their targets, continues partial files with Range
// requests, renames each complete file into place and ends when no job has work left.
#include "platform/posix/transfer_service.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/posix/curl_handles.h"
#include "platform/posix/curl_tls.h"
#include "platform/posix/transfer_jobs.h"

namespace korvel::platform::posix {

namespace {

using Clock = std::chrono::steady_clock;

// How often a running transfer records its progress and looks whether its job still wants the file.
constexpr auto kReportInterval = std::chrono::milliseconds(250);
// How often an idle helper looks at the jobs while one waits for its retry.
constexpr std::uint32_t kIdlePollMs = 250;
// A job that brings no byte for this long stops retrying and goes into error.
constexpr std::int64_t kNoProgressTimeoutSeconds = 14 * 24 * 3600;
constexpr long kConnectTimeoutSeconds = 60;
// A connection that moves less than one byte a second for this long counts as dropped.
constexpr long kStallSeconds = 120;
// Answers that do not continue a partial file (a range that does not fit) start it again at once, this
// many times per file before the failure counts as a transient error.
constexpr int kRestartsPerFile = 2;

// Seconds before a job in transient error is tried again: 5 s after the first failure, doubling, at
// most ten minutes.
std::int64_t retryDelay(int failures) {
  const int doublings = std::clamp(failures - 1, 0, 7);
  return std::min<std::int64_t>(600, std::int64_t{5} << doublings);
}

bool transientStatus(long status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

// The WinINet error the service reports for a failed request; `tls` is the number of a TLS failure
// (posix::tlsFailure), 0 for none.
HResult resultOfCurl(CURLcode code, std::uint32_t tls) {
  if (tls != 0) return hresultFromWin32(tls);
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return hresultFromWin32(12007);
    case CURLE_COULDNT_CONNECT:
      return hresultFromWin32(12029);
    case CURLE_OPERATION_TIMEDOUT:
      return hresultFromWin32(12002);
    case CURLE_PARTIAL_FILE:
      return hresultFromWin32(12030);
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return hresultFromWin32(12031);
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
      return hresultFromWin32(12152);
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return hresultFromWin32(12005);
    default:
      return hresultFromWin32(12004);
  }
}

bool wanted(const TransferJob& job, std::size_t index, const std::string& local) {
  const bool active = job.state == BgJobState::Queued || job.state == BgJobState::Connecting ||
                      job.state == BgJobState::Transferring;
  return active && index < job.files.size() && job.files[index].local == local && !job.files[index].completed;
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string& text) {
  std::size_t start = 0;
  std::size_t end = text.size();
  while (start < end && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  while (end > start && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(start, end - start);
}

std::uint64_t sizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
}

enum class Outcome { Finished, RetryNow, RestartNow };

// One request for one file of one job.
class Attempt {
 public:
  Attempt(std::string folder, std::string jobId, std::size_t index, TransferFile file)
      : folder_(std::move(folder)), jobId_(std::move(jobId)), index_(index), file_(std::move(file)) {}

  Outcome run();

 private:
  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
  static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  // Opens the partial file for the answer that has arrived; false when the transfer must stop.
  bool begin();
  // Records the progress; false when the job no longer wants the file.
  bool report();
  // Renames the complete partial file into place.
  void finish(std::uint64_t size);
  void fail(BgJobState state, BgErrorContext context, HResult code, const std::string& detail);

  std::string folder_;
  std::string jobId_;
  std::size_t index_;
  TransferFile file_;
  CurlEasy curl_;  // the request, while run() makes it
  std::uint64_t offset_ = 0;    // bytes of the partial file the request continues
  std::uint64_t received_ = 0;  // bytes of the body written by this attempt
  std::uint64_t reported_ = 0;
  std::uint64_t total_ = kBgSizeUnknown;
  UniqueFd fd_;  // the partial file, open from begin() until the body is complete
  bool begun_ = false;
  bool stopped_ = false;
  bool restart_ = false;
  bool insecureRedirect_ = false;
  HResult localError_ = kSOk;
  std::string localDetail_;
  std::string contentRange_;
  std::string etag_;
  std::string lastModified_;
  Clock::time_point lastReport_ = Clock::now();
};

std::size_t Attempt::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
  auto& attempt = *static_cast<Attempt*>(self);
  const std::string line(data, size * count);
  if (line.compare(0, 5, "HTTP/") == 0) {
    // Each answer of a redirect chain brings its own headers.
    attempt.contentRange_.clear();
    attempt.etag_.clear();
    attempt.lastModified_.clear();
    return size * count;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return size * count;
  const std::string name = lowered(trimmed(line.substr(0, colon)));
  const std::string value = trimmed(line.substr(colon + 1));
  long status = 0;
  curl_easy_getinfo(attempt.curl_.get(), CURLINFO_RESPONSE_CODE, &status);
  // A redirect from https to plain http ends the transfer before anything goes to the http address.
  if (name == "location" && status >= 300 && status < 400 && redirectDropsTls(attempt.curl_.get(), value)) {
    attempt.insecureRedirect_ = true;
    return 0;
  }
  if (name == "content-range")
    attempt.contentRange_ = value;
  else if (name == "etag")
    attempt.etag_ = value;
  else if (name == "last-modified")
    attempt.lastModified_ = value;
  return size * count;
}

std::size_t Attempt::onBody(char* data, std::size_t size, std::size_t count, void* self) {
  auto& attempt = *static_cast<Attempt*>(self);
  const std::size_t bytes = size * count;
  long status = 0;
  curl_easy_getinfo(attempt.curl_.get(), CURLINFO_RESPONSE_CODE, &status);
  // The body of an error page is not the file.
  if (status != 200 && status != 206) return bytes;
  if (!attempt.begun_ && !attempt.begin()) return 0;
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t n = ::write(attempt.fd_.get(), data + done, bytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      attempt.localError_ = resultOfErrno(error);
      attempt.localDetail_ = std::strerror(error);
      return 0;
    }
    done += static_cast<std::size_t>(n);
  }
  attempt.received_ += bytes;
  return bytes;
}

int Attempt::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& attempt = *static_cast<Attempt*>(self);
  const auto now = Clock::now();
  if (now - attempt.lastReport_ < kReportInterval) return 0;
  attempt.lastReport_ = now;
  return attempt.report() ? 0 : 1;
}

bool Attempt::begin() {
  long status = 0;
  curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status);
  std::string validator = file_.validator;
  if (status == 206) {
    unsigned long long first = 0;
    unsigned long long last = 0;
    char totalText[32] = {};
    if (std::sscanf(contentRange_.c_str(), "bytes %llu-%llu/%31s", &first, &last, totalText) != 3 || first != offset_) {
      restart_ = true;
      return false;
    }
    char* end = nullptr;
    const unsigned long long total = std::strtoull(totalText, &end, 10);
    total_ = end && *end == '\0' && totalText[0] != '*' ? total : kBgSizeUnknown;
  } else {
    // A whole body carries no range; one that does is a cut body under the wrong status.
    if (!contentRange_.empty()) {
      restart_ = true;
      return false;
    }
    offset_ = 0;
    curl_off_t length = -1;
    curl_easy_getinfo(curl_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    total_ = length >= 0 ? static_cast<std::uint64_t>(length) : kBgSizeUnknown;
    validator = !etag_.empty() ? etag_ : lastModified_;
  }
  FolderLock lock(folder_);
  TransferJob job;
  if (!lock.held() || !readJob(jobPath(folder_, jobId_), job) || !wanted(job, index_, file_.local)) {
    stopped_ = true;
    return false;
  }
  // Opened under the lock: a cancel that comes later finds the file and deletes it.
  fd_.reset(::open(file_.temp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd_ || ::ftruncate(fd_.get(), static_cast<off_t>(offset_)) != 0 ||
      ::lseek(fd_.get(), static_cast<off_t>(offset_), SEEK_SET) < 0) {
    const int error = errno;
    localError_ = resultOfErrno(error);
    localDetail_ = std::strerror(error);
    fd_.close();
    return false;
  }
  TransferFile& file = job.files[index_];
  file.total = total_;
  file.transferred = offset_;
  file.validator = validator;
  file_ = file;
  job.state = BgJobState::Transferring;
  writeJob(folder_, job);
  reported_ = offset_;
  begun_ = true;
  return true;
}

bool Attempt::report() {
  FolderLock lock(folder_);
  TransferJob job;
  if (!lock.held() || !readJob(jobPath(folder_, jobId_), job) || !wanted(job, index_, file_.local)) {
    stopped_ = true;
    return false;
  }
  if (!begun_) return true;
  const std::uint64_t now = offset_ + received_;
  if (now == reported_) return true;
  job.files[index_].transferred = now;
  job.lastProgress = platform::nowSeconds();
  job.failures = 0;
  reported_ = now;
  writeJob(folder_, job);
  return true;
}

void Attempt::finish(std::uint64_t size) {
  FolderLock lock(folder_);
  TransferJob job;
  if (!lock.held() || !readJob(jobPath(folder_, jobId_), job) || !wanted(job, index_, file_.local)) return;
  const std::string target = nativePath(file_.local);
  if (::rename(file_.temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    job.setError(BgJobState::Error, BgErrorContext::LocalFile, resultOfErrno(error), static_cast<int>(index_),
                 std::strerror(error));
    writeJob(folder_, job);
    return;
  }
  TransferFile& file = job.files[index_];
  file.total = size;
  file.transferred = size;
  file.completed = true;
  job.lastProgress = platform::nowSeconds();
  job.failures = 0;
  if (std::all_of(job.files.begin(), job.files.end(), [](const TransferFile& f) { return f.completed; })) {
    job.state = BgJobState::Transferred;
    job.clearError();
  }
  writeJob(folder_, job);
}

void Attempt::fail(BgJobState state, BgErrorContext context, HResult code, const std::string& detail) {
  FolderLock lock(folder_);
  TransferJob job;
  if (!lock.held() || !readJob(jobPath(folder_, jobId_), job) || !wanted(job, index_, file_.local)) return;
  const std::int64_t now = platform::nowSeconds();
  if (state == BgJobState::TransientError && now - job.lastProgress > kNoProgressTimeoutSeconds)
    state = BgJobState::Error;
  if (offset_ + received_ > 0) job.files[index_].transferred = offset_ + received_;
  job.setError(state, context, code, static_cast<int>(index_), detail);
  if (state == BgJobState::TransientError) {
    job.failures += 1;
    job.retryAt = now + retryDelay(job.failures);
  }
  writeJob(folder_, job);
}

Outcome Attempt::run() {
  offset_ = sizeOf(file_.temp);
  if (file_.total != kBgSizeUnknown && offset_ > file_.total) offset_ = 0;
  curl_.reset(curl_easy_init());
  if (!curl_) {
    fail(BgJobState::TransientError, BgErrorContext::GeneralTransport, kEOutOfMemory, {});
    return Outcome::Finished;
  }
  char errorText[CURL_ERROR_SIZE] = {};
  CurlSlist headers;
  const std::string range = std::to_string(offset_) + "-";
  if (offset_ > 0) {
    curl_easy_setopt(curl_.get(), CURLOPT_RANGE, range.c_str());
    // A file that changed on the server since the partial copy began comes back whole.
    if (!file_.validator.empty()) appendLine(headers, "If-Range: " + file_.validator);
  }
  curl_easy_setopt(curl_.get(), CURLOPT_URL, file_.remote.c_str());
  curl_easy_setopt(curl_.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl_.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  // TLS 1.2 or later, certificates checked against the system's roots and KORVEL_CA_FILE's, and
  // redirects within http and https except from https back to http.
  configureTls(curl_.get(), isHttpsUrl(file_.remote));
  curl_easy_setopt(curl_.get(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl_.get(), CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl_.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_.get(), CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(curl_.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl_.get(), CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(curl_.get(), CURLOPT_USERAGENT, "KorvelTransferService/1.0");
  curl_easy_setopt(curl_.get(), CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl_.get(), CURLOPT_HEADERFUNCTION, &Attempt::onHeader);
  curl_easy_setopt(curl_.get(), CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl_.get(), CURLOPT_WRITEFUNCTION, &Attempt::onBody);
  curl_easy_setopt(curl_.get(), CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl_.get(), CURLOPT_XFERINFOFUNCTION, &Attempt::onProgress);
  curl_easy_setopt(curl_.get(), CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(curl_.get(), CURLOPT_NOPROGRESS, 0L);
  const CURLcode code = curl_easy_perform(curl_.get());
  long status = 0;
  curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status);
  const std::uint32_t tls = tlsFailure(curl_.get(), code);
  curl_.reset();
  headers.reset();

  if (stopped_) return Outcome::Finished;
  if (localError_ != kSOk) {
    fail(BgJobState::Error, BgErrorContext::LocalFile, localError_, localDetail_);
    return Outcome::Finished;
  }
  if (restart_) {
    fd_.close();
    ::unlink(file_.temp.c_str());
    return Outcome::RestartNow;
  }
  // A server that redirects to plain http, or cannot prove who it is, is not asked again: the job
  // fails for good rather than retrying for days.
  if (insecureRedirect_) {
    fail(BgJobState::Error, BgErrorContext::RemoteFile, hresultFromWin32(kErrorInternetHttpsToHttpOnRedirect),
         "redirected from https to plain http");
    return Outcome::Finished;
  }
  if (code != CURLE_OK) {
    fd_.close();
    const bool refused = isCertificateError(tls);
    if (received_ > 0 && !refused) return Outcome::RetryNow;  // the connection dropped after some bytes: go on from there
    fail(refused ? BgJobState::Error : BgJobState::TransientError, BgErrorContext::RemoteFile, resultOfCurl(code, tls),
         errorText[0] ? errorText : curl_easy_strerror(code));
    return Outcome::Finished;
  }
  if (status == 416 && offset_ > 0 && offset_ == file_.total) {
    // The partial file was whole already (the helper stopped before its rename).
    finish(offset_);
    return Outcome::Finished;
  }
  if (status == 416) {
    fd_.close();
    ::unlink(file_.temp.c_str());
    return Outcome::RestartNow;
  }
  if (status != 200 && status != 206) {
    fail(transientStatus(status) ? BgJobState::TransientError : BgJobState::Error, BgErrorContext::RemoteFile,
         bgHttpError(static_cast<int>(status)), {});
    return Outcome::Finished;
  }
  // An empty body never reached onBody.
  if (!begun_ && !begin()) {
    if (localError_ != kSOk) fail(BgJobState::Error, BgErrorContext::LocalFile, localError_, localDetail_);
    return restart_ ? Outcome::RestartNow : Outcome::Finished;
  }
  const std::uint64_t size = offset_ + received_;
  if (total_ != kBgSizeUnknown && size != total_) {
    fd_.close();
    if (received_ > 0) return Outcome::RetryNow;
    fail(BgJobState::TransientError, BgErrorContext::RemoteFile, hresultFromWin32(12030), {});
    return Outcome::Finished;
  }
  const bool synced = ::fsync(fd_.get()) == 0;
  const bool closed = fd_.close();
  if (!synced || !closed) {
    const int error = errno;
    fail(BgJobState::Error, BgErrorContext::LocalFile, resultOfErrno(error), std::strerror(error));
    return Outcome::Finished;
  }
  finish(size);
  return Outcome::Finished;
}

// Transfers one file until it is complete, its job fails or no longer wants it.
void transferFile(const std::string& folder, const std::string& jobId, std::size_t index) {
  int restarts = 0;
  for (;;) {
    TransferJob job;
    if (!readJob(jobPath(folder, jobId), job) || index >= job.files.size()) return;
    Attempt attempt(folder, jobId, index, job.files[index]);
    const Outcome outcome = attempt.run();
    if (outcome == Outcome::Finished) return;
    if (outcome == Outcome::RestartNow && ++restarts > kRestartsPerFile) {
      TransferJob current;
      FolderLock lock(folder);
      if (lock.held() && readJob(jobPath(folder, jobId), current) && wanted(current, index, job.files[index].local)) {
        current.setError(BgJobState::TransientError, BgErrorContext::RemoteFile, bgHttpError(416),
                         static_cast<int>(index), "the server's ranges do not continue the partial file");
        current.failures += 1;
        current.retryAt = platform::nowSeconds() + retryDelay(current.failures);
        writeJob(folder, current);
      }
      return;
    }
  }
}

}  // namespace

int runTransferService(const std::string& folder) {
  HelperLock helper(folder);
  if (folder.empty() || !helper.acquire()) return 0;
  ::signal(SIGPIPE, SIG_IGN);
  // Background work gives way to the foreground.
  ::setpriority(PRIO_PROCESS, 0, 10);
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  removeStaleWrites(folder);
  for (;;) {
    std::string jobId;
    std::size_t index = 0;
    bool waiting = false;
    {
      FolderLock lock(folder);
      // A folder that has gone holds no work.
      if (!lock.held()) break;
      const std::int64_t now = platform::nowSeconds();
      for (TransferJob& job : readJobs(folder)) {
        if (job.state == BgJobState::TransientError) {
          if (now < job.retryAt) {
            waiting = true;
            continue;
          }
          job.state = BgJobState::Queued;
          writeJob(folder, job);
        }
        if (job.state != BgJobState::Queued && job.state != BgJobState::Connecting &&
            job.state != BgJobState::Transferring)
          continue;
        const auto open = std::find_if(job.files.begin(), job.files.end(), [](const TransferFile& f) { return !f.completed; });
        if (open == job.files.end()) {
          job.state = BgJobState::Transferred;
          job.clearError();
          writeJob(folder, job);
          continue;
        }
        if (jobId.empty()) {
          jobId = job.id;
          index = static_cast<std::size_t>(open - job.files.begin());
          if (job.state == BgJobState::Queued) {
            job.state = BgJobState::Connecting;
            writeJob(folder, job);
          }
        }
      }
      // Ending under the folder lock: whoever adds work after this finds the helper lock free.
      if (jobId.empty() && !waiting) {
        helper.release();
        break;
      }
    }
    if (!jobId.empty())
      transferFile(folder, jobId, index);
    else
      platform::sleepMs(kIdlePollMs);
  }
  curl_global_cleanup();
  return 0;
}

}  // namespace korvel::platform::posix
