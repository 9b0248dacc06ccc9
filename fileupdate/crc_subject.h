// What the CRC computation of a file needs from the file it is computed for: the seam the file node
// implements (its cache, its paths, its sizes, its pass flag 10 and the session's stop flag and bar 4).
#pragma once

#include <cstdint>
#include <string>

namespace korvel {

class PatchCache;

class CrcSubject {
 public:
  virtual ~CrcSubject() = default;

  // The patch cache of the file's product.
  virtual PatchCache& crcCache() = 0;
  // The file's key in the patch cache (its composed local path, used unchanged).
  virtual const std::string& crcCacheKey() const = 0;
  // The file's own full local path under basePath (the file node's localFile).
  virtual std::string crcFilePath(const std::string& basePath) const = 0;
  // The size that decides whether progress is shown and scales it (the file node's measured size).
  virtual std::int64_t crcExpectedSize() const = 0;
  // Pass flag 10: a CRC scan is running, so the cached CRC must not be used.
  virtual bool crcScanRunning() const = 0;
  // The session's failure flag (set by a failure or a stop).
  virtual bool crcStopping() const = 0;
  // Progress of the computation on the checksum bar (the client's progressPosition(position, 4)).
  virtual void crcProgress(int position) = 0;
};

}  // namespace korvel
