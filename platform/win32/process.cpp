// Win32 processes: GetModuleFileNameA, GetCommandLineA, CreateProcessA and SetThreadPriority.
#include "platform/process.h"

#include <cstdio>

#include <pthread.h>

#include <mutex>
#include <optional>
#include <vector>

#include "platform/win32/windows_prelude.h"

namespace korvel::platform {

void tuneMemoryAllocator() {}

void exitProcess(int code) {
  std::fflush(nullptr);
  ::ExitProcess(static_cast<UINT>(code));
}

namespace {
// The program path buffer: at most 2047 characters and the terminator.
constexpr DWORD kProgramPathCapacity = 2048;
}  // namespace

std::string programPath() {
  std::vector<char> buffer(kProgramPathCapacity, '\0');
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), kProgramPathCapacity);
  // A path that filled the whole buffer was cut, and a cut path names some other file.
  if (length == 0 || length >= kProgramPathCapacity) return {};
  return std::string(buffer.data(), length);
}

namespace {
std::mutex recordedMutex;
std::optional<std::string> recordedCommandLine;
}  // namespace

std::string commandLine() {
  {
    std::lock_guard<std::mutex> lock(recordedMutex);
    if (recordedCommandLine) return *recordedCommandLine;
  }
  const char* line = ::GetCommandLineA();
  return line ? std::string(line) : std::string();
}

void setCommandLine(int argc, const char* const* argv) {
  std::lock_guard<std::mutex> lock(recordedMutex);
  if (argc <= 0 || !argv)
    recordedCommandLine.reset();
  else
    recordedCommandLine = joinCommandLine(argc, argv);
}

bool startProcess(const std::string& program, const std::string& commandLine, const std::string& currentDirectory) {
  // CreateProcessA may write into the command line, so it gets a private copy.
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
#if !defined(_WIN64)
  static_assert(sizeof(STARTUPINFOA) == 68, "the 32-bit program passes a 68-byte STARTUPINFO");
#endif
  PROCESS_INFORMATION info{};
  const BOOL started = ::CreateProcessA(program.empty() ? nullptr : program.c_str(), line.data(), nullptr, nullptr,
                                        FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                                        currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &info);
  if (!started) return false;
  win32::ScopedKernelHandle process(info.hProcess);
  win32::ScopedKernelHandle thread(info.hThread);
  return true;
}

bool setThreadPriority(std::thread& thread, int priority) {
  if (!thread.joinable()) return false;
  // std::thread of the posix thread model is a winpthreads thread; this gives its Win32 handle.
  HANDLE handle = static_cast<HANDLE>(pthread_gethandle(thread.native_handle()));
  return handle != nullptr && ::SetThreadPriority(handle, priority) != 0;
}

}  // namespace korvel::platform
