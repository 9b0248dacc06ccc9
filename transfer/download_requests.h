// Helpers of the session's download requests (Patcher::downloadToMemory and downloadToFile): the URL
// of a path on a patch server and the percentage arithmetic of the progress channels.
#pragma once

#include <cstdint>
#include <string>

namespace korvel {

// "http://server:port/path", or "http://server:portpath" when path starts with '\' or '/' (which is then
// made '/'); at most 511 characters, and every '\' replaced by '/'.
std::string downloadUrl(const char* server, int port, const char* path);

// The progress position of `done` out of `total`: done * 100 / total when total is at most 100, else
// done / (total / 100), integer divisions; -1 when total is not positive (nothing to show).
int progressPercent(std::int64_t done, std::int64_t total);

}  // namespace korvel
