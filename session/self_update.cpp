// The running program as the session sees it: its own command line (access mode, the arguments a
// restart passes on, the request to copy a new copy over the old program), the registration of a
// downloaded new copy, and the copy itself.
#include <cstdlib>
#include <cstring>
#include <functional>


#include "common/text_format.h"
#include "common/tokenizer.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/files.h"
#include "platform/process.h"
#include "session/self_update.h"
#include "manifest/session_services.h"

namespace korvel {

namespace {

constexpr std::size_t kNameCapacity = 256;
constexpr std::size_t kCopyPathCapacity = 512;
constexpr std::size_t kLineCapacity = 1024;
// The command line of a restart holds at most 510 characters.
constexpr std::size_t kRestartLineCapacity = 511;
constexpr const char* kAccessModeOption = "inetType:";
constexpr const char* kCopyKeyword = "PatchPatcher";
// Opening a file of the copy is retried this often, this far apart.
constexpr int kCopyRetries = 25;
constexpr std::uint32_t kCopyRetryMs = 500;
constexpr std::size_t kCopyBlockBytes = 512;

}  // namespace

SelfUpdate::SelfUpdate(FileNodeServices& session) : session_(session) {
  ownFileName_ = cutToCapacity(runningFileName(), kNameCapacity);
  ownProgramPath_ = ownFileName_;
}

SelfUpdate::~SelfUpdate() { finishCopy(); }

void SelfUpdate::finishCopy() {
  copyWorker_.setPriority(platform::kThreadPriorityHighest);
  copyWorker_.wait();
  copyWorker_.closeHandle();
}

std::string SelfUpdate::runningFileName() {
  std::string path = platform::programPath();
  if (!path.empty()) {
    for (char& c : path)
      if (c == '/') c = '\\';
    return path.substr(path.rfind('\\') + 1);
  }
  for (const std::string& token : Tokenizer::split(platform::commandLine().c_str(), " ")) {
    if (toLowerAscii(token).find(".exe") == std::string::npos) continue;
    const std::size_t last = token.rfind('\\');
    if (last == std::string::npos) return token;
    std::string name;
    for (std::size_t at = last + 1; at < token.size() && token[at] != '"'; ++at) name += token[at];
    return name;
  }
  return {};
}

void SelfUpdate::setOwnFileName(std::string name) {
  ownFileName_ = std::move(name);
  ownFileNameFixed_ = true;
}

std::optional<int> SelfUpdate::scanOwnCommandLine() {
  std::optional<int> accessMode;
  if (!ownFileNameFixed_) ownFileName_ = cutToCapacity(runningFileName(), kNameCapacity);
  ownProgramPath_ = ownFileName_;

  const std::string commandLine = platform::commandLine();
  std::size_t start = 0;
  const std::size_t found = ownFileName_.empty() ? std::string::npos : commandLine.find(ownFileName_);
  if (found != std::string::npos) {
    start = found + ownFileName_.size();
    if (start < commandLine.size() && commandLine[start] == '"') ++start;
    while (start < commandLine.size() && commandLine[start] == ' ') ++start;
  }

  Tokenizer tokenizer;
  const char* token = tokenizer.next(commandLine.c_str() + start, " ", true);
  for (; token; token = tokenizer.next(nullptr, " ", true)) {
    const std::string text = token;
    if (equalsIgnoreCase(text, kCopyKeyword)) {
      const char* target = tokenizer.next(nullptr, " ", true);
      if (!target) break;
      startSelfCopy(ownFileName_.c_str(), target, false);
      continue;
    }
    const std::size_t option = text.find(kAccessModeOption);
    if (option != std::string::npos && option + std::strlen(kAccessModeOption) < text.size()) {
      const int mode = std::atoi(text.c_str() + option + std::strlen(kAccessModeOption));
      if (mode >= 0 && mode <= 3) accessMode = mode;
    }
    appendRestartArguments({text});
  }
  return accessMode;
}

void SelfUpdate::registerSelfReplacement(const char* newCopy, const char* replacedName) {
  if (!newCopy || replacementRegistered_) return;
  replacementRegistered_ = true;
  ownProgramPath_ = newCopy;
  if (replacedName && !std::strstr(newCopy, replacedName)) appendRestartArguments({kCopyKeyword, replacedName});
}

bool SelfUpdate::appendRestartArguments(std::initializer_list<std::string> tokens) {
  std::string arguments = restartArguments_;
  for (const std::string& token : tokens) {
    const std::string quoted = token.find(' ') != std::string::npos ? "\"" + token + "\"" : token;
    arguments += arguments.empty() ? quoted : " " + quoted;
  }
  // A cut argument would name another file to copy over: what does not fit whole is left out.
  if (arguments.size() >= kNameCapacity) {
    session_.log(
        cutToCapacity("The restart's arguments have no room left for " + *tokens.begin() + "\n", kLineCapacity));
    return false;
  }
  restartArguments_ = std::move(arguments);
  return true;
}

void SelfUpdate::startSelfCopy(const char* sourceName, const char* targetName, bool inlineCopy) {
  if (!sourceName || !targetName) return;
  if (copyStarted_.exchange(true)) return;
  const std::string& root = session_.defaultRootPath();
  const std::string base = root.empty() ? platform::currentDirectory() : root;
  auto inBase = [&](const char* name) {
    const std::string text = name;
    return cutToCapacity(platform::isAbsolutePath(text) ? text : base + "\\" + text, kCopyPathCapacity);
  };
  const std::string source = inBase(sourceName);
  const std::string destination = inBase(targetName);
  if (inlineCopy) {
    copySelf(source, destination);
    return;
  }
  // The destructor waits for this thread, so the copy may use the session until it ends.
  copyWorker_.start([this, source, destination] {
    copySelf(source, destination);
    return 0;
  });
}

bool SelfUpdate::startNewInstance() const {
  const std::string line = boundedFormat(kRestartLineCapacity, "\"%s\" %s /multiple",
                                         platform::nativePath(ownProgramPath_).c_str(), restartArguments_.c_str());
  if (starter_) return starter_(ownProgramPath_, line);
  // A new copy arrives as a plain file; it must be runnable as the program it replaces.
  platform::makeExecutable(ownProgramPath_);
  return platform::startProcess(ownProgramPath_, line);
}

void SelfUpdate::copySelf(const std::string& source, const std::string& destination) {
  if (source == destination) return;
  platform::setFileAttributes(destination, platform::kAttributeNormal);
  session_.log(boundedFormat(kLineCapacity, "File Copy: Sourcefile = %s\n", source.c_str()));
  session_.log(boundedFormat(kLineCapacity, "File Copy: Destfile = %s\n", destination.c_str()));

  // The old instance of the program may still hold its file for a while after starting this one.
  auto retried = [&](const std::string& path, const char* failureLine, const std::function<bool()>& attempt) {
    bool done = attempt();
    for (int retries = 0; !done && retries < kCopyRetries && !session_.failedOrStopped(); ++retries) {
      platform::sleepMs(kCopyRetryMs);
      session_.log(boundedFormat(kLineCapacity, failureLine, path.c_str()));
      done = attempt();
    }
    return done;
  };

  platform::File in;
  if (!retried(source, "File Copy: Couldn't open Source File %s, trying again...\n", [&] {
        in = platform::File::open(source, "rb");
        return in.isOpen();
      }))
    return;
  // The new program is written beside the old one and renamed over it only when complete: a failure
  // at any point leaves the old program as it was. Its own name keeps it apart from the transfers'
  // temporary files, which a scan running beside the copy may sweep away.
  const std::string temporary = destination + ".new";
  platform::File out;
  if (!retried(destination, "File Copy: Couldn't open Dest File %s, trying again...\n", [&] {
        out = platform::File::open(temporary, "wb");
        return out.isOpen();
      })) {
    platform::deleteFile(temporary);
    return;
  }
  session_.log("File Copy: Success, copying file...\n");
  char block[kCopyBlockBytes];
  bool complete = true;
  for (std::size_t count = in.read(block, sizeof block); count > 0 && complete; count = in.read(block, sizeof block))
    complete = out.write(block, count) == count;
  complete = complete && !in.hadError() && out.flushToDisk();
  complete = out.close() && complete;
  in.close();
  if (!complete) {
    session_.log(boundedFormat(kLineCapacity, "File Copy: Couldn't write %s\n", temporary.c_str()));
    platform::deleteFile(temporary);
    return;
  }
  // On Windows the old program's file cannot be replaced while that instance still runs.
  if (!retried(destination, "File Copy: Couldn't open Dest File %s, trying again...\n",
               [&] { return platform::replaceFile(temporary, destination); })) {
    platform::deleteFile(temporary);
    return;
  }
  session_.log("File Copy: Complete\n");
}

}  // namespace korvel
