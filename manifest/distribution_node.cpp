// Distribution nodes: reading (nested products, external documents, change notes, the stager) and the
// distribution walk rules with their environment pass.
#include "manifest/distribution_node.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "common/path_tokens.h"
#include "common/file_utils.h"
#include "common/text_format.h"
#include "common/xml_property.h"
#include "manifest/product_record.h"
#include "manifest/xml_attributes.h"
#include "platform/file.h"
#include "platform/files.h"
#include "manifest/session_services.h"
#include "common/result_codes.h"
#include "manifest/stager.h"
#include "trust/document_signature.h"

namespace korvel {

namespace {

constexpr std::size_t kLineCapacity = 256;

const char* orEmpty(const std::optional<std::string>& text) { return text ? text->c_str() : ""; }

}  // namespace

DistributionNode::DistributionNode() { isDistribution_ = true; }

DistributionNode::~DistributionNode() = default;

bool DistributionNode::isActive() const { return product_ && product_->record().isActive(); }

const std::optional<std::string>& DistributionNode::typeName(int type) const {
  static const std::optional<std::string> kNone;
  return type >= 0 && type < scan::kEnvironmentTypes ? typeName_[type] : kNone;
}

bool DistributionNode::servesEnvironment(int type) const {
  return type >= 0 && type < scan::kEnvironmentTypes && servesEnvironment_[type];
}

// ---- Reading ------------------------------------------------------------------------------------

bool DistributionNode::readFromElement(xmlNode* element, ManifestNode* parent, ManifestNode* previous,
                                       TextArgument parentLocal, TextArgument parentRemote, ProductHandle* product) {
  ManifestNode::readFromElement(element, parent, previous, parentLocal, parentRemote, product);
  if (!product_) {
    ProductRecord* enclosing = product ? &product->record() : nullptr;
    auto record = std::make_unique<ProductRecord>(nullptr, nullptr, enclosing ? enclosing->patchCache() : nullptr,
                                                  enclosing ? enclosing->snapshot() : nullptr);
    ownedProduct_ = std::make_unique<ProductHandle>(std::move(record));
    ownedProduct_->record().setRootDistribution(this);
    setProduct(ownedProduct_.get());
  }
  const ProductRecord* source = resolveServices();
  if (!source) return false;
  product_->record().setServices(source->services(), source->nodeFactory());
  services_ = source->services();
  nodes_ = source->nodeFactory();
  return readDistribution(element, 0);
}

const ProductRecord* DistributionNode::resolveServices() const {
  const ManifestNode* node = this;
  while (node) {
    if (node->product() && node->product()->services()) return &node->product()->record();
    const ManifestNode* previous = node->previousSibling();
    node = previous && previous->isDistribution() ? previous : node->parent();
  }
  return nullptr;
}

bool DistributionNode::readDistribution(xmlNode* element, int externalDepth) {
  product_->record().readFromElement(element);
  readOwnAttributes(element);
  if (element && !element->children && remotePath_) return loadExternal(externalDepth);
  if (!readChildren(element)) reportError(result::kParseFailed, "Error: Could not parse xml tree.");
  return true;
}

void DistributionNode::readOwnAttributes(xmlNode* element) {
  rootPath_.reset();
  if (std::optional<std::string> root = readText(element, "Root")) rootPath_ = resolvePathToken(nullptr, *root, nullptr);

  typeName_[0] = readText(element, "DistributionTypeA");
  if (!typeName_[0]) typeName_[0] = readText(element, "TestDistribution");
  typeName_[1] = readText(element, "DistributionTypeB");
  if (!typeName_[1]) typeName_[1] = readText(element, "BetaDistribution");
  typeName_[2] = readText(element, "DistributionTypeC");
  typeName_[3] = readText(element, "DistributionTypeD");

  static constexpr const char* kLimits[5] = {"LimitDefault", "LimitTypeA", "LimitTypeB", "LimitTypeC", "LimitTypeD"};
  for (int index = 0; index < 5; ++index) limit_[index] = readLimit(element, kLimits[index], 0);
}

bool DistributionNode::readChildren(xmlNode* element) {
  if (!element) return true;
  bool complete = true;
  for (xmlNode *child = element->children, *next = nullptr; child; child = next) {
    next = child->next;
    if (isElementNamed(child, "Distribution") && !readBoolean(child, "Live", true)) {
      if (nodes_) stager_ = nodes_->makeStager(product_, child);
      continue;
    }
    std::unique_ptr<ManifestNode> node = createNode(child, true);
    if (!node) {
      if (isElementNamed(child, "Changes")) readChangeNote(child);
      continue;
    }
    if (!childDepthAllowed()) {
      complete = false;
      continue;
    }
    node->readFromElement(child, this, lastChild(), nullptr, nullptr, product_);
    releaseFileElement(child);
    if (admitChild(*node)) appendChild(std::move(node));
  }
  return complete;
}

DistributionNode* DistributionNode::treeRoot() {
  DistributionNode* root = this;
  for (ManifestNode* node = parent(); node; node = node->parent())
    if (node->isDistribution()) root = static_cast<DistributionNode*>(node);
  return root;
}

bool DistributionNode::loadExternal(int externalDepth) {
  const bool read = readExternalDocument(externalDepth);
  if (!read) treeRoot()->externalDocumentFailed_ = true;
  return read;
}

bool DistributionNode::readExternalDocument(int externalDepth) {
  const std::string remote = *remotePath_;
  const std::optional<RemoteFile> where = remoteFile(remote);
  // The text names one server: the one that failed last, else the first that would be asked.
  const auto unreachable = [&]() {
    std::optional<ServerAddress> server = services_ ? services_->lastFailedServer() : std::nullopt;
    if (!server && where) server = services_ ? services_->firstServer(*where) : where->server;
    return boundedFormat(kLineCapacity, "Error accessing external xml file: %s:%d/%s.\n",
                         server ? server->host.c_str() : "", server ? server->port : namedPort(), remote.c_str());
  };
  // A document that names itself, or a longer cycle, would otherwise be fetched without end; one that
  // names itself twice would be fetched twice as often with every level.
  DistributionNode* tree = treeRoot();
  if (externalDepth >= kMaxExternalDepth || tree->externalDocuments_ >= kMaxExternalDocuments) {
    reportError(result::kExternalDocumentFailed, unreachable());
    return false;
  }
  ++tree->externalDocuments_;
  const std::string parseError = boundedFormat(kLineCapacity, "Error parsing xml file: %s.\n", remote.c_str());

  XmlDocument doc;
  const bool signedOnly = services_->documentsSigned();
  if (where && signedOnly) {
    // Only the publisher's bytes are read: a document whose signature is missing or wrong is refused
    // outright, with no second way of fetching it.
    std::string text;
    const int fetched = services_->downloadSignedDocument(*where, static_cast<int>(kExternalDocumentCapacity), text);
    if (fetched == result::kSignatureMissing || fetched == result::kSignatureInvalid) {
      reportError(fetched, trust::signatureFailureText(fetched));
      return false;
    }
    if (fetched == result::kOk) doc = parseXmlMemory(text.data(), static_cast<int>(text.size()));
    if (!doc && (fetched == result::kOk || fetched == result::kParseFailed)) {
      reportError(result::kParseFailed, parseError);
      return false;
    }
  } else if (where) {
    std::vector<char> buffer(kExternalDocumentCapacity, '\0');
    if (services_->downloadToMemory(buffer.data(), static_cast<int>(buffer.size()), *where, 1) == 0) {
      // The request leaves a zero-terminated text; the last byte stays a terminator whatever it wrote.
      buffer.back() = '\0';
      const int length = static_cast<int>(std::char_traits<char>::length(buffer.data()));
      doc = parseXmlMemory(buffer.data(), length);
      if (!doc) reportError(result::kParseFailed, parseError);
    }
  }
  if (isCancelled()) return false;

  if (!doc && where && !signedOnly) {
    const std::string temp = makeTempName(".xml");
    FileDownload file;
    file.remote = *where;
    file.localFile = temp;
    file.decompress = 1;
    const int fetched = services_->downloadToFile(file, false, false);
    // A failed transfer leaves nothing worth parsing: the document is then unreachable (below).
    if (fetched == 0) {
      doc = parseXmlFile(platform::nativePath(temp).c_str());
      if (!doc) {
        reportError(result::kParseFailed, parseError);
        platform::deleteFile(temp);
        return false;
      }
    }
    platform::deleteFile(temp);
  }
  if (!doc) {
    reportError(result::kExternalDocumentFailed, unreachable());
    return false;
  }

  xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!isElementNamed(root, "KorvelPatcher")) {
    reportError(result::kWrongDocument,
                boundedFormat(kLineCapacity, "Document %s of the wrong type, KorvelPatcher expected.\n", remote.c_str()));
    return false;
  }

  bool ok = true;
  for (xmlNode* child = root->children; child; child = child->next) {
    // Text and comments between the distribution elements are layout, not distributions.
    if (!isElement(child)) continue;
    if (!name_) name_ = readText(child, "Name");
    if (std::optional<std::string> value = readText(child, "Server")) server_ = std::move(value);
    if (std::optional<std::string> value = readText(child, "LocalPath")) localPath_ = std::move(value);
    remotePath_ = readText(child, "RemotePath");
    port_ = readInteger(child, "Port", 0);
    useCrc_ = readBoolean(child, "UseCRC", false) ? 1 : 0;
    deleteMarked_ = readBoolean(child, "Delete", false);
    if (parent_) {
      if (parent_->isDeleteMarked()) deleteMarked_ = true;
      if (parent_->usesCrc()) useCrc_ = 1;
    }
    if (!readDistribution(child, externalDepth + 1)) ok = false;
  }
  return ok;
}

void DistributionNode::readChangeNote(const xmlNode* element) {
  const std::optional<std::string> remote = readText(element, "RemotePath");
  const bool compressed = readBoolean(element, "Compressed", false);
  const std::int32_t version = readInteger(element, "Version", 0);
  const std::int64_t downloadSize = std::max<std::int64_t>(readSize(element, "DownloadSize"), 0);
  if (!remote || !services_) return;
  const std::optional<RemoteFile> where = remoteFile(*remote, readText(element, "Server"), readInteger(element, "Port", 0));
  if (!where) return;

  const std::string temp = makeTempName(".txt");
  FileDownload file;
  file.remote = *where;
  file.localFile = temp;
  file.decompress = compressed ? 1 : 0;
  file.downloadSize = downloadSize;
  const int fetched = services_->downloadToFile(file, false, false);
  if (fetched == 0) {
    platform::File file = platform::File::open(temp, "r");
    if (file) {
      // Read what the file holds, never more than asked: a "DownloadSize" from the network is no
      // reason to allocate that much.
      const std::size_t wanted = downloadSize < 1
                                     ? kChangeNoteDefaultChars
                                     : static_cast<std::size_t>(std::min<std::uint64_t>(downloadSize, SIZE_MAX));
      std::string text;
      char chunk[4096];
      while (text.size() < wanted) {
        const std::size_t count = file.read(chunk, std::min(sizeof chunk, wanted - text.size()));
        if (count == 0) break;
        text.append(chunk, count);
      }
      file.close();
      product_->record().addChangeNote(version, std::move(text));
    }
  }
  platform::deleteFile(temp);
}

// ---- Walks --------------------------------------------------------------------------------------

template <class Visit, class BeforeOwn>
void DistributionNode::walkChildren(Visit&& visit, BeforeOwn&& beforeOwn) {
  bool ownSeen = false;
  bool active = false;
  for (const auto& child : children_) {
    if (!child->isDistribution()) {
      if (!ownSeen) {
        ownSeen = true;
        active = isActive();
        if (active) beforeOwn();
      }
      if (!active) continue;
    }
    if (!visit(*child)) return;
  }
}

template <class Run>
void DistributionNode::environmentPass(ScanFlags flags, ScanFlags keptBits, Run&& run) {
  if (inEnvironmentPass_) return;
  inEnvironmentPass_ = true;
  for (int type = 0; type < scan::kEnvironmentTypes; ++type) {
    if (!environmentSelected(type, flags)) continue;
    ProductHandle* environment = environmentDistribution(type);
    if (!environment) continue;
    ProductRecord& record = environment->record();
    DistributionNode* root = record.rootDistribution();
    if (!root || root->inEnvironmentPass_) continue;
    const ProductRecord::Selection selection = record.selection();
    const LimitFlags savedLimits = root->limitFlags_;
    record.setSelected(true, false);
    root->limitFlags_ = scan::kEnvironmentFilesOnly | (flags & keptBits);
    run(*root, type);
    root->limitFlags_ = savedLimits;
    record.restoreSelection(selection);
  }
  inEnvironmentPass_ = false;
}

int DistributionNode::countFiles(ProductHandle* pass, ScanFlags flags) {
  const ScanFlags walk = flags | limitFlags_;
  int sum = 0;
  walkChildren([&](ManifestNode& child) { sum += child.countFiles(pass, walk); return true; }, [] {});
  if (isActive())
    environmentPass(walk, scan::kSkipScanned, [&](DistributionNode& root, int) { sum += root.countFiles(pass, walk); });
  return sum;
}

std::int64_t DistributionNode::countBytes(ProductHandle* pass, ScanFlags flags) {
  const ScanFlags walk = flags | limitFlags_;
  std::int64_t sum = 0;
  walkChildren([&](ManifestNode& child) { sum += child.countBytes(pass, walk); return true; }, [] {});
  if (isActive())
    environmentPass(walk, scan::kSkipScanned, [&](DistributionNode& root, int) { sum += root.countBytes(pass, walk); });
  return sum;
}

std::int64_t DistributionNode::countDownloadBytes(ProductHandle* pass, ScanFlags flags) {
  const ScanFlags walk = flags | limitFlags_;
  std::int64_t sum = 0;
  walkChildren([&](ManifestNode& child) { sum += child.countDownloadBytes(pass, walk); return true; }, [] {});
  if (isActive())
    environmentPass(walk, scan::kSkipScanned | scan::kIncludeLimitExceeded,
                    [&](DistributionNode& root, int) { sum += root.countDownloadBytes(pass, 0); });
  return sum;
}

std::int64_t DistributionNode::countCompressedBytes(ProductHandle* pass, ScanFlags flags) {
  const ScanFlags walk = flags | limitFlags_;
  std::int64_t sum = 0;
  walkChildren([&](ManifestNode& child) { sum += child.countCompressedBytes(pass, walk); return true; }, [] {});
  if (isActive())
    environmentPass(walk, scan::kSkipScanned | scan::kIncludeLimitExceeded,
                    [&](DistributionNode& root, int) { sum += root.countCompressedBytes(pass, 0); });
  return sum;
}

std::int64_t DistributionNode::largestSpaceNeeded(ProductHandle* pass, ScanFlags flags) {
  const ScanFlags walk = flags | limitFlags_;
  std::int64_t largest = 0;
  walkChildren([&](ManifestNode& child) { largest = std::max(largest, child.largestSpaceNeeded(pass, walk)); return true; },
               [] {});
  if (isActive())
    environmentPass(walk, scan::kSkipScanned | scan::kIncludeLimitExceeded, [&](DistributionNode& root, int) {
      largest = std::max(largest, root.largestSpaceNeeded(pass, walk));
    });
  return largest;
}

void DistributionNode::scan(ScanFlags flags, ProductHandle* product, TextArgument basePath) {
  if (stager_) stager_->stageDistribution();
  const std::string base = localBase(basePath);
  const ScanFlags walk = flags | limitFlags_;
  walkChildren(
      [&](ManifestNode& child) {
        if (child.isDistribution()) {
          child.scan(flags, nullptr, base);
          return true;
        }
        if (isCancelled()) return false;
        child.scan(walk, nullptr, base);
        return true;
      },
      [] {});
  if (isActive() && !isCancelled())
    environmentPass(walk, scan::kSkipScanned, [&](DistributionNode& root, int) { root.scan(0, product, base); });
}

bool DistributionNode::crcScan(bool withCrc, ScanFlags flags, TextArgument basePath) {
  const std::string base = localBase(basePath);
  const ScanFlags walk = flags | limitFlags_;
  bool result = true;
  walkChildren(
      [&](ManifestNode& child) {
        if (!child.crcScan(withCrc, child.isDistribution() ? flags : walk, base)) result = false;
        return true;
      },
      [&] {
        log(name_ ? boundedFormat(kLineCapacity, "---- CRC Scan on distribution: %s\n", name_->c_str())
                  : std::string("---- CRC Scan on unnnamed distribution\n"));
      });
  if (isActive())
    environmentPass(walk, 0, [&](DistributionNode& root, int) {
      if (!root.crcScan(withCrc, flags, base)) result = false;
    });
  return result;
}

int DistributionNode::download(ScanFlags flags, ProductHandle* product, TextArgument basePath) {
  const bool planning = services_ && services_->planningDownloads();
  if (const std::optional<std::string>& root = rootPath(); root && !root->empty() && !planning)
    createDirectoryPath(*root);
  const std::string base = localBase(basePath);
  const ScanFlags walk = flags | limitFlags_;
  int result = 0;
  bool ownVisited = false;
  walkChildren(
      [&](ManifestNode& child) {
        if (result::isStoppingCode(result) || isCancelled()) return false;
        const int code = child.download(child.isDistribution() ? flags : walk, nullptr, base);
        if (code != 0) result = code;
        return true;
      },
      [&] {
        if (result::isStoppingCode(result) || isCancelled()) return;
        ownVisited = true;
        if (!planning)
          log(boundedFormat(kLineCapacity, "Downloading Distribution %s ------------------\n", orEmpty(name_)));
      });
  if (ownVisited && result == 0 && !planning) clearNeedsUpdate();

  if (isActive()) {
    environmentPass(walk, scan::kSkipScanned, [&](DistributionNode& root, int type) {
      if (result::isStoppingCode(result) || isCancelled()) return;
      if (!planning) log(boundedFormat(kLineCapacity, "Downloading environment %c\n", static_cast<char>('A' + type)));
      const int code = root.download(0, product, base);
      // Result codes are replaced, as for the children; a sum of two codes would name neither.
      if (code != 0) result = code;
    });
  }
  return result;
}

bool DistributionNode::removeDeleted(TextArgument basePath) {
  if (!isActive()) return true;
  const std::string base = localBase(basePath);
  for (const auto& child : children_) child->removeDeleted(base);
  return true;
}

void DistributionNode::markDelete() {
  const bool active = isActive();
  for (const auto& child : children_) {
    if (active || child->isDistribution()) child->markDelete();
  }
  deleteMarked_ = true;
}

void DistributionNode::aggregateFlags() {
  // The restriction is settled before the children's, which ask whether their enclosing product is
  // accessible.
  if (product_) product_->record().checkRestriction();
  ManifestNode::aggregateFlags();
}

ProductHandle* DistributionNode::environmentDistribution(int type) {
  if (!services_ || type < 0 || type >= scan::kEnvironmentTypes || !typeName_[type]) return nullptr;
  ProductHandle* found = services_->findProduct(*typeName_[type]);
  if (found) {
    if (DistributionNode* root = found->record().rootDistribution()) root->servesEnvironment_[type] = true;
  }
  return found;
}

void DistributionNode::linkEnvironments() {
  // The sibling chain is followed in a loop: a long list of sibling distributions must not recurse
  // once per sibling.
  for (ManifestNode* node = this; node && node->isDistribution(); node = node->nextSibling()) {
    auto* distribution = static_cast<DistributionNode*>(node);
    for (int type = 0; type < scan::kEnvironmentTypes; ++type) distribution->environmentDistribution(type);
    ManifestNode* first = distribution->firstChild();
    if (first && first->isDistribution()) static_cast<DistributionNode*>(first)->linkEnvironments();
  }
}

}  // namespace korvel
