// The launcher: option accumulation, message pumping, the progress window's notifications and the
// fixed run sequence of the program.
#include "launcher/launcher.h"

#include <atomic>
#include <cstdio>
#include <string_view>

#include "launcher/install_location.h"
#include "common/text_format.h"
#include "common/tokenizer.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "session/patcher.h"
#include "transfer/progress_rates.h"

#ifndef KORVEL_DEFAULT_PATCH_HOST
#define KORVEL_DEFAULT_PATCH_HOST "localhost"
#endif

namespace korvel {

namespace {
std::atomic<Launcher*> currentLauncher{nullptr};
constexpr std::uint32_t kWaitFlag = Patcher::kWaitFlag;
// The file notice a download request gives once a tracked file is complete in its place.
constexpr int kNoticeDownloadComplete = 100;
// A refused entry of the server list is named in a line of at most this many characters.
constexpr std::size_t kRefusedEntryCapacity = 512;
// Delta data is fetched under the name of the file it patches with this ending.
constexpr std::string_view kDeltaSuffix = "_delta";
}  // namespace

PatchServers defaultPatchServers() {
  PatchServers result;
  if (auto value = platform::environmentValue("KORVEL_PATCH_SERVER")) {
    ServerList list = parseServerList(*value, PatchServers::kDefaultPort);
    result.refused = std::move(list.refused);
    result.servers = std::move(list.servers);
  }
  if (result.servers.empty()) result.servers = parseServerList(KORVEL_DEFAULT_PATCH_HOST, PatchServers::kDefaultPort).servers;
  return result;
}

Launcher::Launcher() {
  currentLauncher.store(this);
  messageWindow_ = platform::MessageWindow::create();
  if (!messageWindow_) platform::messageBox("CreateWindow Failed", "CreateWindow Failed");
}

Launcher::~Launcher() {
  // The session's worker may still raise notifications that land in this object's overrides.
  setFailedOrStopped(true);
  while (isBusy()) platform::sleepMs(10);
  progressWindow_.reset();
  Launcher* self = this;
  currentLauncher.compare_exchange_strong(self, nullptr);
}

Launcher* Launcher::instance() { return currentLauncher.load(); }

bool Launcher::addOptions(const char* text) {
  if (!text) return true;
  Tokenizer tokenizer;
  for (const char* token = tokenizer.next(text, " ", true); token; token = tokenizer.next(nullptr, " ", true)) {
    const std::string option = token;
    std::string folded = toLowerAscii(option);
    for (char& c : folded)
      if (c == '\\') c = '/';
    // The words a restart of this program carries ("PatchPatcher" with the file to replace, and
    // "/multiple") are this program's own business, not options for the sibling.
    if (folded == "patchpatcher") {
      tokenizer.next(nullptr, " ", true);
      continue;
    }
    if (folded == "/multiple") continue;
    if (folded.find("/game:") != std::string::npos) {
      if (option.size() > 6 && !gameCode_) {
        appendPassThrough(option + " ");
        gameCode_ = option.substr(6);
      }
    } else if (folded.find("/gamepatchpath:") != std::string::npos) {
      // This program supplies its own patch path to the sibling.
    } else if (option.find(' ') != std::string::npos) {
      appendPassThrough("\"" + option + "\" ");
    } else {
      appendPassThrough(option + " ");
    }
  }
  return true;
}

void Launcher::appendPassThrough(const std::string& option) {
  if (passThroughCut_) return;
  if (passThroughArguments_.size() + option.size() > kPassThroughCapacity - 1) {
    // Cutting between whole options keeps every option the sibling receives intact and in order.
    passThroughCut_ = true;
    return;
  }
  passThroughArguments_ += option;
}

void Launcher::setSplashBitmap(std::unique_ptr<platform::SplashBitmap> bitmap) { splashBitmap_ = std::move(bitmap); }

bool Launcher::createProgressWindow() {
  if (!splashBitmap_) return false;
  stopAsked_.store(false);
  filesUpdated_.store(0);
  expectedFinish_.store(0);
  windowFeed_.reset();
  platform::ProgressWindow::Events events;
  events.stopRequested = [this] {
    stopAsked_.store(true);
    stop(kWaitFlag);
  };
  // Every pump of the UI thread (the session's waits included) hands the window the latest status and
  // bars when they are due.
  events.pumped = [this] {
    if (progressWindow_) windowFeed_.deliver(*progressWindow_, false);
  };
  progressWindow_ = makeProgressWindow(splashBitmap_.get(), std::move(events));
  return progressWindow_ != nullptr;
}

std::unique_ptr<platform::ProgressWindow> Launcher::makeProgressWindow(const platform::SplashBitmap* bitmap,
                                                                       platform::ProgressWindow::Events events) {
  return platform::ProgressWindow::create(bitmap, std::move(events));
}

std::string Launcher::findSiblingDirectory() const {
  const std::string current = platform::currentDirectory();
  std::string directory = current;
  findInstallLocation(kSiblingProgram, directory, current, 256, "Path");
  return platform::pathExists(directory) ? directory : current;
}

std::int64_t Launcher::runSequence() {
  if (!createProgressWindow()) return -1;

  // One updater per installation: a second one waits here, then finds the work done.
  const PatchServers servers = defaultPatchServers();
  for (const std::string& entry : servers.refused) {
    const std::string line = boundedFormat(kRefusedEntryCapacity,
                                           "KORVEL_PATCH_SERVER: \"%s\" is no server ([http://|https://]host[:port]); "
                                           "it is left out.\n",
                                           entry.c_str());
    log(line.c_str());
    std::fputs(line.c_str(), stderr);
  }
  if (awaitInstallation(findSiblingDirectory()))
    openRemoteManifest(serverListText(servers.servers).c_str(), PatchServers::kDefaultPort, kManifestPath, 0);
  while (isBusy()) pumpMessages();

  siblingDirectory_ = findSiblingDirectory();
  const char* name = kSiblingDistribution;
  const char* directory = siblingDirectory_.c_str();
  selectDistributions(name, true);
  setDistributionPath(name, directory);
  const std::int64_t amount = updateAmount(name, 0);
  setDistributionPath(name, nullptr);
  selectDistributions(name, false);

  std::int64_t result = 0;
  bool upToDate = true;
  // Found current without an update (fresh from an installer, say): the release is remembered all the
  // same, so that an older one is refused from now on.
  if (amount == 0 && patcher()) patcher()->noteInstallationCurrent();
  if (amount != 0) {
    result = updateAmount(name, 0);
    selectDistributions(name, true);
    setDistributionPath(name, directory);
    // An update clears the session's stop, so one asked for during the load would be lost: the player
    // who closed the window (or whose session was stopped otherwise) gets the hand-off, not a download.
    const bool stopAsked = stopAsked_.load() || (patcher() && patcher()->stopRequested());
    if (!stopAsked && updateAmount(name, 0) != 0) update(name, kWaitFlag);
    while (isBusy()) pumpMessages();
    upToDate = updateAmount(name, 0) == 0;
  }

  platform::ProgressWindow::Summary summary;
  summary.manifestLoaded = patcher() && patcher()->manifestLoaded();
  summary.stopped = stopAsked_.load();
  summary.installationBusy = installationBusy_;
  summary.upToDate = upToDate;
  summary.filesChecked = patcher() ? patcher()->countFiles(name, 0) : 0;
  summary.filesUpdated = filesUpdated_.load();
  summary.bytesDownloaded = transferFigures().bytesDone;
  if (progressWindow_) {
    showLatest();
    progressWindow_->finish(summary);
  }
  progressWindow_.reset();
  return result;
}

platform::ProgressWindow::Transfer Launcher::transferFigures() const {
  platform::ProgressWindow::Transfer figures;
  if (Patcher* session = patcher()) {
    // The rate table's cells may be read from any thread.
    const ProgressRates& rates = session->statistics();
    figures.bytesTotal = rates.get(ProgressRates::kDownloadBytes, ProgressRates::kExpected);
    figures.bytesDone = rates.get(ProgressRates::kDownloadBytes, ProgressRates::kDone);
    const std::int64_t milliseconds = rates.get(ProgressRates::kDownloadBytes, ProgressRates::kMilliseconds);
    // As in the finish estimate, a rate counts as measured after more than a second of transfer.
    if (milliseconds > 1000) figures.bytesPerSecond = figures.bytesDone * 1000 / milliseconds;
  }
  figures.expectedFinish = expectedFinish_.load();
  return figures;
}

int Launcher::pumpMessages() {
  int handled = 0;
  while (handled < 5 && platform::messageWaiting()) {
    platform::getAndDispatchMessage();
    ++handled;
  }
  platform::sleepMs(10);
  return handled;
}

void Launcher::showLatest() {
  if (progressWindow_) windowFeed_.deliver(*progressWindow_, true);
}

bool Launcher::readyToRun() { return true; }

bool Launcher::fileNotice(const char* name, int kind) {
  if (kind == kNoticeDownloadComplete && name) {
    filesUpdated_.fetch_add(1);
    std::string file = name;
    const bool patched = file.size() > kDeltaSuffix.size() && file.ends_with(kDeltaSuffix);
    if (patched) file.resize(file.size() - kDeltaSuffix.size());
    if (progressWindow_) progressWindow_->fileUpdated(file, patched);
  }
  return PatchClient::fileNotice(name, kind);
}

bool Launcher::scanStarted() { return true; }

bool Launcher::fileStarted(const char* fileName) {
  if (fileName) windowFeed_.setStatus(fileName);
  return true;
}

bool Launcher::downloadFinished() { return true; }
bool Launcher::stopped() { return true; }

bool Launcher::restartRequested(const char* fileName, bool isOwnProgram) {
  if (isOwnProgram && patcher() && patcher()->restartProgram(false)) handedOverToNewCopy_.store(true);
  return true;
}
bool Launcher::error(int code, const char* message) { return true; }
bool Launcher::reservedSlot12(int first, int second) { return true; }
bool Launcher::timeEstimate(std::int64_t expectedFinish, std::int64_t secondsLeft) {
  expectedFinish_.store(expectedFinish);
  if (progressWindow_) progressWindow_->setTransfer(transferFigures());
  return true;
}
bool Launcher::progressRange(int maximum, int bar) { return true; }

bool Launcher::progressPosition(int position, int bar) {
  windowFeed_.setBarPosition(bar == kBarScan || bar == kBarOverall ? 0 : 1, position);
  if (bar == kBarOverall && progressWindow_) progressWindow_->setTransfer(transferFigures());
  return true;
}

}  // namespace korvel
