// The session's log channels and its reports to the client.
#include "session/session_reports.h"

#include "common/text_format.h"

namespace korvel {

void SessionReports::log(const char* text, int channel) {
  if (!text || channel < 0 || channel >= kLogChannels) return;
  if (!logSink_[channel]) return;
  logSink_[channel]->write(cutToCapacity("Patcher: " + std::string(text), 1024));
}

void SessionReports::attachLogSink(int channel, std::unique_ptr<LogSink> sink) {
  if (channel < 0 || channel >= kLogChannels) return;
  logSink_[channel] = std::move(sink);
}

void SessionReports::detachLogSinks() {
  for (std::unique_ptr<LogSink>& sink : logSink_) sink.reset();
}

void SessionReports::reportError(int code, const std::string& text) {
  if (client_) client_->error(code, text.c_str());
  log(text);
}

void SessionReports::setStatusLine(const std::string& text) {
  if (client_) client_->fileStarted(text.c_str());
}

void SessionReports::showProgress(int position, int bar) {
  if (client_) client_->progressPosition(position, bar);
}

}  // namespace korvel
