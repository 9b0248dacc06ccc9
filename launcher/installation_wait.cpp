// One updater per installation: the run sequence takes the installation's lock before it loads the
// manifest, and a second updater waits for it with the status line saying so.
#include "launcher/launcher.h"

#include <algorithm>

#include "common/name_rules.h"
#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "session/patcher.h"

namespace korvel {

namespace {
// Long enough for another updater to finish an ordinary update; a stop ends the wait at once.
constexpr std::uint32_t kDefaultWaitSeconds = 300;
constexpr std::uint32_t kLongestWaitSeconds = 24 * 60 * 60;
constexpr const char* kWaitingText = "Waiting for another updater to finish...";
constexpr const char* kBusyText = "Another updater is still at work; the game was not updated";
}  // namespace

std::uint32_t Launcher::installationWaitMs() {
  std::uint32_t seconds = kDefaultWaitSeconds;
  if (auto value = platform::environmentValue("KORVEL_LOCK_WAIT");
      value && !value->empty() && value->size() <= 5 && value->find_first_not_of("0123456789") == std::string::npos)
    seconds = std::min<std::uint32_t>(static_cast<std::uint32_t>(std::stoul(*value)), kLongestWaitSeconds);
  return seconds * 1000;
}

bool Launcher::awaitInstallation(const std::string& folder) {
  installationBusy_ = false;
  // The session keeps the record of the installed signed release beside the lock.
  if (Patcher* session = patcher()) session->setInstallationFolder(folder);
  std::unique_ptr<platform::InstallationLock> lock =
      platform::InstallationLock::open(folder + "\\" + kInstallationLockName);
  if (!lock) return true;
  if (lock->tryAcquire()) {
    installationLock_ = std::move(lock);
    return true;
  }

  windowFeed_.setStatus(kWaitingText);
  log(boundedFormat(1024, "%s (%s)\n", kWaitingText, folder.c_str()).c_str());
  const std::uint32_t bound = installationWaitMs();
  const std::uint32_t start = platform::tickCount();
  // The pump is where the close box (Ctrl-C, SIGTERM) arrives; the holder may let go at any moment.
  while (!lock->tryAcquire()) {
    if (stopAsked_.load()) return false;
    if (platform::tickCount() - start >= bound) {
      installationBusy_ = true;
      windowFeed_.setStatus(kBusyText);
      log(boundedFormat(1024, "%s (%s)\n", kBusyText, folder.c_str()).c_str());
      return false;
    }
    pumpMessages();
  }
  installationLock_ = std::move(lock);
  windowFeed_.setStatus("");
  return !stopAsked_.load();
}

}  // namespace korvel
