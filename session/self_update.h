// The running program as the session sees it: its own command line (the access mode, the arguments a
// restart passes on, the request to copy a new copy over the old program), the registration of a
// downloaded new copy, and that copy, inline or on the copy worker.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <initializer_list>
#include <string>

#include "common/worker_thread.h"

namespace korvel {

class FileNodeServices;

class SelfUpdate {
 public:
  // `session` gives the log, the failure state and the default root the copy resolves names in.
  explicit SelfUpdate(FileNodeServices& session);
  ~SelfUpdate();
  SelfUpdate(const SelfUpdate&) = delete;
  SelfUpdate& operator=(const SelfUpdate&) = delete;

  // Reads the process's command line: "PatchPatcher <file>" starts the copy of this program over that
  // file, every other token is kept for a restart. Returns the access mode of an "inetType:<0-3>"
  // token, when there is one.
  std::optional<int> scanOwnCommandLine();
  // The running program's file name without its folder.
  const std::string& ownFileName() const { return ownFileName_; }
  // Tests: the name the running program goes by from now on (kept by later command-line scans).
  void setOwnFileName(std::string name);
  // The program a restart starts, and the arguments it is given (at most 255 characters).
  const std::string& ownProgramPath() const { return ownProgramPath_; }
  const std::string& restartArguments() const { return restartArguments_; }
  // The first call registers `newCopy` as the program to restart; when it does not contain
  // `replacedName`, the restart is told ("PatchPatcher" and the name) to copy itself over that file.
  // Later calls and a null newCopy change nothing.
  void registerSelfReplacement(const char* newCopy, const char* replacedName);
  // The first call copies sourceName over targetName (relative names lie in the base folder), on the
  // calling thread when `inlineCopy` is set, otherwise on the copy worker. Opening either file is tried
  // 26 times, 500 ms apart, unless the session fails meanwhile. Later calls change nothing.
  void startSelfCopy(const char* sourceName, const char* targetName, bool inlineCopy);
  // Lets a running copy finish (at the highest priority) and waits for it.
  void finishCopy();
  // Starts the program anew: "\"<ownProgramPath>\" <restartArguments> /multiple" (at most 510
  // characters, the program path in the system's own form), in this process's current directory.
  // True when the new process was started.
  bool startNewInstance() const;
  // Tests: stands in for the process start of startNewInstance (program, command line).
  using ProcessStarter = std::function<bool(const std::string& program, const std::string& commandLine)>;
  void setProcessStarter(ProcessStarter starter) { starter_ = std::move(starter); }

  // The running program's file name, from its path or else from its command line.
  static std::string runningFileName();

 private:
  // Appends the tokens (each quoted when it holds a blank) to the restart's arguments, all of them or,
  // when they do not fit whole in 255 characters, none (logged): a cut name would name another file.
  bool appendRestartArguments(std::initializer_list<std::string> tokens);
  void copySelf(const std::string& source, const std::string& destination);

  FileNodeServices& session_;
  std::string ownFileName_;
  bool ownFileNameFixed_ = false;
  std::string ownProgramPath_;
  std::string restartArguments_;
  bool replacementRegistered_ = false;
  std::atomic<bool> copyStarted_{false};
  WorkerThread copyWorker_;
  ProcessStarter starter_;
};

}  // namespace korvel
