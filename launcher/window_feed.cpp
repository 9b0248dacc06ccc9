#include "launcher/window_feed.h"

#include <utility>

#include "platform/clock.h"

namespace korvel {

void WindowFeed::setStatus(std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = std::move(text);
}

void WindowFeed::setBarPosition(int bar, int position) {
  if (bar < 0 || bar >= static_cast<int>(bars_.size())) return;
  std::lock_guard<std::mutex> lock(mutex_);
  bars_[static_cast<std::size_t>(bar)] = position;
}

void WindowFeed::deliver(platform::ProgressWindow& window, bool force) {
  const std::uint32_t now = platform::tickCount();
  if (!force && lastDelivery_ && now - *lastDelivery_ < kIntervalMs) return;
  std::optional<std::string> status;
  std::array<std::optional<int>, 2> bars;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status.swap(status_);
    bars.swap(bars_);
  }
  lastDelivery_ = now;
  // The window is called outside the lock: a session thread never waits for the window.
  if (status && status != shownStatus_) {
    window.setStatus(*status);
    shownStatus_ = std::move(status);
  }
  for (std::size_t bar = 0; bar < bars.size(); ++bar) {
    if (!bars[bar] || bars[bar] == shownBars_[bar]) continue;
    window.setBarPosition(static_cast<int>(bar), *bars[bar]);
    shownBars_[bar] = bars[bar];
  }
}

void WindowFeed::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  status_.reset();
  bars_ = {};
  shownStatus_.reset();
  shownBars_ = {};
  lastDelivery_.reset();
}

}  // namespace korvel
