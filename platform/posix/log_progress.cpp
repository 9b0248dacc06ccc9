// The progress window as plain log lines.
#include "platform/posix/log_progress.h"

#include <cstdio>
#include <utility>

#include "platform/clock.h"
#include "platform/progress_text.h"

namespace korvel::platform::posix {

LogProgress::LogProgress(Events events) : ConsoleWindow(std::move(events)) {}

void LogProgress::setTransfer(const Transfer& figures) {
  const int percent = transferPercent(figures);
  std::lock_guard<std::mutex> lock(mutex_);
  const int step = percent / 10 * 10;
  if (step <= lastStep_) return;
  lastStep_ = step;
  writeLine(progressLogLine(step, figures, nowSeconds()));
}

void LogProgress::fileUpdated(const std::string& name, bool patched) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeLine((patched ? "Patched " : "Downloaded ") + name);
}

void LogProgress::finish(const Summary& summary) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeLine(summaryText(summary, elapsedMilliseconds()));
}

void LogProgress::stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  writeLine(kStoppingText);
}

void LogProgress::writeAbove(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeOut(line + "\n");
}

void LogProgress::writeLine(const std::string& line) { writeOut(printable(line) + "\n"); }

}  // namespace korvel::platform::posix
