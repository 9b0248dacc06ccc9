// The base of every node of the manifest tree: common attributes, links, default walks.
#include "manifest/manifest_node.h"

#include <utility>

#include <libxml/tree.h>

#include "common/name_rules.h"
#include "common/text_format.h"
#include "common/xml_property.h"
#include "manifest/directory_node.h"
#include "manifest/distribution_node.h"
#include "manifest/product_record.h"
#include "manifest/xml_attributes.h"
#include "platform/files.h"
#include "manifest/session_services.h"

namespace korvel {

namespace {

constexpr std::size_t kPathCapacity = 256;

}  // namespace

ManifestNode::ManifestNode() = default;

ManifestNode::~ManifestNode() = default;

bool ManifestNode::isDeleteMarked() const { return deleteMarked_; }

bool ManifestNode::needsUpdate(ProductHandle*, ScanFlags) const { return needsUpdate_; }

bool ManifestNode::hasEnvironmentFiles() const { return hasEnvironmentFiles_; }

void ManifestNode::clearNeedsUpdate() { needsUpdate_ = false; }

bool ManifestNode::readFromElement(xmlNode* element, ManifestNode* parent, ManifestNode* previous, TextArgument,
                                   TextArgument, ProductHandle*) {
  parent_ = parent;
  previousSibling_ = previous;
  depth_ = parent ? parent->depth_ + 1 : 0;

  name_ = readText(element, "Name");
  localPath_ = readText(element, "LocalPath");
  remotePath_ = readText(element, "RemotePath");
  server_ = readText(element, "Server");
  port_ = readInteger(element, "Port", 0);

  deleteMarked_ = readBoolean(element, "Delete", false);
  ignoreTimeStamp_ = readBoolean(element, "IgnoreTimeStamp", false);
  installOnly_ = readBoolean(element, "InstallOnly", false);
  upgradeOnly_ = readBoolean(element, "UpgradeOnly", false);
  static constexpr const char* kFileEnv[scan::kEnvironmentTypes] = {"FileEnvA", "FileEnvB", "FileEnvC", "FileEnvD"};
  for (int type = 0; type < scan::kEnvironmentTypes; ++type) fileEnv_[type] = readBoolean(element, kFileEnv[type], false);
  xtraFile_ = readBoolean(element, "XtraFile", false);
  useCrc_ = readTriState(element, "UseCRC");

  if (parent) {
    if (parent->isDeleteMarked()) deleteMarked_ = true;
    if (parent->ignoreTimeStamp_) ignoreTimeStamp_ = true;
    if (parent->installOnly_) installOnly_ = true;
    if (parent->upgradeOnly_) upgradeOnly_ = true;
  }
  if (deleteMarked_) needsUpdate_ = false;
  return true;
}

bool ManifestNode::crcScan(bool withCrc, ScanFlags flags, TextArgument basePath) {
  bool result = true;
  for (const auto& child : children_) {
    if (!child->crcScan(withCrc, flags, basePath)) result = false;
  }
  return result;
}

bool ManifestNode::usesCrc() const {
  if (isCancelled()) return false;
  if (useCrc_ == 1) return true;
  if (useCrc_ == 0) return false;
  return parent_ ? parent_->usesCrc() : true;
}

void ManifestNode::setIgnoreTimeStamp(bool value) { ignoreTimeStamp_ = value; }

void ManifestNode::aggregateFlags() {
  for (const auto& child : children_) {
    child->aggregateFlags();
    if (child->needsUpdate(nullptr, scan::kIgnoreEnvironment)) needsUpdate_ = true;
    if (child->hasEnvironmentFiles()) hasEnvironmentFiles_ = true;
  }
  if (isDeleteMarked() && isDistribution_) needsUpdate_ = false;
}

void ManifestNode::setRootOverride(TextArgument path) {
  // Assigned in place: a run sets the same root on every node of the tree, several times.
  if (!path.present())
    rootOverride_.reset();
  else if (rootOverride_)
    rootOverride_->assign(path.view());
  else
    rootOverride_.emplace(path.view());
  for (const auto& child : children_) child->setRootOverride(path);
}

void ManifestNode::clearRootOverride() {
  rootOverride_.reset();
  for (const auto& child : children_) child->clearRootOverride();
}

void ManifestNode::scan(ScanFlags flags, ProductHandle* product, TextArgument basePath) {
  for (const auto& child : children_) {
    if (isCancelled()) break;
    child->scan(flags, product, basePath);
  }
}

const std::optional<std::string>& ManifestNode::rootPath() const { return rootOverride_ ? rootOverride_ : rootPath_; }

void ManifestNode::markDelete() {
  for (const auto& child : children_) child->markDelete();
  deleteMarked_ = true;
}

ProductHandle* ManifestNode::product() const { return product_; }

void ManifestNode::setProduct(ProductHandle* handle) {
  product_ = handle;
  if (handle) {
    services_ = handle->services();
    nodes_ = handle->nodeFactory();
  }
}

void ManifestNode::setPassFlag(int index, bool value) {
  for (const auto& child : children_) child->setPassFlag(index, value);
}

bool ManifestNode::environmentSelected(int type, ScanFlags flags) const {
  const ScanFlags bit = scan::environmentBit(type);
  return bit != 0 && (flags & bit) != 0;
}

void ManifestNode::markLimitExceeded(ScanFlags flags) {
  limitExceeded_ = true;
  for (const auto& child : children_) child->markLimitExceeded(flags);
}

ProductHandle* ManifestNode::environmentDistribution(int type) {
  return parent_ ? parent_->environmentDistribution(type) : nullptr;
}

std::optional<std::string> ManifestNode::namedServer() const {
  const ManifestNode* top = this;
  for (const ManifestNode* node = this; node; node = node->parent_) {
    if (node->server_) return node->server_;
    top = node;
  }
  if (top->product_ && top->product_->record().server()) return top->product_->record().server();
  return std::nullopt;
}

std::int32_t ManifestNode::namedPort() const {
  const ManifestNode* top = this;
  for (const ManifestNode* node = this; node; node = node->parent_) {
    if (node->port_ > 0) return node->port_;
    top = node;
  }
  // The record's port is -1 until a "Port" attribute is read; only a real port answers.
  if (top->product_ && top->product_->record().port() > 0) return top->product_->record().port();
  return 0;
}

std::optional<RemoteFile> ManifestNode::remoteFile(const std::string& path, const std::optional<std::string>& ownServer,
                                                   std::int32_t ownPort) const {
  const std::optional<std::string> server = ownServer ? ownServer : namedServer();
  const std::int32_t port = ownPort > 0 ? ownPort : namedPort();
  return remoteFileOn(services_, path, server, port);
}

std::optional<RemoteFile> remoteFileOn(const TreeServices* services, const std::string& path,
                                       const std::optional<std::string>& server, std::int32_t port) {
  const int sessionPort = services ? services->defaultPort() : ServerAddress::kDefaultHttpPort;
  if (server) return RemoteFile::on(manifestServer(*server, port, sessionPort), path);
  if (services && services->hasServers()) return RemoteFile::onList(path, port > 0 ? port : 0);
  return std::nullopt;
}

std::string ManifestNode::localBase(TextArgument basePath) const {
  const std::optional<std::string>& root = rootPath();
  if (root && platform::isAbsolutePath(*root)) return cutToCapacity(*root, kPathCapacity);
  if (basePath.present()) return cutToCapacity(basePath.str(), kPathCapacity);
  return cutToCapacity(platform::currentDirectory(), kPathCapacity);
}

std::unique_ptr<ManifestNode> ManifestNode::createNode(const xmlNode* element, bool allowDistribution) const {
  if (allowDistribution && isElementNamed(element, "Distribution")) return std::make_unique<DistributionNode>();
  if (isElementNamed(element, "Directory")) return std::make_unique<DirectoryNode>();
  if (isElementNamed(element, "File")) return nodes_ ? nodes_->makeFileNode() : nullptr;
  return nullptr;
}

void ManifestNode::releaseFileElement(xmlNode* element) {
  if (!isElementNamed(element, "File")) return;
  freeXmlElement(element);
}

std::optional<std::string> ManifestNode::refusedName() const {
  if (name_ && !isPlainName(*name_)) return name_;
  if (localName_ && !isPlainName(*localName_)) return localName_;
  return std::nullopt;
}

bool ManifestNode::admitChild(const ManifestNode& child) const {
  if (child.hasRefusedSize()) {
    log(boundedFormat(kPathCapacity * 2, "Manifest entry refused, \"%s\" gives a size that is not a byte count.\n",
                      child.name() ? child.name()->c_str() : ""));
    return false;
  }
  const std::optional<std::string> refused = child.refusedName();
  if (!refused) return true;
  // A manifest comes over the network: a name that could reach outside the installation is refused.
  log(boundedFormat(kPathCapacity * 2, "Manifest entry refused, \"%s\" is not a plain file or folder name.\n",
                    refused->c_str()));
  return false;
}

ManifestNode* ManifestNode::appendChild(std::unique_ptr<ManifestNode> child) {
  if (ManifestNode* last = lastChild()) last->nextSibling_ = child.get();
  children_.push_back(std::move(child));
  return children_.back().get();
}

bool ManifestNode::childDepthAllowed() {
  if (depth_ + 1 < kMaxDepth) return true;
  if (!depthWarned_) {
    depthWarned_ = true;
    log(boundedFormat(kPathCapacity, "Manifest nested too deeply below %s; deeper elements ignored.\n",
                      name_ ? name_->c_str() : "<unnamed>"));
  }
  return false;
}

bool ManifestNode::isCancelled() const { return services_ && services_->isCancelled(); }

void ManifestNode::log(const std::string& line) const {
  if (services_) services_->log(line);
}

void ManifestNode::reportError(int code, const std::string& text) const {
  if (services_) services_->reportError(code, text);
}

}  // namespace korvel
