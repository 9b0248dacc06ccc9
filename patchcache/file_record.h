// One file seen by the directory snapshot: its attributes, full size and modification time.
#pragma once

#include <cstdint>

namespace korvel {

// Its path relative to the walked folder, as walked, is the snapshot's key for it.
struct FileRecord {
  std::int32_t attributes = 0;   // Win32 attribute bits
  std::int64_t size = 0;         // full 64-bit size
  std::int32_t time = 0;         // last write, seconds since 1970-01-01 UTC
};

}  // namespace korvel
