// The session's log channels: the time prefix and the file channel.
#include "session/session_log.h"

#include <ctime>
#include <utility>

#include "platform/clock.h"

namespace korvel {

std::string logTimePrefix(std::int64_t secondsSince1970) {
  std::tm local{};
  if (!platform::localTime(secondsSince1970, local)) return "Out of Range: ";
  char text[32];
  std::strftime(text, sizeof text, "[%H:%M:%S] ", &local);
  return text;
}

std::unique_ptr<FileLogSink> FileLogSink::open(const std::string& path) {
  platform::File file = platform::File::openUserPath(path, "ab");
  if (!file) return nullptr;
  return std::unique_ptr<FileLogSink>(new FileLogSink(std::move(file)));
}

void FileLogSink::write(const std::string& line) {
  std::string out = logTimePrefix(platform::nowSeconds()) + line;
  file_.write(out.data(), out.size());
  file_.flush();
}

}  // namespace korvel
