// The session as the tree reader, the model's nodes and the stager see it.
#include "session/tree_view.h"

#include <vector>

#include "manifest/product_list.h"
#include "session/product_walks.h"
#include "session/signed_documents.h"
#include "transfer/download_requests.h"

namespace korvel {

template <typename Services>
std::optional<ServerAddress> TreeViewOf<Services>::firstServer(const RemoteFile& remote) const {
  const std::vector<ServerAddress> candidates = downloads_.servers().candidates(remote);
  if (candidates.empty()) return std::nullopt;
  return candidates.front();
}

template <typename Services>
std::optional<ServerAddress> TreeViewOf<Services>::lastFailedServer() const { return downloads_.servers().lastFailed(); }

template <typename Services>
ProductHandle* TreeViewOf<Services>::findProduct(TextArgument name) const { return walks_.products().findProduct(name); }

template <typename Services>
std::int64_t TreeViewOf<Services>::requestedDownloadBytes(const char* names, std::uint32_t flags) {
  return walks_.downloadBytes(names, flags);
}

template <typename Services>
int TreeViewOf<Services>::downloadToMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress) {
  return downloads_.toDocument(buffer, capacity, remote, decompress);
}

template <typename Services>
int TreeViewOf<Services>::downloadToFile(const FileDownload& file, bool useTemp, bool showProgress) {
  FileDownload unchecked = file;
  unchecked.crc.reset();
  unchecked.sha256.reset();
  return downloads_.toFile(unchecked, useTemp, showProgress);
}

template <typename Services>
int TreeViewOf<Services>::downloadSignedDocument(const RemoteFile& remote, int capacity, std::string& text) {
  return documents_.fetch(remote, capacity, text);
}

template class TreeViewOf<TreeServices>;
template class TreeViewOf<FileNodeServices>;

}  // namespace korvel
