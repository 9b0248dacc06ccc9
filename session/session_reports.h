// The session's log channels and the reports every part of the session makes to its client.
//
// Threads: any; the client must accept its notifications from the thread that raises them.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "session/session_client.h"
#include "session/session_log.h"

namespace korvel {

class SessionReports {
 public:
  static constexpr int kLogChannels = 2;

  // `client` (may be null) hears every report; it must outlive this object.
  explicit SessionReports(SessionClient* client) : client_(client) {}
  SessionReports(const SessionReports&) = delete;
  SessionReports& operator=(const SessionReports&) = delete;

  SessionClient* client() const { return client_; }

  // Writes "Patcher: " + text (at most 1023 characters) to the channel when one is attached there.
  void log(const char* text, int channel);
  void log(const std::string& text) { log(text.c_str(), 0); }
  // Attaches (or with null detaches) a channel.
  void attachLogSink(int channel, std::unique_ptr<LogSink> sink);
  // Closes every channel; later lines go nowhere.
  void detachLogSinks();

  // A failure, once: to the client as error(code, text), then to the log.
  void reportError(int code, const std::string& text);
  // The client's status line (its fileStarted notification).
  void setStatusLine(const std::string& text);
  // A progress position on one of the client's channels.
  void showProgress(int position, int bar);

 private:
  SessionClient* client_;
  std::array<std::unique_ptr<LogSink>, kLogChannels> logSink_;
};

}  // namespace korvel
