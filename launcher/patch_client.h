// The client interface of the patch session: the notifications the session raises, in their fixed
// slot order, and the forwarding operations through which the front end drives the session.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/progress_channels.h"

namespace korvel {

class Patcher;

// Owns the session. The session reports only through the virtual notifications below; they may be
// raised on the UI thread or on the session's worker thread. Overrides must therefore only touch what
// is safe from either (the launcher posts to its windows).
class PatchClient {
 public:
  PatchClient();
  PatchClient(const PatchClient&) = delete;
  PatchClient& operator=(const PatchClient&) = delete;

  // Slot 0. Sets failedOrStopped, waits (sleeping 10 ms steps) while the session is busy, destroys
  // it and deletes the "~spatchfile_%d..." leftovers of the current directory.
  virtual ~PatchClient();

  // Slots 1 to 4: forwarded to the session.
  virtual bool openRemoteManifestWithLogin(const char* server, int port, const char* path, const char* user,
                                           const char* password, std::uint32_t flags, int userLength,
                                           int passwordLength);
  virtual bool openRemoteManifest(const char* server, int port, const char* path, std::uint32_t flags);
  virtual bool openLocalManifest(const char* path, std::uint32_t flags);
  virtual bool startScan(const char* names, std::uint32_t flags);

  // Slots 5 to 29: notifications. All return bool; abstract ones have no base behaviour.
  virtual bool unnamedNotice5(int value);
  virtual bool fileNotice(const char* name, int kind);
  virtual bool scanStarted() = 0;
  virtual bool fileStarted(const char* fileName);
  virtual bool downloadFinished() = 0;
  virtual bool stopped() = 0;
  virtual bool error(int code, const char* message) = 0;
  virtual bool unnamedNotice12(int first, int second) = 0;
  virtual bool timeEstimate(std::int64_t expectedFinish, std::int64_t secondsLeft) = 0;
  virtual bool unnamedNotice14(int first, int second);
  virtual bool unnamedNotice15();
  virtual bool productName(const char* name);
  virtual bool fileUnpacking(const char* fileName);
  virtual bool fileFinished(const char* fileName);
  virtual bool restartRequested(const char* fileName, bool isOwnProgram);
  virtual bool unnamedNotice20();
  virtual bool diskSpaceLow(std::uint64_t availableBytes, std::uint64_t neededBytes, const char* message);
  virtual bool progressRange(int maximum, int bar);
  virtual bool progressPosition(int position, int bar);
  virtual bool beforeConnect();
  virtual bool requestSent();
  virtual bool networkNotice();
  virtual bool manifestReady(int result);
  virtual bool accessModeChanged(int mode);

  // The services below are not notifications, but the session and the transfers call them on their
  // owner: they are virtual so that those floors reach them without linking the launcher's library.

  // The session log: `text` is a complete line ending in a newline; it goes to the session's channels.
  virtual void log(const char* text);
  void log(const std::string& text) { log(text.c_str()); }
  virtual int internetAccessMode() const;
  bool sessionHasFailed() const { return failedOrStopped_.load(); }
  // The transfer engine's name for the same flag: while set, finished downloads are not copied into place.
  bool isStopping() const { return sessionHasFailed(); }
  void setFailedOrStopped(bool value) { failedOrStopped_.store(value); }

  // The first call per client raises slot 26; later calls do nothing.
  virtual void dataReceived();
  // Cuts `path` to its last component ('\' and '/' both separate) and raises fileNotice; when that is
  // not handled, slot 8 for kind 0, slot 17 for kind 1, slot 18 for kind 3.
  virtual void reportFile(const char* path, int kind);
  // Stops the session and raises stopped(); with flag 0x20 waits, pumping messages, until it is idle.
  void stop(std::uint32_t flags);

  bool selectDistributions(const char* names, bool on);
  bool setDistributionPath(const char* names, const char* path);
  int updateAmount(const char* names, std::uint32_t flags);
  bool update(const char* names, std::uint32_t flags);
  bool isBusy() const;

  // Copies a finished download into place with retries and progress on channel 7
  // (launcher/patch_client_copy.cpp).
  virtual bool copyFile(const char* from, const char* to, std::int64_t finalSize);

  // The session, or null when it could not be made.
  Patcher* patcher() const { return patcher_.get(); }

 protected:
  // Called by the run loops that wait for the worker: one pass over the UI thread's message queue.
  static void dispatchWaitingMessages(int maximum);

 private:
  std::unique_ptr<Patcher> patcher_;
  std::atomic<bool> networkNoticeSent_{false};
  std::atomic<bool> failedOrStopped_{false};
};

}  // namespace korvel
