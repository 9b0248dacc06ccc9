// POSIX user interface stand-ins: no message queue, message boxes and the progress window as lines
// on standard error, the splash bitmap read from the copy compiled into the program.
#include "platform/ui.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "resources/splash_data.h"

namespace korvel::platform {

bool messageWaiting() { return false; }
int getAndDispatchMessage() { return 0; }
bool dispatchWaitingMessage() { return false; }
void setModuleInstance(void*) {}

void messageBox(const std::string& text, const std::string& caption) {
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

// Writes the status line and the bars as lines; a bar is printed only when its value changes so a
// download does not flood the terminal.
class TerminalProgress : public ProgressWindow {
 public:
  void setStatus(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (text == status_) return;
    status_ = text;
    std::fprintf(stderr, "[status] %s\n", text.c_str());
    std::fflush(stderr);
  }
  void setBarPosition(int bar, int position) override {
    std::lock_guard<std::mutex> lock(mutex_);
    int index = bar == 0 ? 0 : 1;
    if (positions_[index] == position) return;
    positions_[index] = position;
    std::fprintf(stderr, "[%s bar] %d%%\n", index == 0 ? "main" : "file", position);
    std::fflush(stderr);
  }

 private:
  std::mutex mutex_;
  std::string status_;
  std::array<int, 2> positions_{-1, -1};
};

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
  auto window = std::make_unique<TerminalProgress>();
  window->setStatus("Preparing Files...");
  return window;
}

}  // namespace korvel::platform
