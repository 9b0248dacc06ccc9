// The progress window where standard error is not a terminal (a pipe, a file, TERM=dumb): plain
// lines that read well in a log. One line per file brought up to date, the download's progress in
// 10% steps and the summary; the status line and the bars themselves are not written.
#pragma once

#include <mutex>
#include <string>

#include "platform/posix/console_window.h"

namespace korvel::platform::posix {

class LogProgress final : public ConsoleWindow {
 public:
  explicit LogProgress(Events events);

  void setStatus(const std::string& text) override {}
  void setBarPosition(int bar, int position) override {}
  // Any thread.
  void setTransfer(const Transfer& figures) override;
  void fileUpdated(const std::string& name, bool patched) override;
  void finish(const Summary& summary) override;

 protected:
  void refresh() override {}
  void stopping() override;
  void writeAbove(const std::string& line) override;

 private:
  void writeLine(const std::string& line);

  std::mutex mutex_;
  int lastStep_ = 0;  // the last 10% step written
};

}  // namespace korvel::platform::posix
