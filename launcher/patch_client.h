// The session's client: owns the patch session, gives every notification its base behaviour, and
// forwards the front end's operations to the session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/progress_channels.h"
#include "session/session_client.h"

namespace korvel {

class Patcher;

// Owns the session. The session reports only through the SessionClient members below; they may be
// raised on the UI thread or on the session's worker thread. Overrides must therefore only touch what
// is safe from either (the launcher posts to its windows).
class PatchClient : public SessionClient {
 public:
  PatchClient();
  PatchClient(const PatchClient&) = delete;
  PatchClient& operator=(const PatchClient&) = delete;

  // Slot 0. Marks the session failed, waits (sleeping 10 ms steps) while it is busy, destroys it and
  // deletes the "~spatchfile_%d..." leftovers of the current directory.
  ~PatchClient() override;

  // Slots 1 to 4: forwarded to the session (startScan clears its failure first).
  bool openRemoteManifestWithLogin(const char* server, int port, const char* path, const char* user,
                                   const char* password, std::uint32_t flags, int userLength,
                                   int passwordLength) override;
  bool openRemoteManifest(const char* server, int port, const char* path, std::uint32_t flags) override;
  bool openLocalManifest(const char* path, std::uint32_t flags) override;
  bool startScan(const char* names, std::uint32_t flags) override;

  // Slots 5 to 28: the base behaviour; scanStarted, downloadFinished, stopped, error, reservedSlot12
  // and timeEstimate have none, and readyToRun (the last slot) belongs to the front end.
  bool reservedSlot5(int value) override;
  bool fileNotice(const char* name, int kind) override;
  bool fileStarted(const char* fileName) override;
  bool reservedSlot14(int first, int second) override;
  bool reservedSlot15() override;
  bool productName(const char* name) override;
  bool fileUnpacking(const char* fileName) override;
  bool fileFinished(const char* fileName) override;
  // Starts the program anew and lets this process exit once the session's job has ended.
  bool restartRequested(const char* fileName, bool isOwnProgram) override;
  bool reservedSlot20() override;
  bool diskSpaceLow(std::uint64_t availableBytes, std::uint64_t neededBytes, const char* message) override;
  bool progressRange(int maximum, int bar) override;
  bool progressPosition(int position, int bar) override;
  bool beforeConnect() override;
  bool requestSent() override;
  bool networkNotice() override;
  bool manifestReady(int result) override;
  bool accessModeChanged(int mode) override;

  // Forwarded to the session; false, 0 or nothing without one.
  // The session log: `text` is a complete line ending in a newline.
  void log(const char* text);
  void log(const std::string& text) { log(text.c_str()); }
  int internetAccessMode() const;
  bool sessionHasFailed() const;
  void setFailedOrStopped(bool value);
  // The session's first data: the first call raises networkNotice, later calls do nothing.
  void dataReceived();
  // A file notice through the session (see Patcher::reportFile).
  void reportFile(const char* path, int kind);
  // Stops the session and raises stopped(); with flag 0x20 waits, pumping messages, until it is idle.
  void stop(std::uint32_t flags);

  bool selectDistributions(const char* names, bool on);
  bool setDistributionPath(const char* names, const char* path);
  std::int64_t updateAmount(const char* names, std::uint32_t flags);
  // Clears the session's failure, then forwards.
  bool update(const char* names, std::uint32_t flags);
  bool isBusy() const;

  // The session, or null when it could not be made.
  Patcher* patcher() const { return patcher_.get(); }

 protected:
  // Called by the run loops that wait for the worker: one pass over the UI thread's message queue.
  static void dispatchWaitingMessages(int maximum);

 private:
  std::unique_ptr<Patcher> patcher_;
};

}  // namespace korvel
