// The session's log channels: the time prefix and the file channel.
#include "session/session_log.h"

#include <ctime>

#include "platform/clock.h"
#include "platform/files.h"

namespace korvel {

std::string logTimePrefix(std::int64_t secondsSince1970) {
  std::tm local{};
  if (!platform::localTime(secondsSince1970, local)) return "Out of Range: ";
  char text[32];
  std::strftime(text, sizeof text, "[%H:%M:%S] ", &local);
  return text;
}

std::unique_ptr<FileLogSink> FileLogSink::open(const std::string& path) {
  std::FILE* file = std::fopen(platform::nativePath(path).c_str(), "ab");
  if (!file) return nullptr;
  return std::unique_ptr<FileLogSink>(new FileLogSink(file));
}

void FileLogSink::write(const std::string& line) {
  std::string out = logTimePrefix(platform::nowSeconds()) + line;
  std::fwrite(out.data(), 1, out.size(), file_.get());
  std::fflush(file_.get());
}

}  // namespace korvel
