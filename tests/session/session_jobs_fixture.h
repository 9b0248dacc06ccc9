// The fixture of the tests of the session's jobs: a recording client with its session, working in a
// scratch folder that is also the current directory, a test server and a patch tree of four files,
// loaded from a local file or from the server.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tests/session/session_test_support.h"

namespace korvel::test {

class SessionJobsTest : public TempDirTest {
 protected:
  static constexpr const char* kPath = "/patch/wendrel/wendrelonly.xml.gz";
  static constexpr const char* kDistribution = "Wendrel Distribution";

  SessionJobsTest() : inFolder(dir.path()), client(std::make_unique<RecordingClient>()) {}

  Patcher& patcher() { return *client->patcher(); }

  // A manifest of `files` (written in the scratch folder) loaded from a local file and waited for.
  void loadLocal(const std::vector<TreeFile>& files, const std::string& productAttributes = "") {
    ASSERT_TRUE(writeFile(dir.file("manifest.xml"), PatchTree::manifest(files, productAttributes)));
    ASSERT_TRUE(client->openLocalManifest(dir.file("manifest.xml").c_str(), Patcher::kWaitFlag));
  }
  // The patch tree of `files` served by the test server, and its manifest loaded from there.
  void loadRemote(const std::vector<TreeFile>& files, const std::string& productAttributes = "") {
    ASSERT_TRUE(PatchTree::write(serverRoot.path(), files, productAttributes));
    server.serveFolder("/", serverRoot.path());
    ASSERT_TRUE(client->openRemoteManifest(TestHttpServer::host().c_str(), server.port(), kPath,
                                           Patcher::kWaitFlag));
  }
  // Writes the installed copy of a file with the manifest's time.
  void install(const TreeFile& file, const std::string& content) {
    ASSERT_TRUE(writeFile(dir.file(file.path), content));
    ASSERT_TRUE(setModified(dir.file(file.path), manifestTime(file.time)));
  }
  // The events recorded from now on.
  std::vector<std::string> eventsSince(std::size_t mark) const {
    const auto all = client->events();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
  }
  std::string authAttributes() const {
    return "Server=\"127.0.0.1\" Port=\"" + std::to_string(server.port()) + "\" AuthClosePath=\"auth/close\"";
  }

  const std::vector<TreeFile> files = {{"data\\a.bin", "alpha"}, {"data\\b.bin", "bravo"},
                                             {"c.bin", "charlie"}, {"data\\deep\\d.bin", "delta"}};

  NoProxy noProxy;
  ScopedCurrentDirectory inFolder;
  TempDir serverRoot;
  TestHttpServer server;
  std::unique_ptr<RecordingClient> client;
};

}  // namespace korvel::test
