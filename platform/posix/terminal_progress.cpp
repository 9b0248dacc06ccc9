// The progress window on a terminal, redrawn in place.
#include "platform/posix/terminal_progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/posix/interrupt_signals.h"
#include "platform/progress_text.h"

namespace korvel::platform::posix {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kLabelColumns = 6;    // "file  ", "check ", "total "
constexpr int kPercentColumns = 5;  // " 100%"
constexpr int kFewestCells = 10;
constexpr int kNarrowest = 20;

constexpr char kUpTwoLines[] = "\r\033[2A";
constexpr char kClearLineEnd[] = "\033[K";
constexpr char kClearScreenEnd[] = "\033[J";
constexpr char kBarColour[] = "\033[36m";
constexpr char kPlain[] = "\033[0m";

int terminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const int value = std::atoi(columns);
    if (value > 0) return value;
  }
  return 80;
}

std::string percentText(int position) {
  const std::string number = std::to_string(std::clamp(position, 0, 100)) + "%";
  return std::string(static_cast<std::size_t>(kPercentColumns) - number.size(), ' ') + number;
}

// "label [####------]  45%  extra", the bar as wide as the width leaves; the extra text gives way
// part by part when the bar would get fewer than kFewestCells cells.
std::string barLine(const std::string& label, int position, const ProgressWindow::Transfer* figures,
                    std::int64_t now, int width) {
  std::string padded = label;
  padded.resize(kLabelColumns, ' ');
  const int fixed = kLabelColumns + 2 + kPercentColumns;
  std::string extra;
  int cells = width - fixed;
  for (int level = 0; figures && level <= 3; ++level) {
    const std::string text = transferText(*figures, now, level);
    extra = text.empty() ? std::string() : "  " + text;
    cells = width - fixed - columns(extra);
    if (cells >= kFewestCells) break;
  }
  if (cells < kFewestCells) {
    extra.clear();
    cells = width - fixed;
  }
  if (cells < 1) return fitStart(padded + percentText(position), width);
  return padded + "[" + barCells(position, cells) + "]" + percentText(position) + extra;
}

}  // namespace

TerminalProgress::TerminalProgress(Events events, bool colour)
    : ConsoleWindow(std::move(events)), colour_(colour), width_(terminalWidth()) {
  watchResizes();
  takeResize();
}

TerminalProgress::~TerminalProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (drawn_) writeOut(clearSequence());
  drawn_ = false;
  setBlockShown(false);
}

std::array<std::string, 3> TerminalProgress::compose(const std::string& status, int fileBar, int mainBar,
                                                     const Transfer& figures, std::int64_t nowSeconds, int width) {
  // The last column stays free: a line that fills it makes some terminals wrap before the next one.
  const int usable = std::max(width, kNarrowest) - 1;
  const bool downloading = figures.bytesTotal > 0;
  return {fitEnd(printable(status), usable), barLine("file", fileBar, nullptr, nowSeconds, usable),
          barLine(downloading ? "total" : "check", mainBar, downloading ? &figures : nullptr, nowSeconds, usable)};
}

void TerminalProgress::setStatus(const std::string& text) {
  // File paths arrive in the core's backslash form; the terminal shows them as the system writes them.
  const std::string shown = nativePath(text);
  std::lock_guard<std::mutex> lock(mutex_);
  if (shown == status_) return;
  status_ = shown;
  dirty_ = true;
  drawIfDue();
}

void TerminalProgress::setBarPosition(int bar, int position) {
  std::lock_guard<std::mutex> lock(mutex_);
  int& shown = positions_[bar == 0 ? 0 : 1];
  if (shown == position) return;
  shown = position;
  dirty_ = true;
  drawIfDue();
}

void TerminalProgress::setTransfer(const Transfer& figures) {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_ = figures;
  dirty_ = true;
  drawIfDue();
}

void TerminalProgress::finish(const Summary& summary) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out = drawn_ ? clearSequence() : std::string();
  // The last line written: it may wrap, since nothing is drawn over it afterwards.
  out += summaryText(summary, elapsedMilliseconds()) + "\n";
  writeOut(out);
  drawn_ = false;
  finished_ = true;
  setBlockShown(false);
}

void TerminalProgress::refresh() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (takeResize()) {
    width_ = terminalWidth();
    resized_ = true;
    dirty_ = true;
    // A resize is shown at once: the old lines may no longer fit.
    lastDraw_ = {};
  }
  drawIfDue();
}

void TerminalProgress::stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  dirty_ = true;
  lastDraw_ = {};
  drawIfDue();
}

void TerminalProgress::writeAbove(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeOut((drawn_ ? clearSequence() : std::string()) + line + "\n");
  drawn_ = false;
  setBlockShown(false);
  dirty_ = true;
  lastDraw_ = {};
  drawIfDue();
}

void TerminalProgress::drawIfDue() {
  if (!dirty_ || finished_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  draw();
}

void TerminalProgress::draw() {
  const auto lines = compose(stopping_ ? std::string(kStoppingText) : status_, positions_[1], positions_[0], figures_, nowSeconds(), width_);
  std::string out;
  if (drawn_) out = kUpTwoLines;
  if (drawn_ && resized_) out += kClearScreenEnd;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out += i == 0 ? lines[i] : coloured(lines[i]);
    out += kClearLineEnd;
    if (i + 1 < lines.size()) out += "\n";
  }
  writeOut(out);
  drawn_ = true;
  resized_ = false;
  dirty_ = false;
  setBlockShown(true);
}

std::string TerminalProgress::clearSequence() const { return std::string(kUpTwoLines) + kClearScreenEnd; }

std::string TerminalProgress::coloured(const std::string& line) const {
  if (!colour_) return line;
  const std::size_t open = line.find('[');
  const std::size_t close = line.find(']', open == std::string::npos ? 0 : open);
  if (open == std::string::npos || close == std::string::npos) return line;
  const std::size_t fillEnd = line.find_first_not_of('#', open + 1);
  if (fillEnd == open + 1) return line;
  return line.substr(0, open + 1) + kBarColour + line.substr(open + 1, fillEnd - open - 1) + kPlain +
         line.substr(fillEnd);
}

}  // namespace korvel::platform::posix
