// The recording observer of the transfer tests.
#include "tests/support/recording_observer.h"

namespace korvel::test {

std::vector<RecordingObserver::Progress> RecordingObserver::progress() const { return locked(progress_); }

std::vector<int> RecordingObserver::progressOn(int bar) const {
  std::vector<int> out;
  for (const Progress& each : progress())
    if (each.bar == bar) out.push_back(each.position);
  return out;
}

std::vector<RecordingObserver::Notice> RecordingObserver::notices() const { return locked(notices_); }
std::vector<RecordingObserver::Error> RecordingObserver::errors() const { return locked(errors_); }
std::vector<RecordingObserver::DiskWarning> RecordingObserver::diskWarnings() const { return locked(diskWarnings_); }
int RecordingObserver::connects() const { return locked(connects_); }
int RecordingObserver::requestsSent() const { return locked(requestsSent_); }

void RecordingObserver::beforeConnect() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++connects_;
}

void RecordingObserver::requestSent() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++requestsSent_;
}

void RecordingObserver::dataReceived() {
  if (!dataSeen_.exchange(true) && onFirstData) onFirstData();
}

void RecordingObserver::showProgress(int position, int bar) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.push_back({position, bar});
  }
  if (onProgress) onProgress(position, bar);
}

void RecordingObserver::reportFile(const char* path, int kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  notices_.push_back({path ? std::optional<std::string>(path) : std::nullopt, kind});
}

void RecordingObserver::reportError(int code, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back({code, text});
  }
  log(text);
}

void RecordingObserver::diskSpaceLow(std::uint64_t available, std::uint64_t needed, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  diskWarnings_.push_back({available, needed, text});
}

}  // namespace korvel::test
