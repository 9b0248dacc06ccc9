// The background stager of a distribution that is not live yet: built from a non-live "Distribution"
// element, it hands the coming version's files to a background transfer job while the current version
// is patched, so that they arrive in a hidden staging folder over this and later runs (and between
// them); when that version is live, the file nodes take the staged copies instead of downloading.
//
// The staging folder is <base>\wd_trickle_stage\<owner>, base being the session's default root path,
// or its installation folder when there is none. Two patch caches there remember what was handed to
// the job of the staged version ("CurrPatchCache2.xml", whose serial is that version) and what has
// arrived completely ("XferPatchCache2.xml"). Their entries hold what the file will be once in place:
// the manifest's CRC, "TotalSize" and time stamp. What the service fetches is what the server holds
// (the gzip body of a compressed file); getStagedFile expands and checks a copy when it takes it.
//
// All operations run on the session's worker thread, like the walks that call them; the transfer
// service is reached through a TarnBitsManager made and destroyed on that thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/text_argument.h"
#include "manifest/stager.h"

typedef struct _xmlNode xmlNode;

namespace tarn::trickler {
class TarnBitsJob;
class TarnBitsManager;
}  // namespace tarn::trickler

namespace korvel {

class PatchCache;
class PatchCacheEntry;
class ProductHandle;

class TrickleDownloader : public Stager {
 public:
  using TarnBitsJob = tarn::trickler::TarnBitsJob;
  using TarnBitsManager = tarn::trickler::TarnBitsManager;

  // The cache of the files handed to the background transfer of the staged version.
  static constexpr const char* kCurrentCacheName = "CurrPatchCache2.xml";
  // The cache of the files known to have arrived completely.
  static constexpr const char* kTransferCacheName = "XferPatchCache2.xml";
  // The hidden folder the staging folders of every owner live in.
  static constexpr const char* kStageFolderName = "wd_trickle_stage";
  // Log lines, paths and URLs hold at most this many characters; longer paths and URLs are refused.
  static constexpr std::size_t kMessageCapacity = 1024;

  // Reads the element's "Name", "Version", "Server" and "Port", keeps its own copy of the element (the
  // document it came from may be freed before staging runs), creates the two staging caches (entries
  // of files missing on disk are kept) and logs its creation and the server it will use.
  TrickleDownloader(ProductHandle* product, const xmlNode* element);
  // Saves both caches (nothing is written for caches never opened).
  ~TrickleDownloader() override;
  TrickleDownloader(const TrickleDownloader&) = delete;
  TrickleDownloader& operator=(const TrickleDownloader&) = delete;

  // Stages the distribution. With the session's trickle switch off it only logs that staging is
  // disabled and counts as done. Otherwise it runs once per object: a new version completes the job
  // of the one staged before and gets a job of its own with every file not here yet; the same version
  // only resumes a suspended job; a vanished job makes it start over, once per call. The transfer
  // service missing is logged and the operation does not count as done.
  void stageDistribution() override;

  // Takes the staged copy of localPath, whose path below the staging folder is its path below baseDir
  // (for delta data: the folder of that path and the check's deltaName): when the transfer cache holds
  // it with this CRC, size and time stamp and (with move) the copy, expanded when it is gzip data, has
  // this size, CRC (not for delta data) and the check's SHA-256, it is renamed over localPath. Logs the
  // outcome. Does not look at the trickle switch; creates nothing when nothing was ever staged.
  bool getStagedFile(TextArgument baseDir, TextArgument localPath, std::uint32_t crc, std::int64_t size,
                     std::int32_t timeStamp, bool move, const StagedCopyCheck& check) override;

  // Whether the manifest's version differs from the staged one (the current cache's serial, which it
  // also copies to stagedVersion). False without a version.
  bool versionChanged();
  // The owner text of the service's job names, learnt once from a manager; empty when the service
  // cannot be reached.
  void setUserName();
  // The staging folder, created (with the hidden root) on first use.
  const std::string& getStageDir();
  // Opens both caches in the staging folder.
  void loadCaches();
  // Adds the file at remoteDir/remoteName (on this distribution's server, else the product's) to the
  // job as localPath.
  void stageFile(const std::string& localPath, const std::optional<std::string>& remoteDir,
                 const std::string& remoteName, TarnBitsJob& job);
  // Whether localDir\name must be added to the job: not when the transfer cache holds it with the
  // expected values. Otherwise the current cache takes the expected values, and the answer is whether
  // the job lacks the file.
  bool needsStaging(const std::string& localDir, const std::string& name, const PatchCacheEntry& expected,
                    TarnBitsJob& job);
  // Finishes the job of the staged version: its completed files (and the current cache's files that
  // are on disk) move to the transfer cache, the current cache is emptied, the staging folder cleaned,
  // and the service told to commit the job.
  void completeCurrentJob(TarnBitsManager& manager);
  // The job of this name exists already: an errored one is cancelled and forgotten, otherwise the
  // distribution is walked again to add what the job lacks.
  void rebuildCache(TarnBitsManager& manager, const std::wstring& jobName);
  // Deletes every file of the staging folder the transfer cache does not know (StagingTreeVisitor).
  void cleanStageDir();

  // The job name of a version: product name + "|" + distribution name + "|" + the version as a number.
  std::wstring jobName(const std::string& version) const;

  // Writes a complete line to the session's log and to the debugger output channel.
  void log(const std::string& line) const;

  ProductHandle* product() const { return product_; }
  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& version() const { return version_; }
  const std::optional<std::string>& server() const { return server_; }
  std::int32_t port() const { return port_; }
  bool done() const { return done_; }
  const xmlNode* element() const { return element_.get(); }
  PatchCache& currentCache() const { return *currentCache_; }
  PatchCache& transferCache() const { return *transferCache_; }
  const std::wstring& userName() const { return userName_; }
  const std::optional<std::string>& stagedVersion() const { return stagedVersion_; }

 private:
  struct NodeFree {
    void operator()(xmlNode* node) const;
  };

  // One run of the staging operation; true when the staged version's job has vanished and
  // `mayRestage` lets the caller run it again.
  bool stagePass(bool mayRestage);
  // Walks the element's children into the job, then records the version as staged.
  void processDistribution(TarnBitsJob& job);
  void processNodes(const xmlNode* node, const std::string& localDir, const std::optional<std::string>& remoteDir,
                    TarnBitsJob& job);
  void processFileNode(const xmlNode* file, const std::string& localDir, const std::string& localName,
                       const std::optional<std::string>& remoteDir, TarnBitsJob& job);
  void stageEntry(const xmlNode* delta, const xmlNode* file, const std::string& localDir, const std::string& localName,
                  const std::optional<std::string>& remoteDir, TarnBitsJob& job);
  // <base>\wd_trickle_stage (see the top of this file); not created.
  std::string stageRoot() const;
  // Logs and answers false for a name that is not one plain path component.
  bool admitName(const std::optional<std::string>& name) const;

  ProductHandle* product_;
  std::unique_ptr<PatchCache> currentCache_;
  std::unique_ptr<PatchCache> transferCache_;
  std::wstring userName_;
  std::unique_ptr<xmlNode, NodeFree> element_;
  bool cachesLoaded_ = false;
  bool done_ = false;
  std::optional<std::string> name_;
  std::optional<std::string> server_;
  std::int32_t port_ = 0;
  std::optional<std::string> version_;
  std::optional<std::string> stagedVersion_;
  std::string stageDir_;
};

}  // namespace korvel
