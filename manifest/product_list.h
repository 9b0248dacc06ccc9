// The session's products: the product built from the manifest's "Product" element with its tree,
// and every product nested in it, found by name.
//
// Built and walked on the session's worker thread; not locked.
#pragma once

#include <functional>
#include <memory>

#include "common/text_argument.h"
#include "manifest/scan_flags.h"

typedef struct _xmlNode xmlNode;

namespace korvel {

class DirectorySnapshot;
class DistributionNode;
class PatchCache;
class NodeFactory;
class TreeServices;
class ProductHandle;

class ProductList {
 public:
  // Every product of the list shares the installation's patch cache and folder snapshot (either may
  // be null), reports through `services` and has its file nodes and stagers made by `nodes`.
  ProductList(TreeServices* services, NodeFactory* nodes, PatchCache* patchCache, DirectorySnapshot* snapshot);
  ~ProductList();
  ProductList(const ProductList&) = delete;
  ProductList& operator=(const ProductList&) = delete;

  // Replaces the products with the one read from `productElement` (its record, then its tree). Returns
  // the tree's read result, false when any external document failed; the product is kept either way (a
  // failed external document leaves a distribution empty, not the product missing).
  bool build(xmlNode* productElement);
  // Drops every product.
  void clear();

  // The product built from the "Product" element; null before build().
  ProductHandle* top() const { return top_.get(); }
  // Its root distribution (the node tree); null before build().
  DistributionNode* tree() const;

  // The first product in walk order whose name equals `name` (letter case ignored); null when none
  // does or `name` is absent.
  ProductHandle* findProduct(TextArgument name) const;

  // Visits every product: each product, then its nested products, then the products that follow it
  // at its level. The visitor must not add or remove products.
  void forEachProduct(const std::function<void(ProductHandle&)>& visit) const;

  // Lets every distribution look up its environment distributions (after the tree is built).
  void linkEnvironments();
  // The walks over the whole tree of the top product.
  void aggregateFlags();
  void setPassFlag(int index, bool value);

  TreeServices* services() const { return services_; }
  PatchCache* patchCache() const { return patchCache_; }
  DirectorySnapshot* snapshot() const { return snapshot_; }

 private:
  TreeServices* services_;
  NodeFactory* nodes_;
  PatchCache* patchCache_;
  DirectorySnapshot* snapshot_;
  std::unique_ptr<ProductHandle> top_;
};

}  // namespace korvel
