// The patch session, owned by its client (session/session_client.h): it coordinates the worker and its
// jobs (ManifestLoad, ScanJob, DownloadPass; SelfUpdate for the running program), the stop flags, and
// the state read by the views it gives the floors below (TreeView, FileNodeView, TransferReports).
//
// Threads: the operations that start jobs, wait and stop run on the UI thread; the jobs, every walk
// over the manifest tree and the downloads run on the worker. Shared flags are atomics; no locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/worker_thread.h"
#include "common/xml_property.h"
#include "manifest/product_list.h"
#include "session/download_pass.h"
#include "session/file_node_view.h"
#include "session/manifest_load.h"
#include "session/product_walks.h"
#include "session/release_record.h"
#include "session/scan_job.h"
#include "session/self_update.h"
#include "session/signed_documents.h"
#include "session/transfer_reports.h"
#include "session/tree_view.h"
#include "session/worker_job.h"

namespace korvel {

class DownloadRequests;

class Patcher {
 public:
  // `client` (may be null) hears every notification; it must outlive the session.
  explicit Patcher(SessionClient* client);
  ~Patcher();
  Patcher(const Patcher&) = delete;
  Patcher& operator=(const Patcher&) = delete;

  SessionClient* client() const { return reports_.client(); }
  // Writes "Patcher: " + text (at most 1023 characters) to channel 0 or 1 when one is attached there.
  void log(const char* text, int channel = 0) { reports_.log(text, channel); }
  void log(const std::string& text, int channel = 0) { reports_.log(text.c_str(), channel); }
  void attachLogSink(int channel, std::unique_ptr<LogSink> sink) { reports_.attachLogSink(channel, std::move(sink)); }

  // ---- The views the floors below are given, and what the front end reads of them --------------
  TreeView& treeView() { return treeView_; }
  FileNodeView& fileNodeView() { return fileNodeView_; }
  TransferReports& transferReports() { return transferReports_; }
  int internetAccessMode() const { return state_.accessMode; }
  bool stopRequested() const { return state_.stopRequested.load(); }
  bool failedOrStopped() const { return state_.failedOrStopped.load(); }
  void dataReceived() { transferReports_.dataReceived(); }
  void reportFile(const char* path, int kind) { transferReports_.reportFile(path, kind); }
  ProgressRates& statistics() { return *statistics_; }

  // ---- Settings and state the front end and the tests use ----------------------------------------
  // Where the session works, what it was told, its flags and counters.
  const SessionState& state() const { return state_; }
  // From the start of a job until the worker has finished it (and while an update runs).
  bool isBusy() const { return workerBusy_.load() || state_.updateRunning.load(); }
  // Sets the stop flag and failedOrStopped; running walks and requests end at their next check.
  void stop();
  // Set by a failure the user was shown and by a stop, cleared when a job starts.
  void setFailedOrStopped(bool value) { state_.failedOrStopped.store(value); }
  // The access mode the next requests are opened with (0 to 3; -1 before a load picked one).
  void setInternetAccessMode(int mode) { state_.accessMode = mode; }
  // The background stager's switch: off at the start; no option of the program turns it on.
  void setTrickleEnabled(bool on) { state_.trickleEnabled = on; }
  DownloadRequests& downloads() { return *downloads_; }
  ProductList& products() { return products_; }

  // ---- Jobs (session/patcher_jobs.cpp), called on the UI thread -------------------------------------
  // Flag 0x20: wait (pumping messages) until the worker has finished. `names`: comma-separated, null: all.
  static constexpr std::uint32_t kWaitFlag = 0x20;
  // A user or password length below 1 copies the argument as a C string, otherwise exactly that many
  // bytes; a null argument clears the field. Then as openRemoteManifest.
  bool openRemoteManifestWithLogin(const char* server, int port, const char* path, const char* user,
                                   const char* password, std::uint32_t flags, int userLength, int passwordLength);
  // Stores the manifest's location (one server or a list, transfer/server_address.h), drops any parsed
  // document and starts the load job. With 0x20: whether a usable manifest was loaded, else true.
  bool openRemoteManifest(const char* server, int port, const char* path, std::uint32_t flags);
  // Parses the local manifest file: error 83 and false when it does not parse, else the load job.
  bool openLocalManifest(const char* path, std::uint32_t flags);
  // The scan job (kind 4). False without a loaded manifest, or with error 81 when the worker cannot run.
  bool startScan(const char* names, std::uint32_t flags);
  // The scan-and-download job (kind 1). False without a loaded manifest, while an update runs, or when
  // the worker cannot run.
  bool update(const char* names, std::uint32_t flags);
  bool manifestLoaded() const { return state_.manifestLoaded.load(); }
  // Every file was found current: with a signed manifest loaded, its release is recorded.
  void noteInstallationCurrent();
  void setInstallationFolder(std::string folder) { state_.installationFolder = std::move(folder); }

  // ---- The walks and what the last load read -----------------------------------------------------
  ProductWalks& walks() { return walks_; }
  const ManifestLoad& load() const { return load_; }
  void setRescanAfterLoad(bool on) { load_.setRescanAfterLoad(on); }
  bool selectDistributions(const char* names, bool on) { return walks_.selectDistributions(names, on); }
  bool setDistributionPath(const char* names, const char* path) { return walks_.setDistributionPath(names, path); }
  int countFiles(const char* names, std::uint32_t flags) { return walks_.countFiles(names, flags); }
  std::int64_t updateAmount(const char* names, std::uint32_t flags) { return walks_.updateAmount(names, flags); }

  // ---- The running program and its replacement ---------------------------------------------------
  // Reads the process's command line (see SelfUpdate); an "inetType:" token sets the access mode.
  void scanOwnCommandLine();
  // Stops the session and starts the program anew (SelfUpdate::startNewInstance); with exitAfter the
  // process exits with 0, the patch cache saved, when the worker next turns busy or idle.
  bool restartProgram(bool exitAfter);
  bool exitAfterJob() const { return exitAfterJob_.load(); }
  SelfUpdate& selfUpdate() { return selfUpdate_; }

 private:
  bool startLoadJob(std::uint32_t flags);  // true when a load is already pending
  int workerMain(const WorkerJob& job);
  bool runJob();  // hands job_ to the worker; false (and not busy) when no thread could be started
  // Marks the worker busy or idle; once a restart asked for it, the process exits here instead.
  void setWorkerBusy(bool busy);
  // While workerBusy: dispatch up to five waiting messages, then sleep `stepMs`.
  void waitForWorker(unsigned stepMs);

  SessionReports reports_;
  SessionState state_;
  XmlDocument manifestDocument_;
  WorkerJob job_;
  WorkerThread worker_;
  std::atomic<bool> workerBusy_{false};
  std::atomic<bool> exitAfterJob_{false};
  // Made in this order; the views also hold the walks, the product list and SelfUpdate made after them.
  // The product list goes before the caches it shares and the views its nodes use.
  std::unique_ptr<ProgressRates> statistics_;
  TransferReports transferReports_{reports_, state_};
  std::unique_ptr<DownloadRequests> downloads_;
  std::unique_ptr<PatchCache> patchCache_;
  std::unique_ptr<DirectorySnapshot> directorySnapshot_;
  SignedDocuments documents_{reports_, state_, *downloads_};
  ReleaseRecord release_{reports_, state_};
  TreeView treeView_{reports_, state_, *downloads_, walks_, documents_};
  FileNodeView fileNodeView_{reports_, state_, *downloads_, walks_, documents_,
                             {*statistics_, *patchCache_, *directorySnapshot_, products_, selfUpdate_}};
  SelfUpdate selfUpdate_{fileNodeView_};
  ProductList products_{&treeView_, &fileNodeView_, patchCache_.get(), directorySnapshot_.get()};
  ProductWalks walks_{reports_, state_, products_};
  ScanJob scan_{reports_, state_, walks_, *patchCache_, *directorySnapshot_, *downloads_};
  ManifestLoad load_{reports_, state_, {manifestDocument_, *downloads_, products_, treeView_, documents_, release_, scan_}};
  DownloadPass downloadPass_{reports_, state_, {*downloads_, *statistics_, walks_, scan_, release_}};
};

}  // namespace korvel
