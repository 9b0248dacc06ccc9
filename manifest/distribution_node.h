// The node of a "Product" element or of a nested live "Distribution": a unit the session can select,
// scan, count and download on its own, with its environment distributions, download limits, external
// documents, change notes and background stager.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "manifest/manifest_node.h"

namespace korvel {

class DistributionNode;
class ProductRecord;
class Stager;

class DistributionNode : public ManifestNode {
 public:
  // External documents that point to further external documents are followed this many levels deep.
  static constexpr int kMaxExternalDepth = 8;
  // A tree reads at most this many external documents in all: documents that each name several
  // further ones would otherwise multiply with every level of that depth.
  static constexpr int kMaxExternalDocuments = 256;
  // The largest external document fetched into memory.
  static constexpr std::size_t kExternalDocumentCapacity = 1000000;
  // The most characters of a change-notes file read when its "DownloadSize" is not given.
  static constexpr std::size_t kChangeNoteDefaultChars = 65536;

  DistributionNode();
  // Frees the stager, the type names and (unless it does not own it) the product handle, then the tree.
  ~DistributionNode() override;

  // Slot 5: the base attributes; a nested distribution gets a product of its own (sharing the enclosing
  // product's caches) and the session of its neighbours (false when none is found); then the product's
  // and the node's own attributes. An element with no content at all and a "RemotePath" is read from
  // that external document instead (false when it cannot be had); otherwise the children are read: a
  // "Distribution" that is not live makes the stager, "Changes" a change note, the other known names
  // nodes.
  bool readFromElement(xmlNode* element, ManifestNode* parent, ManifestNode* previous, TextArgument parentLocal,
                       TextArgument parentRemote, ProductHandle* product) override;
  // Slot 6: logs the start of the distribution's own files, then the walk and the environment pass.
  bool crcScan(bool withCrc, ScanFlags flags, TextArgument basePath) override;
  // Slot 9: the product's restriction check, then the base operation.
  void aggregateFlags() override;
  // Slot 12: the stager's staging first, then the walk with localBase(basePath) and the environment pass.
  void scan(ScanFlags flags, ProductHandle* product, TextArgument basePath) override;
  // Slot 14: "Root" (resolved as a path token), the environment type names and the limits.
  void readOwnAttributes(xmlNode* element) override;
  // Nothing: a distribution's names are product names, not paths.
  std::optional<std::string> refusedName() const override { return std::nullopt; }
  std::int64_t countDownloadBytes(ProductHandle* pass, ScanFlags flags) override;
  std::int64_t countCompressedBytes(ProductHandle* pass, ScanFlags flags) override;
  std::int64_t largestSpaceNeeded(ProductHandle* pass, ScanFlags flags) override;
  // Slot 18: creates the root folder when a root path is set, then downloads the children until a
  // stopping code (result::isStoppingCode) or a cancel; a child's non-zero result replaces the result.
  int download(ScanFlags flags, ProductHandle* product, TextArgument basePath) override;
  // Slot 19: only for an active product.
  bool removeDeleted(TextArgument basePath) override;
  int countFiles(ProductHandle* pass, ScanFlags flags) override;
  std::int64_t countBytes(ProductHandle* pass, ScanFlags flags) override;
  // Slot 22: nested distributions always, the other children when the product is active.
  void markDelete() override;
  // Slot 30: the product named by the type's "DistributionType" attribute, found through the session;
  // that product's distribution is marked as serving the type. Null for types outside 0 to 3.
  ProductHandle* environmentDistribution(int type) override;

  // Looks up the environments of this distribution, of its following sibling distributions and of
  // their nested distributions (a non-distribution sibling or first child ends that branch).
  void linkEnvironments();

  // The bytes this distribution may download in one run (manifest/download_limits.cpp): the default
  // limit unless the limit flags carry 0x10; with 0x200 in `flags` that alone, otherwise plus the
  // limit of each environment type whose bit (0x1000 to 0x8000) the limit flags carry. 0 is no limit.
  std::uint64_t allowance(ScanFlags flags) const;

  // Whether this distribution's product is active (selected and accessible).
  bool isActive() const;

  Stager* stager() const { return stager_.get(); }
  const std::optional<std::string>& typeName(int type) const;
  bool servesEnvironment(int type) const;
  std::uint64_t limit(int index) const { return index >= 0 && index < 5 ? limit_[index] : 0; }
  LimitFlags limitFlags() const { return limitFlags_; }
  void setLimitFlags(LimitFlags flags) { limitFlags_ = flags; }
  // For the root distribution of a product whose record owns it.
  void setDoesNotOwnProduct() { doesNotOwnProduct_ = true; }
  // Whether an external document anywhere in the tree this distribution heads could not be read (its
  // failure was reported when it happened). Asked of the tree's root.
  bool externalDocumentFailed() const { return externalDocumentFailed_; }

 private:
  // Steps shared by the first read and the re-reads from an external document: the attributes, then
  // the external document or the children.
  bool readDistribution(xmlNode* element, int externalDepth);
  bool readChildren(xmlNode* element);
  // Reads the external document named by remotePath; a failure is remembered on the tree's root.
  bool loadExternal(int externalDepth);
  bool readExternalDocument(int externalDepth);
  // The outermost distribution above this one (itself when there is none).
  DistributionNode* treeRoot();
  // Reads a change note from a "Changes" element into the product.
  void readChangeNote(const xmlNode* element);
  // The session of the product of the previous sibling distribution, else of the parent, resolved the
  // same way upward.
  const ProductRecord* resolveServices() const;

  // Visits the children by the distribution rule: distribution children always; the others only when
  // the product is active. `beforeOwn` runs once before the first non-distribution child visited.
  // `visit(child)` returns false to end the walk.
  template <class Visit, class BeforeOwn>
  void walkChildren(Visit&& visit, BeforeOwn&& beforeOwn);
  // For each selected environment type with a product: that product's root distribution is selected
  // and given limit flags 0x10 plus `flags & keptBits` for the duration of `run(root, type)`.
  template <class Run>
  void environmentPass(ScanFlags flags, ScanFlags keptBits, Run&& run);

  std::unique_ptr<Stager> stager_;
  std::array<std::optional<std::string>, scan::kEnvironmentTypes> typeName_;
  std::array<bool, scan::kEnvironmentTypes> servesEnvironment_{};
  std::array<std::uint64_t, 5> limit_{};
  LimitFlags limitFlags_ = kInitialLimitFlags;
  std::unique_ptr<ProductHandle> ownedProduct_;
  // Set while this distribution runs an environment pass, so that distributions naming each other
  // (or themselves) as environments are not entered again.
  bool inEnvironmentPass_ = false;
  // The external documents read so far for the tree this distribution heads (counted on the root).
  int externalDocuments_ = 0;
  bool externalDocumentFailed_ = false;
};

}  // namespace korvel
