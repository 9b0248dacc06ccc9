// Shared pieces of the session tests: a client that records what the session tells it (from any
// thread), a folder made the current directory for a test, manifest texts, and a patch tree written
// the way the publishing tool lays it out (files gzip-compressed under the server's root, the manifest
// beside them).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fileupdate/crc32_checksum.h"
#include "fileupdate/time_stamp.h"
#include "launcher/patch_client.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "session/patcher.h"
#include "tests/support/file_facts.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_http_server.h"

namespace korvel::test {

class SessionClient : public PatchClient {
 public:
  struct Error {
    int code;
    std::string message;
  };
  struct DiskWarning {
    std::uint64_t available;
    std::uint64_t needed;
    std::string message;
  };

  SessionClient() {
    if (patcher()) patcher()->attachLogSink(0, std::make_unique<Sink>(this));
  }
  ~SessionClient() override {
    if (patcher()) patcher()->attachLogSink(0, nullptr);
  }

  // Called on the thread that opens a connection (the worker for every session request).
  std::function<void(int connection)> onBeforeConnect;

  bool scanStarted() override { return record("scanStarted"); }
  bool downloadFinished() override { return record("downloadFinished"); }
  bool stopped() override { return record("stopped"); }
  bool error(int code, const char* message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back({code, message ? message : ""});
    events_.push_back("error " + std::to_string(code));
    return true;
  }
  bool unnamedNotice12(int, int) override { return true; }
  bool timeEstimate(std::int64_t, std::int64_t) override { return true; }
  bool productName(const char* name) override { return record("productName " + std::string(name ? name : "(null)")); }
  bool manifestReady(int result) override { return record("manifestReady " + std::to_string(result)); }
  bool accessModeChanged(int mode) override { return record("accessModeChanged " + std::to_string(mode)); }
  bool fileStarted(const char* name) override {
    std::lock_guard<std::mutex> lock(mutex_);
    statusLines_.push_back(name ? name : "");
    return true;
  }
  bool diskSpaceLow(std::uint64_t available, std::uint64_t needed, const char* message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    diskWarnings_.push_back({available, needed, message ? message : ""});
    return true;
  }
  bool progressRange(int maximum, int bar) override {
    return record("range " + std::to_string(maximum) + " " + std::to_string(bar));
  }
  bool progressPosition(int position, int bar) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bar >= 0 && bar < 8) progress_[bar].push_back(position);
    return true;
  }
  bool beforeConnect() override {
    int connection = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connection = ++connects_;
    }
    if (onBeforeConnect) onBeforeConnect(connection);
    return true;
  }

  std::vector<std::string> events() const { return locked(events_); }
  std::vector<Error> errors() const { return locked(errors_); }
  std::vector<int> errorCodes() const {
    std::vector<int> codes;
    for (const Error& error : errors()) codes.push_back(error.code);
    return codes;
  }
  std::vector<DiskWarning> diskWarnings() const { return locked(diskWarnings_); }
  std::vector<std::string> statusLines() const { return locked(statusLines_); }
  std::vector<int> progressOn(int bar) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_[bar];
  }
  int count(const std::string& event) const {
    int n = 0;
    for (const std::string& each : events())
      if (each == event) ++n;
    return n;
  }
  // Lines logged by the session, without the "Patcher: " prefix.
  std::vector<std::string> lines() const { return locked(lines_); }
  int countLogged(const std::string& line) const {
    int n = 0;
    for (const std::string& each : lines())
      if (each == line) ++n;
    return n;
  }
  bool logged(const std::string& line) const { return countLogged(line) > 0; }
  // The lines that start with `prefix`, in order.
  std::vector<std::string> linesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& each : lines())
      if (each.rfind(prefix, 0) == 0) out.push_back(each);
    return out;
  }

 private:
  class Sink : public LogSink {
   public:
    explicit Sink(SessionClient* owner) : owner_(owner) {}
    void write(const std::string& line) override {
      std::lock_guard<std::mutex> lock(owner_->mutex_);
      owner_->lines_.push_back(line.rfind("Patcher: ", 0) == 0 ? line.substr(9) : line);
    }

   private:
    SessionClient* owner_;
  };

  bool record(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    return true;
  }
  template <typename T>
  T locked(const T& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }

  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<Error> errors_;
  std::vector<DiskWarning> diskWarnings_;
  std::vector<std::string> statusLines_;
  std::vector<std::string> lines_;
  std::vector<int> progress_[8];
  int connects_ = 0;
};

// Keeps the lines a session logs on channel 0 (without the "Patcher: " prefix), from any thread.
class LogLines {
 public:
  explicit LogLines(Patcher* patcher) : state_(std::make_shared<State>()) {
    if (patcher) patcher->attachLogSink(0, std::make_unique<Sink>(state_));
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->lines;
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  class Sink : public LogSink {
   public:
    explicit Sink(std::shared_ptr<State> state) : state_(std::move(state)) {}
    void write(const std::string& line) override {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->lines.push_back(line.rfind("Patcher: ", 0) == 0 ? line.substr(9) : line);
    }

   private:
    std::shared_ptr<State> state_;
  };
  std::shared_ptr<State> state_;
};

// Makes `folder` the current directory until destroyed.
class InFolder {
 public:
  explicit InFolder(const std::string& folder) : previous_(platform::currentDirectory()) {
    platform::setCurrentDirectory(folder);
  }
  ~InFolder() { platform::setCurrentDirectory(previous_); }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  std::string previous_;
};

// The proxy variables switched off, so every access mode reaches the loopback server directly.
class NoProxy {
 public:
  NoProxy() : a_("http_proxy", std::nullopt), b_("HTTP_PROXY", std::nullopt), c_("all_proxy", std::nullopt),
              d_("ALL_PROXY", std::nullopt) {}

 private:
  ScopedEnvironment a_, b_, c_, d_;
};

// Waits until the session has finished its job (the UI thread's polling, without a message queue).
inline void waitUntilIdle(Patcher& patcher) {
  while (patcher.isBusy()) platform::sleepMs(1);
}


// One file of a patch tree: its path below the distribution ('\' separators) and its content.
struct TreeFile {
  std::string path;
  std::string content;
  // The manifest's time of the file (seconds since 1970, written as local time).
  std::int64_t time = 1100000000;
};

// Writes a patch tree into `serverRoot`: every file gzip-compressed at its path, and the manifest
// `manifestPath` (gzip-compressed) with one distribution holding the files in their folders.
class PatchTree {
 public:
  static constexpr const char* kManifestPath = "patch/wendrel/wendrelonly.xml.gz";
  static constexpr const char* kProduct = "Wendrel";
  static constexpr const char* kDistribution = "Wendrel Distribution";

  // The manifest text of the files (not compressed). `productAttributes` are added to "Product".
  static std::string manifest(const std::vector<TreeFile>& files, const std::string& productAttributes = "");
  // Writes the compressed files and the compressed manifest; false when a file cannot be written.
  static bool write(const std::string& serverRoot, const std::vector<TreeFile>& files,
                    const std::string& productAttributes = "");
};

}  // namespace korvel::test
