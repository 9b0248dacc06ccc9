// Shared pieces of the fuzz targets: a scratch folder per process (made once, emptied between
// inputs, removed at exit), whole-file helpers, and a session of the floors below the Patcher whose
// downloads never reach a network: memory downloads answer with a document the target sets, every
// other download fails.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manifest/product_list.h"
#include "manifest/session_services.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/patch_cache.h"
#include "transfer/progress_rates.h"

namespace korvel::fuzz {

// Makes the process's scratch folder (below the system's temporary folder, named after `target` and
// a random number), makes it the current directory and removes it at exit. Aborts when it cannot.
// Returns its full path.
const std::string& makeScratchFolder(const char* target);
const std::string& scratchFolder();
// Removes everything inside the scratch folder, which stays the current directory.
void emptyScratchFolder();
// The number of entries directly inside the scratch folder.
std::size_t scratchEntries();
// The names of those entries.
std::vector<std::string> scratchNames();

bool writeWhole(const std::string& path, const void* data, std::size_t size);
std::optional<std::string> readWhole(const std::string& path);

// libxml2 reports parse errors on stderr unless told otherwise: the targets parse broken documents.
void silenceXmlErrors();

// Stops the process with a message: a property the target checks did not hold.
[[noreturn]] void fail(const char* what);

class FuzzSession : public FileNodeServices, public NodeFactory {
 public:
  FuzzSession();
  ~FuzzSession() override;
  FuzzSession(const FuzzSession&) = delete;
  FuzzSession& operator=(const FuzzSession&) = delete;

  // What every memory download answers with (delivered as the transfer delivers a body: cut to the
  // buffer, zero-terminated); nothing makes memory downloads fail too.
  void setDocument(std::optional<std::string> document) { document_ = std::move(document); }
  int memoryDownloads() const { return memoryDownloads_; }
  // What failedOrStopped answers (true makes retry loops give up at once).
  void setFailed(bool failed) { failed_ = failed; }
  ProductList& products() { return *products_; }

  void log(const std::string& line) override {}
  void reportError(int code, const std::string& text) override {}
  void showWarning(const std::string& text) override {}
  bool isCancelled() const override { return failed_; }
  bool stopRequested() const override { return false; }
  bool failedOrStopped() const override { return failed_; }
  void clearFailure() override {}
  void setStatusLine(const std::string& text) override {}
  void showProgress(int position, int bar) override {}
  bool fileChecked() override { return true; }
  bool requestRestart(const std::string& file, bool isOwnProgram) override { return false; }
  bool hasServers() const override { return false; }
  int defaultPort() const override { return 0; }
  const std::string& defaultRootPath() const override { return root_; }
  const std::string& installDirectory() const override { return root_; }
  PatchCache& patchCache() override { return *patchCache_; }
  DirectorySnapshot& directorySnapshot() override { return *snapshot_; }
  const std::string& snapshotFolder() const override { return snapshotFolder_; }
  ProgressRates& statistics() override { return *rates_; }
  void reportTimeEstimate() override {}
  ProductHandle* findProduct(TextArgument name) const override { return products_->findProduct(name); }
  std::unique_ptr<ManifestNode> makeFileNode() override;
  std::unique_ptr<Stager> makeStager(ProductHandle* product, const xmlNode* element) override;
  Stager* topStager() override { return nullptr; }
  bool trickleEnabled() const override { return false; }
  const std::string& ownFileName() const override { return ownFileName_; }
  void registerSelfReplacement(const char* newCopy, const char* replacedName) override {}
  void startSelfCopy(const char* sourceName, const char* targetName, bool inlineCopy) override {}
  void limitExceededWarning() override {}
  std::int64_t requestedDownloadBytes(const char* names, std::uint32_t flags) override { return 0; }
  bool strictSize() const override { return false; }
  int downloadToMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress) override;
  int downloadToFile(const FileDownload& file, bool useTemp, bool showProgress) override;
  int downloadCheckedFile(const FileDownload& file) override;

 private:
  std::string root_;
  std::string snapshotFolder_;
  std::string ownFileName_ = "korvel-fuzz";
  std::optional<std::string> document_;
  int memoryDownloads_ = 0;
  bool failed_ = false;
  std::unique_ptr<ProgressRates> rates_;
  std::unique_ptr<PatchCache> patchCache_;
  std::unique_ptr<DirectorySnapshot> snapshot_;
  std::unique_ptr<ProductList> products_;
};

}  // namespace korvel::fuzz
