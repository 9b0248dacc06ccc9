// The patch session object: construction, stopping, the running program's side of the session, and
// the figures the front end reads.
#include "session/patcher.h"

#include <algorithm>

#include "common/text_format.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/patch_cache.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/http.h"
#include "transfer/download_requests.h"
#include "transfer/progress_rates.h"

namespace korvel {

namespace {

// Files in flight at once during a download pass, unless KORVEL_CONNECTIONS says otherwise.
constexpr int kDefaultConnections = 8;

// The files a download pass keeps in flight at once: KORVEL_CONNECTIONS clamped to 1 ..
// platform::kMaxConnectionsPerServer; 8 when it is unset or not a number.
int connectionsFromEnvironment() {
  const std::optional<std::string> value = platform::environmentValue("KORVEL_CONNECTIONS");
  if (!value || value->empty() || value->size() > 4 || value->find_first_not_of("0123456789") != std::string::npos)
    return kDefaultConnections;
  return std::clamp(std::stoi(*value), 1, platform::kMaxConnectionsPerServer);
}

}  // namespace

Patcher::Patcher(SessionClient* client)
    : reports_(client),
      state_(cutToCapacity(platform::currentDirectory(), 256)),
      statistics_(std::make_unique<ProgressRates>()),
      downloads_(std::make_unique<DownloadRequests>(transferReports_, *statistics_)),
      patchCache_(std::make_unique<PatchCache>()),
      directorySnapshot_(std::make_unique<DirectorySnapshot>()) {
  downloads_->setConnections(connectionsFromEnvironment());
}

// The document goes with the other members, once the worker that reads it has ended. The log channels
// close before the product tree goes, so nothing of its destruction is logged.
Patcher::~Patcher() {
  worker_.wait();
  worker_.closeHandle();
  selfUpdate_.finishCopy();
  reports_.detachLogSinks();
}

void Patcher::stop() {
  state_.stopRequested.store(true);
  state_.failedOrStopped.store(true);
  downloads_->stopAhead();
}

void Patcher::noteInstallationCurrent() {
  if (state_.manifestLoaded.load() && !isBusy() && !state_.failedOrStopped.load()) release_.remember();
}

void Patcher::scanOwnCommandLine() {
  if (const std::optional<int> mode = selfUpdate_.scanOwnCommandLine()) state_.accessMode = *mode;
}

bool Patcher::restartProgram(bool exitAfter) {
  stop();
  const bool started = selfUpdate_.startNewInstance();
  if (exitAfter) exitAfterJob_.store(true);
  return started;
}

}  // namespace korvel
