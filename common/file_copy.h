// The copy of a finished download into place: opens retried while another process holds a file, a
// buffer as large as can be had, and progress reported through the caller's callbacks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace korvel {

// What a copy reports and asks while it runs; every member may be left empty. Called on the copying
// thread.
struct CopyCallbacks {
  // A complete log line (ending in a newline).
  std::function<void(const std::string& line)> log;
  // Asked before every block: true ends the copy, which then fails and leaves the partial target.
  std::function<bool()> stopping;
  // With a final size: the position of the copy (0 first, then 0 to 100 after every block).
  std::function<void(int position)> progress;
  // With a final size: the bytes of the block just written, and the milliseconds since the copy began.
  std::function<void(std::uint32_t bytes, std::uint32_t elapsedMs)> copied;
};

// Copies `from` over `to` (made writable first), with up to kCopyOpenAttempts opens of each file and
// the chunk sizes of copyChunkAttempts. True when every byte arrived (also for the same name twice);
// false for a null name, a file that cannot be opened, a short write (which deletes the target, and
// logs the free space when it is short), a short read or a stop. `finalSize` above 0 turns on the
// progress and the copied callbacks; the position is copied * 100 / finalSize, at most 100.
bool copyFile(const char* from, const char* to, std::int64_t finalSize, const CopyCallbacks& callbacks);

}  // namespace korvel
