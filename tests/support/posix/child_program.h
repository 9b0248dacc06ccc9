// A program run as a child process by a test: its standard error read through a pipe or through a
// pseudo-terminal of a chosen size (standard output always through a pipe), signals and terminal
// resizes sent to it, and its end awaited with a time limit. POSIX only.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvel::test {

class ChildProgram {
 public:
  struct Options {
    std::string program;  // the system's path
    std::vector<std::string> arguments;
    std::string directory;  // the child's current directory (the system's path); empty: the test's
    // Variables set (a value) or removed (nothing) in the child's copy of the test's environment.
    std::map<std::string, std::optional<std::string>> environment;
    bool terminal = false;  // standard error (and input) on a pseudo-terminal instead of a pipe
    int columns = 80;
    int rows = 24;
  };

  // Starts the child; started() says whether that worked.
  explicit ChildProgram(const Options& options);
  // Kills a child that is still running and waits for it.
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  bool started() const { return pid_ > 0; }
  // Everything the child wrote so far.
  std::string standardError() const;
  std::string standardOutput() const;
  // Waits until `ready` holds for the standard error written so far; false when the time ran out.
  bool waitForError(const std::function<bool(const std::string&)>& ready, std::chrono::milliseconds limit) const;

  void signal(int number) const;
  // Gives the pseudo-terminal a new size; the child learns it by SIGWINCH.
  void resize(int columns, int rows) const;

  // The exit status, 128 + the signal's number when a signal ended it, or nothing when it has not
  // ended within the limit.
  std::optional<int> wait(std::chrono::milliseconds limit);

 private:
  void readAll(int descriptor, std::string& into);

  int pid_ = -1;
  int errorFd_ = -1;  // the pipe's reading end or the terminal's master side
  int outputFd_ = -1;
  std::optional<int> status_;
  mutable std::mutex mutex_;
  std::string error_;
  std::string output_;
  std::thread errorReader_;
  std::thread outputReader_;
  // How many of the two readers have reached the end of their input.
  std::atomic<int> readersDone_{0};
};

}  // namespace korvel::test
