// The launcher's last act: starting the sibling game launcher with the accumulated options.
#include "launcher/launcher.h"

#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"

namespace korvel {

namespace {
constexpr const char* kSiblingDownloadPage = "http://www.wendrel.example/download";
}  // namespace

std::string Launcher::siblingMissingMessage() {
  return std::string("Could not run Wendrel.  Please reinstall from ") + kSiblingDownloadPage;
}

bool Launcher::startProgram(const std::string& program, const std::string& commandLine,
                            const std::string& currentDirectory) {
  return platform::startProcess(program, commandLine, currentDirectory);
}

void Launcher::showMessage(const std::string& text, const std::string& caption) { platform::messageBox(text, caption); }

bool Launcher::handOff(const char* commandLine) {
  // Without a splash bitmap the run sequence never looked for the sibling's folder.
  if (siblingDirectory_.empty()) siblingDirectory_ = findSiblingDirectory();
  const std::string path = boundedFormat(512, "%s\\%s", siblingDirectory_.c_str(), kSiblingProgram);
  if (!platform::pathExists(path)) {
    showMessage(siblingMissingMessage(), "Error");
    return true;
  }

  // The sibling starts in its own folder; this process keeps its current directory, which the
  // sibling learns through /gamepatchpath:.
  const std::string launchDirectory = cutToCapacity(platform::currentDirectory(), 257);
  addOptions(commandLine);
  if (gameCode_) addOptions(("/game:" + *gameCode_).c_str());
  // The command line carries the paths in the system's own form, so that the sibling can use them.
  const std::string patchPathOption = "\"/gamepatchpath:" + platform::nativePath(launchDirectory) + "\"";
  const std::string line = boundedFormat(1024, "\"%s\" %s %s /restarted", platform::nativePath(path).c_str(),
                                         patchPathOption.c_str(), passThroughArguments_.c_str());

  const bool started = startProgram(path, line, siblingDirectory_);
  if (!started) showMessage(siblingMissingMessage(), "Error");
  platform::sleepMs(handOffWaitMs_);
  return started;
}

}  // namespace korvel
