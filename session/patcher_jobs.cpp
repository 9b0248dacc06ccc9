// The session's job machinery: opening a manifest, handing load, scan and update jobs to the worker,
// the worker's dispatch on the job kind, and the message-pumping wait for it.
#include <cstring>
#include <exception>
#include <new>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "session/patcher.h"
#include "common/result_codes.h"
#include "common/xml_property.h"
#include "transfer/download_requests.h"

namespace korvel {

namespace {

// A login field: a length below 1 takes the argument as a C string, otherwise at most that many bytes
// (a terminating zero inside them ends the text early, so nothing past the caller's text is read).
std::string loginText(const char* text, int length) {
  if (length < 1) return text;
  std::size_t size = 0;
  while (size < static_cast<std::size_t>(length) && text[size] != '\0') ++size;
  return std::string(text, size);
}

const char* namesOrNull(const std::string& names) { return names.empty() ? nullptr : names.c_str(); }

bool namesTooLong(const char* names) {
  return names && std::strlen(names) >= WorkerJob::kNamesCapacity;
}

}  // namespace

bool Patcher::openRemoteManifestWithLogin(const char* server, int port, const char* path, const char* user,
                                          const char* password, std::uint32_t flags, int userLength,
                                          int passwordLength) {
  std::optional<std::string> loginUser, loginPassword;
  if (user) loginUser = loginText(user, userLength);
  if (password) loginPassword = loginText(password, passwordLength);
  downloads_->setCredentials(std::move(loginUser), std::move(loginPassword));
  return openRemoteManifest(server, port, path, flags);
}

bool Patcher::openRemoteManifest(const char* server, int port, const char* path, std::uint32_t flags) {
  server_ = server ? server : "";
  port_ = port;
  // A text that names no server of the list's form is taken as the one host it names, so that its
  // requests fail where they always did (at the connection).
  std::vector<ServerAddress> list = parseServerList(server_, port).servers;
  if (list.empty() && !server_.empty()) list.push_back(ServerAddress{"http", server_, port});
  downloads_->servers().setServers(std::move(list));
  manifestPath_ = path ? path : "";
  m_xmlInfo.reset();
  return startLoadJob(flags);
}

bool Patcher::openLocalManifest(const char* path, std::uint32_t flags) {
  server_.clear();
  port_ = 0;
  downloads_->servers().setServers({});
  manifestPath_ = path ? path : "";
  m_xmlInfo.reset();
  if (path) m_xmlInfo = parseXmlFile(platform::nativePath(path).c_str());
  if (!m_xmlInfo) {
    reportError(result::kInitializationFailed, "Error initializing patcher.\n");
    return false;
  }
  return startLoadJob(flags);
}

bool Patcher::startLoadJob(std::uint32_t flags) {
  scanOwnCommandLine();
  manifestLoaded_.store(false);
  stopRequested_.store(false);
  failedOrStopped_.store(false);
  if (loading_.exchange(true)) return true;

  log("Checking Old Handles...\n");
  // A scan or update still on the worker walks the product list that is about to be replaced.
  waitForWorker(100);
  worker_.closeHandle();
  resetProductList();

  job_ = WorkerJob{this, WorkerJob::kLoad, std::string(), flags};
  log("Creating Thread...\n");
  if (!runJob()) {
    // Without this the pending mark would refuse every later load.
    loading_.store(false);
    return true;
  }
  log("Done with Thread Creation Routine...\n");
  if (flags & kWaitFlag) {
    waitForWorker(10);
    return manifestLoaded_.load();
  }
  return true;
}

bool Patcher::startScan(const char* names, std::uint32_t flags) {
  if (namesTooLong(names)) return false;
  waitForWorker(100);
  if (!manifestLoaded_.load()) return false;
  worker_.closeHandle();
  job_ = WorkerJob{this, WorkerJob::kScan, names ? names : "", flags};
  if (!runJob()) {
    reportError(result::kScanNotStarted, "Initial scan could not execute.\n");
    return false;
  }
  if (flags & kWaitFlag) waitForWorker(10);
  return true;
}

bool Patcher::update(const char* names, std::uint32_t flags) {
  if (namesTooLong(names)) return false;
  if (!manifestLoaded_.load()) return false;
  // A refused update must leave the running one as it is, a stop already asked of it included.
  if (updateRunning_.exchange(true)) return false;
  failedOrStopped_.store(false);
  stopRequested_.store(false);

  // A scan still on the worker must finish before its job is replaced.
  waitForWorker(100);
  worker_.closeHandle();
  job_ = WorkerJob{this, WorkerJob::kScanAndDownload, std::string(), flags};
  if (names && *names) {
    selectDistributions(names, true);
    job_.names = names;
  }
  if (!runJob()) {
    updateRunning_.store(false);
    return false;
  }
  if (flags & kWaitFlag) waitForWorker(10);
  return true;
}

bool Patcher::fileChecked() {
  if (filesTotal_ <= 0) return false;
  ++filesChecked_;
  if (client_) {
    client_->progressPosition(
        static_cast<int>(static_cast<std::int64_t>(filesChecked_) * 100 / filesTotal_), 0);
  }
  return true;
}

void Patcher::recountTotals() {
  const std::int64_t toUpdate = updateAmount(nullptr, 0);
  downloads_->setTotals(totalDownloadBytes(nullptr, 0x800), toUpdate);
}

bool Patcher::runJob() {
  setWorkerBusy(true);
  bool started = false;
  try {
    // The worker gets its own copy of the job, so the UI thread may fill the next one at any time.
    started = worker_.start([this, job = job_] { return workerMain(job); });
  } catch (const std::exception&) {
    started = false;
  }
  if (!started) setWorkerBusy(false);
  return started;
}

void Patcher::waitForWorker(unsigned stepMs) {
  while (workerBusy_.load()) {
    for (int handled = 0; handled < 5 && platform::dispatchWaitingMessage(); ++handled) {
    }
    platform::sleepMs(stepMs);
  }
}

int Patcher::workerMain(const WorkerJob& job) {
  log("Thread Start\n");
  const char* names = namesOrNull(job.names);
  bool succeeded = false;
  // Memory that cannot be had ends the job with 40, never the program.
  try {
    switch (job.kind) {
      case WorkerJob::kLoad:
        succeeded = loadJob(job);
        loading_.store(false);
        break;
      case WorkerJob::kScanAndDownload:
        writeCount_.fetch_add(1);
        if (countFiles(names, 0x80) == 0) {
          succeeded = downloadPass(names);
        } else {
          if (client_) client_->scanStarted();
          succeeded = scanPass(names, job.flags);
          if (failedOrStopped_.load()) {
            updateRunning_.store(false);
          } else {
            succeeded = downloadPass(names);
          }
        }
        break;
      case WorkerJob::kScan:
        writeCount_.fetch_add(1);
        succeeded = scanPass(names, job.flags);
        break;
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    loading_.store(false);
    updateRunning_.store(false);
    reportError(result::kMemoryFailed, "Out of memory\n");
    succeeded = false;
  }
  log("Thread Finish\n");
  // Last touch of this object: the UI thread may destroy the session as soon as it sees the worker idle.
  setWorkerBusy(false);
  return succeeded ? 1 : 0;
}

void Patcher::setWorkerBusy(bool busy) {
  if (exitAfterJob_.load()) {
    savePatchCache();
    platform::exitProcess(0);
  }
  workerBusy_.store(busy);
}

}  // namespace korvel
