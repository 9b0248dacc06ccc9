// The CRC-32 of a file on disk.
#include "fileupdate/file_crc.h"

#include "fileupdate/byte_buffer.h"
#include "fileupdate/crc32_checksum.h"
#include "patchcache/patch_cache.h"
#include "platform/file.h"
#include "platform/files.h"

namespace korvel {

std::uint32_t fileCrc(CrcSubject& subject, const std::string& folder, TextArgument name) {
  const bool ownFile = !name.present();
  if (ownFile && !subject.crcScanRunning()) {
    const std::int32_t cached = subject.crcCache().cachedCrc(subject.crcCacheKey());
    if (cached != 0) return static_cast<std::uint32_t>(cached);
  }

  const std::int64_t expectedSize = subject.crcExpectedSize();
  const bool showProgress = expectedSize > kCrcProgressThreshold;
  if (showProgress) subject.crcProgress(0);

  const std::string path = ownFile ? subject.crcFilePath(folder) : folder + "\\" + name.str();
  platform::File file = platform::File::open(path, "rb");
  if (!file) return 0;

  Crc32Checksum checksum;
  checksum.reset();
  ByteBuffer buffer(kCrcChunkBytes);
  std::uint64_t bytesRead = 0;
  int chunks = 0;
  bool stopped = subject.crcStopping();
  while (!stopped) {
    const std::size_t count = file.read(buffer.data(), kCrcChunkBytes);
    if (count == 0) break;
    buffer.setLength(count);
    checksum.updateFrom(buffer);
    bytesRead += count;
    if (++chunks == kCrcChunksPerProgress) {
      if (showProgress)
        subject.crcProgress(static_cast<int>(bytesRead * 100 / static_cast<std::uint64_t>(expectedSize)));
      chunks = 0;
    }
    stopped = subject.crcStopping();
  }

  // A stopped computation covers only part of the file; its value would be taken for the file's CRC.
  if (stopped) return 0;
  const std::uint32_t result = file.hadError() ? 0 : checksum.value();
  if (result != 0 && ownFile) {
    platform::FileInfo info;
    const std::int32_t timeStamp = platform::fileInfo(path, info) ? static_cast<std::int32_t>(info.modifiedSeconds) : 0;
    const std::int64_t size = file.size();
    subject.crcCache().remember(subject.crcCacheKey(), static_cast<std::int32_t>(result), timeStamp, size);
  }
  if (showProgress) subject.crcProgress(100);
  return result;
}

}  // namespace korvel
