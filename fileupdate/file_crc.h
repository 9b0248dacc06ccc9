// The CRC-32 of a file on disk, answered from the patch cache where it can be and remembered there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fileupdate/crc_subject.h"
#include "common/text_argument.h"

namespace korvel {

// Files above this size show progress on the checksum bar.
inline constexpr std::int64_t kCrcProgressThreshold = 2097152;
inline constexpr std::size_t kCrcChunkBytes = 32768;
// Progress is refreshed once per this many chunks.
inline constexpr int kCrcChunksPerProgress = 11;

// Without `name`: the CRC of the subject's own file under `folder`. Unless a CRC scan is running, a
// nonzero CRC remembered in the cache is returned without reading; a computed nonzero CRC is
// remembered with the file's current time stamp and size.
// With `name`: the CRC of the file folder\name, which is not the subject's own file, so the cache is
// neither asked nor told.
// Returns 0 (no CRC known) when the file cannot be opened or read, when the stop flag is raised during
// the computation, and for an empty file. Runs on the session's worker; blocks while it reads.
std::uint32_t fileCrc(CrcSubject& subject, const std::string& folder, TextArgument name = nullptr);

}  // namespace korvel
