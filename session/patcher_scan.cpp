// The session's scan: selection and local roots of the products, the sums the front end and the
// passes ask for, the caches of a pass, the rescan after a load and the scan pass.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/progress_channels.h"
#include "common/file_utils.h"
#include "common/text_format.h"
#include "common/tokenizer.h"
#include "fileupdate/file_node.h"
#include "manifest/distribution_node.h"
#include "manifest/product_record.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/patch_cache.h"
#include "platform/files.h"
#include "session/patcher.h"
#include "common/result_codes.h"
#include "platform/clock.h"
#include "transfer/download_requests.h"
#include "transfer/partial_file.h"
#include "transfer/progress_rates.h"

namespace korvel {

namespace {

constexpr std::size_t kPathCapacity = 256;

bool hasNames(const char* names) { return names && *names; }

// Whether `name` is one of the temporary names the transfers make: "spatchfile_<digits>.tmp".
bool isTemporaryName(std::string_view name) {
  static constexpr std::string_view kPrefix = "spatchfile_";
  static constexpr std::string_view kSuffix = ".tmp";
  const std::size_t prefix = kPrefix.size(), suffix = kSuffix.size();
  if (name.size() <= prefix + suffix || !equalsIgnoreCase(name.substr(0, prefix), kPrefix) ||
      !equalsIgnoreCase(name.substr(name.size() - suffix), kSuffix))
    return false;
  for (std::size_t at = prefix; at < name.size() - suffix; ++at)
    if (name[at] < '0' || name[at] > '9') return false;
  return true;
}

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

void Patcher::resetProductList() { products_->clear(); }

bool Patcher::forProducts(const char* names, bool topOnly, const std::function<void(ProductRecord&)>& visit) {
  if (!hasNames(names)) {
    // The top product's walks enter its nested distributions by their own rules.
    if (ProductHandle* top = products_->top()) visit(top->record());
    return true;
  }
  bool matched = false;
  for (const std::string& name : Tokenizer::split(names, ",")) {
    ProductHandle* product = products_->findProduct(name);
    if (!product) continue;
    matched = true;
    SelectedForWalk selected(product->record());
    visit(product->record());
  }
  return matched;
}

bool Patcher::selectDistributions(const char* names, bool on) {
  if (!hasNames(names)) {
    products_->forEachProduct([on](ProductHandle& product) {
      product.record().setSelected(on, false);
      product.record().setSelected(on, true);
    });
    return true;
  }
  bool matched = false;
  for (const std::string& name : Tokenizer::split(names, ",")) {
    if (ProductHandle* product = products_->findProduct(name)) {
      product->record().setSelected(on, false);
      product->record().setSelected(on, true);
      matched = true;
    }
  }
  return matched;
}

bool Patcher::setDistributionPath(const char* names, const char* path) {
  if (!hasNames(names)) {
    if (path && std::strlen(path) >= kPathCapacity) return false;
    defaultRootPath_ = path ? path : "";
    return true;
  }
  filesTotal_ = countFiles(names, 0);
  // Every file checks itself against the new root; its progress counts from the start.
  filesChecked_ = 0;
  bool matched = false;
  for (const std::string& name : Tokenizer::split(names, ",")) {
    if (ProductHandle* product = products_->findProduct(name)) {
      product->record().setLocalRoot(path);
      matched = true;
    }
  }
  if (ProductHandle* top = products_->top()) top->record().aggregateFlags();
  return matched;
}

std::string Patcher::distributionPath(const char* name) const {
  if (!hasNames(name)) return defaultRootPath_;
  ProductHandle* product = products_->findProduct(name);
  if (!product) return {};
  return product->record().localRoot().value_or(std::string());
}

int Patcher::countFiles(const char* names, std::uint32_t flags) {
  products_->setPassFlag(pass::kCounted, false);
  std::int64_t sum = 0;
  forProducts(names, false, [&](ProductRecord& product) { sum += product.countFiles(flags); });
  return saturated(sum);
}

std::int64_t Patcher::updateAmount(const char* names, std::uint32_t flags) {
  products_->setPassFlag(pass::kCompressedCounted, false);
  std::int64_t sum = 0;
  forProducts(names, false, [&](ProductRecord& product) {
    product.aggregateFlags();
    sum += product.countCompressedBytes(flags);
  });
  return sum;
}

std::int64_t Patcher::sumDownloadBytes(const char* names, std::uint32_t flags) {
  log("Getting Total Size...\n");
  products_->setPassFlag(pass::kDownloadCounted, false);
  std::int64_t sum = 0;
  forProducts(names, false, [&](ProductRecord& product) { sum += product.countDownloadBytes(flags); });
  return sum;
}

std::int64_t Patcher::totalDownloadBytes(const char* names, std::uint32_t flags) {
  return sumDownloadBytes(names, flags);
}

std::int64_t Patcher::largestFileSpace(const char* names, std::uint32_t flags) {
  std::int64_t largest = 0;
  forProducts(names, false,
              [&](ProductRecord& product) { largest = std::max(largest, product.largestSpaceNeeded(flags)); });
  return largest;
}

void Patcher::limitExceededWarning() {
  if (limitWarningGiven_.exchange(true)) return;
  reportError(result::kLimitWarning,
              "Warning: Download Limit exceeded.  Please install any missing files from your CD.\n");
}

std::string Patcher::productBase(ProductRecord& product, const std::string& base) const {
  return product.baseDirectory(base).value_or(base);
}

void Patcher::openCaches(const std::string& folder) {
  // The snapshot describes the folder as it is now: records of files deleted since an earlier fill
  // must not answer for them.
  directorySnapshot_->clear();
  directorySnapshot_->scanFolder(folder);
  snapshotFolder_ = folder;
  patchCache_->open(PatchCache::kDefaultFileName, folder, *directorySnapshot_);
  removeLeftoverTemporaries(folder);
}

void Patcher::removeLeftoverTemporaries(const std::string& folder) {
  // A run that was killed leaves its temporary files ("spatchfile_<n>.tmp") beside the game; no
  // transfer of this session is running while the caches are opened, so any found now are stale.
  // Partial bodies of broken-off downloads (a few at most) are judged once the listing is through.
  std::vector<std::string> partials;
  for (const auto& [relative, record] : directorySnapshot_->records()) {
    const std::string_view walked = relative;
    const std::size_t cut = walked.find_last_of("\\/");
    const std::string_view name = cut == std::string_view::npos ? walked : walked.substr(cut + 1);
    const std::string path = folder + "\\" + relative;
    if (PartialFile::isPartialName(name)) {
      partials.push_back(path);
      continue;
    }
    if (!isTemporaryName(name)) continue;
    if (platform::deleteFile(path)) log(boundedFormat(kPathCapacity * 2, "Removed leftover file %s\n", path.c_str()));
  }
  if (!partials.empty()) removeStalePartials(partials);
}

void Patcher::removeStalePartials(const std::vector<std::string>& paths) {
  // A partial body is kept while an entry of the manifest would still continue it: its name is the
  // digest of exactly the request that entry's download (or its delta data's) makes, and its tag is
  // readable. Everything else is a leftover. The entries are asked only when partials were found.
  std::unordered_map<std::string, bool> wanted;  // stem (file name without extension) -> wanted
  for (const std::string& path : paths) {
    const std::size_t cut = path.find_last_of("\\/");
    const std::string name = path.substr(cut + 1);
    wanted.emplace(name.substr(0, name.rfind('.')), false);
  }
  const auto visitNode = [&](auto& self, const ManifestNode& node) -> void {
    if (const auto* file = dynamic_cast<const FileNode*>(&node)) {
      file->visitDownloadRequests([&](const PartialFile::Identity& identity) {
        const auto found = wanted.find(PartialFile::stemFor(identity));
        if (found != wanted.end()) found->second = true;
      });
    }
    for (const auto& child : node.children()) self(self, *child);
  };
  if (const DistributionNode* root = products_->tree()) visitNode(visitNode, *root);

  for (const std::string& path : paths) {
    const std::string stem = path.substr(0, path.rfind('.'));
    const std::size_t cut = stem.find_last_of("\\/");
    if (wanted[stem.substr(cut + 1)] && PartialFile::readTag(stem + ".tag")) continue;
    // The body and its tag are both listed; the first of the two to come removes both.
    const bool removedBody = platform::deleteFile(stem + ".part");
    const bool removedTag = platform::deleteFile(stem + ".tag");
    if (removedBody || removedTag) log(boundedFormat(kPathCapacity * 2, "Removed leftover file %s.part\n", stem.c_str()));
  }
}

void Patcher::dropSnapshot() {
  // Files change after a pass (a matching CRC resets a file's time; downloads replace files): what
  // the snapshot recorded must not answer for them later.
  directorySnapshot_->clear();
  snapshotFolder_.clear();
}

void Patcher::savePatchCache() {
  if (patchCache_->folder() && platform::pathExists(*patchCache_->folder())) patchCache_->save();
}

bool Patcher::rescan(const char* names, std::uint32_t flags) {
  const std::string base = baseFor();
  log("Begin Rescan Routine ---------------------------- *\n");
  // The rescan verifies the same files against the same folder as a scan pass, and once it has, an
  // update skips its scan pass: without the caches here they would never be read or saved in a run.
  openCaches(base);
  const int count = countFiles(names, flags | scan::kSkipVerified);
  filesChecked_ = 0;
  filesTotal_ = count;
  if (count < 1) {
    log("No Files to Rescan.  We're A-OK.\n");
  } else {
    log(boundedFormat(kPathCapacity, "Rescanning %d files\n", count));
    if (client_) client_->progressRange(100, kBarScan);
    forProducts(names, false, [&](ProductRecord& product) {
      product.scan(flags, base);
      product.aggregateFlags();
    });
  }
  dropSnapshot();
  recountTotals();
  savePatchCache();
  log("End Rescan Routine ---------------------------- *\n");
  return true;
}

bool Patcher::scanPass(const char* names, std::uint32_t flags) {
  filesTotal_ = countFiles(names, scan::kSkipScanned);
  const std::string base = baseFor();
  filesChecked_ = 0;
  openCaches(base);
  if (filesTotal_ > 0) {
    if (client_) client_->progressRange(100, kBarScan);
    forProducts(names, false, [&](ProductRecord& product) {
      product.scan(scan::kSkipScanned, productBase(product, base));
      product.aggregateFlags();
    });
  }
  dropSnapshot();
  recountTotals();
  savePatchCache();
  return true;
}

}  // namespace korvel
