// Test doubles for the launcher tests: a session client that records what it is told, a log channel
// that keeps its lines, and a guard that moves into a folder for the length of a test.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "launcher/patch_client.h"
#include "platform/files.h"
#include "session/patcher.h"

namespace korvel::test {

// Keeps every line written to it (thread-safe: the session's worker logs too).
class RecordingSink : public LogSink {
 public:
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  explicit RecordingSink(std::shared_ptr<Lines> lines) : lines_(std::move(lines)) {}
  void write(const std::string& line) override {
    std::lock_guard<std::mutex> lock(lines_->mutex);
    lines_->lines.push_back(line);
  }

 private:
  std::shared_ptr<Lines> lines_;
};

// Attaches a RecordingSink as channel 0 of the patcher and gives access to what it receives.
class LogCapture {
 public:
  explicit LogCapture(Patcher* patcher) : lines_(std::make_shared<RecordingSink::Lines>()) {
    if (patcher) patcher->attachLogSink(0, std::make_unique<RecordingSink>(lines_));
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(lines_->mutex);
    return lines_->lines;
  }
  bool contains(const std::string& line) const {
    for (const auto& each : lines())
      if (each == line) return true;
    return false;
  }

 private:
  std::shared_ptr<RecordingSink::Lines> lines_;
};

// A client that records its notifications as short texts ("progress 7 83", "fileStarted a.bin").
class RecordingClient : public PatchClient {
 public:
  bool handleFileNotice = false;

  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<int> progressOn(int bar) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_[bar];
  }

  bool fileNotice(const char* name, int kind) override {
    record("fileNotice " + text(name) + " " + std::to_string(kind));
    return handleFileNotice;
  }
  bool scanStarted() override { return record("scanStarted"); }
  bool fileStarted(const char* name) override { return record("fileStarted " + text(name)); }
  bool fileUnpacking(const char* name) override { return record("fileUnpacking " + text(name)); }
  bool fileFinished(const char* name) override { return record("fileFinished " + text(name)); }
  bool downloadFinished() override { return record("downloadFinished"); }
  bool stopped() override { return record("stopped"); }
  bool error(int code, const char* message) override { return record("error " + std::to_string(code) + " " + text(message)); }
  bool unnamedNotice12(int, int) override { return true; }
  bool timeEstimate(std::int64_t, std::int64_t) override { return true; }
  bool networkNotice() override { return record("networkNotice"); }
  bool manifestReady(int result) override { return record("manifestReady " + std::to_string(result)); }
  bool progressPosition(int position, int bar) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bar >= 0 && bar < 8) progress_[bar].push_back(position);
    return true;
  }

 private:
  static std::string text(const char* value) { return value ? value : "(null)"; }
  bool record(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    return true;
  }

  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<int> progress_[8];
};

// Makes `folder` the current directory until destroyed.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::string& folder) : previous_(platform::currentDirectory()) {
    platform::setCurrentDirectory(folder);
  }
  ~ScopedCurrentDirectory() { platform::setCurrentDirectory(previous_); }
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  std::string previous_;
};

}  // namespace korvel::test
