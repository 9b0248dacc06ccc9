// The patch session: loads the manifest, scans the installation, downloads what is stale, and
// reports everything to its client (session/session_client.h), which owns it.
//
// Threads: the operations that start jobs, wait and stop run on the UI thread; the jobs, every walk
// over the manifest tree and the downloads run on the worker. The flags both sides read are atomics
// with one writer at a time; nothing here takes a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/worker_thread.h"
#include "common/xml_property.h"
#include "manifest/product_list.h"
#include "manifest/session_services.h"
#include "session/session_client.h"
#include "session/session_log.h"
#include "session/worker_job.h"
#include "transfer/transfer_observer.h"
#include "trust/manifest_key.h"


namespace korvel {

class DownloadRequests;
class ServerChoice;
class ProgressRates;
class PatchCache;
class DirectorySnapshot;
class ProductRecord;
class SelfUpdate;

// The files a download pass keeps in flight at once: KORVEL_CONNECTIONS clamped to 1 ..
// platform::kMaxConnectionsPerServer; 8 when it is unset or not a number.
int connectionsFromEnvironment();

class Patcher : public FileNodeServices, public NodeFactory, public DownloadObserver {
 public:
  // `client` (may be null) hears every notification; it must outlive the session.
  explicit Patcher(SessionClient* client);
  ~Patcher() override;
  Patcher(const Patcher&) = delete;
  Patcher& operator=(const Patcher&) = delete;

  SessionClient* client() const { return client_; }

  // ---- Logging -------------------------------------------------------------------------------
  static constexpr int kLogChannels = 2;
  // Writes "Patcher: " + text (at most 1023 characters) to the channel when one is attached there.
  void log(const char* text, int channel);
  void log(const char* text) { log(text, 0); }
  void log(const std::string& text, int channel) { log(text.c_str(), channel); }
  void log(const std::string& text) override { log(text.c_str(), 0); }
  // Attaches (or with null detaches) a channel.
  void attachLogSink(int channel, std::unique_ptr<LogSink> sink);

  // ---- What the model, the file nodes and the stager use (manifest/session_services.h) -----------
  void reportError(int code, const std::string& text) override;
  void showWarning(const std::string& text) override { reportError(0, text); }
  bool isCancelled() const override;
  bool stopRequested() const override { return stopRequested_.load(); }
  bool failedOrStopped() const override { return failedOrStopped_.load(); }
  void clearFailure() override;
  void setStatusLine(const std::string& text) override;
  void showProgress(int position, int bar) override;
  bool fileChecked() override;
  bool requestRestart(const std::string& file, bool isOwnProgram) override;
  bool hasServers() const override;
  int defaultPort() const override { return port_; }
  std::optional<ServerAddress> lastFailedServer() const override;
  std::optional<ServerAddress> firstServer(const RemoteFile& remote) const override;
  const std::string& defaultRootPath() const override { return defaultRootPath_; }
  const std::string& installDirectory() const override { return installDirectory_; }
  PatchCache& patchCache() override { return *patchCache_; }
  DirectorySnapshot& directorySnapshot() override { return *directorySnapshot_; }
  const std::string& snapshotFolder() const override { return snapshotFolder_; }
  ProgressRates& statistics() override { return *statistics_; }
  void reportTimeEstimate() override;
  ProductHandle* findProduct(TextArgument name) const override { return products_->findProduct(name); }
  std::unique_ptr<ManifestNode> makeFileNode() override;
  std::unique_ptr<Stager> makeStager(ProductHandle* product, const xmlNode* element) override;
  Stager* topStager() override;
  bool trickleEnabled() const override { return trickleEnabled_; }
  const std::string& ownFileName() const override;
  void registerSelfReplacement(const char* newCopy, const char* replacedName) override;
  void startSelfCopy(const char* sourceName, const char* targetName, bool inlineCopy) override;
  std::optional<std::uint64_t> writeCount() const override { return writeCount_.load(); }
  void limitExceededWarning() override;
  std::int64_t requestedDownloadBytes(const char* names, std::uint32_t flags) override {
    return sumDownloadBytes(names, flags);
  }
  bool strictSize() const override { return strictSize_; }
  int downloadToMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress) override;
  int downloadToFile(const FileDownload& file, bool useTemp, bool showProgress) override;
  int downloadCheckedFile(const FileDownload& file) override;
  bool planningDownloads() const override { return plan_ != nullptr; }
  void planDownload(const FileDownload& file) override;
  // Signed documents (session/patcher_signatures.cpp).
  bool documentsSigned() const override { return manifestKey_.required; }
  int downloadSignedDocument(const RemoteFile& remote, int capacity, std::string& text) override;

  // ---- What the transfers use (transfer/transfer_observer.h); any thread ------------------------
  int internetAccessMode() const override { return accessMode_; }
  void beforeConnect() override;
  void requestSent() override;
  // The first call per session raises the client's networkNotice; later calls do nothing.
  void dataReceived() override;
  // Cuts `path` to its last component ('\' and '/' both separate) and raises the client's
  // fileNotice; when that is not handled, fileStarted for kind 0, fileUnpacking for kind 1,
  // fileFinished for kind 3. A null path passes a null name.
  void reportFile(const char* path, int kind) override;
  void diskSpaceLow(std::uint64_t availableBytes, std::uint64_t neededBytes, const std::string& text) override;
  void timeEstimate(std::int64_t expectedFinish, std::int64_t secondsLeft) override;
  void markFailed() override { failedOrStopped_.store(true); }
  void showStatus(const std::string& text) override { setStatusLine(text); }

  // ---- Settings and state the front end and the tests use ----------------------------------------
  // From the start of a job until the worker has finished it (and while an update runs).
  bool isBusy() const { return workerBusy_.load() || updateRunning_.load(); }
  // Sets the stop flag and failedOrStopped; running walks and requests end at their next check.
  void stop();
  // The session has failed or was stopped: set by a failure the user was shown and by a stop, cleared
  // when a job starts. Any thread.
  void setFailedOrStopped(bool value) { failedOrStopped_.store(value); }
  // The access mode the next requests are opened with (0 to 3; -1 before a load picked one).
  void setInternetAccessMode(int mode) { accessMode_ = mode; }
  // defaultRootPath, or installDirectory when that is empty.
  std::string baseFor() const;
  // Whether a downloaded file of the wrong size fails (44) instead of only being warned about; off
  // unless set.
  void setStrictSize(bool on) { strictSize_ = on; }
  // The background stager's switch: off at the start; no option of the program turns it on.
  void setTrickleEnabled(bool on) { trickleEnabled_ = on; }
  // The requests with their counters, credentials and settings.
  DownloadRequests& downloads() { return *downloads_; }

  // ---- The products of the manifest (manifest/product_list.h) --------------------------------
  ProductList& products() { return *products_; }
  // The product built from the manifest's "Product" element and its node tree; null before a load.
  ProductHandle* topProduct() const { return products_->top(); }
  DistributionNode* tree() const { return products_->tree(); }

  // ---- Jobs (session/patcher_jobs.cpp) --------------------------------------------------------
  // Called on the UI thread. Flag 0x20 on any of them: wait, pumping messages, until the worker has
  // finished the job. `names` is a comma-separated list of product names; null or empty means all.
  static constexpr std::uint32_t kWaitFlag = 0x20;
  // A user or password length below 1 copies the argument as a C string, otherwise exactly that many
  // bytes; a null argument clears the field. Then as openRemoteManifest.
  bool openRemoteManifestWithLogin(const char* server, int port, const char* path, const char* user,
                                   const char* password, std::uint32_t flags, int userLength, int passwordLength);
  // Stores the manifest's location, drops any parsed document and starts the load job. With 0x20 the
  // result is whether a usable manifest was loaded, otherwise true. `server` is one patch server or a
  // comma-separated list of them ("cdn1.example:7000,https://cdn2.example", transfer/server_address.h),
  // each without a port asked on `port` (443 for https); every request on the session's servers goes
  // to the first of the list that has not failed in the run, and on to the next when it fails.
  bool openRemoteManifest(const char* server, int port, const char* path, std::uint32_t flags);
  // The session's patch servers, in the order given, and the ones that failed in this run.
  ServerChoice& servers();
  // Parses the local manifest file: error 83 and false when it does not parse, else the load job.
  bool openLocalManifest(const char* path, std::uint32_t flags);
  // Starts the load job on the worker; true when a load is already pending.
  bool startLoadJob(std::uint32_t flags);
  // The scan job (kind 4). False without a loaded manifest, or with error 81 when the worker cannot run.
  bool startScan(const char* names, std::uint32_t flags);
  // The scan-and-download job (kind 1). False without a loaded manifest, while an update runs, or when
  // the worker cannot run.
  bool update(const char* names, std::uint32_t flags);
  // Whether the last load gave a usable manifest.
  bool manifestLoaded() const { return manifestLoaded_.load(); }
  // bytesToUpdate and totalDownloadBytes over every product.
  void recountTotals();

  // ---- Sums and selection over the products (session/patcher_scan.cpp) -----------------------
  // With names: sets both selection flags of each named product and returns whether any matched;
  // without names: every product, true.
  bool selectDistributions(const char* names, bool on);
  // With names: each named product gets `path` as its local root (true when any matched); without
  // names: the default root path (null clears it; longer than 255 characters is refused).
  bool setDistributionPath(const char* names, const char* path);
  // The sums below walk the named products (every product without names) with the walk flags given
  // (manifest/scan_flags.h); a 32-bit sum above INT_MAX is given as INT_MAX.
  // File nodes counted.
  int countFiles(const char* names, std::uint32_t flags);
  // Bytes still to update (0 when everything is current).
  std::int64_t updateAmount(const char* names, std::uint32_t flags);
  // Bytes the downloads of the stale files will transfer.
  std::int64_t totalDownloadBytes(const char* names, std::uint32_t flags);
  // The room the largest single file needs while it is put in place.
  std::int64_t largestFileSpace(const char* names, std::uint32_t flags);
  // The named product's local root (empty when it has none or no product matches); without a name
  // the default root path.
  std::string distributionPath(const char* name) const;

  // ---- What the last load read (session/patcher_load.cpp) --------------------------------------
  // The manifest is fetched into a buffer of this many bytes; a larger body fails the access mode.
  static constexpr int kManifestCapacity = 5000000;
  // The answer of an authorisation-closing request is read into (and discarded from) this many bytes.
  static constexpr int kAuthCloseCapacity = 128000;
  // Named in the message of a failed refetch after the rerun marker.
  static constexpr const char* kSupportSite = "the Korvel support site";
  // A change-notes text with its version, kept per maintenance type (0 and 1).
  struct ChangeText {
    std::int32_t version = 0;
    std::string text;
  };
  int manifestVersion() const { return manifestVersion_; }
  const std::string& productName() const { return productName_; }
  int productVersion() const { return productVersion_; }
  bool patchFrozen() const { return patchFrozen_; }
  const std::string& patchFrozenBypassList() const { return patchFrozenBypassList_; }
  const std::vector<ChangeText>& changeList(int maintenanceType) const { return changeLists_[maintenanceType ? 1 : 0]; }
  const std::string& loadDirectory() const { return loadDirectory_; }
  bool accessModeTried(int mode) const { return mode >= 0 && mode < 4 && modeTried_[mode]; }
  bool accessModeUsable(int mode) const { return mode >= 0 && mode < 4 && modeUsable_[mode]; }
  // Whether a load ends with the rescan of every file (on unless switched off).
  void setRescanAfterLoad(bool on) { rescanAfterLoad_ = on; }
  // The installation folder, where the record of the highest signed release installed is kept (the
  // installation lock's folder); the current directory at the session's making until it is set.
  void setInstallationFolder(std::string folder) { installationFolder_ = std::move(folder); }
  // The front end found every file of the installation current: with a signed manifest loaded, its
  // release becomes the installation's record (as after an update pass that left every file current).
  void noteInstallationCurrent();

  // ---- The scan's caches and counters ------------------------------------------------------------
  // Fills the snapshot from `folder` (dropping what it held) and opens the folder's patch cache, as
  // every scan does before it checks files. Worker thread, or while no job runs.
  void openCaches(const std::string& folder);
  int filesTotal() const { return filesTotal_; }
  int filesChecked() const { return filesChecked_; }
  std::int64_t bytesToUpdate() const;

  // ---- The running program and its replacement (session/patcher_self_update.cpp) ---------------
  // Reads the process's command line (see SelfUpdate); an "inetType:" token sets the access mode.
  void scanOwnCommandLine();
  // Tests: the name the running program goes by from now on.
  void setOwnFileName(std::string name);
  const std::string& ownProgramPath() const;
  const std::string& restartArguments() const;
  // Stops the session and starts the program anew (SelfUpdate::startNewInstance). With exitAfter the
  // process then exits with 0 at the worker's next change between busy and idle, after the patch
  // cache is saved. Returns whether the new instance was started.
  bool restartProgram(bool exitAfter);
  bool exitAfterJob() const { return exitAfterJob_.load(); }
  SelfUpdate& selfUpdate() { return *selfUpdate_; }

 private:
  // Job machinery (session/patcher_jobs.cpp).
  int workerMain(const WorkerJob& job);
  // Hands job_ to the worker; false when no thread could be started (workerBusy is then clear).
  bool runJob();
  // Marks the worker busy or idle; once a restart asked for it, the process exits here instead.
  void setWorkerBusy(bool busy);
  // While workerBusy: dispatch up to five waiting messages, then sleep `stepMs`.
  void waitForWorker(unsigned stepMs);
  // The load job (session/patcher_load.cpp).
  bool loadJob(const WorkerJob& job);
  // The scan job's passes (session/patcher_scan.cpp): the rescan of every file after a load, and
  // the scan of the named products. False when the session was cancelled.
  bool rescan(const char* names, std::uint32_t flags);
  bool scanPass(const char* names, std::uint32_t flags);
  // The download job's pass (session/patcher_download.cpp): every stale file of the named products
  // (the top product without names) brought up to date, then the cache saved.
  bool downloadPass(const char* names);
  void resetProductList();
  // Load steps (session/patcher_load.cpp).
  // The body of `remote` fetched into a zero-filled buffer of `capacity` bytes; nothing when the
  // request fails or the path is empty.
  // With `code`, the request's result (100 when it was not made).
  std::optional<std::string> memoryFetch(int capacity, const RemoteFile& remote, int decompress, int* code = nullptr);
  // False when no access mode gave the manifest; authRequired or securityFailure (50, 51, 52, 53)
  // tell why: an authorisation page ends the load at once, and a refused signature or certificate
  // at every server of a mode ends it with that code.
  bool fetchManifest(bool& authRequired, int& securityFailure);
  // One server's answer for the manifest within an access mode, checked: true when it is the
  // manifest (m_xmlInfo then holds it) or an authorisation page (authRequired set). A refused
  // signature sets securityFailure.
  bool fetchManifestFrom(const ServerAddress& server, bool& authRequired, int& securityFailure);
  // Signed manifests (session/patcher_signatures.cpp).
  // The manifest's bytes as stored at `server` into `bytes`, and its text; nothing when the request
  // fails, is answered with an error page (other than an authorisation request) or the gzip data is
  // broken.
  std::optional<std::string> signedManifestFetch(const ServerAddress& server, std::string& bytes, int* code);
  // The manifest fetched from `server` as `bytes` against its signature there: 0, 50 or 51, logged.
  int checkManifestSignature(const ServerAddress& server, const std::string& bytes);
  // One server's document and signature: 0 with `text`, or why not (downloadSignedDocument).
  int signedDocumentFrom(const RemoteFile& remote, int capacity, std::string& text);
  // A local manifest file against the signature file beside it: 0, 50 or 51, logged.
  int checkLocalManifestSignature();
  // Logs why `document` was refused (code 50 or 51).
  void logSignatureFailure(int code, const std::string& document);
  // With a manifest key: whether signed release `offered` may be installed here, neither older than
  // the release the installation remembers nor past its expiry; a refusal (54, 55) is reported.
  bool acceptRelease(int offered);
  // The same question, unreported: 0, or 54 or 55 with the refusal's text.
  int releaseVerdict(int offered, std::string& text);
  // With a manifest key, after a pass that left every file current: the accepted release becomes the
  // installation's record when it is higher than the one remembered.
  void rememberRelease();
  int nextAccessMode() const;
  bool validate(std::uint32_t flags);
  void takeRootPath(const std::optional<std::string>& root);
  void readChangeTexts(xmlNode* product);
  void dropDocument();
  // Walk helpers (session/patcher_scan.cpp).
  // Runs `visit` for each named product (every product without names: the top one when `topOnly`),
  // selecting an unselected named product for the duration. Returns whether any name matched.
  bool forProducts(const char* names, bool topOnly, const std::function<void(ProductRecord&)>& visit);
  std::int64_t sumDownloadBytes(const char* names, std::uint32_t flags);
  // The base each product is walked with: its own base directory, with `base` as the fallback.
  std::string productBase(ProductRecord& product, const std::string& base) const;
  // Deletes the temporary download files a killed run left in the snapshot's folder.
  void removeLeftoverTemporaries(const std::string& folder);
  // Of the partial bodies found there (paths of their ".part" and ".tag" files), removes those that no
  // entry of the manifest would continue any more.
  void removeStalePartials(const std::vector<std::string>& paths);
  // Empties the snapshot at the end of a pass.
  void dropSnapshot();
  void savePatchCache();
  // After a pass that made requests: the authorisation-closing request of every product that names
  // one, even after a stop (session/patcher_download.cpp).
  void closeAuthorisations();
  // Plans the download walk of `product` and starts fetching ahead (nothing with one connection).
  void planDownloads(ProductRecord& product, const std::string& productRoot);

 private:
  SessionClient* client_;
  std::string installDirectory_;  // the current directory when the session was made

  // Manifest location and credentials.
  std::string server_;  // the server or list of servers given; empty: a local manifest file
  int port_ = 0;
  std::string manifestPath_;
  XmlDocument m_xmlInfo;
  std::atomic<int> accessMode_{-1};  // the transfer threads read it
  std::array<bool, 4> modeTried_{};
  std::array<bool, 4> modeUsable_{};
  std::string defaultRootPath_;  // at most 255 characters
  std::string loadDirectory_;
  int manifestVersion_ = 0;
  std::string productName_;
  int productVersion_ = 0;
  bool patchFrozen_ = false;
  std::string patchFrozenBypassList_;
  std::array<std::vector<ChangeText>, 2> changeLists_;
  // Read at the start of every load; the documents of that load are checked with it.
  trust::ManifestKey manifestKey_;
  // The signed release of the last load: the trusted comment its signature vouched for, and its
  // Product Version once accepted.
  struct SignedRelease {
    std::string trustedComment;
    std::optional<int> version;
  };
  SignedRelease signedRelease_;
  std::string installationFolder_;  // empty: installDirectory_
  // Why the last server's signed release was refused (54, 55): the load's report when every server's was.
  std::string refusedReleaseText_;

  // Jobs.
  WorkerJob job_;
  WorkerThread worker_;
  std::atomic<bool> workerBusy_{false};
  // Advanced by every job that may write to an installation and by the program's self copy.
  std::atomic<std::uint64_t> writeCount_{0};
  std::atomic<bool> updateRunning_{false};
  std::atomic<bool> loading_{false};
  std::atomic<bool> manifestLoaded_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> failedOrStopped_{false};
  // While a download walk is being planned: where the file nodes' full downloads are collected.
  std::vector<FileDownload>* plan_ = nullptr;
  std::atomic<bool> networkNoticeSent_{false};
  std::atomic<bool> exitAfterJob_{false};
  bool rescanAfterLoad_ = true;
  bool strictSize_ = false;
  std::atomic<bool> limitWarningGiven_{false};
  std::string snapshotFolder_;

  // Counters of the scan and download passes.
  int filesTotal_ = 0;
  int filesChecked_ = 0;

  std::unique_ptr<ProgressRates> statistics_;
  std::unique_ptr<DownloadRequests> downloads_;
  std::unique_ptr<SelfUpdate> selfUpdate_;
  std::unique_ptr<PatchCache> patchCache_;
  std::unique_ptr<DirectorySnapshot> directorySnapshot_;
  // Declared after the caches it shares, so it is destroyed before them.
  std::unique_ptr<ProductList> products_ =
      std::make_unique<ProductList>(this, this, patchCache_.get(), directorySnapshot_.get());
  bool trickleEnabled_ = false;

  std::array<std::unique_ptr<LogSink>, kLogChannels> logSink_;
};

}  // namespace korvel
