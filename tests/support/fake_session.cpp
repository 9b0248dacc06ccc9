// The fake session of the model and file-node tests.
#include "tests/support/fake_session.h"

#include "common/tokenizer.h"
#include "fileupdate/file_node.h"
#include "manifest/distribution_node.h"
#include "manifest/product_record.h"
#include "manifest/scan_flags.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/patch_cache.h"
#include "platform/files.h"
#include "session/patcher.h"
#include "staging/trickle_downloader.h"
#include "transfer/download_requests.h"
#include "transfer/progress_rates.h"

namespace korvel::test {

// The download requests report as the client's own session does (through its transfer reports), and
// end when this session stops.
class FakeSession::RequestObserver : public DownloadObserver {
 public:
  RequestObserver(TransferReports& session, const std::atomic<bool>& stopRequested)
      : session_(session), stopRequested_(stopRequested) {}
  void log(const std::string& line) override { session_.log(line); }
  int internetAccessMode() const override { return session_.internetAccessMode(); }
  void beforeConnect() override { session_.beforeConnect(); }
  void requestSent() override { session_.requestSent(); }
  void dataReceived() override { session_.dataReceived(); }
  void showProgress(int position, int bar) override { session_.showProgress(position, bar); }
  bool failedOrStopped() const override { return session_.failedOrStopped(); }
  bool stopRequested() const override { return stopRequested_.load(); }
  void reportFile(const char* path, int kind) override { session_.reportFile(path, kind); }
  void reportError(int code, const std::string& text) override { session_.reportError(code, text); }
  void diskSpaceLow(std::uint64_t available, std::uint64_t needed, const std::string& text) override {
    session_.diskSpaceLow(available, needed, text);
  }
  void timeEstimate(std::int64_t finish, std::int64_t left) override { session_.timeEstimate(finish, left); }
  void markFailed() override { session_.markFailed(); }

 private:
  TransferReports& session_;
  const std::atomic<bool>& stopRequested_;
};

FakeSession::FakeSession()
    : installDirectory_(platform::currentDirectory()),
      client_(std::make_unique<RecordingClient>()),
      rates_(std::make_unique<ProgressRates>()),
      requestObserver_(std::make_unique<RequestObserver>(client_->patcher()->transferReports(), stopRequested_)),
      downloads_(std::make_unique<DownloadRequests>(*requestObserver_, *rates_)),
      patchCache_(std::make_unique<PatchCache>()),
      snapshot_(std::make_unique<DirectorySnapshot>()),
      products_(std::make_unique<ProductList>(this, this, patchCache_.get(), snapshot_.get())) {}

FakeSession::~FakeSession() {
  // The tree goes first: its nodes may still reach the session while they are destroyed.
  products_.reset();
}

void FakeSession::setDefaultServer(std::optional<std::string> server, int port) {
  server_ = std::move(server);
  port_ = port;
  std::vector<ServerAddress> list;
  if (server_) list = parseServerList(*server_, port).servers;
  downloads_->servers().setServers(std::move(list));
}

void FakeSession::stop() {
  stopRequested_.store(true);
  client_->setFailedOrStopped(true);
}

void FakeSession::resume() {
  stopRequested_.store(false);
  client_->setFailedOrStopped(false);
}

void FakeSession::openCaches(const std::string& folder) {
  snapshot_->clear();
  snapshot_->scanFolder(folder);
  snapshotFolder_ = folder;
  patchCache_->open(PatchCache::kDefaultFileName, folder);
}

void FakeSession::closeCaches() {
  snapshot_->clear();
  snapshotFolder_.clear();
  if (patchCache_->folder() && platform::pathExists(*patchCache_->folder())) patchCache_->save();
}

std::vector<FakeSession::Error> FakeSession::errors() const { return locked(errors_); }

std::vector<int> FakeSession::errorCodes() const {
  std::vector<int> codes;
  for (const Error& each : errors()) codes.push_back(each.code);
  return codes;
}

std::vector<std::string> FakeSession::warnings() const { return locked(warnings_); }
std::vector<std::string> FakeSession::statusLines() const { return locked(statusLines_); }
std::vector<RecordingClient::Progress> FakeSession::progress() const { return locked(progress_); }

std::vector<int> FakeSession::progressOn(int bar) const {
  std::vector<int> out;
  for (const RecordingClient::Progress& each : progress())
    if (each.bar == bar) out.push_back(each.position);
  return out;
}

int FakeSession::filesChecked() const { return locked(filesChecked_); }
std::vector<FakeSession::Restart> FakeSession::restartRequests() const { return locked(restarts_); }
std::vector<FakeSession::SelfReplacement> FakeSession::selfReplacements() const { return locked(selfReplacements_); }
std::vector<FakeSession::SelfCopy> FakeSession::selfCopies() const { return locked(selfCopies_); }
int FakeSession::limitWarnings() const { return locked(limitWarnings_); }
int FakeSession::timeEstimates() const { return locked(timeEstimates_); }

void FakeSession::log(const std::string& line) {
  log_.add(line);
  client_->log(line);
}

void FakeSession::reportError(int code, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back({code, text});
  }
  client_->error(code, text.c_str());
  log(text);
}

void FakeSession::showWarning(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    warnings_.push_back(text);
  }
  client_->error(0, text.c_str());
  log(text);
}

void FakeSession::clearFailure() {
  if (!stopRequested_.load()) client_->setFailedOrStopped(false);
}

void FakeSession::setStatusLine(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    statusLines_.push_back(text);
  }
  client_->fileStarted(text.c_str());
}

void FakeSession::showProgress(int position, int bar) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.push_back({position, bar});
  }
  client_->progressPosition(position, bar);
}

bool FakeSession::fileChecked() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++filesChecked_;
  return true;
}

bool FakeSession::requestRestart(const std::string& file, bool isOwnProgram) {
  std::lock_guard<std::mutex> lock(mutex_);
  restarts_.push_back({file, isOwnProgram});
  return restartAnswer_;
}

void FakeSession::reportTimeEstimate() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++timeEstimates_;
  }
  downloads_->reportTimeEstimate();
}

std::unique_ptr<ManifestNode> FakeSession::makeFileNode() { return std::make_unique<FileNode>(this); }

std::unique_ptr<Stager> FakeSession::makeStager(ProductHandle* product, const xmlNode* element) {
  return std::make_unique<TrickleDownloader>(product, element);
}

Stager* FakeSession::topStager() {
  ProductHandle* top = products_->top();
  DistributionNode* root = top ? top->record().rootDistribution() : nullptr;
  return root ? root->stager() : nullptr;
}

void FakeSession::registerSelfReplacement(const char* newCopy, const char* replacedName) {
  std::lock_guard<std::mutex> lock(mutex_);
  selfReplacements_.push_back(
      {newCopy ? newCopy : "", replacedName ? std::optional<std::string>(replacedName) : std::nullopt});
}

void FakeSession::startSelfCopy(const char* sourceName, const char* targetName, bool inlineCopy) {
  std::lock_guard<std::mutex> lock(mutex_);
  selfCopies_.push_back({sourceName ? sourceName : "", targetName ? targetName : "", inlineCopy});
}

std::int64_t FakeSession::requestedDownloadBytes(const char* names, std::uint32_t flags) {
  products_->setPassFlag(pass::kDownloadCounted, false);
  std::vector<ProductHandle*> counted;
  if (!names || !*names) {
    if (ProductHandle* top = products_->top()) counted.push_back(top);
  } else {
    for (const std::string& name : Tokenizer::split(names, ","))
      if (ProductHandle* product = products_->findProduct(name)) counted.push_back(product);
  }
  std::int64_t sum = 0;
  for (ProductHandle* product : counted) {
    ProductRecord& record = product->record();
    const ProductRecord::Selection saved = record.selection();
    if (!saved.selected && !saved.secondary) {
      record.setSelected(true, false);
      record.setSelected(true, true);
    }
    sum += record.countDownloadBytes(flags);
    record.restoreSelection(saved);
  }
  return sum;
}

void FakeSession::limitExceededWarning() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++limitWarnings_;
}

std::optional<ServerAddress> FakeSession::lastFailedServer() const { return downloads_->servers().lastFailed(); }

std::optional<ServerAddress> FakeSession::firstServer(const RemoteFile& remote) const {
  const std::vector<ServerAddress> candidates = downloads_->servers().candidates(remote);
  if (candidates.empty()) return std::nullopt;
  return candidates.front();
}

int FakeSession::downloadToMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress) {
  return downloads_->toDocument(buffer, capacity, remote, decompress);
}

int FakeSession::downloadToFile(const FileDownload& file, bool useTemp, bool showProgress) {
  FileDownload unchecked = file;
  unchecked.crc.reset();
  unchecked.sha256.reset();
  return downloads_->toFile(unchecked, useTemp, showProgress);
}

int FakeSession::downloadCheckedFile(const FileDownload& file) { return downloads_->toFile(file, true, true, true); }

}  // namespace korvel::test
