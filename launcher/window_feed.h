// What the session's threads want the progress window to show, handed to the window on the UI thread
// at a reader's pace: the status line and the two bars take the latest value they were given, at most
// about twenty times a second however many files go by, and a value the window shows already is not
// sent again. Under Wine every call into the window from another thread is a round trip to the
// server, and on Windows it is a cross-thread SendMessage: a few thousand files must not pay that
// several times each.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ui.h"

namespace korvel {

class WindowFeed {
 public:
  // The least time between two deliveries that are not forced.
  static constexpr std::uint32_t kIntervalMs = 50;

  // Any thread: the latest status line and bar position (bar 0 the lower, 1 the upper) to be shown.
  void setStatus(std::string text);
  void setBarPosition(int bar, int position);

  // UI thread: hands the window what changed since the last delivery, in the order status, lower bar,
  // upper bar. Unless `force`, nothing happens within kIntervalMs of the last delivery; forced, the
  // latest values always reach the window (the end of a run, before its summary).
  void deliver(platform::ProgressWindow& window, bool force);
  // A new window: what was pending or shown for an earlier one is forgotten.
  void reset();

 private:
  std::mutex mutex_;
  std::optional<std::string> status_;
  std::array<std::optional<int>, 2> bars_;
  // What the window shows (UI thread only).
  std::optional<std::string> shownStatus_;
  std::array<std::optional<int>, 2> shownBars_;
  std::optional<std::uint32_t> lastDelivery_;
};

}  // namespace korvel
