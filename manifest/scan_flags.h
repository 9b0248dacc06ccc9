// The flags word passed down every walk over the manifest tree, the file nodes' pass flags and the
// distributions' limit flags.
#pragma once

#include <cstdint>

namespace korvel {

// The 32-bit flags word of a walk.
using ScanFlags = std::uint32_t;
// A distribution's limit flags: OR-ed into the flags of every walk through it (same bits as ScanFlags).
using LimitFlags = std::uint32_t;

namespace scan {

// File eligibility ignores the environment selection.
inline constexpr ScanFlags kIgnoreEnvironment = 0x4;
// Only nodes marked by a FileEnv flag or XtraFile.
inline constexpr ScanFlags kEnvironmentFilesOnly = 0x10;
// Skip files already scanned in this pass.
inline constexpr ScanFlags kSkipScanned = 0x80;
// Skip files already verified.
inline constexpr ScanFlags kSkipVerified = 0x100;
// A distribution's allowance is its default limit alone.
inline constexpr ScanFlags kDefaultLimitOnly = 0x200;
// Include nodes whose download limit was exceeded, unless kExcludeLimitExceeded is also set.
inline constexpr ScanFlags kIncludeLimitExceeded = 0x400;
// Count the download size only for compressed files.
inline constexpr ScanFlags kCompressedOnly = 0x800;
// Environment A, B, C, D selected.
inline constexpr ScanFlags kEnvironmentA = 0x1000;
inline constexpr ScanFlags kEnvironmentB = 0x2000;
inline constexpr ScanFlags kEnvironmentC = 0x4000;
inline constexpr ScanFlags kEnvironmentD = 0x8000;
// Cancels kIncludeLimitExceeded.
inline constexpr ScanFlags kExcludeLimitExceeded = 0x10000;
// countFiles counts the files that need an update.
inline constexpr ScanFlags kCountUpdates = 0x20000;
// countDownloadBytes counts delta sizes only.
inline constexpr ScanFlags kDeltaBytesOnly = 0x40000;
// countDownloadBytes counts nothing.
inline constexpr ScanFlags kNoDownloadBytes = 0x80000;

// The number of environment types (A to D).
inline constexpr int kEnvironmentTypes = 4;

// The selection bit of environment type 0 to 3; 0 for any other type.
constexpr ScanFlags environmentBit(int type) {
  return type >= 0 && type < kEnvironmentTypes ? (kEnvironmentA << type) : 0;
}

}  // namespace scan

// Indices of a file node's pass flags.
namespace pass {

inline constexpr int kVerified = 0;
inline constexpr int kCounted = 1;            // countFiles / countBytes
inline constexpr int kCompressedCounted = 2;  // countCompressedBytes
inline constexpr int kDownloadCounted = 3;    // countDownloadBytes
inline constexpr int kCrcScanned = 4;
inline constexpr int kScanned = 5;
inline constexpr int kForcedUpdate = 6;
inline constexpr int kExcludedFromUpdateCount = 7;
inline constexpr int kLimitMessageWritten = 8;
inline constexpr int kCrcScanRunning = 10;
// setPassFlag stores indices below this one only.
inline constexpr int kSettableCount = 8;
inline constexpr int kCount = 11;

}  // namespace pass

// The limit flags a distribution starts with.
inline constexpr LimitFlags kInitialLimitFlags = 0x2;

}  // namespace korvel
