// An observer for the transfer tests: it records what the transfers and the download requests tell
// it (from any thread), keeps their log lines, and lets a test set the stop and failure state or act
// from inside a notification. No session is involved.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/recorded_events.h"
#include "transfer/transfer_observer.h"

namespace korvel::test {

class RecordingObserver : public DownloadObserver {
 public:
  using Progress = RecordedProgress;
  // A file notice with the path as the requests gave it (absent for a null path).
  struct Notice {
    std::optional<std::string> path;
    int kind;
  };
  using Error = RecordedError;
  using DiskWarning = RecordedDiskWarning;

  // What the observer answers; set by the test at any time.
  std::atomic<int> accessMode{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  // Hooks, called on the thread that raises the event (set them before a transfer runs).
  std::function<void(int position, int bar)> onProgress;
  // The first data of any transfer arrived.
  std::function<void()> onFirstData;

  std::vector<std::string> lines() const { return log_.lines(); }
  bool logged(const std::string& line) const { return log_.logged(line); }
  std::vector<Progress> progress() const;
  std::vector<int> progressOn(int bar) const;
  std::vector<Notice> notices() const;
  std::vector<Error> errors() const;
  std::vector<DiskWarning> diskWarnings() const;
  int connects() const;
  int requestsSent() const;

  void log(const std::string& line) override { log_.add(line); }
  int internetAccessMode() const override { return accessMode.load(); }
  void beforeConnect() override;
  void requestSent() override;
  void dataReceived() override;
  void showProgress(int position, int bar) override;
  bool failedOrStopped() const override { return failed.load() || stop.load(); }
  bool stopRequested() const override { return stop.load(); }
  void reportFile(const char* path, int kind) override;
  void reportError(int code, const std::string& text) override;
  void diskSpaceLow(std::uint64_t available, std::uint64_t needed, const std::string& text) override;
  void timeEstimate(std::int64_t, std::int64_t) override {}
  void markFailed() override { failed.store(true); }

 private:
  template <typename T>
  T locked(const T& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }

  mutable std::mutex mutex_;
  std::vector<Progress> progress_;
  std::vector<Notice> notices_;
  std::vector<Error> errors_;
  std::vector<DiskWarning> diskWarnings_;
  int connects_ = 0;
  int requestsSent_ = 0;
  std::atomic<bool> dataSeen_{false};
  LogCapture log_;
};

}  // namespace korvel::test
