// A PatchClient for the transfer tests: records every notification and log line it receives (from
// any thread) and lets a test act from inside the notifications.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "launcher/patch_client.h"
#include "session/patcher.h"

namespace korvel::test {

class FakePatchClient : public PatchClient {
 public:
  struct Progress {
    int position;
    int bar;
    bool operator==(const Progress&) const = default;
  };
  struct Notice {
    std::optional<std::string> name;
    int kind;
  };
  struct Error {
    int code;
    std::string message;
  };
  struct DiskWarning {
    std::uint64_t available;
    std::uint64_t needed;
    std::string message;
  };

  FakePatchClient() {
    if (patcher()) patcher()->attachLogSink(0, std::make_unique<Sink>(*this));
  }
  ~FakePatchClient() override {
    if (patcher()) patcher()->attachLogSink(0, nullptr);
  }

  // Hooks, called on the thread that raises the notification.
  std::function<void(int position, int bar)> onProgress;
  std::function<void()> onFirstData;

  bool scanStarted() override { return true; }
  bool downloadFinished() override { return true; }
  bool stopped() override { return true; }
  bool unnamedNotice12(int, int) override { return true; }
  bool error(int code, const char* message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back({code, message ? message : ""});
    return true;
  }
  bool timeEstimate(std::int64_t, std::int64_t) override { return true; }
  bool fileNotice(const char* name, int kind) override {
    std::lock_guard<std::mutex> lock(mutex_);
    notices_.push_back({name ? std::optional<std::string>(name) : std::nullopt, kind});
    return true;
  }
  bool diskSpaceLow(std::uint64_t available, std::uint64_t needed, const char* message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    diskWarnings_.push_back({available, needed, message ? message : ""});
    return true;
  }
  bool progressPosition(int position, int bar) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      progress_.push_back({position, bar});
    }
    if (onProgress) onProgress(position, bar);
    return true;
  }
  bool beforeConnect() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++connects_;
    return true;
  }
  bool requestSent() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requestsSent_;
    return true;
  }
  bool networkNotice() override {
    if (onFirstData) onFirstData();
    return true;
  }

  std::vector<Progress> progress() const { return locked(progress_); }
  std::vector<Notice> notices() const { return locked(notices_); }
  std::vector<Error> errors() const { return locked(errors_); }
  std::vector<DiskWarning> diskWarnings() const { return locked(diskWarnings_); }
  std::vector<std::string> logLines() const { return locked(log_); }
  int connects() const { return locked(connects_); }
  int requestsSent() const { return locked(requestsSent_); }

  // Positions sent on one progress channel, in order.
  std::vector<int> positionsOn(int bar) const {
    std::vector<int> out;
    for (const Progress& p : progress())
      if (p.bar == bar) out.push_back(p.position);
    return out;
  }
  // Whether a log line equals "Patcher: " + line.
  bool logged(const std::string& line) const {
    const auto lines = logLines();
    return std::find(lines.begin(), lines.end(), "Patcher: " + line) != lines.end();
  }
  bool loggedContaining(const std::string& part) const {
    for (const std::string& line : logLines())
      if (line.find(part) != std::string::npos) return true;
    return false;
  }

 private:
  class Sink : public LogSink {
   public:
    explicit Sink(FakePatchClient& owner) : owner_(owner) {}
    void write(const std::string& line) override {
      std::lock_guard<std::mutex> lock(owner_.mutex_);
      owner_.log_.push_back(line);
    }

   private:
    FakePatchClient& owner_;
  };

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
  std::vector<std::string> log_;
  int connects_ = 0;
  int requestsSent_ = 0;
};

}  // namespace korvel::test
