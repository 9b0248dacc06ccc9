// Shared pieces of the session tests: the wait for an idle session, and a patch tree written the way
// the publishing tool lays it out (files gzip-compressed under the server's root, the manifest beside
// them). The recording client, the folder guard and the proxy switch are those of tests/support.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "session/patcher.h"
#include "tests/support/file_facts.h"
#include "tests/support/no_proxy.h"
#include "tests/support/recording_client.h"
#include "tests/support/scoped_current_directory.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_http_server.h"

namespace korvel::test {

// Waits until the session has finished its job (the UI thread's polling, without a message queue).
inline void waitUntilIdle(Patcher& patcher) {
  while (patcher.isBusy()) platform::sleepMs(1);
}

// One file of a patch tree: its path below the distribution ('\' separators) and its content.
struct TreeFile {
  std::string path;
  std::string content;
  // The manifest's time of the file (seconds since 1970, written as local time).
  std::int64_t time = 1100000000;
};

// Writes a patch tree into `serverRoot`: every file gzip-compressed at its path, and the manifest
// `manifestPath` (gzip-compressed) with one distribution holding the files in their folders.
class PatchTree {
 public:
  static constexpr const char* kManifestPath = "patch/wendrel/wendrelonly.xml.gz";
  static constexpr const char* kProduct = "Wendrel";
  static constexpr const char* kDistribution = "Wendrel Distribution";

  // The manifest text of the files (not compressed). `productAttributes` are added to "Product".
  static std::string manifest(const std::vector<TreeFile>& files, const std::string& productAttributes = "");
  // Writes the compressed files and the compressed manifest; false when a file cannot be written.
  static bool write(const std::string& serverRoot, const std::vector<TreeFile>& files,
                    const std::string& productAttributes = "");
};

}  // namespace korvel::test
