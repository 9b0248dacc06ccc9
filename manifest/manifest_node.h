// The base of every node of the manifest tree: the attributes common to all elements, the links of the
// tree, and the virtual operations through which the session walks it.
//
// All operations run on the session's worker thread (or on the thread that builds the tree); a tree is
// never walked by two threads at once, so nothing here is locked.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/text_argument.h"
#include "transfer/remote_file.h"
#include "manifest/scan_flags.h"

typedef struct _xmlNode xmlNode;

namespace korvel {

class NodeFactory;
class TreeServices;
class ProductHandle;

// Where `path` is fetched from when `server` (a "Server" attribute) and `port` (a "Port" above 0) are
// what the manifest names, for a session with `services` (may be null): ManifestNode::remoteFile's
// rule, for the holders of those attributes that are no nodes.
std::optional<RemoteFile> remoteFileOn(const TreeServices* services, const std::string& path,
                                       const std::optional<std::string>& server, std::int32_t port);

class ManifestNode {
 public:
  // Elements nested deeper than this below a product are not turned into nodes (the walks recurse once
  // per level, and a manifest comes from the network).
  static constexpr int kMaxDepth = 128;

  ManifestNode();
  ManifestNode(const ManifestNode&) = delete;
  ManifestNode& operator=(const ManifestNode&) = delete;

  // The virtual operations, in their fixed slot order. A walk calls the same operation on every
  // child in list order with the same arguments.

  // Slot 0: frees the node and its whole subtree.
  virtual ~ManifestNode();
  // Slot 1.
  virtual bool isDeleteMarked() const;
  // Slot 2: the result of the last scan. `pass` carries a product handle that no node kind reads.
  virtual bool needsUpdate(ProductHandle* pass, ScanFlags flags) const;
  // Slot 3: set by aggregateFlags when a child reports environment or extra files.
  virtual bool hasEnvironmentFiles() const;
  // Slot 4.
  virtual void clearNeedsUpdate();
  // Slot 5: the attributes every kind reads (Name, LocalPath, RemotePath, Server, Port, Delete,
  // IgnoreTimeStamp, InstallOnly, UpgradeOnly, FileEnvA-D, XtraFile, UseCRC) and the inheritance of
  // Delete, IgnoreTimeStamp, InstallOnly and UpgradeOnly from the parent, which only ever switches them
  // on. Concrete kinds run this first, then read their own attributes and children. True on success.
  virtual bool readFromElement(xmlNode* element, ManifestNode* parent, ManifestNode* previous,
                               TextArgument parentLocal, TextArgument parentRemote, ProductHandle* product);
  // Slot 6: walk; false when any child answered false.
  virtual bool crcScan(bool withCrc, ScanFlags flags, TextArgument basePath);
  // Slot 7: whether CRC checking is wanted for the node. False once the session is cancelled; else
  // "UseCRC" decides: yes gives true, no gives false, unspecified asks the parent (true at the top).
  virtual bool usesCrc() const;
  // Slot 8.
  virtual void setIgnoreTimeStamp(bool value);
  // Slot 9: children first; needsUpdate and hasEnvironmentFiles become true when a child's do (the
  // child's needsUpdate asked with flags 0x4). A delete-marked distribution does not need an update.
  virtual void aggregateFlags();
  // Slot 10: stores a copy of the path and passes it to the children.
  virtual void setRootOverride(TextArgument path);
  // Slot 11: forgets the stored path, in the whole subtree.
  virtual void clearRootOverride();
  // Slot 12: walk, stopping before the next child once the session is cancelled.
  virtual void scan(ScanFlags flags, ProductHandle* product, TextArgument basePath);
  // Slot 13: the root override when set, else the node's root path.
  virtual const std::optional<std::string>& rootPath() const;
  // Slot 14: the attributes that only this kind reads.
  virtual void readOwnAttributes(xmlNode* element) = 0;
  // Slots 15 to 21: sums (largestSpaceNeeded: the maximum) over the subtree. See the concrete kinds.
  virtual std::int64_t countDownloadBytes(ProductHandle* pass, ScanFlags flags) = 0;
  virtual std::int64_t countCompressedBytes(ProductHandle* pass, ScanFlags flags) = 0;
  virtual std::int64_t largestSpaceNeeded(ProductHandle* pass, ScanFlags flags) = 0;
  // Slot 18: 0 on success, else a result code (common/result_codes.h).
  virtual int download(ScanFlags flags, ProductHandle* product, TextArgument basePath) = 0;
  // Slot 19.
  virtual bool removeDeleted(TextArgument basePath) = 0;
  // Slot 20: files still to scan, or with kCountUpdates files to update.
  virtual int countFiles(ProductHandle* pass, ScanFlags flags) = 0;
  // Slot 21: bytes still to scan.
  virtual std::int64_t countBytes(ProductHandle* pass, ScanFlags flags) = 0;
  // Slot 22: walk, then the node is delete-marked.
  virtual void markDelete();
  // Slot 23.
  virtual ProductHandle* product() const;
  // Slot 24: also takes the handle's session when the handle is not null.
  virtual void setProduct(ProductHandle* handle);
  // Slot 27: walk (file nodes also store the value).
  virtual void setPassFlag(int index, bool value);
  // Slot 28: whether environment `type` (0 to 3 for A to D) is selected in `flags`.
  virtual bool environmentSelected(int type, ScanFlags flags) const;
  // Slot 29: marks the node and walks.
  virtual void markLimitExceeded(ScanFlags flags);
  // Slot 30: the product serving as environment `type` for this node: asks the parent; null at the top.
  virtual ProductHandle* environmentDistribution(int type);

  // After the numbered slots: the first of the node's names that may not name a file or folder of the
  // installation (common/name_rules.h), or nothing when all are plain: "Name" and "LocalName" here. A
  // node with such a name is left out of the tree when it is read.
  virtual std::optional<std::string> refusedName() const;
  // Whether one of the entry's sizes is no byte count (negative, or beyond 64 bits).
  virtual bool hasRefusedSize() const { return false; }

  // The first server set going up through the parents; failing that the server of the product of the
  // topmost node reached. Absent when the manifest names none: the session's servers serve the node.
  std::optional<std::string> namedServer() const;
  // The same walk for the first port above 0, then the product's port; 0 when the manifest names none.
  std::int32_t namedPort() const;
  // Where this node fetches `path` from: the server an element names itself (`ownServer`, with
  // `ownPort` when above 0), else the one the manifest names for the node (namedServer), on the port
  // named (else the session's port for http, 443 for https); else the session's list of servers, each
  // asked on the named port when there is one. Absent when nothing names a server and the session has
  // none (it read a local manifest file).
  std::optional<RemoteFile> remoteFile(const std::string& path, const std::optional<std::string>& ownServer = std::nullopt,
                                       std::int32_t ownPort = 0) const;
  // The base path this node's children are walked with: rootPath() when it is an absolute path,
  // otherwise basePath, or the current directory when basePath is absent. At most 255 characters.
  std::string localBase(TextArgument basePath) const;

  // Fields.
  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& localName() const { return localName_; }
  const std::optional<std::string>& server() const { return server_; }
  std::int32_t port() const { return port_; }
  const std::optional<std::string>& remotePath() const { return remotePath_; }
  const std::optional<std::string>& localPath() const { return localPath_; }
  const std::optional<std::string>& rootOverride() const { return rootOverride_; }
  int useCrc() const { return useCrc_; }
  bool ignoreTimeStamp() const { return ignoreTimeStamp_; }
  bool installOnly() const { return installOnly_; }
  bool upgradeOnly() const { return upgradeOnly_; }
  // The needsUpdate field itself (needsUpdate() is the question, which file nodes answer differently).
  bool updateNeeded() const { return needsUpdate_; }
  void setNeedsUpdate(bool value) { needsUpdate_ = value; }
  bool isDistribution() const { return isDistribution_; }
  bool doesNotOwnProduct() const { return doesNotOwnProduct_; }
  bool limitExceeded() const { return limitExceeded_; }
  TreeServices* services() const { return services_; }
  // Levels below the top node of the product tree (0 for a product's root).
  int depth() const { return depth_; }

  // Links of the tree. The children are owned by their parent's list.
  ManifestNode* parent() const { return parent_; }
  ManifestNode* nextSibling() const { return nextSibling_; }
  ManifestNode* previousSibling() const { return previousSibling_; }
  ManifestNode* firstChild() const { return children_.empty() ? nullptr : children_.front().get(); }
  const std::vector<std::unique_ptr<ManifestNode>>& children() const { return children_; }

 protected:
  // The node for a child element by its name, letter case ignored: "Distribution" (only when
  // allowed), "Directory", "File" (made by the session; none without one); null for any other node.
  std::unique_ptr<ManifestNode> createNode(const xmlNode* element, bool allowDistribution) const;
  // Frees a "File" element once its node has read it: nothing reads it again, and the memory it
  // held serves the nodes built after it (a manifest of many thousand files otherwise holds its whole
  // document and its whole tree at once). The element is unlinked first; take its next sibling before.
  static void releaseFileElement(xmlNode* element);
  // Links `child` after the last child; returns it.
  ManifestNode* appendChild(std::unique_ptr<ManifestNode> child);
  // Whether a child just read may join the tree: false, with one log line naming it, when one of its
  // names is refused.
  bool admitChild(const ManifestNode& child) const;
  ManifestNode* lastChild() const { return children_.empty() ? nullptr : children_.back().get(); }
  // Whether a child element may still become a node at this node's depth; logs once when not.
  bool childDepthAllowed();
  bool isCancelled() const;
  // Writes a complete line to the session's log (nothing without a session).
  void log(const std::string& line) const;
  // Reports a failure to the session's error reporter (and its log).
  void reportError(int code, const std::string& text) const;

  std::optional<std::string> name_;
  std::optional<std::string> localName_;
  std::optional<std::string> server_;
  std::int32_t port_ = 0;
  std::optional<std::string> remotePath_;
  std::optional<std::string> localPath_;
  std::optional<std::string> rootPath_;
  std::optional<std::string> rootOverride_;
  int useCrc_ = 2;
  bool ignoreTimeStamp_ = true;
  bool installOnly_ = false;
  bool upgradeOnly_ = false;
  bool hasEnvironmentFiles_ = false;
  std::array<bool, scan::kEnvironmentTypes> fileEnv_{};
  bool xtraFile_ = false;
  bool needsUpdate_ = false;
  bool deleteMarked_ = false;
  bool isDistribution_ = false;
  ManifestNode* nextSibling_ = nullptr;
  ManifestNode* previousSibling_ = nullptr;
  ManifestNode* parent_ = nullptr;
  std::vector<std::unique_ptr<ManifestNode>> children_;
  ProductHandle* product_ = nullptr;
  TreeServices* services_ = nullptr;
  NodeFactory* nodes_ = nullptr;
  bool doesNotOwnProduct_ = false;
  bool limitExceeded_ = false;
  int depth_ = 0;
  bool depthWarned_ = false;
};

}  // namespace korvel
