// The scan job: the caches of a pass, the rescan after a load and the scan pass.
#include "session/scan_job.h"

#include <string_view>
#include <unordered_map>

#include "common/progress_channels.h"
#include "common/text_format.h"
#include "fileupdate/file_node.h"
#include "manifest/distribution_node.h"
#include "manifest/product_list.h"
#include "manifest/product_record.h"
#include "manifest/scan_flags.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/patch_cache.h"
#include "platform/files.h"
#include "session/product_walks.h"
#include "transfer/download_requests.h"
#include "transfer/partial_file.h"

namespace korvel {

namespace {

constexpr std::size_t kPathCapacity = 256;

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

}  // namespace

void ScanJob::openCaches(const std::string& folder) {
  // The snapshot describes the folder as it is now: records of files deleted since an earlier fill
  // must not answer for them.
  snapshot_.clear();
  snapshot_.scanFolder(folder);
  state_.snapshotFolder = folder;
  patchCache_.open(PatchCache::kDefaultFileName, folder, snapshot_);
  removeLeftoverTemporaries(folder);
}

void ScanJob::removeLeftoverTemporaries(const std::string& folder) {
  // A run that was killed leaves its temporary files ("spatchfile_<n>.tmp") beside the game; no
  // transfer of this session is running while the caches are opened, so any found now are stale.
  // Partial bodies of broken-off downloads (a few at most) are judged once the listing is through.
  std::vector<std::string> partials;
  for (const auto& [relative, record] : snapshot_.records()) {
    const std::string_view walked = relative;
    const std::size_t cut = walked.find_last_of("\\/");
    const std::string_view name = cut == std::string_view::npos ? walked : walked.substr(cut + 1);
    const std::string path = folder + "\\" + relative;
    if (PartialFile::isPartialName(name)) {
      partials.push_back(path);
      continue;
    }
    if (!isTemporaryName(name)) continue;
    if (platform::deleteFile(path))
      reports_.log(boundedFormat(kPathCapacity * 2, "Removed leftover file %s\n", path.c_str()));
  }
  if (!partials.empty()) removeStalePartials(partials);
}

void ScanJob::removeStalePartials(const std::vector<std::string>& paths) {
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
  if (const DistributionNode* root = walks_.products().tree()) visitNode(visitNode, *root);

  for (const std::string& path : paths) {
    const std::string stem = path.substr(0, path.rfind('.'));
    const std::size_t cut = stem.find_last_of("\\/");
    if (wanted[stem.substr(cut + 1)] && PartialFile::readTag(stem + ".tag")) continue;
    // The body and its tag are both listed; the first of the two to come removes both.
    const bool removedBody = platform::deleteFile(stem + ".part");
    const bool removedTag = platform::deleteFile(stem + ".tag");
    if (removedBody || removedTag)
      reports_.log(boundedFormat(kPathCapacity * 2, "Removed leftover file %s.part\n", stem.c_str()));
  }
}

void ScanJob::dropSnapshot() {
  // Files change after a pass (a matching CRC resets a file's time; downloads replace files): what
  // the snapshot recorded must not answer for them later.
  snapshot_.clear();
  state_.snapshotFolder.clear();
}

void ScanJob::savePatchCache() {
  if (patchCache_.folder() && platform::pathExists(*patchCache_.folder())) patchCache_.save();
}

void ScanJob::recountTotals() {
  const std::int64_t toUpdate = walks_.updateAmount(nullptr, 0);
  downloads_.setTotals(walks_.downloadBytes(nullptr, 0x800), toUpdate);
}

bool ScanJob::rescan(const char* names, std::uint32_t flags) {
  const std::string base = state_.baseFor();
  reports_.log("Begin Rescan Routine ---------------------------- *\n");
  // The rescan verifies the same files against the same folder as a scan pass, and once it has, an
  // update skips its scan pass: without the caches here they would never be read or saved in a run.
  openCaches(base);
  const int count = walks_.countFiles(names, flags | scan::kSkipVerified);
  state_.filesChecked = 0;
  state_.filesTotal = count;
  if (count < 1) {
    reports_.log("No Files to Rescan.  We're A-OK.\n");
  } else {
    reports_.log(boundedFormat(kPathCapacity, "Rescanning %d files\n", count));
    if (SessionClient* client = reports_.client()) client->progressRange(100, kBarScan);
    walks_.forProducts(names, [&](ProductRecord& product) {
      product.scan(flags, base);
      product.aggregateFlags();
    });
  }
  dropSnapshot();
  recountTotals();
  savePatchCache();
  reports_.log("End Rescan Routine ---------------------------- *\n");
  return true;
}

bool ScanJob::run(const char* names, std::uint32_t flags) {
  state_.filesTotal = walks_.countFiles(names, scan::kSkipScanned);
  const std::string base = state_.baseFor();
  state_.filesChecked = 0;
  openCaches(base);
  if (state_.filesTotal > 0) {
    if (SessionClient* client = reports_.client()) client->progressRange(100, kBarScan);
    walks_.forProducts(names, [&](ProductRecord& product) {
      product.scan(scan::kSkipScanned, ProductWalks::productBase(product, base));
      product.aggregateFlags();
    });
  }
  dropSnapshot();
  recountTotals();
  savePatchCache();
  return true;
}

}  // namespace korvel
