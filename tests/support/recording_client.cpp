// The recording session client of the tests.
#include "tests/support/recording_client.h"

namespace korvel::test {

RecordingClient::RecordingClient() : log_(patcher()) {}

std::vector<std::string> RecordingClient::events() const { return locked(events_); }

int RecordingClient::count(const std::string& event) const {
  int n = 0;
  for (const std::string& each : events())
    if (each == event) ++n;
  return n;
}

std::vector<std::string> RecordingClient::fileEvents() const { return locked(fileEvents_); }
std::vector<RecordingClient::Notice> RecordingClient::notices() const { return locked(notices_); }
std::vector<std::string> RecordingClient::statusLines() const { return locked(statusLines_); }
std::vector<RecordingClient::Error> RecordingClient::errors() const { return locked(errors_); }

std::vector<int> RecordingClient::errorCodes() const {
  std::vector<int> codes;
  for (const Error& each : errors()) codes.push_back(each.code);
  return codes;
}

std::vector<RecordingClient::DiskWarning> RecordingClient::diskWarnings() const { return locked(diskWarnings_); }
std::vector<RecordingClient::Progress> RecordingClient::progress() const { return locked(progress_); }

std::vector<int> RecordingClient::progressOn(int bar) const {
  std::vector<int> out;
  for (const Progress& each : progress())
    if (each.bar == bar) out.push_back(each.position);
  return out;
}

int RecordingClient::connects() const { return locked(connects_); }
int RecordingClient::requestsSent() const { return locked(requestsSent_); }

bool RecordingClient::fileNotice(const char* name, int kind) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    notices_.push_back({name ? std::optional<std::string>(name) : std::nullopt, kind});
    fileEvents_.push_back("fileNotice " + text(name) + " " + std::to_string(kind));
  }
  return handleFileNotice;
}

bool RecordingClient::fileStarted(const char* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  statusLines_.push_back(text(name));
  fileEvents_.push_back("fileStarted " + text(name));
  return true;
}

bool RecordingClient::error(int code, const char* message) {
  std::lock_guard<std::mutex> lock(mutex_);
  errors_.push_back({code, message ? message : ""});
  return true;
}

bool RecordingClient::diskSpaceLow(std::uint64_t available, std::uint64_t needed, const char* message) {
  std::lock_guard<std::mutex> lock(mutex_);
  diskWarnings_.push_back({available, needed, message ? message : ""});
  return true;
}

bool RecordingClient::progressPosition(int position, int bar) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.push_back({position, bar});
  }
  if (onProgress) onProgress(position, bar);
  return true;
}

bool RecordingClient::beforeConnect() {
  int connection = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection = ++connects_;
  }
  if (onBeforeConnect) onBeforeConnect(connection);
  return true;
}

bool RecordingClient::requestSent() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++requestsSent_;
  return true;
}

bool RecordingClient::networkNotice() {
  record("networkNotice");
  if (onFirstData) onFirstData();
  return true;
}

bool RecordingClient::record(const std::string& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
  return true;
}

bool RecordingClient::recordFile(const std::string& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  fileEvents_.push_back(event);
  return true;
}

}  // namespace korvel::test
