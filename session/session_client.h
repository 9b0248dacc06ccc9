// The client of the patch session: the 30 virtual members, in their fixed slot order, through which
// the session is driven and reports. The front end implements it; the session knows nothing else of it.
#pragma once

#include <cstdint>

namespace korvel {

// Every member may be called on the UI thread or on the session's worker thread: implementations must
// only touch what is safe from either. Every notification returns a bool.
class SessionClient {
 public:
  // Slot 0.
  virtual ~SessionClient() = default;

  // Slots 1 to 4: the operations that start the session's jobs.
  virtual bool openRemoteManifestWithLogin(const char* server, int port, const char* path, const char* user,
                                           const char* password, std::uint32_t flags, int userLength,
                                           int passwordLength) = 0;
  virtual bool openRemoteManifest(const char* server, int port, const char* path, std::uint32_t flags) = 0;
  virtual bool openLocalManifest(const char* path, std::uint32_t flags) = 0;
  virtual bool startScan(const char* names, std::uint32_t flags) = 0;

  // Slots 5 to 29: notifications. Progress positions are 0 to 100 on the channels of
  // common/progress_channels.h; file notice kinds are the kNotice* values there.
  //
  // reservedSlot5, reservedSlot12, reservedSlot14, reservedSlot15 and reservedSlot20 have no caller: the
  // session raises none of them. They keep their places, parameters and the base's answer because the
  // order of the client's slots is fixed: a front end built against it finds every other notification
  // where it expects it.
  virtual bool reservedSlot5(int value) = 0;
  // A file notice with the name cut to its last component; true says it was handled (nothing more
  // is raised for it), false lets fileStarted, fileUnpacking or fileFinished follow.
  virtual bool fileNotice(const char* name, int kind) = 0;
  virtual bool scanStarted() = 0;
  // Also the status line of the session.
  virtual bool fileStarted(const char* fileName) = 0;
  virtual bool downloadFinished() = 0;
  virtual bool stopped() = 0;
  virtual bool error(int code, const char* message) = 0;
  virtual bool reservedSlot12(int first, int second) = 0;
  virtual bool timeEstimate(std::int64_t expectedFinish, std::int64_t secondsLeft) = 0;
  virtual bool reservedSlot14(int first, int second) = 0;
  virtual bool reservedSlot15() = 0;
  virtual bool productName(const char* name) = 0;
  virtual bool fileUnpacking(const char* fileName) = 0;
  virtual bool fileFinished(const char* fileName) = 0;
  // A downloaded file needs the program restarted; true lets the session stop.
  virtual bool restartRequested(const char* fileName, bool isOwnProgram) = 0;
  virtual bool reservedSlot20() = 0;
  virtual bool diskSpaceLow(std::uint64_t availableBytes, std::uint64_t neededBytes, const char* message) = 0;
  virtual bool progressRange(int maximum, int bar) = 0;
  virtual bool progressPosition(int position, int bar) = 0;
  virtual bool beforeConnect() = 0;
  virtual bool requestSent() = 0;
  // Raised once per session, when its first data arrives.
  virtual bool networkNotice() = 0;
  virtual bool manifestReady(int result) = 0;
  virtual bool accessModeChanged(int mode) = 0;
  // Whether the front end is ready for the run sequence; the session never raises it.
  virtual bool readyToRun() = 0;
};

}  // namespace korvel
