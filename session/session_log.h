// The session's log channels: a channel writes "[%H:%M:%S] " (local time; "Out of Range: " when the
// clock cannot be read) before each line and flushes after every line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/file.h"

namespace korvel {

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const std::string& line) = 0;
};

// The channel that writes to a file (KORVEL_PATCH_LOG) through the platform's file layer. Lines are
// appended, each flushed as it is written.
class FileLogSink : public LogSink {
 public:
  // Null when the file cannot be opened for appending.
  static std::unique_ptr<FileLogSink> open(const std::string& path);
  void write(const std::string& line) override;

 private:
  explicit FileLogSink(platform::File file) : file_(std::move(file)) {}
  platform::File file_;
};

// Formats the time prefix of a log line for the given time: "[HH:MM:SS] ", or "Out of Range: ".
std::string logTimePrefix(std::int64_t secondsSince1970);

}  // namespace korvel
