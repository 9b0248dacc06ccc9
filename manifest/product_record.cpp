// Product records and handles: product attributes, selection, restriction, change notes, walks.
#include "manifest/product_record.h"

#include <algorithm>
#include <utility>

#include "common/text_format.h"
#include "manifest/distribution_node.h"
#include "manifest/xml_attributes.h"
#include "platform/files.h"
#include "manifest/session_services.h"

namespace korvel {

namespace {

constexpr std::size_t kPathCapacity = 256;

void fillWhenAbsent(std::optional<std::string>& field, const xmlNode* element, const char* name) {
  if (!field) field = readText(element, name);
}

}  // namespace

ProductRecord::ProductRecord(TreeServices* services, NodeFactory* nodes, PatchCache* patchCache,
                             DirectorySnapshot* snapshot)
    : services_(services), nodes_(nodes), patchCache_(patchCache), snapshot_(snapshot) {}

ProductRecord::~ProductRecord() = default;

bool ProductRecord::buildFromElement(xmlNode* productElement) {
  ownedRoot_.reset();
  rootDistribution_ = nullptr;
  auto root = std::make_unique<DistributionNode>();
  root->setProduct(handle_);
  root->setDoesNotOwnProduct();
  rootDistribution_ = root.get();
  ownedRoot_ = std::move(root);
  readFromElement(productElement);
  const bool read = rootDistribution_->readFromElement(productElement, nullptr, nullptr, nullptr, nullptr, handle_);
  return read && !rootDistribution_->externalDocumentFailed();
}

bool ProductRecord::readFromElement(const xmlNode* element) {
  fillWhenAbsent(name_, element, "Name");
  fillWhenAbsent(title_, element, "Title");
  fillWhenAbsent(remotePath_, element, "RemotePath");
  fillWhenAbsent(server_, element, "Server");
  if (port_ < 1) port_ = readInteger(element, "Port", -1);
  fillWhenAbsent(authClosePath_, element, "AuthClosePath");
  optional_ = readBoolean(element, "Optional", false);
  restricted_ = readBoolean(element, "Restricted", false);
  live_ = readBoolean(element, "Live", true);
  fillWhenAbsent(restrictedFile_, element, "RestrictedFile");

  if (const ProductRecord* enclosing = enclosingProduct()) {
    if (!enclosing->live_) live_ = false;
    if (!optional_) optional_ = enclosing->optional_;
  }
  selected_ = !optional_;
  if (!live_) selected_ = false;
  return true;
}

std::optional<std::string> ProductRecord::baseDirectory(TextArgument fallback) const {
  if (!services_) return std::nullopt;
  if (rootDistribution_) {
    const std::optional<std::string>& root = rootDistribution_->rootPath();
    if (root && !root->empty()) return cutToCapacity(*root, kPathCapacity);
  }
  if (!services_->defaultRootPath().empty()) return cutToCapacity(services_->defaultRootPath(), kPathCapacity);
  if (fallback.hasText()) return cutToCapacity(fallback.str(), kPathCapacity);
  if (!services_->installDirectory().empty()) return cutToCapacity(services_->installDirectory(), kPathCapacity);
  return cutToCapacity(platform::currentDirectory(), kPathCapacity);
}

void ProductRecord::checkRestriction() {
  accessible_ = true;
  if (restricted_ && restrictedFile_ && !restrictedFile_->empty()) {
    const std::optional<std::string> base = baseDirectory(nullptr);
    accessible_ = platform::pathExists(base ? *base + "\\" + *restrictedFile_ : *restrictedFile_);
  }
  if (const ProductRecord* enclosing = enclosingProduct()) {
    if (enclosing->restricted_ && !enclosing->accessible_) accessible_ = false;
  }
}

void ProductRecord::setSelected(bool value, bool secondary) {
  if (secondary) {
    selectedSecondary_ = value;
  } else {
    selected_ = value;
  }
}

void ProductRecord::restoreSelection(Selection selection) {
  selected_ = selection.selected;
  selectedSecondary_ = selection.secondary;
}

void ProductRecord::addChangeNote(std::int32_t version, std::string text) {
  auto later = std::find_if(changeNotes_.begin(), changeNotes_.end(),
                            [version](const ChangeNote& note) { return note.version > version; });
  changeNotes_.insert(later, ChangeNote{version, std::move(text)});
}

int ProductRecord::countFiles(ScanFlags flags) {
  return rootDistribution_ ? rootDistribution_->countFiles(handle_, flags) : 0;
}

std::int64_t ProductRecord::countBytes(ScanFlags flags) {
  return rootDistribution_ ? rootDistribution_->countBytes(handle_, flags) : 0;
}

std::int64_t ProductRecord::countDownloadBytes(ScanFlags flags) {
  return rootDistribution_ ? rootDistribution_->countDownloadBytes(handle_, flags) : 0;
}

std::int64_t ProductRecord::countCompressedBytes(ScanFlags flags) {
  return rootDistribution_ ? rootDistribution_->countCompressedBytes(handle_, flags) : 0;
}

std::int64_t ProductRecord::largestSpaceNeeded(ScanFlags flags) {
  return rootDistribution_ ? rootDistribution_->largestSpaceNeeded(handle_, flags) : 0;
}

void ProductRecord::scan(ScanFlags flags, TextArgument basePath) {
  if (rootDistribution_) rootDistribution_->scan(flags, handle_, basePath);
}

bool ProductRecord::crcScan(bool withCrc, ScanFlags flags, TextArgument basePath) {
  return rootDistribution_ ? rootDistribution_->crcScan(withCrc, flags, basePath) : true;
}

int ProductRecord::download(ScanFlags flags, TextArgument basePath) {
  return rootDistribution_ ? rootDistribution_->download(flags, handle_, basePath) : 0;
}

void ProductRecord::removeDeleted(TextArgument basePath) {
  if (rootDistribution_) rootDistribution_->removeDeleted(basePath);
}

void ProductRecord::aggregateFlags() {
  if (rootDistribution_) rootDistribution_->aggregateFlags();
}

void ProductRecord::setPassFlag(int index, bool value) {
  if (rootDistribution_) rootDistribution_->setPassFlag(index, value);
}

void ProductRecord::markDelete() {
  if (rootDistribution_) rootDistribution_->markDelete();
}

void ProductRecord::setLocalRoot(TextArgument path) {
  if (!rootDistribution_) return;
  if (path.present()) {
    rootDistribution_->setRootOverride(path);
  } else {
    rootDistribution_->clearRootOverride();
  }
}

std::optional<std::string> ProductRecord::localRoot() const {
  if (!rootDistribution_) return std::nullopt;
  return rootDistribution_->rootPath();
}

std::optional<RemoteFile> ProductRecord::remoteFile(const std::string& path) const {
  if (rootDistribution_) return rootDistribution_->remoteFile(path);
  return remoteFileOn(services_, path, server_, port_);
}

std::int32_t ProductRecord::namedPort() const {
  if (rootDistribution_) return rootDistribution_->namedPort();
  return port_ > 0 ? port_ : 0;
}

ProductRecord* ProductRecord::enclosingProduct() const {
  if (!rootDistribution_) return nullptr;
  const ManifestNode* parent = rootDistribution_->parent();
  if (!parent || !parent->isDistribution() || !parent->product()) return nullptr;
  return &parent->product()->record();
}

ProductHandle::ProductHandle(std::unique_ptr<ProductRecord> record) : record_(std::move(record)) {
  record_->handle_ = this;
}

ProductHandle::~ProductHandle() = default;

}  // namespace korvel
