// What a file node asks of the session (manifest/session_services.h, FileNodeServices), and the
// factory the tree reader makes file nodes and stagers with. What every node may ask is the tree's
// view's, which this one passes on to.
//
// Threads: the worker, or the thread that walks a tree while no job runs; failedOrStopped any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "manifest/session_services.h"
#include "session/session_reports.h"
#include "session/session_state.h"
#include "session/tree_view.h"

namespace korvel {

class DownloadRequests;
class ProductList;
class SelfUpdate;

class FileNodeView : public FileNodeServices, public NodeFactory {
 public:
  // The parts the file nodes use; `selfUpdate` and `products` are only held here.
  struct Parts {
    DownloadRequests& downloads;
    ProgressRates& statistics;
    PatchCache& patchCache;
    DirectorySnapshot& snapshot;
    ProductList& products;
    SelfUpdate& selfUpdate;
  };
  FileNodeView(TreeView& tree, SessionReports& reports, SessionState& state, const Parts& parts)
      : tree_(tree), reports_(reports), state_(state), parts_(parts) {}

  // ---- What every node may ask: the tree's view ---------------------------------------------------
  void log(const std::string& line) override { tree_.log(line); }
  bool isCancelled() const override { return tree_.isCancelled(); }
  const std::string& defaultRootPath() const override { return tree_.defaultRootPath(); }
  const std::string& installDirectory() const override { return tree_.installDirectory(); }
  bool trickleEnabled() const override { return tree_.trickleEnabled(); }
  std::optional<ServerAddress> firstServer(const RemoteFile& remote) const override { return tree_.firstServer(remote); }
  void reportError(int code, const std::string& text) override { tree_.reportError(code, text); }
  bool hasServers() const override { return tree_.hasServers(); }
  int defaultPort() const override { return tree_.defaultPort(); }
  std::optional<ServerAddress> lastFailedServer() const override { return tree_.lastFailedServer(); }
  ProductHandle* findProduct(TextArgument name) const override { return tree_.findProduct(name); }
  std::int64_t requestedDownloadBytes(const char* names, std::uint32_t flags) override {
    return tree_.requestedDownloadBytes(names, flags);
  }
  int downloadToMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress) override {
    return tree_.downloadToMemory(buffer, capacity, remote, decompress);
  }
  int downloadToFile(const FileDownload& file, bool useTemp, bool showProgress) override {
    return tree_.downloadToFile(file, useTemp, showProgress);
  }
  bool planningDownloads() const override { return tree_.planningDownloads(); }
  bool documentsSigned() const override { return tree_.documentsSigned(); }
  int downloadSignedDocument(const RemoteFile& remote, int capacity, std::string& text) override {
    return tree_.downloadSignedDocument(remote, capacity, text);
  }

  // ---- What only a file node asks -----------------------------------------------------------------
  void showWarning(const std::string& text) override { reports_.reportError(0, text); }
  bool stopRequested() const override { return state_.stopRequested.load(); }
  bool failedOrStopped() const override { return state_.failedOrStopped.load(); }
  void clearFailure() override;
  void setStatusLine(const std::string& text) override { reports_.setStatusLine(text); }
  void showProgress(int position, int bar) override { reports_.showProgress(position, bar); }
  bool fileChecked() override;
  bool requestRestart(const std::string& file, bool isOwnProgram) override;
  PatchCache& patchCache() override { return parts_.patchCache; }
  DirectorySnapshot& directorySnapshot() override { return parts_.snapshot; }
  const std::string& snapshotFolder() const override { return state_.snapshotFolder; }
  ProgressRates& statistics() override { return parts_.statistics; }
  void reportTimeEstimate() override;
  Stager* topStager() override;
  const std::string& ownFileName() const override;
  void registerSelfReplacement(const char* newCopy, const char* replacedName) override;
  void startSelfCopy(const char* sourceName, const char* targetName, bool inlineCopy) override;
  std::optional<std::uint64_t> writeCount() const override { return state_.writeCount.load(); }
  void limitExceededWarning() override;
  bool strictSize() const override { return state_.strictSize; }
  int downloadCheckedFile(const FileDownload& file) override;
  void planDownload(const FileDownload& file) override;

  // ---- NodeFactory ---------------------------------------------------------------------------------
  // A FileNode on this view, and a TrickleDownloader.
  std::unique_ptr<ManifestNode> makeFileNode() override;
  std::unique_ptr<Stager> makeStager(ProductHandle* product, const xmlNode* element) override;

 private:
  TreeView& tree_;
  SessionReports& reports_;
  SessionState& state_;
  Parts parts_;
};

}  // namespace korvel
