// The copy of a finished download into place: opens retried while another process holds a file, a
// buffer as large as can be had, progress through the caller's callbacks.
#include "common/file_copy.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "common/file_utils.h"
#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/files.h"

namespace korvel {

namespace {

constexpr std::uint64_t kFourGiB = 0x100000000ull;

// Opens with up to kCopyOpenAttempts attempts, pausing between them: the file may still be held by
// another process (a virus scanner, the previous instance of the program).
platform::File openWithRetries(const std::string& path, const char* mode) {
  for (int attempt = 1;; ++attempt) {
    platform::File file = platform::File::open(path, mode);
    if (file || attempt >= kCopyOpenAttempts) return file;
    platform::sleepMs(copyRetryDelayMs());
  }
}

}  // namespace

bool copyFile(const char* from, const char* to, std::int64_t finalSize, const CopyCallbacks& callbacks) {
  if (!from || !to) return false;
  if (std::strcmp(from, to) == 0) return true;

  const auto log = [&callbacks](const std::string& line) {
    if (callbacks.log) callbacks.log(line);
  };
  const auto progressPosition = [&callbacks](int position) {
    if (callbacks.progress) callbacks.progress(position);
  };
  const auto stopping = [&callbacks] { return callbacks.stopping && callbacks.stopping(); };
  const std::uint32_t startTick = platform::tickCount();

  platform::setFileAttributes(to, platform::kAttributeNormal);

  platform::File input = openWithRetries(from, "rb");
  if (!input) {
    log(boundedFormat(1024, "FileCopy: Couldn't open %s file: \"%s\"\n", "input", from));
    return false;
  }
  platform::File output = openWithRetries(to, "wb");
  if (!output) {
    log(boundedFormat(1024, "FileCopy: Couldn't open %s file: \"%s\"\n", "output", to));
    return false;
  }

  const std::int64_t sourceSize = input.size();
  if (sourceSize < 0) {
    log(boundedFormat(1024, "FileCopy: Couldn't read the size of \"%s\"\n", from));
    output.close();
    platform::deleteFile(to);
    return false;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(sourceSize);
  log(boundedFormat(256, "Transfer size: %lld\n", static_cast<long long>(size)));

  std::vector<char> buffer;
  std::uint64_t chunk = 0;
  bool haveBuffer = false;
  for (std::uint64_t attempt : copyChunkAttempts(size)) {
    try {
      buffer.resize(static_cast<std::size_t>(attempt));
      chunk = attempt;
      haveBuffer = true;
      break;
    } catch (const std::bad_alloc&) {
    }
  }
  if (!haveBuffer) return false;

  const bool trackProgress = finalSize > 0;
  if (trackProgress) progressPosition(0);

  std::uint64_t copied = 0;
  while (!stopping()) {
    std::size_t count = input.read(buffer.data(), static_cast<std::size_t>(chunk));
    if (count > 0 && output.write(buffer.data(), count) != count) {
      buffer = std::vector<char>();
      input.close();
      output.close();
      platform::deleteFile(to);
      std::uint64_t available = platform::freeDiskBytes(std::string());
      if (available < size && available < kFourGiB) {
        log(boundedFormat(256, "Out of disk space for optimization.  Only %llu bytes available on disk at this time\n",
                          static_cast<unsigned long long>(available)));
      }
      return false;
    }
    copied += count;
    if (count == 0) {
      if (copied < size) {
        log(boundedFormat(256, "Error: Only %llu bytes copied\n", static_cast<unsigned long long>(copied)));
      }
      break;
    }
    if (trackProgress) {
      if (callbacks.copied) callbacks.copied(static_cast<std::uint32_t>(count), platform::tickCount() - startTick);
      std::uint64_t percent = copied * 100 / static_cast<std::uint64_t>(finalSize);
      progressPosition(static_cast<int>(std::min<std::uint64_t>(percent, 100)));
    }
  }

  buffer = std::vector<char>();
  const bool complete = copied >= size;
  input.close();
  if (!output.close() && complete) {
    // The last buffered bytes did not reach the disk: the target is as broken as after a short write.
    log(boundedFormat(1024, "FileCopy: Couldn't write output file: \"%s\"\n", to));
    platform::deleteFile(to);
    return false;
  }
  return complete;
}

}  // namespace korvel
