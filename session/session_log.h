// The session's log channels: a channel writes "[%H:%M:%S] " (local time; "Out of Range: " when the
// clock cannot be read) before each line and flushes after every line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace korvel {

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const std::string& line) = 0;
};

// The channel that writes to a file (KORVEL_PATCH_LOG). Lines are appended.
class FileLogSink : public LogSink {
 public:
  // Null when the file cannot be opened for appending.
  static std::unique_ptr<FileLogSink> open(const std::string& path);
  void write(const std::string& line) override;

 private:
  struct Close {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  explicit FileLogSink(std::FILE* file) : file_(file) {}
  std::unique_ptr<std::FILE, Close> file_;
};

// Formats the time prefix of a log line for the given time: "[HH:MM:SS] ", or "Out of Range: ".
std::string logTimePrefix(std::int64_t secondsSince1970);

}  // namespace korvel
