// The session's products.
#include "manifest/product_list.h"

#include "common/text_format.h"
#include "manifest/distribution_node.h"
#include "manifest/product_record.h"

namespace korvel {

namespace {

void visitDistribution(DistributionNode& node, const std::function<void(ProductHandle&)>& visit) {
  if (node.product()) visit(*node.product());
  for (const auto& child : node.children()) {
    if (child->isDistribution()) visitDistribution(static_cast<DistributionNode&>(*child), visit);
  }
}

}  // namespace

ProductList::ProductList(TreeServices* services, NodeFactory* nodes, PatchCache* patchCache,
                         DirectorySnapshot* snapshot)
    : services_(services), nodes_(nodes), patchCache_(patchCache), snapshot_(snapshot) {}

ProductList::~ProductList() = default;

bool ProductList::build(xmlNode* productElement) {
  top_.reset();
  top_ = std::make_unique<ProductHandle>(std::make_unique<ProductRecord>(services_, nodes_, patchCache_, snapshot_));
  return top_->record().buildFromElement(productElement);
}

void ProductList::clear() { top_.reset(); }

DistributionNode* ProductList::tree() const { return top_ ? top_->record().rootDistribution() : nullptr; }

ProductHandle* ProductList::findProduct(TextArgument name) const {
  if (!name.present()) return nullptr;
  const std::string wanted = name.str();
  ProductHandle* found = nullptr;
  forEachProduct([&](ProductHandle& product) {
    const std::optional<std::string>& productName = product.record().name();
    if (!found && productName && equalsIgnoreCase(*productName, wanted)) found = &product;
  });
  return found;
}

void ProductList::forEachProduct(const std::function<void(ProductHandle&)>& visit) const {
  if (DistributionNode* root = tree()) visitDistribution(*root, visit);
}

void ProductList::linkEnvironments() {
  if (DistributionNode* root = tree()) root->linkEnvironments();
}

void ProductList::aggregateFlags() {
  if (DistributionNode* root = tree()) root->aggregateFlags();
}

void ProductList::setPassFlag(int index, bool value) {
  if (DistributionNode* root = tree()) root->setPassFlag(index, value);
}

}  // namespace korvel
