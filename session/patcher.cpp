// The patch session object: construction, the log channels, stopping, and what the floors below
// and the transfers ask of it.
#include "session/patcher.h"

#include "common/progress_channels.h"
#include "common/text_format.h"
#include "fileupdate/file_node.h"
#include "manifest/distribution_node.h"
#include "manifest/product_record.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/patch_cache.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/http.h"
#include "session/self_update.h"
#include "staging/trickle_downloader.h"
#include "transfer/download_requests.h"
#include "transfer/progress_rates.h"

#include <libxml/tree.h>

#include <algorithm>

namespace korvel {

namespace {

// Files in flight at once during a download pass, unless KORVEL_CONNECTIONS says otherwise.
constexpr int kDefaultConnections = 8;

}  // namespace

int connectionsFromEnvironment() {
  const std::optional<std::string> value = platform::environmentValue("KORVEL_CONNECTIONS");
  if (!value || value->empty() || value->size() > 4 || value->find_first_not_of("0123456789") != std::string::npos)
    return kDefaultConnections;
  return std::clamp(std::stoi(*value), 1, platform::kMaxConnectionsPerServer);
}

Patcher::Patcher(SessionClient* client)
    : client_(client),
      installDirectory_(cutToCapacity(platform::currentDirectory(), 256)),
      statistics_(std::make_unique<ProgressRates>()),
      downloads_(std::make_unique<DownloadRequests>(*this, *statistics_)),
      patchCache_(std::make_unique<PatchCache>()),
      directorySnapshot_(std::make_unique<DirectorySnapshot>()) {
  selfUpdate_ = std::make_unique<SelfUpdate>(*this);
  downloads_->setConnections(connectionsFromEnvironment());
}

// The document goes with the other members, once the worker that reads it has ended.
Patcher::~Patcher() {
  worker_.wait();
  worker_.closeHandle();
  selfUpdate_->finishCopy();
}

void Patcher::log(const char* text, int channel) {
  if (!text || channel < 0 || channel >= kLogChannels) return;
  if (!logSink_[channel]) return;
  logSink_[channel]->write(cutToCapacity("Patcher: " + std::string(text), 1024));
}

void Patcher::attachLogSink(int channel, std::unique_ptr<LogSink> sink) {
  if (channel < 0 || channel >= kLogChannels) return;
  logSink_[channel] = std::move(sink);
}

void Patcher::reportError(int code, const std::string& text) {
  if (client_) client_->error(code, text.c_str());
  log(text);
}

void Patcher::stop() {
  stopRequested_.store(true);
  failedOrStopped_.store(true);
  downloads_->stopAhead();
}

bool Patcher::isCancelled() const { return stopRequested_.load() || failedOrStopped(); }

void Patcher::clearFailure() {
  if (!stopRequested_.load()) failedOrStopped_.store(false);
}

void Patcher::setStatusLine(const std::string& text) {
  if (client_) client_->fileStarted(text.c_str());
}

void Patcher::showProgress(int position, int bar) {
  if (client_) client_->progressPosition(position, bar);
}

bool Patcher::requestRestart(const std::string& file, bool isOwnProgram) {
  if (!client_ || !client_->restartRequested(file.c_str(), isOwnProgram)) return false;
  client_->stopped();
  return true;
}

void Patcher::beforeConnect() {
  if (client_) client_->beforeConnect();
}

void Patcher::requestSent() {
  if (client_) client_->requestSent();
}

void Patcher::dataReceived() {
  if (client_ && !networkNoticeSent_.exchange(true)) client_->networkNotice();
}

void Patcher::reportFile(const char* path, int kind) {
  if (!client_) return;
  const char* name = path;
  if (path) {
    for (const char* at = path; *at; ++at) {
      if (*at == '\\' || *at == '/') name = at + 1;
    }
  }
  if (client_->fileNotice(name, kind)) return;
  switch (kind) {
    case kNoticeDownloadStarts:
      client_->fileStarted(name);
      break;
    case kNoticeUnpackStarts:
      client_->fileUnpacking(name);
      break;
    case kNoticeFinished:
      client_->fileFinished(name);
      break;
    default:
      break;
  }
}

void Patcher::diskSpaceLow(std::uint64_t availableBytes, std::uint64_t neededBytes, const std::string& text) {
  if (client_) client_->diskSpaceLow(availableBytes, neededBytes, text.c_str());
}

void Patcher::timeEstimate(std::int64_t expectedFinish, std::int64_t secondsLeft) {
  if (client_) client_->timeEstimate(expectedFinish, secondsLeft);
}

std::unique_ptr<ManifestNode> Patcher::makeFileNode() { return std::make_unique<FileNode>(this); }

std::unique_ptr<Stager> Patcher::makeStager(ProductHandle* product, const xmlNode* element) {
  return std::make_unique<TrickleDownloader>(product, element);
}

Stager* Patcher::topStager() {
  ProductHandle* top = products_->top();
  DistributionNode* root = top ? top->record().rootDistribution() : nullptr;
  return root ? root->stager() : nullptr;
}

std::string Patcher::baseFor() const {
  return defaultRootPath_.empty() ? installDirectory_ : defaultRootPath_;
}

}  // namespace korvel
