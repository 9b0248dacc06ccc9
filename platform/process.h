// The running program and other processes: own path, own command line, starting programs, thread priority.
#pragma once

#include <string>
#include <thread>

namespace korvel::platform {

// GetModuleFileName of the running executable, with '\' separators; empty when it cannot be read.
std::string programPath();

// GetCommandLine: the whole command line, program name included, as Windows gives it. On POSIX it is
// rebuilt from argv by setCommandLine (arguments with blanks are put in double quotes).
std::string commandLine();

// Records the command line rebuilt from main's argv; POSIX's entry point calls it. On Win32 the
// system keeps the real one and the entry point does not call this; a recorded line (tests) replaces
// it in commandLine() until setCommandLine(0, nullptr) drops it again.
void setCommandLine(int argc, const char* const* argv);

// Rebuilds a Windows-style command line from argv: each argument that contains a blank (or is empty)
// is put in double quotes; arguments are joined with one blank.
std::string joinCommandLine(int argc, const char* const* argv);

// CreateProcess(program, commandLine, ..., NORMAL_PRIORITY_CLASS, inherited environment,
// currentDirectory or the caller's when empty); the process and thread handles are closed at once.
// On POSIX the command line is split back into arguments by the Windows rules. True when started.
bool startProcess(const std::string& program, const std::string& commandLine,
                  const std::string& currentDirectory = {});

// Ends the process at once with `code` (ExitProcess; _exit on POSIX) after flushing the C streams:
// no destructor runs and no other thread is waited for.
[[noreturn]] void exitProcess(int code);

// Sets up the heap for a run that builds and drops large trees of small objects (a manifest of
// 100,000 files is several hundred thousand allocations) from a worker thread: on POSIX every
// thread allocates from the one main heap, which grows in large steps, and freed small blocks are
// merged at once instead of piling up for a later sweep. Windows' own heap needs nothing; there it
// does nothing. Called once at the start, before any thread.
void tuneMemoryAllocator();

// Thread priorities as Windows numbers them.
inline constexpr int kThreadPriorityNormal = 0;
inline constexpr int kThreadPriorityHighest = 2;

// SetThreadPriority on a running std::thread; false when it could not be applied. POSIX threads of an
// ordinary user cannot be raised, so there it is a request that may be refused without harm.
bool setThreadPriority(std::thread& thread, int priority);

}  // namespace korvel::platform
