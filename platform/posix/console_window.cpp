// The POSIX progress window's common part: its owning thread, the close box by signal, the pumps' hook.
#include "platform/posix/console_window.h"

#include <atomic>
#include <cstdio>
#include <utility>

#include "platform/posix/interrupt_signals.h"

namespace korvel::platform::posix {

namespace {
// Set and cleared on the UI thread. Other threads' pumps compare their thread with the owner first and
// never touch the window, which the UI thread may be destroying.
std::atomic<ConsoleWindow*> activeWindow{nullptr};
std::atomic<std::thread::id> activeOwner{};
}  // namespace

ConsoleWindow::ConsoleWindow(Events events)
    : events_(std::move(events)), owner_(std::this_thread::get_id()), started_(std::chrono::steady_clock::now()) {
  activeOwner.store(owner_);
  activeWindow.store(this);
  armInterrupts();
}

ConsoleWindow::~ConsoleWindow() {
  ConsoleWindow* self = this;
  if (activeWindow.compare_exchange_strong(self, nullptr)) {
    activeOwner.store(std::thread::id());
    disarmInterrupts();
  }
}

void ConsoleWindow::pollActive() {
  if (activeOwner.load() != std::this_thread::get_id()) return;
  ConsoleWindow* window = activeWindow.load();
  if (!window) return;
  if (takeInterrupt()) {
    window->stopping();
    if (window->events_.stopRequested) window->events_.stopRequested();
    // The stop request may have pumped until the session was idle; the window is still this one,
    // since only this thread destroys it.
  }
  if (window->events_.pumped) window->events_.pumped();
  window->refresh();
}

bool ConsoleWindow::writeLineAbove(const std::string& line) {
  if (activeOwner.load() != std::this_thread::get_id()) return false;
  ConsoleWindow* window = activeWindow.load();
  if (!window) return false;
  window->writeAbove(line);
  return true;
}

std::int64_t ConsoleWindow::elapsedMilliseconds() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count();
}

void ConsoleWindow::writeOut(const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

}  // namespace korvel::platform::posix
