// The product-level attributes of one distribution (title, server, optional, restricted, live), its
// selection state and change notes, and the handle that owns them; the per-product entry points of
// the walks the session runs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/text_argument.h"
#include "manifest/scan_flags.h"
#include "transfer/remote_file.h"

typedef struct _xmlNode xmlNode;

namespace korvel {

class DirectorySnapshot;
class DistributionNode;
class PatchCache;
class NodeFactory;
class TreeServices;
class ProductHandle;

// A change-notes text read from a "Changes" element, with its version.
struct ChangeNote {
  std::int32_t version = 0;
  std::string text;
};

class ProductRecord {
 public:
  // The session, its node factory, the installation's patch cache and folder snapshot may each be
  // null (a nested distribution takes the session and factory of its neighbours once it is read).
  ProductRecord(TreeServices* services, NodeFactory* nodes, PatchCache* patchCache, DirectorySnapshot* snapshot);
  ~ProductRecord();
  ProductRecord(const ProductRecord&) = delete;
  ProductRecord& operator=(const ProductRecord&) = delete;

  // Builds the product's tree from a "Product" element: creates the root distribution (owned by this
  // record), reads this record's attributes and then the element into the node. Replaces an earlier
  // tree. Returns the node's read result, false as well when an external document anywhere in the
  // tree could not be read. Requires the record to be owned by a handle.
  bool buildFromElement(xmlNode* productElement);

  // Fills name, title, remote path, server, auth close path and restricted file when still absent, the
  // port while it is below 1; optional, restricted and live always. A distribution nested in a product
  // that is not live is not live; one that is not optional itself takes the enclosing product's
  // Optional. Then selected := not optional, and false when not live. Returns true.
  bool readFromElement(const xmlNode* element);

  // The folder the product's paths are relative to: the root distribution's rootPath(), the session's
  // default root path, `fallback`, the session's installation directory, the current directory, the
  // first that is set and not empty; at most 255 characters. Absent without a session.
  std::optional<std::string> baseDirectory(TextArgument fallback) const;

  // accessible := false when restricted with a restricted file that does not exist under
  // baseDirectory(), or when the enclosing product is restricted and not accessible; else true.
  void checkRestriction();

  // (selected or selectedSecondary) and accessible.
  bool isActive() const { return (selected_ || selectedSecondary_) && accessible_; }
  // Sets selectedSecondary when `secondary`, otherwise selected.
  void setSelected(bool value, bool secondary);

  // Both selection flags, to restore after a walk that selected the product for its duration.
  struct Selection {
    bool selected = false;
    bool secondary = false;
  };
  Selection selection() const { return {selected_, selectedSecondary_}; }
  void restoreSelection(Selection selection);

  // Stores a change note before the first note with a greater version (at the end when none is).
  void addChangeNote(std::int32_t version, std::string text);

  // Checks the download limits before a download (manifest/download_limits.cpp): the root distribution's
  // default limit against this product's requested bytes, each environment type's limit against the
  // environment product's; a product over its limit is marked (its files are then left as they are), logged
  // and reported (result::kLimitExceeded) once. Then the same for the products of the next sibling and the
  // first child distribution. False when a limit of this product was exceeded; true for flags 0.
  bool checkLimits(ScanFlags flags);

  // ---- Per-product walks over the root distribution (nothing without a root) ----------------------
  int countFiles(ScanFlags flags);
  std::int64_t countBytes(ScanFlags flags);
  std::int64_t countDownloadBytes(ScanFlags flags);
  std::int64_t countCompressedBytes(ScanFlags flags);
  std::int64_t largestSpaceNeeded(ScanFlags flags);
  void scan(ScanFlags flags, TextArgument basePath);
  bool crcScan(bool withCrc, ScanFlags flags, TextArgument basePath);
  // 0 on success or without a root, else the walk's result code.
  int download(ScanFlags flags, TextArgument basePath);
  void removeDeleted(TextArgument basePath);
  void aggregateFlags();
  void setPassFlag(int index, bool value);
  void markDelete();
  // The product's local root: with a path, every node below the root gets it as its root override (the
  // file nodes check themselves against it); without, the overrides are forgotten.
  void setLocalRoot(TextArgument path);
  // The root distribution's rootPath() (the override when one is set).
  std::optional<std::string> localRoot() const;
  // Where the product fetches `path` from: as its root distribution does (ManifestNode::remoteFile),
  // or, before it has one, by its own "Server" and "Port".
  std::optional<RemoteFile> remoteFile(const std::string& path) const;
  // The root distribution's named port (ManifestNode::namedPort), or the product's own port above 0;
  // 0 when none is named.
  std::int32_t namedPort() const;

  // ---- Fields ----------------------------------------------------------------------------------
  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& title() const { return title_; }
  const std::optional<std::string>& remotePath() const { return remotePath_; }
  const std::optional<std::string>& authClosePath() const { return authClosePath_; }
  const std::optional<std::string>& server() const { return server_; }
  std::int32_t port() const { return port_; }
  bool optional() const { return optional_; }
  bool restricted() const { return restricted_; }
  bool live() const { return live_; }
  const std::optional<std::string>& restrictedFile() const { return restrictedFile_; }
  bool accessible() const { return accessible_; }
  bool selected() const { return selected_; }
  bool selectedSecondary() const { return selectedSecondary_; }
  TreeServices* services() const { return services_; }
  NodeFactory* nodeFactory() const { return nodes_; }
  void setServices(TreeServices* services, NodeFactory* nodes) {
    services_ = services;
    nodes_ = nodes;
  }
  ProductHandle* handle() const { return handle_; }
  const std::vector<ChangeNote>& changeNotes() const { return changeNotes_; }
  DistributionNode* rootDistribution() const { return rootDistribution_; }
  void setRootDistribution(DistributionNode* node) { rootDistribution_ = node; }
  PatchCache* patchCache() const { return patchCache_; }
  DirectorySnapshot* snapshot() const { return snapshot_; }

 private:
  friend class ProductHandle;

  // The product of the distribution that encloses the root distribution; null for the top product.
  ProductRecord* enclosingProduct() const;

  std::optional<std::string> name_;
  std::optional<std::string> title_;
  std::optional<std::string> remotePath_;
  std::optional<std::string> authClosePath_;
  std::optional<std::string> server_;
  std::int32_t port_ = -1;
  bool optional_ = false;
  bool restricted_ = false;
  bool live_ = true;
  std::optional<std::string> restrictedFile_;
  bool accessible_ = true;
  bool selected_ = false;
  bool selectedSecondary_ = false;
  TreeServices* services_;
  NodeFactory* nodes_;
  ProductHandle* handle_ = nullptr;
  std::vector<ChangeNote> changeNotes_;
  DistributionNode* rootDistribution_ = nullptr;
  // Set only for the product built from the "Product" element; nested products are owned by their node.
  std::unique_ptr<DistributionNode> ownedRoot_;
  PatchCache* patchCache_;
  DirectorySnapshot* snapshot_;
};

// Owns one product record; what nodes and the session hold to reach a product.
class ProductHandle {
 public:
  explicit ProductHandle(std::unique_ptr<ProductRecord> record);
  ~ProductHandle();
  ProductHandle(const ProductHandle&) = delete;
  ProductHandle& operator=(const ProductHandle&) = delete;

  ProductRecord& record() const { return *record_; }
  TreeServices* services() const { return record_->services(); }
  NodeFactory* nodeFactory() const { return record_->nodeFactory(); }

 private:
  std::unique_ptr<ProductRecord> record_;
};

}  // namespace korvel
