// Sums, selection and job bodies that walk the products of the manifest. This build holds no product
// list: every walk covers no product, so counts are 0, named products match nothing, and a load
// cannot build a tree and ends with manifestReady(0).
#include <cstring>

#include "launcher/patch_client.h"
#include "session/patcher.h"

namespace korvel {

namespace {
bool hasNames(const char* names) { return names && *names; }
}  // namespace

void Patcher::resetProductList() {}

bool Patcher::loadJob(const WorkerJob& job) {
  if (client_) client_->manifestReady(0);
  return false;
}

bool Patcher::rescan(const char* names, std::uint32_t flags) {
  log("Begin Rescan Routine ---------------------------- *\n");
  filesChecked_ = 0;
  filesTotal_ = countFiles(names, flags | 0x100);
  if (filesTotal_ < 1) log("No Files to Rescan.  We're A-OK.\n");
  recountTotals();
  log("End Rescan Routine ---------------------------- *\n");
  return true;
}

bool Patcher::scanPass(const char* names, std::uint32_t flags) {
  filesTotal_ = countFiles(names, 0x80);
  filesChecked_ = 0;
  recountTotals();
  return true;
}

bool Patcher::downloadPass(const char* names) {
  // No product to download: the pass ends at once with nothing matched.
  updateRunning_.store(false);
  recountTotals();
  return false;
}

bool Patcher::selectDistributions(const char* names, bool on) { return !hasNames(names); }

bool Patcher::setDistributionPath(const char* names, const char* path) {
  if (hasNames(names)) {
    filesTotal_ = countFiles(names, 0);
    return false;
  }
  if (path && std::strlen(path) > 255) return false;
  defaultRootPath_ = path ? path : "";
  return true;
}

int Patcher::countFiles(const char* names, std::uint32_t flags) { return 0; }

int Patcher::updateAmount(const char* names, std::uint32_t flags) { return 0; }

int Patcher::totalDownloadBytes(const char* names, std::uint32_t flags) {
  log("Getting Total Size...\n");
  return 0;
}

std::int64_t Patcher::largestFileSpace(const char* names, std::uint32_t flags) { return 0; }

}  // namespace korvel
