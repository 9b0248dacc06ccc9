// POSIX processes: the program's own path and command line, starting programs, thread priorities.
#include "platform/process.h"

#include <cstdio>

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <vector>

#include "platform/files.h"
#include "platform/posix/unique_fd.h"

extern char** environ;

namespace korvel::platform {

namespace {
std::mutex commandLineMutex;
std::string recordedCommandLine;

// Splits a Windows-style command line into arguments: blanks separate, double quotes group, and
// backslashes before a quote escape it as the C runtime reads argv.
std::vector<std::string> splitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      char c = line[i];
      if (c == '\\') {
        std::size_t slashes = 0;
        while (i < n && line[i] == '\\') ++slashes, ++i;
        if (i < n && line[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && (c == ' ' || c == '\t')) break;
      arg += c;
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}
}  // namespace

void tuneMemoryAllocator() {
  // A second thread would get its own arena, which grows one page at a time (a system call per
  // page); the main heap grows by the top pad. Without fast bins, freeing a tree merges each block
  // as it goes instead of sweeping them all when a large block is freed. Each setting is a hint:
  // a C library that refuses one runs as before. A program linked with mimalloc (the default POSIX
  // build) takes its heap from that library instead, and these settings then go unused.
  constexpr int kTopPadBytes = 64 << 20;
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_TOP_PAD, kTopPadBytes);
  mallopt(M_MXFAST, 0);
}

void exitProcess(int code) {
  std::fflush(nullptr);
  ::_exit(code);
}

std::string programPath() {
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return {};
  std::string path(buffer.data(), static_cast<std::size_t>(length));
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string commandLine() {
  std::lock_guard<std::mutex> lock(commandLineMutex);
  return recordedCommandLine;
}

void setCommandLine(int argc, const char* const* argv) {
  std::lock_guard<std::mutex> lock(commandLineMutex);
  recordedCommandLine = joinCommandLine(argc, argv);
}

bool startProcess(const std::string& program, const std::string& commandLine, const std::string& currentDirectory) {
  std::vector<std::string> args = splitCommandLine(commandLine);
  if (args.empty()) args.push_back(program);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::string native = nativePath(program);

  // A double fork leaves no zombie behind and does not make the caller wait for the child.
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return false;
  posix::UniqueFd readEnd(pipeFds[0]);
  posix::UniqueFd writeEnd(pipeFds[1]);
  pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    readEnd.close();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    ::fcntl(writeEnd.get(), F_SETFD, FD_CLOEXEC);
    if (currentDirectory.empty() || ::chdir(nativePath(currentDirectory).c_str()) == 0)
      ::execve(native.c_str(), argv.data(), environ);
    char failed = 1;
    [[maybe_unused]] ssize_t written = ::write(writeEnd.get(), &failed, 1);
    ::_exit(127);
  }
  // With this end gone, the read below ends once the grandchild has exec'd (closing its copy) or written.
  writeEnd.close();
  int status = 0;
  ::waitpid(child, &status, 0);
  char failed = 0;
  ssize_t n = ::read(readEnd.get(), &failed, 1);  // 0 bytes: exec succeeded and closed the pipe
  readEnd.close();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

bool setThreadPriority(std::thread& thread, int priority) {
  if (!thread.joinable()) return false;
  // Ordinary users cannot raise a thread above the default policy; only normal priority is applied.
  if (priority > kThreadPriorityNormal) return false;
  sched_param param{};
  return ::pthread_setschedparam(thread.native_handle(), SCHED_OTHER, &param) == 0;
}

}  // namespace korvel::platform
