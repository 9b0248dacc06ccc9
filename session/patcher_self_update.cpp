// The session's side of the running program's replacement: its names and command line, the restart,
// and the self copies the file nodes ask for (the work itself is SelfUpdate's).
#include <string>

#include "platform/process.h"
#include "session/patcher.h"
#include "session/self_update.h"

namespace korvel {

void Patcher::scanOwnCommandLine() {
  if (const std::optional<int> mode = selfUpdate_->scanOwnCommandLine()) accessMode_ = *mode;
}

void Patcher::setOwnFileName(std::string name) { selfUpdate_->setOwnFileName(std::move(name)); }

const std::string& Patcher::ownFileName() const { return selfUpdate_->ownFileName(); }

const std::string& Patcher::ownProgramPath() const { return selfUpdate_->ownProgramPath(); }

const std::string& Patcher::restartArguments() const { return selfUpdate_->restartArguments(); }

bool Patcher::restartProgram(bool exitAfter) {
  stop();
  const bool started = selfUpdate_->startNewInstance();
  if (exitAfter) exitAfterJob_.store(true);
  return started;
}

void Patcher::registerSelfReplacement(const char* newCopy, const char* replacedName) {
  selfUpdate_->registerSelfReplacement(newCopy, replacedName);
}

void Patcher::startSelfCopy(const char* sourceName, const char* targetName, bool inlineCopy) {
  writeCount_.fetch_add(1);
  selfUpdate_->startSelfCopy(sourceName, targetName, inlineCopy);
}

}  // namespace korvel
