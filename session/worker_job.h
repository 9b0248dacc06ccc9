// The job the session's worker runs: a load, a scan, or a scan and download, over named products.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvel {

class Patcher;

struct WorkerJob {
  static constexpr std::size_t kNamesCapacity = 256;  // names hold at most 255 characters
  enum Kind : int { kLoad = 0, kScanAndDownload = 1, kScan = 4 };
  Patcher* patcher = nullptr;
  int kind = kLoad;
  std::string names;  // comma-separated product names, empty for all
  std::uint32_t flags = 0;
};

}  // namespace korvel
