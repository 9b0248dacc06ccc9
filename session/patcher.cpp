// The patch session object: construction, the log channels, stopping and the shared accessors.
#include "session/patcher.h"

#include <cstring>

#include "launcher/patch_client.h"
#include "launcher/text_format.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/patch_cache.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "transfer/progress_rates.h"

#include <libxml/tree.h>

namespace korvel {

std::string logTimePrefix(std::int64_t secondsSince1970) {
  std::tm local{};
  if (!platform::localTime(secondsSince1970, local)) return "Out of Range: ";
  char text[32];
  std::strftime(text, sizeof text, "[%H:%M:%S] ", &local);
  return text;
}

std::unique_ptr<FileLogSink> FileLogSink::open(const std::string& path) {
  std::FILE* file = std::fopen(platform::nativePath(path).c_str(), "ab");
  if (!file) return nullptr;
  return std::unique_ptr<FileLogSink>(new FileLogSink(file));
}

FileLogSink::~FileLogSink() { std::fclose(file_); }

void FileLogSink::write(const std::string& line) {
  std::string out = logTimePrefix(platform::nowSeconds()) + line;
  std::fwrite(out.data(), 1, out.size(), file_);
  std::fflush(file_);
}

Patcher::Patcher(PatchClient* client)
    : client_(client),
      installDirectory_(cutToCapacity(platform::currentDirectory(), 256)),
      statistics_(std::make_unique<ProgressRates>()),
      patchCache_(std::make_unique<PatchCache>()),
      directorySnapshot_(std::make_unique<DirectorySnapshot>()) {
  ownFileName_ = cutToCapacity(runningFileName(), 256);
  ownProgramPath_ = ownFileName_;
}

Patcher::~Patcher() {
  if (m_xmlInfo) xmlFreeDoc(m_xmlInfo);
  worker_.wait();
  worker_.closeHandle();
  copyWorker_.setPriority(platform::kThreadPriorityHighest);
  copyWorker_.wait();
  copyWorker_.closeHandle();
}

void Patcher::log(const char* text, int channel) {
  if (!text || channel < 0 || channel >= kLogChannels) return;
  if (!logSink_[channel] || !logEnabled_[channel]) return;
  logSink_[channel]->write(cutToCapacity("Patcher: " + std::string(text), 1024));
}

void Patcher::attachLogSink(int channel, std::unique_ptr<LogSink> sink) {
  if (channel < 0 || channel >= kLogChannels) return;
  logEnabled_[channel] = sink != nullptr;
  logSink_[channel] = std::move(sink);
}

void Patcher::enableLog(int channel, bool enabled) {
  if (channel >= 0 && channel < kLogChannels) logEnabled_[channel] = enabled;
}

void Patcher::reportError(int code, const std::string& text) {
  if (client_) client_->error(code, text.c_str());
  log(text);
}

void Patcher::stop() {
  stopRequested_.store(true);
  if (client_) client_->setFailedOrStopped(true);
}

bool Patcher::isCancelled() const {
  return stopRequested_.load() || (client_ && client_->sessionHasFailed());
}

void Patcher::setStatusLine(const std::string& text) {
  if (client_) client_->fileStarted(text.c_str());
}

std::string Patcher::baseFor() const {
  return defaultRootPath_.empty() ? installDirectory_ : defaultRootPath_;
}

}  // namespace korvel
