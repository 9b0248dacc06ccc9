// The kept lines of a session log.
#include "tests/support/log_capture.h"

#include "session/patcher.h"
#include "session/session_log.h"

namespace korvel::test {

class LogCapture::Sink : public LogSink {
 public:
  explicit Sink(std::shared_ptr<Lines> lines) : lines_(std::move(lines)) {}
  void write(const std::string& line) override {
    static const std::string kPrefix = "Patcher: ";
    std::lock_guard<std::mutex> lock(lines_->mutex);
    lines_->lines.push_back(line.rfind(kPrefix, 0) == 0 ? line.substr(kPrefix.size()) : line);
  }

 private:
  std::shared_ptr<Lines> lines_;
};

LogCapture::LogCapture() : lines_(std::make_shared<Lines>()) {}

LogCapture::LogCapture(Patcher* patcher) : LogCapture() {
  if (patcher) patcher->attachLogSink(0, std::make_unique<Sink>(lines_));
}

void LogCapture::add(const std::string& line) {
  std::lock_guard<std::mutex> lock(lines_->mutex);
  lines_->lines.push_back(line);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(lines_->mutex);
  return lines_->lines;
}

int LogCapture::countLogged(const std::string& line) const {
  int count = 0;
  for (const std::string& each : lines())
    if (each == line) ++count;
  return count;
}

std::vector<std::string> LogCapture::linesStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const std::string& each : lines())
    if (each.rfind(prefix, 0) == 0) out.push_back(each);
  return out;
}

}  // namespace korvel::test
