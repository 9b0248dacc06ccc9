// The POSIX progress window's common part: it belongs to the thread that made it, which reaches it
// from its message pumps to act on Ctrl-C / SIGTERM (the close box) and to let it redraw.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/ui.h"

namespace korvel::platform::posix {

class ConsoleWindow : public ProgressWindow {
 public:
  // Arms the interrupt handlers; the window becomes the one the pumps reach.
  explicit ConsoleWindow(Events events);
  // Disarms the handlers: a later Ctrl-C ends the process at once.
  ~ConsoleWindow() override;
  ConsoleWindow(const ConsoleWindow&) = delete;
  ConsoleWindow& operator=(const ConsoleWindow&) = delete;

  // The pumps' hook, callable from any thread; does something only on the thread that made the
  // window: a pending interrupt is delivered as the stop request (which may pump in its turn), then
  // the window may redraw.
  static void pollActive();
  // Writes someone else's line (a message box) so that it does not land inside the drawn window.
  // False when there is no window; UI thread only.
  static bool writeLineAbove(const std::string& line);

 protected:
  // The text shown once a stop has been asked for by signal.
  static constexpr const char* kStoppingText = "Stopping... (Ctrl-C again quits at once)";
  // Called from the pumps of the UI thread.
  virtual void refresh() = 0;
  // A signal asked to stop: the window says so before the stop request runs (which may take a while).
  virtual void stopping() = 0;
  virtual void writeAbove(const std::string& line) = 0;
  // Milliseconds since the window was made.
  std::int64_t elapsedMilliseconds() const;
  // Writes the bytes to standard error as they are.
  static void writeOut(const std::string& bytes);

 private:
  Events events_;
  std::thread::id owner_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace korvel::platform::posix
