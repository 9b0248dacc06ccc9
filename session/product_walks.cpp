// Walks over the products of the manifest: selection, local roots and sums.
#include "session/product_walks.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/tokenizer.h"
#include "manifest/product_list.h"
#include "manifest/product_record.h"
#include "manifest/scan_flags.h"

namespace korvel {

namespace {

constexpr std::size_t kPathCapacity = 256;

bool hasNames(const char* names) { return names && *names; }

// The file count is 32-bit; a larger sum is shown as the largest count rather than wrapping to a
// negative one.
int saturated(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
}

// Selects a product (both flags) for the length of one walk when it is not selected already.
class SelectedForWalk {
 public:
  explicit SelectedForWalk(ProductRecord& product) : product_(product), saved_(product.selection()) {
    if (!saved_.selected && !saved_.secondary) {
      product_.setSelected(true, false);
      product_.setSelected(true, true);
    }
  }
  ~SelectedForWalk() { product_.restoreSelection(saved_); }
  SelectedForWalk(const SelectedForWalk&) = delete;
  SelectedForWalk& operator=(const SelectedForWalk&) = delete;

 private:
  ProductRecord& product_;
  ProductRecord::Selection saved_;
};

}  // namespace

bool ProductWalks::forProducts(const char* names, const std::function<void(ProductRecord&)>& visit) {
  if (!hasNames(names)) {
    // The top product's walks enter its nested distributions by their own rules.
    if (ProductHandle* top = products_.top()) visit(top->record());
    return true;
  }
  bool matched = false;
  for (const std::string& name : Tokenizer::split(names, ",")) {
    ProductHandle* product = products_.findProduct(name);
    if (!product) continue;
    matched = true;
    SelectedForWalk selected(product->record());
    visit(product->record());
  }
  return matched;
}

bool ProductWalks::selectDistributions(const char* names, bool on) {
  if (!hasNames(names)) {
    products_.forEachProduct([on](ProductHandle& product) {
      product.record().setSelected(on, false);
      product.record().setSelected(on, true);
    });
    return true;
  }
  bool matched = false;
  for (const std::string& name : Tokenizer::split(names, ",")) {
    if (ProductHandle* product = products_.findProduct(name)) {
      product->record().setSelected(on, false);
      product->record().setSelected(on, true);
      matched = true;
    }
  }
  return matched;
}

bool ProductWalks::setDistributionPath(const char* names, const char* path) {
  if (!hasNames(names)) {
    if (path && std::strlen(path) >= kPathCapacity) return false;
    state_.defaultRootPath = path ? path : "";
    return true;
  }
  state_.filesTotal = countFiles(names, 0);
  // Every file checks itself against the new root; its progress counts from the start.
  state_.filesChecked = 0;
  bool matched = false;
  for (const std::string& name : Tokenizer::split(names, ",")) {
    if (ProductHandle* product = products_.findProduct(name)) {
      product->record().setLocalRoot(path);
      matched = true;
    }
  }
  if (ProductHandle* top = products_.top()) top->record().aggregateFlags();
  return matched;
}

std::string ProductWalks::distributionPath(const char* name) const {
  if (!hasNames(name)) return state_.defaultRootPath;
  ProductHandle* product = products_.findProduct(name);
  if (!product) return {};
  return product->record().localRoot().value_or(std::string());
}

int ProductWalks::countFiles(const char* names, std::uint32_t flags) {
  products_.setPassFlag(pass::kCounted, false);
  std::int64_t sum = 0;
  forProducts(names, [&](ProductRecord& product) { sum += product.countFiles(flags); });
  return saturated(sum);
}

std::int64_t ProductWalks::updateAmount(const char* names, std::uint32_t flags) {
  products_.setPassFlag(pass::kCompressedCounted, false);
  std::int64_t sum = 0;
  forProducts(names, [&](ProductRecord& product) {
    product.aggregateFlags();
    sum += product.countCompressedBytes(flags);
  });
  return sum;
}

std::int64_t ProductWalks::downloadBytes(const char* names, std::uint32_t flags) {
  reports_.log("Getting Total Size...\n");
  products_.setPassFlag(pass::kDownloadCounted, false);
  std::int64_t sum = 0;
  forProducts(names, [&](ProductRecord& product) { sum += product.countDownloadBytes(flags); });
  return sum;
}

std::int64_t ProductWalks::largestFileSpace(const char* names, std::uint32_t flags) {
  std::int64_t largest = 0;
  forProducts(names, [&](ProductRecord& product) { largest = std::max(largest, product.largestSpaceNeeded(flags)); });
  return largest;
}

std::string ProductWalks::productBase(ProductRecord& product, const std::string& base) {
  return product.baseDirectory(base).value_or(base);
}

}  // namespace korvel
