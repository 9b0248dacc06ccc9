// A child program for the tests, on a pipe or a pseudo-terminal.
#include "tests/support/posix/child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace korvel::test {

namespace {

std::vector<std::string> childEnvironment(const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> out;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (changes.count(name) == 0) out.push_back(text);
  }
  for (const auto& [name, value] : changes)
    if (value) out.push_back(name + "=" + *value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

ChildProgram::ChildProgram(const Options& options) {
  std::vector<std::string> argumentTexts{options.program};
  argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> environmentTexts = childEnvironment(options.environment);
  std::vector<char*> argv = pointers(argumentTexts);
  std::vector<char*> envp = pointers(environmentTexts);

  int outputPipe[2];
  if (::pipe2(outputPipe, O_CLOEXEC) != 0) return;
  int errorRead = -1, errorWrite = -1;
  std::string terminalName;
  if (options.terminal) {
    errorRead = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (errorRead < 0 || ::grantpt(errorRead) != 0 || ::unlockpt(errorRead) != 0) return;
    terminalName = ::ptsname(errorRead);
    winsize size{};
    size.ws_col = static_cast<unsigned short>(options.columns);
    size.ws_row = static_cast<unsigned short>(options.rows);
    ::ioctl(errorRead, TIOCSWINSZ, &size);
  } else {
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) return;
    errorRead = errorPipe[0];
    errorWrite = errorPipe[1];
  }

  // Only async-signal-safe calls between fork and exec: the test process has threads.
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (options.terminal) {
      ::setsid();
      errorWrite = ::open(terminalName.c_str(), O_RDWR);
      if (errorWrite < 0) ::_exit(127);
      ::ioctl(errorWrite, TIOCSCTTY, 0);
      ::dup2(errorWrite, STDIN_FILENO);
    } else {
      const int nothing = ::open("/dev/null", O_RDONLY);
      if (nothing >= 0) ::dup2(nothing, STDIN_FILENO);
    }
    ::dup2(outputPipe[1], STDOUT_FILENO);
    ::dup2(errorWrite, STDERR_FILENO);
    // The test may have Ctrl-C blocked or ignored; the child starts as a shell would start it.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    if (!options.directory.empty() && ::chdir(options.directory.c_str()) != 0) ::_exit(127);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(outputPipe[1]);
  if (errorWrite >= 0) ::close(errorWrite);
  if (pid < 0) {
    ::close(outputPipe[0]);
    ::close(errorRead);
    return;
  }
  pid_ = pid;
  errorFd_ = errorRead;
  outputFd_ = outputPipe[0];
  errorReader_ = std::thread([this] { readAll(errorFd_, error_); });
  outputReader_ = std::thread([this] { readAll(outputFd_, output_); });
}

ChildProgram::~ChildProgram() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(10));
  }
  // The readers end at the end of their input; a terminal's master side reports that as an error
  // once every process holding its other side is gone.
  if (errorReader_.joinable()) errorReader_.join();
  if (outputReader_.joinable()) outputReader_.join();
  if (errorFd_ >= 0) ::close(errorFd_);
  if (outputFd_ >= 0) ::close(outputFd_);
}

void ChildProgram::readAll(int descriptor, std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      readersDone_.fetch_add(1);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    into.append(buffer, static_cast<std::size_t>(count));
  }
}

std::string ChildProgram::standardError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

std::string ChildProgram::standardOutput() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

bool ChildProgram::waitForError(const std::function<bool(const std::string&)>& ready,
                                std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (ready(standardError())) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ChildProgram::signal(int number) const {
  if (pid_ > 0) ::kill(pid_, number);
}

void ChildProgram::resize(int columns, int rows) const {
  winsize size{};
  size.ws_col = static_cast<unsigned short>(columns);
  size.ws_row = static_cast<unsigned short>(rows);
  ::ioctl(errorFd_, TIOCSWINSZ, &size);
}

std::optional<int> ChildProgram::wait(std::chrono::milliseconds limit) {
  if (status_ || pid_ <= 0) return status_;
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      // What the program wrote last may still be on its way through the pipe or terminal: the readers
      // get a moment to take it (longer only when a process it started still holds them open).
      const auto drained = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (readersDone_.load() < 2 && std::chrono::steady_clock::now() < drained)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return status_;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace korvel::test
