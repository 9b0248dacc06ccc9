// The POSIX progress window's common part: its owning thread, the close box by signal, the pumps' hook.
#include "platform/posix/console_window.h"

#include <atomic>
#include <cstdio>
#include <utility>

#include "platform/posix/interrupt_signals.h"

namespace korvel::platform::posix {

namespace {
// Set and cleared on the UI thread; the worker's pumps read it only to compare their thread with its owner.
std::atomic<ConsoleWindow*> activeWindow{nullptr};
}  // namespace

ConsoleWindow::ConsoleWindow(Events events)
    : events_(std::move(events)), owner_(std::this_thread::get_id()), started_(std::chrono::steady_clock::now()) {
  activeWindow.store(this);
  armInterrupts();
}

ConsoleWindow::~ConsoleWindow() {
  ConsoleWindow* self = this;
  if (activeWindow.compare_exchange_strong(self, nullptr)) disarmInterrupts();
}

void ConsoleWindow::pollActive() {
  ConsoleWindow* window = activeWindow.load();
  if (!window || window->owner_ != std::this_thread::get_id()) return;
  if (takeInterrupt()) {
    window->stopping();
    if (window->events_.stopRequested) window->events_.stopRequested();
    // The stop request may have pumped until the session was idle; the window is still this one,
    // since only this thread destroys it.
  }
  window->refresh();
}

bool ConsoleWindow::writeLineAbove(const std::string& line) {
  ConsoleWindow* window = activeWindow.load();
  if (!window || window->owner_ != std::this_thread::get_id()) return false;
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
