// Download limits: what a distribution may download in one run, the check of every product against
// it before a download, and the marking of the files a product over its limit leaves alone.
#include "common/text_format.h"
#include "manifest/distribution_node.h"
#include "manifest/product_record.h"
#include "manifest/session_services.h"
#include "common/result_codes.h"

namespace korvel {

namespace {

constexpr std::size_t kLineCapacity = 256;
constexpr LimitFlags kLeaveDefaultOut = scan::kEnvironmentFilesOnly;

const char* labelOf(const ProductRecord& product) {
  if (product.title()) return product.title()->c_str();
  if (product.name()) return product.name()->c_str();
  return "Unnamed Distribution";
}

// The bytes the session would download for the product, counting files left alone by a limit.
std::uint64_t requestedBytes(const ProductRecord& product) {
  TreeServices* services = product.services();
  if (!services || !product.name()) return 0;
  const std::int64_t bytes = services->requestedDownloadBytes(product.name()->c_str(), scan::kIncludeLimitExceeded);
  return bytes > 0 ? static_cast<std::uint64_t>(bytes) : 0;
}

// A byte count in the signed decimal form of the log lines (the same text as a 32-bit "%d" below 2 GiB).
long long asPrinted(std::uint64_t bytes) { return static_cast<long long>(bytes); }

// Logs the exceeded limit and reports result::kLimitExceeded, unless the distribution was marked before.
void reportExceeded(const ProductRecord& product, const std::string& line, const char* reportFormat) {
  TreeServices* services = product.services();
  if (!services) return;
  services->log(line);
  services->reportError(result::kLimitExceeded, boundedFormat(kLineCapacity, reportFormat, labelOf(product)));
}

}  // namespace

std::uint64_t DistributionNode::allowance(ScanFlags flags) const {
  std::uint64_t allowed = (limitFlags_ & kLeaveDefaultOut) ? 0 : limit_[0];
  if (flags & scan::kDefaultLimitOnly) return allowed;
  for (int type = 0; type < scan::kEnvironmentTypes; ++type)
    if (limitFlags_ & scan::environmentBit(type)) allowed += limit_[type + 1];
  return allowed;
}

bool ProductRecord::checkLimits(ScanFlags flags) {
  if (flags == 0) return true;
  DistributionNode* root = rootDistribution_;
  if (!root) return true;
  bool withinLimits = true;

  if (!(flags & kLeaveDefaultOut)) {
    const std::uint64_t allowed = root->allowance(scan::kDefaultLimitOnly);
    if (allowed != 0) {
      const std::uint64_t requested = requestedBytes(*this);
      if (requested > allowed) {
        if (!root->limitExceeded())
          reportExceeded(
              *this,
              boundedFormat(kLineCapacity, "Limit exceeded: %lld bytes requested for distribution %s, %lld max.\n",
                            asPrinted(requested), labelOf(*this), asPrinted(allowed)),
              "Download size exceeded for distribution \"%s.\"\n");
        root->markLimitExceeded(scan::kIgnoreEnvironment);
        withinLimits = false;
      }
    }
  }

  static constexpr const char* kTypeNames[scan::kEnvironmentTypes] = {"Type A", "Type B", "Type C", "Type D"};
  const LimitFlags saved = root->limitFlags();
  for (int type = 0; type < scan::kEnvironmentTypes; ++type) {
    const LimitFlags bit = scan::environmentBit(type);
    if (!(saved & bit)) continue;
    // With only this type's bit and the default left out, the allowance is this type's limit alone.
    root->setLimitFlags(bit | kLeaveDefaultOut);
    const std::uint64_t allowed = root->allowance(0);
    if (allowed == 0) continue;
    ProductHandle* environment = root->environmentDistribution(type);
    const std::uint64_t requested = environment ? requestedBytes(environment->record()) : 0;
    if (requested <= allowed || !environment) continue;
    DistributionNode* environmentRoot = environment->record().rootDistribution();
    if (!environmentRoot) continue;
    if (!environmentRoot->limitExceeded())
      reportExceeded(
          environment->record(),
          boundedFormat(kLineCapacity, "Limit (%s) exceeded: %lld bytes requested for distribution %s, %lld max.\n",
                        kTypeNames[type], asPrinted(requested), labelOf(environment->record()), asPrinted(allowed)),
          type == 0 ? "Download size exceeded for distribution \"%s.\"\n"
                    : "Download size exceeded for distribution \"%s\".\n");
    environmentRoot->markLimitExceeded(scan::kEnvironmentFilesOnly);
    withinLimits = false;
  }
  root->setLimitFlags(saved);

  // The neighbouring products are checked on their own; their results do not change this one's.
  if (auto* sibling = dynamic_cast<DistributionNode*>(root->nextSibling()); sibling && sibling->product())
    sibling->product()->record().checkLimits(flags);
  if (auto* child = dynamic_cast<DistributionNode*>(root->firstChild()); child && child->product())
    child->product()->record().checkLimits(flags);
  return withinLimits;
}

}  // namespace korvel
