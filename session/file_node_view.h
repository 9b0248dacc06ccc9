// What a file node asks of the session (manifest/session_services.h, FileNodeServices), and the
// factory the tree reader makes file nodes and stagers with. What every node may ask is answered as
// the tree's view answers it (TreeViewOf).
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

class FileNodeView : public TreeViewOf<FileNodeServices>, public NodeFactory {
 public:
  // The parts the file nodes use besides the tree view's; `selfUpdate` and `products` are only held here.
  struct Parts {
    ProgressRates& statistics;
    PatchCache& patchCache;
    DirectorySnapshot& snapshot;
    ProductList& products;
    SelfUpdate& selfUpdate;
  };
  FileNodeView(SessionReports& reports, SessionState& state, DownloadRequests& downloads, ProductWalks& walks,
               SignedDocuments& documents, const Parts& parts)
      : TreeViewOf(reports, state, downloads, walks, documents), parts_(parts) {}

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
  Parts parts_;
};

}  // namespace korvel
