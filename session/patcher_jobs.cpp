// The session's job machinery: opening a manifest, handing load, scan and update jobs to the worker,
// the worker's dispatch on the job kind, and the message-pumping wait for it.
//
//   openRemoteManifest / openLocalManifest --> kLoad: ManifestLoad (--> ScanJob::rescan)
//   startScan ------------------------------> kScan: ScanJob
//   update ---------------------------------> kScanAndDownload: ScanJob (when files are unscanned),
//                                             then DownloadPass unless the session failed or stopped
// Every job ends with the worker idle; a restart that asked for it exits the process there.
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
  state_.server = server ? server : "";
  state_.port = port;
  // A text that names no server of the list's form is taken as the one host it names, so that its
  // requests fail where they always did (at the connection).
  std::vector<ServerAddress> list = parseServerList(state_.server, port).servers;
  if (list.empty() && !state_.server.empty()) list.push_back(ServerAddress{"http", state_.server, port});
  downloads_->servers().setServers(std::move(list));
  state_.manifestPath = path ? path : "";
  manifestDocument_.reset();
  return startLoadJob(flags);
}

bool Patcher::openLocalManifest(const char* path, std::uint32_t flags) {
  state_.server.clear();
  state_.port = 0;
  downloads_->servers().setServers({});
  state_.manifestPath = path ? path : "";
  manifestDocument_.reset();
  if (path) manifestDocument_ = parseXmlFile(platform::nativePath(path).c_str());
  if (!manifestDocument_) {
    reports_.reportError(result::kInitializationFailed, "Error initializing patcher.\n");
    return false;
  }
  return startLoadJob(flags);
}

bool Patcher::startLoadJob(std::uint32_t flags) {
  scanOwnCommandLine();
  state_.manifestLoaded.store(false);
  state_.stopRequested.store(false);
  state_.failedOrStopped.store(false);
  if (state_.loading.exchange(true)) return true;

  reports_.log("Checking Old Handles...\n");
  // A scan or update still on the worker walks the product list that is about to be replaced.
  waitForWorker(100);
  worker_.closeHandle();
  products_.clear();

  job_ = WorkerJob{this, WorkerJob::kLoad, std::string(), flags};
  reports_.log("Creating Thread...\n");
  if (!runJob()) {
    // Without this the pending mark would refuse every later load.
    state_.loading.store(false);
    return true;
  }
  reports_.log("Done with Thread Creation Routine...\n");
  if (flags & kWaitFlag) {
    waitForWorker(10);
    return state_.manifestLoaded.load();
  }
  return true;
}

bool Patcher::startScan(const char* names, std::uint32_t flags) {
  if (namesTooLong(names)) return false;
  waitForWorker(100);
  if (!state_.manifestLoaded.load()) return false;
  worker_.closeHandle();
  job_ = WorkerJob{this, WorkerJob::kScan, names ? names : "", flags};
  if (!runJob()) {
    reports_.reportError(result::kScanNotStarted, "Initial scan could not execute.\n");
    return false;
  }
  if (flags & kWaitFlag) waitForWorker(10);
  return true;
}

bool Patcher::update(const char* names, std::uint32_t flags) {
  if (namesTooLong(names)) return false;
  if (!state_.manifestLoaded.load()) return false;
  // A refused update must leave the running one as it is, a stop already asked of it included.
  if (state_.updateRunning.exchange(true)) return false;
  state_.failedOrStopped.store(false);
  state_.stopRequested.store(false);

  // A scan still on the worker must finish before its job is replaced.
  waitForWorker(100);
  worker_.closeHandle();
  job_ = WorkerJob{this, WorkerJob::kScanAndDownload, std::string(), flags};
  if (names && *names) {
    walks_.selectDistributions(names, true);
    job_.names = names;
  }
  if (!runJob()) {
    state_.updateRunning.store(false);
    return false;
  }
  if (flags & kWaitFlag) waitForWorker(10);
  return true;
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
  reports_.log("Thread Start\n");
  const char* names = namesOrNull(job.names);
  bool succeeded = false;
  // Memory that cannot be had ends the job with 40, never the program.
  try {
    switch (job.kind) {
      case WorkerJob::kLoad:
        succeeded = load_.run(names, job.flags);
        state_.loading.store(false);
        break;
      case WorkerJob::kScanAndDownload:
        state_.writeCount.fetch_add(1);
        if (walks_.countFiles(names, 0x80) == 0) {
          succeeded = downloadPass_.run(names);
        } else {
          if (SessionClient* client = reports_.client()) client->scanStarted();
          succeeded = scan_.run(names, job.flags);
          if (state_.failedOrStopped.load()) {
            state_.updateRunning.store(false);
          } else {
            succeeded = downloadPass_.run(names);
          }
        }
        break;
      case WorkerJob::kScan:
        state_.writeCount.fetch_add(1);
        succeeded = scan_.run(names, job.flags);
        break;
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    state_.loading.store(false);
    state_.updateRunning.store(false);
    reports_.reportError(result::kMemoryFailed, "Out of memory\n");
    succeeded = false;
  }
  reports_.log("Thread Finish\n");
  // Last touch of this object: the UI thread may destroy the session as soon as it sees the worker idle.
  setWorkerBusy(false);
  return succeeded ? 1 : 0;
}

void Patcher::setWorkerBusy(bool busy) {
  if (exitAfterJob_.load()) {
    scan_.savePatchCache();
    platform::exitProcess(0);
  }
  workerBusy_.store(busy);
}

}  // namespace korvel
