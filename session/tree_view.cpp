// The session as the tree reader, the model's nodes and the stager see it.
#include "session/tree_view.h"

#include <vector>

#include "manifest/product_list.h"
#include "session/product_walks.h"
#include "session/signed_documents.h"
#include "transfer/download_requests.h"

namespace korvel {

std::optional<ServerAddress> TreeView::firstServer(const RemoteFile& remote) const {
  const std::vector<ServerAddress> candidates = downloads_.servers().candidates(remote);
  if (candidates.empty()) return std::nullopt;
  return candidates.front();
}

std::optional<ServerAddress> TreeView::lastFailedServer() const { return downloads_.servers().lastFailed(); }

ProductHandle* TreeView::findProduct(TextArgument name) const { return walks_.products().findProduct(name); }

std::int64_t TreeView::requestedDownloadBytes(const char* names, std::uint32_t flags) {
  return walks_.downloadBytes(names, flags);
}

int TreeView::downloadToMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress) {
  return downloads_.toDocument(buffer, capacity, remote, decompress);
}

int TreeView::downloadToFile(const FileDownload& file, bool useTemp, bool showProgress) {
  FileDownload unchecked = file;
  unchecked.crc.reset();
  unchecked.sha256.reset();
  return downloads_.toFile(unchecked, useTemp, showProgress);
}

int TreeView::downloadSignedDocument(const RemoteFile& remote, int capacity, std::string& text) {
  return documents_.fetch(remote, capacity, text);
}

}  // namespace korvel
