// What the patch cache remembers about one file.
#include "patchcache/patch_cache_entry.h"

#include <ctime>

namespace korvel {

PatchCacheEntry::~PatchCacheEntry() = default;

void PatchCacheEntry::copy(const PatchCacheEntry& other) { set(other.crc_, other.timeStamp_, other.size_); }

bool PatchCacheEntry::matches(std::int32_t crc, std::int32_t timeStamp, std::int64_t size) const {
  return crc == crc_ && size == size_ &&
         std::difftime(static_cast<std::time_t>(timeStamp), static_cast<std::time_t>(timeStamp_)) < 1.0;
}

}  // namespace korvel
