// What the transfers ask of whoever runs them: the log, the progress channels, the session's stop and
// failure state, and the few events a request raises. The session implements both interfaces; tests
// give the transfers a fake.
#pragma once

#include <cstdint>
#include <string>

namespace korvel {

// The view of one HttpTransfer. Called from the transfer's own thread, so every member must be safe
// from any thread; one observer may serve several transfers at once.
class TransferObserver {
 public:
  virtual ~TransferObserver() = default;

  // A complete log line (ending in a newline).
  virtual void log(const std::string& line) = 0;
  // The internet access mode requests are opened with (0 to 3; anything else: the system's default).
  virtual int internetAccessMode() const = 0;
  // A request is about to connect, and its request was sent.
  virtual void beforeConnect() = 0;
  virtual void requestSent() = 0;
  // Data of a response arrived (raised for every block read).
  virtual void dataReceived() = 0;
  // A progress position (0 to 100) on one of the channels of common/progress_channels.h.
  virtual void showProgress(int position, int bar) = 0;
  // The session failed or was stopped: a finished download is no longer put in place.
  virtual bool failedOrStopped() const = 0;
};

// The view of the blocking download requests, which follow their transfers on the requesting thread.
class DownloadObserver : public TransferObserver {
 public:
  // The user (or the front end) asked the session to stop; requests end at their next look.
  virtual bool stopRequested() const = 0;
  // A file notice (kinds of common/progress_channels.h) for `path`, which may be null and may still
  // have its folders.
  virtual void reportFile(const char* path, int kind) = 0;
  // A failure, once: to the session's client as an error with its code, then to the log.
  virtual void reportError(int code, const std::string& text) = 0;
  // A failed write found too little free space; `text` is the warning for the user.
  virtual void diskSpaceLow(std::uint64_t availableBytes, std::uint64_t neededBytes, const std::string& text) = 0;
  // The expected finish of the session in seconds since 1970, and the seconds left until then.
  virtual void timeEstimate(std::int64_t expectedFinish, std::int64_t secondsLeft) = 0;
  // A download the user was shown has failed: the session now counts as failed.
  virtual void markFailed() = 0;
  // A line for the status display that is no error: a broken-off download being retried or continued.
  virtual void showStatus(const std::string& text) {}
};

}  // namespace korvel
