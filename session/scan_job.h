// The scan job: the caches of a pass (the folder snapshot and the patch cache), the rescan of every
// file after a load, the scan of the named products, and the totals the front end sees after them.
//
// Threads: the worker, or the thread that owns the session while no job runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/session_reports.h"
#include "session/session_state.h"

namespace korvel {

class DirectorySnapshot;
class DownloadRequests;
class PatchCache;
class ProductWalks;

class ScanJob {
 public:
  ScanJob(SessionReports& reports, SessionState& state, ProductWalks& walks, PatchCache& patchCache,
          DirectorySnapshot& snapshot, DownloadRequests& downloads)
      : reports_(reports), state_(state), walks_(walks), patchCache_(patchCache), snapshot_(snapshot),
        downloads_(downloads) {}

  // The rescan of every file after a load. False when the session was cancelled.
  bool rescan(const char* names, std::uint32_t flags);
  // The scan pass over the named products. False when the session was cancelled.
  bool run(const char* names, std::uint32_t flags);

  // Fills the snapshot from `folder` (dropping what it held), opens the folder's patch cache and
  // removes what a killed run left there.
  void openCaches(const std::string& folder);
  // Saves the patch cache when its folder still exists.
  void savePatchCache();
  // bytesToUpdate and totalDownloadBytes over every product.
  void recountTotals();

 private:
  // Deletes the temporary download files a killed run left in the snapshot's folder.
  void removeLeftoverTemporaries(const std::string& folder);
  // Of the partial bodies found there (paths of their ".part" and ".tag" files), removes those that no
  // entry of the manifest would continue any more.
  void removeStalePartials(const std::vector<std::string>& paths);
  // Empties the snapshot at the end of a pass.
  void dropSnapshot();

  SessionReports& reports_;
  SessionState& state_;
  ProductWalks& walks_;
  PatchCache& patchCache_;
  DirectorySnapshot& snapshot_;
  DownloadRequests& downloads_;
};

}  // namespace korvel
