// What the tree reader, the nodes of the model and the stager ask of the session
// (manifest/session_services.h, TreeServices and the StagerServices it extends). The file nodes' view
// extends this one (FileNodeServices extends TreeServices), so it is written once for either interface.
//
// Threads: the worker, or the thread that builds or walks a tree while no job runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "manifest/session_services.h"
#include "session/session_reports.h"
#include "session/session_state.h"

namespace korvel {

class DownloadRequests;
class ProductWalks;
class SignedDocuments;

// `Services`: TreeServices, or an interface that extends it.
template <typename Services>
class TreeViewOf : public Services {
 public:
  TreeViewOf(SessionReports& reports, SessionState& state, DownloadRequests& downloads, ProductWalks& walks,
             SignedDocuments& documents)
      : reports_(reports), state_(state), downloads_(downloads), walks_(walks), documents_(documents) {}

  // ---- StagerServices ----------------------------------------------------------------------------
  void log(const std::string& line) override { reports_.log(line); }
  bool isCancelled() const override { return state_.isCancelled(); }
  const std::string& defaultRootPath() const override { return state_.defaultRootPath; }
  const std::string& installDirectory() const override { return state_.installDirectory; }
  bool trickleEnabled() const override { return state_.trickleEnabled; }
  std::optional<ServerAddress> firstServer(const RemoteFile& remote) const override;

  // ---- TreeServices ------------------------------------------------------------------------------
  void reportError(int code, const std::string& text) override { reports_.reportError(code, text); }
  bool hasServers() const override { return !state_.server.empty(); }
  int defaultPort() const override { return state_.port; }
  std::optional<ServerAddress> lastFailedServer() const override;
  ProductHandle* findProduct(TextArgument name) const override;
  std::int64_t requestedDownloadBytes(const char* names, std::uint32_t flags) override;
  int downloadToMemory(char* buffer, int capacity, const RemoteFile& remote, int decompress) override;
  int downloadToFile(const FileDownload& file, bool useTemp, bool showProgress) override;
  bool planningDownloads() const override { return state_.plan != nullptr; }
  bool documentsSigned() const override { return state_.manifestKey.required; }
  int downloadSignedDocument(const RemoteFile& remote, int capacity, std::string& text) override;

 protected:
  SessionReports& reports_;
  SessionState& state_;
  DownloadRequests& downloads_;

 private:
  ProductWalks& walks_;
  SignedDocuments& documents_;
};

// Made in tree_view.cpp for the two interfaces.
extern template class TreeViewOf<TreeServices>;
extern template class TreeViewOf<FileNodeServices>;

using TreeView = TreeViewOf<TreeServices>;

}  // namespace korvel
