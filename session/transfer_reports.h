// What the transfers and the download requests ask of the session (transfer/transfer_observer.h):
// the log, the access mode, the stop and failure state, and the client's notices of their events.
//
// Threads: any; one object serves every transfer of the session at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "session/session_reports.h"
#include "session/session_state.h"
#include "transfer/transfer_observer.h"

namespace korvel {

class TransferReports : public DownloadObserver {
 public:
  TransferReports(SessionReports& reports, SessionState& state) : reports_(reports), state_(state) {}

  void log(const std::string& line) override { reports_.log(line); }
  int internetAccessMode() const override { return state_.accessMode; }
  void beforeConnect() override;
  void requestSent() override;
  // The first call per session raises the client's networkNotice; later calls do nothing.
  void dataReceived() override;
  void showProgress(int position, int bar) override { reports_.showProgress(position, bar); }
  bool failedOrStopped() const override { return state_.failedOrStopped.load(); }
  bool stopRequested() const override { return state_.stopRequested.load(); }
  // Cuts `path` to its last component ('\' and '/' both separate) and raises the client's
  // fileNotice; when that is not handled, fileStarted for kind 0, fileUnpacking for kind 1,
  // fileFinished for kind 3. A null path passes a null name.
  void reportFile(const char* path, int kind) override;
  void reportError(int code, const std::string& text) override { reports_.reportError(code, text); }
  void diskSpaceLow(std::uint64_t availableBytes, std::uint64_t neededBytes, const std::string& text) override;
  void timeEstimate(std::int64_t expectedFinish, std::int64_t secondsLeft) override;
  void markFailed() override { state_.failedOrStopped.store(true); }
  void showStatus(const std::string& text) override { reports_.setStatusLine(text); }

 private:
  SessionReports& reports_;
  SessionState& state_;
  std::atomic<bool> networkNoticeSent_{false};
};

}  // namespace korvel
