// Ctrl-C, SIGTERM and terminal resizes for the POSIX progress window. The handlers only set flags;
// the UI thread takes them from its pumps. While a window is armed the first SIGINT or SIGTERM is a
// stop request; any later one, or one that arrives while no window is armed, ends the process at once
// with 128 + the signal's number. A signal the process was started with ignored stays ignored.
#pragma once

namespace korvel::platform::posix {

// Installs the SIGINT and SIGTERM handlers (once per process) and arms them for a new window.
void armInterrupts();
// The window is gone: from now on a SIGINT or SIGTERM ends the process at once.
void disarmInterrupts();
// True once for the first signal after arming: the caller acts on it as the stop request.
bool takeInterrupt();

// Installs the SIGWINCH handler (once per process).
void watchResizes();
// True once after each change of the terminal's size.
bool takeResize();

// Whether the terminal's cursor stands at the end of a drawn progress block; a process ended by a
// second signal then writes a line end first, so that the shell's prompt starts on a line of its own.
void setBlockShown(bool shown);

}  // namespace korvel::platform::posix
