// A session client for the tests of every floor: it records what the session and the transfers tell
// it (from any thread), keeps the session's log, and lets a test act from inside a notification.
//
// Where things go: events() holds the notifications about the session as a whole, as short texts;
// the notifications about single files are in fileEvents() (and notices(), statusLines()); errors,
// disk warnings and progress positions each have their own list. Log lines lose the "Patcher: "
// prefix the session writes before them.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "launcher/patch_client.h"
#include "tests/support/log_capture.h"
#include "tests/support/recorded_events.h"

namespace korvel::test {

class RecordingClient : public PatchClient {
 public:
  using Progress = RecordedProgress;
  struct Notice {
    std::optional<std::string> name;
    int kind;
  };
  using Error = RecordedError;
  using DiskWarning = RecordedDiskWarning;

  RecordingClient();

  // What fileNotice answers: true says the notice was handled, so reportFile raises nothing more.
  // Set it before the session runs.
  bool handleFileNotice = false;
  // Hooks, called on the thread that raises the notification (set them before the session runs).
  // The number of the connection, counting from 1.
  std::function<void(int connection)> onBeforeConnect;
  std::function<void(int position, int bar)> onProgress;
  // The first data of the session arrived (its network notice).
  std::function<void()> onFirstData;

  // ---- What was recorded -------------------------------------------------------------------------
  // "scanStarted", "downloadFinished", "stopped", "networkNotice", "productName <name>",
  // "manifestReady <result>", "accessModeChanged <mode>", "range <maximum> <bar>".
  std::vector<std::string> events() const;
  int count(const std::string& event) const;
  // "fileNotice <name> <kind>", "fileStarted <name>", "fileUnpacking <name>", "fileFinished <name>"
  // ("(null)" for a null name), in order.
  std::vector<std::string> fileEvents() const;
  std::vector<Notice> notices() const;
  // The status line texts (the fileStarted names).
  std::vector<std::string> statusLines() const;
  std::vector<Error> errors() const;
  std::vector<int> errorCodes() const;
  std::vector<DiskWarning> diskWarnings() const;
  // Every progress position, in order, and the positions of one channel.
  std::vector<Progress> progress() const;
  std::vector<int> progressOn(int bar) const;
  int connects() const;
  int requestsSent() const;

  // The session's log (channel 0).
  std::vector<std::string> lines() const { return log_.lines(); }
  bool logged(const std::string& line) const { return log_.logged(line); }
  int countLogged(const std::string& line) const { return log_.countLogged(line); }
  std::vector<std::string> linesStartingWith(const std::string& prefix) const {
    return log_.linesStartingWith(prefix);
  }

  // ---- Notifications ----------------------------------------------------------------------------
  bool fileNotice(const char* name, int kind) override;
  bool scanStarted() override { return record("scanStarted"); }
  bool fileStarted(const char* name) override;
  bool downloadFinished() override { return record("downloadFinished"); }
  bool stopped() override { return record("stopped"); }
  bool error(int code, const char* message) override;
  bool reservedSlot12(int, int) override { return true; }
  bool timeEstimate(std::int64_t, std::int64_t) override { return true; }
  bool productName(const char* name) override { return record("productName " + text(name)); }
  bool fileUnpacking(const char* name) override { return recordFile("fileUnpacking " + text(name)); }
  bool fileFinished(const char* name) override { return recordFile("fileFinished " + text(name)); }
  bool diskSpaceLow(std::uint64_t available, std::uint64_t needed, const char* message) override;
  bool progressRange(int maximum, int bar) override {
    return record("range " + std::to_string(maximum) + " " + std::to_string(bar));
  }
  bool progressPosition(int position, int bar) override;
  bool beforeConnect() override;
  bool requestSent() override;
  bool networkNotice() override;
  bool manifestReady(int result) override { return record("manifestReady " + std::to_string(result)); }
  // Recorded, never acted on: the base would start the program anew and end this process.
  bool restartRequested(const char* fileName, bool isOwnProgram) override {
    return record(std::string("restartRequested ") + (fileName ? fileName : "(null)") + (isOwnProgram ? " own" : ""));
  }
  bool accessModeChanged(int mode) override { return record("accessModeChanged " + std::to_string(mode)); }
  bool readyToRun() override { return true; }

 private:
  static std::string text(const char* value) { return value ? value : "(null)"; }
  bool record(const std::string& event);
  bool recordFile(const std::string& event);
  template <typename T>
  T locked(const T& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }

  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<std::string> fileEvents_;
  std::vector<Notice> notices_;
  std::vector<std::string> statusLines_;
  std::vector<Error> errors_;
  std::vector<DiskWarning> diskWarnings_;
  std::vector<Progress> progress_;
  int connects_ = 0;
  int requestsSent_ = 0;
  LogCapture log_;
};

}  // namespace korvel::test
