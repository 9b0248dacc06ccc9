// A session for the tests of the model, the file nodes and the stager: everything those floors may know
// of the session (manifest/session_services.h), without the real session's jobs, load and passes.
//
// It owns the caches, the rate table, the product list built over itself, a RecordingClient for the
// notifications the client hears, and real download requests, so downloads reach the test server.
// What the model tells it is recorded; what the model asks of it is set by the test. As the interface
// says, errors and warnings (code 0) also reach the client, log lines the client's log, status lines
// and progress positions the client's notifications: client() sees them in one list, in order, with
// those of the download requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "manifest/product_list.h"
#include "manifest/session_services.h"
#include "tests/support/log_capture.h"
#include "tests/support/recording_client.h"

namespace korvel {
class DistributionNode;
class DownloadRequests;
}  // namespace korvel

namespace korvel::test {

class FakeSession : public FileNodeServices, public NodeFactory {
 public:
  struct Error {
    int code;
    std::string message;
  };
  struct Restart {
    std::string file;
    bool isOwnProgram;
    bool operator==(const Restart&) const = default;
  };
  struct SelfReplacement {
    std::string newCopy;
    std::optional<std::string> replacedName;
    bool operator==(const SelfReplacement&) const = default;
  };
  struct SelfCopy {
    std::string source;
    std::string target;
    bool inlineCopy;
    bool operator==(const SelfCopy&) const = default;
  };

  // The install directory is the current directory, as for a real session.
  FakeSession();
  ~FakeSession() override;
  FakeSession(const FakeSession&) = delete;
  FakeSession& operator=(const FakeSession&) = delete;

  RecordingClient& client() { return *client_; }
  const RecordingClient& client() const { return *client_; }
  ProductList& products() { return *products_; }
  ProductHandle* topProduct() const { return products_->top(); }
  DistributionNode* tree() const { return products_->tree(); }
  DownloadRequests& downloads() { return *downloads_; }

  // ---- What the model asks: set by the test ----------------------------------------------------------
  // No server (a local manifest) unless set.
  void setDefaultServer(std::optional<std::string> server, int port);
  void setDefaultRootPath(std::string path) { defaultRootPath_ = std::move(path); }
  void setInstallDirectory(std::string path) { installDirectory_ = std::move(path); }
  void setOwnFileName(std::string name) { ownFileName_ = std::move(name); }
  void setStrictSize(bool on) { strictSize_ = on; }
  void setTrickleEnabled(bool on) { trickleEnabled_ = on; }
  // What requestRestart answers (true, as the client's default, unless set).
  void setRestartAnswer(bool answer) { restartAnswer_ = answer; }
  // The user's stop: the stop flag and the client's failedOrStopped (any thread).
  void stop();
  // A new pass: clears the stop flag and the client's failedOrStopped, as the session's jobs do.
  void resume();
  // What a scan does around its walk: fills the snapshot from `folder` and opens the folder's patch
  // cache; then empties the snapshot and saves the cache.
  void openCaches(const std::string& folder);
  void closeCaches();

  // ---- What the model told it ----------------------------------------------------------------------
  // The lines the model logged (the download requests and transfers log to the client only).
  std::vector<std::string> lines() const { return log_.lines(); }
  bool logged(const std::string& line) const { return log_.logged(line); }
  int countLogged(const std::string& line) const { return log_.countLogged(line); }
  std::vector<std::string> linesStartingWith(const std::string& prefix) const {
    return log_.linesStartingWith(prefix);
  }
  // reportError calls (not the warnings).
  std::vector<Error> errors() const;
  std::vector<int> errorCodes() const;
  std::vector<std::string> warnings() const;
  std::vector<std::string> statusLines() const;
  // showProgress positions, in order, and those of one channel.
  std::vector<RecordingClient::Progress> progress() const;
  std::vector<int> progressOn(int bar) const;
  int filesChecked() const;
  std::vector<Restart> restartRequests() const;
  std::vector<SelfReplacement> selfReplacements() const;
  std::vector<SelfCopy> selfCopies() const;
  int limitWarnings() const;
  int timeEstimates() const;

  // ---- The session views and the node factory -----------------------------------------------------
  void log(const std::string& line) override;
  void reportError(int code, const std::string& text) override;
  void showWarning(const std::string& text) override;
  bool isCancelled() const override { return stopRequested() || failedOrStopped(); }
  bool stopRequested() const override { return stopRequested_.load(); }
  bool failedOrStopped() const override { return client_->sessionHasFailed(); }
  void clearFailure() override;
  void setStatusLine(const std::string& text) override;
  void showProgress(int position, int bar) override;
  bool fileChecked() override;
  bool requestRestart(const std::string& file, bool isOwnProgram) override;
  bool hasServers() const override { return server_.has_value(); }
  int defaultPort() const override { return port_; }
  std::optional<ServerAddress> lastFailedServer() const override;
  std::optional<ServerAddress> firstServer(const RemoteFile& remote) const override;
  const std::string& defaultRootPath() const override { return defaultRootPath_; }
  const std::string& installDirectory() const override { return installDirectory_; }
  PatchCache& patchCache() override { return *patchCache_; }
  DirectorySnapshot& directorySnapshot() override { return *snapshot_; }
  const std::string& snapshotFolder() const override { return snapshotFolder_; }
  ProgressRates& statistics() override { return *rates_; }
  void reportTimeEstimate() override;
  ProductHandle* findProduct(TextArgument name) const override { return products_->findProduct(name); }
  // A real FileNode, a real TrickleDownloader, and the stager of the top product's root distribution.
  std::unique_ptr<ManifestNode> makeFileNode() override;
  std::unique_ptr<Stager> makeStager(ProductHandle* product, const xmlNode* element) override;
  Stager* topStager() override;
  bool trickleEnabled() const override { return trickleEnabled_; }
  const std::string& ownFileName() const override { return ownFileName_; }
  void registerSelfReplacement(const char* newCopy, const char* replacedName) override;
  void startSelfCopy(const char* sourceName, const char* targetName, bool inlineCopy) override;
  std::optional<std::uint64_t> writeCount() const override { return writes; }
  // The session's write count; absent: every check looks at the disk.
  std::optional<std::uint64_t> writes;
  void limitExceededWarning() override;
  // Counted over the tree as the session counts: a new pass each time, the named products (the top
  // one without names) counted as selected.
  std::int64_t requestedDownloadBytes(const char* names, std::uint32_t flags) override;
  bool strictSize() const override { return strictSize_; }
  int downloadToMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress) override;
  int downloadToFile(const FileDownload& file, bool useTemp, bool showProgress) override;
  int downloadCheckedFile(const FileDownload& file) override;

 private:
  class RequestObserver;
  template <typename T>
  T locked(const T& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }

  std::optional<std::string> server_;
  int port_ = 0;
  std::string defaultRootPath_;
  std::string installDirectory_;
  std::string ownFileName_;
  std::string snapshotFolder_;
  bool strictSize_ = false;
  bool trickleEnabled_ = false;
  bool restartAnswer_ = true;
  std::atomic<bool> stopRequested_{false};

  // The model may report from a transfer's notifications as well as from the test's thread.
  mutable std::mutex mutex_;
  LogCapture log_;
  std::vector<Error> errors_;
  std::vector<std::string> warnings_;
  std::vector<std::string> statusLines_;
  std::vector<RecordingClient::Progress> progress_;
  int filesChecked_ = 0;
  std::vector<Restart> restarts_;
  std::vector<SelfReplacement> selfReplacements_;
  std::vector<SelfCopy> selfCopies_;
  int limitWarnings_ = 0;
  int timeEstimates_ = 0;

  std::unique_ptr<RecordingClient> client_;
  std::unique_ptr<ProgressRates> rates_;
  std::unique_ptr<RequestObserver> requestObserver_;
  std::unique_ptr<DownloadRequests> downloads_;
  std::unique_ptr<PatchCache> patchCache_;
  std::unique_ptr<DirectorySnapshot> snapshot_;
  // Last: its nodes use the parts above until they go.
  std::unique_ptr<ProductList> products_;
};

}  // namespace korvel::test
