// The patch session: loads the manifest, scans the installation, downloads what is stale, and
// reports everything to its client. Owned by the PatchClient.
//
// Threads: the operations that start jobs, wait and stop run on the UI thread; the jobs, every walk
// over the manifest tree and the downloads run on the worker. The flags both sides read are atomics
// with one writer at a time; nothing here takes a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "session/worker_thread.h"

typedef struct _xmlDoc xmlDoc;

namespace korvel {

class PatchClient;
class ProgressRates;
class PatchCache;
class DirectorySnapshot;

// A log channel: writes "[%H:%M:%S] " (local time; "Out of Range: " when the clock cannot be read)
// before each line and flushes after every line.
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
  ~FileLogSink() override;
  void write(const std::string& line) override;

 private:
  explicit FileLogSink(std::FILE* file) : file_(file) {}
  std::FILE* file_;
};

// Formats the time prefix of a log line for the given time: "[HH:MM:SS] ", or "Out of Range: ".
std::string logTimePrefix(std::int64_t secondsSince1970);

// The job the worker runs (kind 0 load, 1 scan and download, 4 scan).
struct WorkerJob {
  static constexpr std::size_t kNamesCapacity = 256;  // names hold at most 255 characters
  enum Kind : int { kLoad = 0, kScanAndDownload = 1, kScan = 4 };
  PatchClient* client = nullptr;
  class Patcher* patcher = nullptr;
  int kind = kLoad;
  std::string names;  // comma-separated product names, empty for all
  std::uint32_t flags = 0;
};

class Patcher {
 public:
  explicit Patcher(PatchClient* client);
  ~Patcher();
  Patcher(const Patcher&) = delete;
  Patcher& operator=(const Patcher&) = delete;

  PatchClient* client() const { return client_; }

  // ---- Logging -------------------------------------------------------------------------------
  static constexpr int kLogChannels = 2;
  // Writes "Patcher: " + text (at most 1023 characters) to the channel when it is attached and enabled.
  void log(const char* text, int channel = 0);
  void log(const std::string& text, int channel = 0) { log(text.c_str(), channel); }
  // Attaches (or with null detaches) a channel; an attached channel starts enabled.
  void attachLogSink(int channel, std::unique_ptr<LogSink> sink);
  void enableLog(int channel, bool enabled);

  // ---- Errors ----------------------------------------------------------------------------------
  // Reports a failure once: the client's error(code, text), and the text to the log.
  void reportError(int code, const std::string& text);

  // ---- State the front end polls -------------------------------------------------------------
  bool isBusy() const { return workerBusy_.load() || updateRunning_.load(); }
  // Sets the stop flag and the client's failedOrStopped.
  void stop();
  // The walks' cancel test: a stop was requested or the session has failed.
  bool isCancelled() const;
  bool stopRequested() const { return stopRequested_.load(); }
  int internetAccessMode() const { return accessMode_; }
  void setInternetAccessMode(int mode) { accessMode_ = mode; }

  // ---- Paths ---------------------------------------------------------------------------------
  // defaultRootPath, or installDirectory when that is empty.
  std::string baseFor() const;
  const std::string& installDirectory() const { return installDirectory_; }
  const std::string& defaultRootPath() const { return defaultRootPath_; }

  // ---- Defaults the model inherits ------------------------------------------------------------
  const char* defaultServer() const { return server_.empty() ? nullptr : server_.c_str(); }
  int defaultPort() const { return port_; }

  // ---- Progress and statistics -----------------------------------------------------------------
  ProgressRates& statistics() { return *statistics_; }
  PatchCache& patchCache() { return *patchCache_; }
  DirectorySnapshot& directorySnapshot() { return *directorySnapshot_; }

 private:
  PatchClient* client_;
  std::string installDirectory_;  // the current directory when the session was made

  // Manifest location and credentials.
  std::string server_;  // empty: a local manifest file
  int port_ = 0;
  std::string manifestPath_;
  std::string loginUser_, loginPassword_;
  bool hasLoginUser_ = false, hasLoginPassword_ = false;
  xmlDoc* m_xmlInfo = nullptr;
  int accessMode_ = -1;
  std::array<bool, 4> modeTried_{};
  std::array<bool, 4> modeUsable_{};
  std::string defaultRootPath_;  // at most 255 characters
  std::string loadDirectory_;

  // Jobs.
  WorkerJob job_;
  WorkerThread worker_;
  WorkerThread copyWorker_;
  std::atomic<bool> workerBusy_{false};
  std::atomic<bool> updateRunning_{false};
  std::atomic<bool> loading_{false};
  std::atomic<bool> manifestLoaded_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> downloadHappened_{false};
  std::atomic<bool> exitAfterJob_{false};
  bool rescanAfterLoad_ = true;
  bool limitWarningGiven_ = false;

  // Counters of the scan and download passes.
  int filesTotal_ = 0;
  int filesChecked_ = 0;
  int totalDownloadBytes_ = 0;
  int bytesToUpdate_ = 0;
  int bytesDone_ = 0;
  int bytesUnpacked_ = 0;

  std::unique_ptr<ProgressRates> statistics_;
  std::unique_ptr<PatchCache> patchCache_;
  std::unique_ptr<DirectorySnapshot> directorySnapshot_;

  std::array<std::unique_ptr<LogSink>, kLogChannels> logSink_;
  std::array<bool, kLogChannels> logEnabled_{};
};

}  // namespace korvel
