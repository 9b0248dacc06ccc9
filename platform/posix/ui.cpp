// POSIX user interface stand-ins: no message queue (the pumps are where the progress window acts on
// signals and redraws), message boxes on standard error, the progress window on the terminal or as
// log lines, the splash bitmap read from the copy compiled into the program.
#include "platform/ui.h"

#include <unistd.h>

#include <cstdio>
#include <optional>
#include <utility>

#include "platform/environment.h"
#include "platform/posix/console_window.h"
#include "platform/posix/log_progress.h"
#include "platform/posix/terminal_progress.h"
#include "resources/splash_data.h"

namespace korvel::platform {

bool messageWaiting() {
  posix::ConsoleWindow::pollActive();
  return false;
}
int getAndDispatchMessage() { return 0; }
bool dispatchWaitingMessage() {
  posix::ConsoleWindow::pollActive();
  return false;
}
void setModuleInstance(void*) {}

void messageBox(const std::string& text, const std::string& caption) {
  if (posix::ConsoleWindow::writeLineAbove(caption + ": " + text)) return;
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

namespace {

class EmbeddedSplash : public SplashBitmap {
 public:
  EmbeddedSplash(int width, int height) : width_(width), height_(height) {}
  int width() const override { return width_; }
  int height() const override { return height_; }

 private:
  int width_, height_;
};

std::int32_t readLe32(std::span<const unsigned char> data, std::size_t offset) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(data[offset]) |
                                   static_cast<std::uint32_t>(data[offset + 1]) << 8 |
                                   static_cast<std::uint32_t>(data[offset + 2]) << 16 |
                                   static_cast<std::uint32_t>(data[offset + 3]) << 24);
}

class NoWindow : public MessageWindow {};

// Lines redrawn in place need a terminal that understands cursor movement.
bool terminalCanRedraw() {
  if (!::isatty(STDERR_FILENO)) return false;
  const std::optional<std::string> term = environmentValue("TERM");
  return term && !term->empty() && *term != "dumb";
}

// NO_COLOR set to anything but the empty text turns colour off.
bool colourWanted() {
  const std::optional<std::string> noColour = environmentValue("NO_COLOR");
  return !noColour || noColour->empty();
}

}  // namespace

std::unique_ptr<SplashBitmap> SplashBitmap::load() {
  std::span<const unsigned char> data = resources::splashBitmapData();
  // A BMP file: "BM", then the info header whose width and height sit at offsets 18 and 22.
  if (data.size() < 26 || data[0] != 'B' || data[1] != 'M') return nullptr;
  std::int32_t width = readLe32(data, 18);
  std::int32_t height = readLe32(data, 22);
  if (height < 0) height = -height;
  if (width <= 0 || height <= 0) return nullptr;
  return std::make_unique<EmbeddedSplash>(width, height);
}

std::unique_ptr<MessageWindow> MessageWindow::create() { return std::make_unique<NoWindow>(); }

std::unique_ptr<ProgressWindow> ProgressWindow::create(const SplashBitmap* bitmap, Events events) {
  if (!bitmap) return nullptr;
  std::unique_ptr<ProgressWindow> window;
  if (terminalCanRedraw())
    window = std::make_unique<posix::TerminalProgress>(std::move(events), colourWanted());
  else
    window = std::make_unique<posix::LogProgress>(std::move(events));
  window->setStatus("Preparing Files...");
  return window;
}

}  // namespace korvel::platform
