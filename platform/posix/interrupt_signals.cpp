// SIGINT / SIGTERM as the progress window's close box, SIGWINCH as a resize notice.
#include "platform/posix/interrupt_signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace korvel::platform::posix {

namespace {

// No window: a signal ends the process. Armed: the first signal becomes a pending stop request.
// Pending: not yet taken by the UI thread. Taken: the stop is under way.
enum State : int { kNoWindow, kArmed, kPending, kTaken };

std::atomic<int> state{kNoWindow};
std::atomic<bool> resized{false};
std::atomic<bool> blockShown{false};
std::atomic<bool> stopHandlersInstalled{false};
std::atomic<bool> resizeHandlerInstalled{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handlers may only touch lock-free atomics");

void onStopSignal(int signal) {
  int expected = kArmed;
  if (state.compare_exchange_strong(expected, kPending)) return;
  if (blockShown.load()) {
    const char lineEnd = '\n';
    (void)!::write(STDERR_FILENO, &lineEnd, 1);
  }
  ::_exit(128 + signal);
}

void onResize(int) { resized.store(true); }

void install(int signal, void (*handler)(int), bool keepIgnored) {
  struct sigaction previous {};
  if (::sigaction(signal, nullptr, &previous) != 0) return;
  if (keepIgnored && previous.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = handler;
  ::sigemptyset(&action.sa_mask);
  // Reads and writes on other threads go on rather than failing with EINTR.
  action.sa_flags = SA_RESTART;
  ::sigaction(signal, &action, nullptr);
}

}  // namespace

void armInterrupts() {
  state.store(kArmed);
  if (!stopHandlersInstalled.exchange(true)) {
    install(SIGINT, onStopSignal, true);
    install(SIGTERM, onStopSignal, true);
  }
}

void disarmInterrupts() { state.store(kNoWindow); }

bool takeInterrupt() {
  int expected = kPending;
  return state.compare_exchange_strong(expected, kTaken);
}

void watchResizes() {
  if (!resizeHandlerInstalled.exchange(true)) install(SIGWINCH, onResize, false);
}

bool takeResize() { return resized.exchange(false); }

void setBlockShown(bool shown) { blockShown.store(shown); }

}  // namespace korvel::platform::posix
