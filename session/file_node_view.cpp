// The session as a file node sees it, and the factory of file nodes and stagers.
#include "session/file_node_view.h"

#include "common/result_codes.h"
#include "fileupdate/file_node.h"
#include "manifest/distribution_node.h"
#include "manifest/product_list.h"
#include "manifest/product_record.h"
#include "session/self_update.h"
#include "staging/trickle_downloader.h"
#include "transfer/download_requests.h"

namespace korvel {

void FileNodeView::clearFailure() {
  if (!state_.stopRequested.load()) state_.failedOrStopped.store(false);
}

bool FileNodeView::fileChecked() {
  if (state_.filesTotal <= 0) return false;
  ++state_.filesChecked;
  reports_.showProgress(static_cast<int>(static_cast<std::int64_t>(state_.filesChecked) * 100 / state_.filesTotal), 0);
  return true;
}

bool FileNodeView::requestRestart(const std::string& file, bool isOwnProgram) {
  SessionClient* client = reports_.client();
  if (!client || !client->restartRequested(file.c_str(), isOwnProgram)) return false;
  client->stopped();
  return true;
}

void FileNodeView::reportTimeEstimate() { downloads_.reportTimeEstimate(); }

Stager* FileNodeView::topStager() {
  ProductHandle* top = parts_.products.top();
  DistributionNode* root = top ? top->record().rootDistribution() : nullptr;
  return root ? root->stager() : nullptr;
}

const std::string& FileNodeView::ownFileName() const { return parts_.selfUpdate.ownFileName(); }

void FileNodeView::registerSelfReplacement(const char* newCopy, const char* replacedName) {
  parts_.selfUpdate.registerSelfReplacement(newCopy, replacedName);
}

void FileNodeView::startSelfCopy(const char* sourceName, const char* targetName, bool inlineCopy) {
  state_.writeCount.fetch_add(1);
  parts_.selfUpdate.startSelfCopy(sourceName, targetName, inlineCopy);
}

void FileNodeView::limitExceededWarning() {
  if (state_.limitWarningGiven.exchange(true)) return;
  reports_.reportError(result::kLimitWarning,
                       "Warning: Download Limit exceeded.  Please install any missing files from your CD.\n");
}

int FileNodeView::downloadCheckedFile(const FileDownload& file) { return downloads_.toFile(file, true, true, true); }

void FileNodeView::planDownload(const FileDownload& file) {
  // A request without a path or target fails at its turn, as it does today; it is never fetched ahead.
  if (!state_.plan || file.remote.path.empty() || file.localFile.empty()) return;
  state_.plan->push_back(DownloadRequests::plannedDownload(file, true));
}

std::unique_ptr<ManifestNode> FileNodeView::makeFileNode() { return std::make_unique<FileNode>(this); }

std::unique_ptr<Stager> FileNodeView::makeStager(ProductHandle* product, const xmlNode* element) {
  return std::make_unique<TrickleDownloader>(product, element);
}

}  // namespace korvel
