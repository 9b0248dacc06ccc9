// The progress window on a terminal: the status line and the two bars redrawn in place, at most ten
// times a second, fitted to the terminal's width (followed on SIGWINCH), and replaced at the end by
// the one-line summary.
#pragma once

#include <array>
#include <chrono>
#include <mutex>
#include <string>

#include "platform/posix/console_window.h"

namespace korvel::platform::posix {

class TerminalProgress final : public ConsoleWindow {
 public:
  // colour: whether the bars' filled part may be coloured (NO_COLOR unset).
  TerminalProgress(Events events, bool colour);
  // Clears the drawn lines when finish() has not replaced them already.
  ~TerminalProgress() override;

  // Any thread: they change what is shown and redraw when the last drawing is old enough.
  void setStatus(const std::string& text) override;
  void setBarPosition(int bar, int position) override;
  void setTransfer(const Transfer& figures) override;
  // UI thread: clears the lines and writes the summary in their place.
  void finish(const Summary& summary) override;

  // The three lines for a terminal of `width` columns, without escape sequences (the drawing adds
  // the colour and the cursor movement).
  static std::array<std::string, 3> compose(const std::string& status, int fileBar, int mainBar,
                                            const Transfer& figures, std::int64_t nowSeconds, int width);

 protected:
  void refresh() override;
  void stopping() override;
  void writeAbove(const std::string& line) override;

 private:
  // With mutex_ held.
  void drawIfDue();
  void draw();
  std::string clearSequence() const;
  std::string coloured(const std::string& line) const;

  const bool colour_;
  std::mutex mutex_;
  std::string status_;
  std::array<int, 2> positions_{0, 0};  // [0] the lower bar, [1] the upper bar
  Transfer figures_;
  int width_ = 80;
  bool dirty_ = true;
  bool resized_ = false;
  bool drawn_ = false;  // the three lines are on the screen and the cursor stands at the end of the last
  bool finished_ = false;
  bool stopping_ = false;  // the status line gives way to the stop notice
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace korvel::platform::posix
