// The program's entry point: builds the launcher, gives it the default options, runs the fixed
// sequence and hands off to the sibling launcher program.
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "launcher/launcher.h"
#include "platform/background_transfer.h"
#include "launcher/program_usage.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "session/patcher.h"
#include "transfer/rate_cap.h"

namespace {

// commandLine: the program's arguments without the program name. The exit code is always 0.
int runProgram(const char* commandLine) {
  using namespace korvel;
  platform::tuneMemoryAllocator();
  std::unique_ptr<Launcher> launcher;
  try {
    launcher = std::make_unique<Launcher>();
  } catch (const std::exception&) {
    return 0;
  }
  if (auto logFile = platform::environmentValue("KORVEL_PATCH_LOG"); logFile && !logFile->empty()) {
    if (Patcher* patcher = launcher->patcher()) {
      if (auto sink = FileLogSink::open(*logFile)) patcher->attachLogSink(0, std::move(sink));
    }
  }
  // A cap on the download rate, for players who share a slow line; the background stager keeps its
  // own pace.
  if (auto rate = platform::environmentValue("KORVEL_MAX_RATE"); rate && !rate->empty()) {
    if (const std::optional<std::uint64_t> cap = RateCap::parse(*rate)) {
      RateCap::shared().setLimit(*cap);
    } else {
      const std::string line = "KORVEL_MAX_RATE: \"" + rate->substr(0, 64) +
                               "\" is no rate (bytes a second, K or M after the number); the download is not capped.\n";
      std::fputs(line.c_str(), stderr);
      if (Patcher* patcher = launcher->patcher()) patcher->log(line);
    }
  }
  // The background staging of coming versions is off unless this run's environment switches it on
  // (not an option: the options travel on to the sibling program).
  if (auto trickle = platform::environmentValue("KORVEL_TRICKLE"); trickle && *trickle == "1") {
    if (Patcher* patcher = launcher->patcher()) patcher->setTrickleEnabled(true);
  }
  launcher->addOptions("/game:ryx");
  launcher->addOptions("/env:testserver");
  launcher->setSplashBitmap(platform::SplashBitmap::load());
  if (launcher->readyToRun()) {
    launcher->runSequence();
    // A new copy of the program that took over hands off in its turn: the sibling starts once.
    if (!launcher->handedOverToNewCopy()) launcher->handOff(commandLine);
    // The session's last writes (the cache, a copy of the program) happen as the launcher goes:
    // only then may another updater have the installation.
    const auto installationLock = launcher->takeInstallationLock();
    launcher.reset();
  }
  return 0;
}

}  // namespace

#if defined(_WIN32)
extern "C" int __stdcall WinMain(void* instance, void* previousInstance, char* commandLine, int showCommand) {
  korvel::platform::setModuleInstance(instance);
  return runProgram(commandLine);
}
#else
int main(int argc, char** argv) {
  // The background transfer helper is this program started with the service word.
  if (auto code = korvel::platform::runBackgroundTransferService(argc, argv)) return *code;
  // Asked what it is, the program answers and touches neither the network nor the installation.
  if (const auto answer = korvel::informationRequested(argc - 1, argv + 1)) {
    std::fputs(answer->c_str(), stdout);
    return 0;
  }
  korvel::platform::setCommandLine(argc, argv);
  const std::string arguments = korvel::platform::joinCommandLine(argc - 1, argv + 1);
  return runProgram(arguments.c_str());
}
#endif
