// Integration: a game folder published with korvel-publish, served by nginx (started from a scratch
// configuration on a loopback port, without root privileges, and stopped at the end), and an
// installation with damaged files scanned against it by the session.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "fileupdate/file_node.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tests/session/session_test_support.h"
#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

using ::testing::Contains;

// The first program of that name on the search path or in the usual system folders.
std::string findProgram(const std::string& name) {
  std::vector<std::string> folders = {"/usr/sbin", "/usr/local/sbin", "/usr/local/nginx/sbin"};
  const std::string path = platform::environmentValue("PATH").value_or("");
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    if (end > start) folders.insert(folders.begin(), path.substr(start, end - start));
    start = end + 1;
  }
  for (const std::string& folder : folders) {
    std::error_code error;
    const fs::path candidate = fs::path(folder) / name;
    if (fs::is_regular_file(candidate, error)) return candidate.string();
  }
  return {};
}

// nginx serving one folder on a loopback port, from its own configuration in a scratch folder: a
// single process (no workers switching users), no logs beyond its error log there.
class Nginx {
 public:
  Nginx(std::string program, const std::string& root) : program_(std::move(program)) {
    std::random_device random;
    for (int attempt = 0; attempt < 20 && port_ == 0; ++attempt) {
      const int port = 20000 + static_cast<int>(random() % 30000);
      writeConfiguration(root, port);
      // With "daemon on" the command returns once nginx listens; a taken port makes it fail.
      if (run("") == 0) port_ = port;
    }
  }
  ~Nginx() {
    if (port_ == 0) return;
    run("-s stop");
    // The stop is a signal: wait (bounded) until the process has gone and removed its pid file.
    for (int i = 0; i < 500 && fs::exists(prefix() / "nginx.pid"); ++i) platform::sleepMs(10);
  }
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  int port() const { return port_; }
  std::string errorLog() const { return test::readFile((prefix() / "error.log").string()); }

 private:
  fs::path prefix() const { return fs::path(scratch_.native()); }
  void writeConfiguration(const std::string& root, int port) {
    const std::string p = prefix().string();
    std::ofstream out(prefix() / "nginx.conf", std::ios::trunc);
    out << "daemon on;\nmaster_process off;\npid " << p << "/nginx.pid;\nerror_log " << p << "/error.log;\n"
        << "events { worker_connections 64; }\n"
        << "http {\n  access_log off;\n  client_body_temp_path " << p << "/body;\n  proxy_temp_path " << p
        << "/proxy;\n  fastcgi_temp_path " << p << "/fastcgi;\n  uwsgi_temp_path " << p << "/uwsgi;\n"
        << "  scgi_temp_path " << p << "/scgi;\n  default_type application/octet-stream;\n"
        << "  server {\n    listen 127.0.0.1:" << port << ";\n    root " << platform::nativePath(root) << ";\n  }\n}\n";
  }
  int run(const std::string& arguments) const {
    const std::string p = prefix().string();
    const std::string command = "'" + program_ + "' -p '" + p + "' -c '" + p + "/nginx.conf' -e '" + p +
                                "/error.log' " + arguments + " >/dev/null 2>&1";
    return std::system(command.c_str());
  }

  std::string program_;
  test::TempDir scratch_;
  int port_ = 0;
};

TEST(NginxScanTest, APublishedTreeServedByNginxIsScannedAgainstADamagedInstallation) {
#if defined(_WIN32)
  GTEST_SKIP() << "nginx runs on the POSIX host; the Windows build scans the test server's trees instead";
#endif
  const std::string nginx = findProgram("nginx");
  if (nginx.empty()) GTEST_SKIP() << "nginx is not installed (scripts/setup installs it)";
  test::NoProxy noProxy;

  // The game as published: a few folders, one file large enough to span many reads.
  test::TempDir game;
  std::string large(3 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 7919) >> 5);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"Wendrel.exe", "launcher program"},  {"data\\large.pak", large},          {"data\\small.txt", "small"},
      {"data\\maps\\one.map", "map number one"}, {"data\\maps\\two.map", "map number two"}};
  const std::int64_t when = 1200000000;
  for (const auto& [path, content] : files) {
    ASSERT_TRUE(test::writeFile(game.file(path), content));
    ASSERT_TRUE(test::setModified(game.file(path), when));
  }

  // Published with the tool when it is built beside this test, otherwise with the tests' own writer
  // (same layout: compressed files and a compressed manifest).
  test::TempDir published;
  const std::string programFolder = platform::nativePath(platform::programPath());
  const fs::path publisher = fs::path(programFolder).parent_path().parent_path() / "tools" / "korvel-publish";
  if (fs::exists(publisher)) {
    const std::string command = "'" + publisher.string() + "' build '" + game.native() + "' '" + published.native() +
                                "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  } else {
    std::cout << "korvel-publish is not built here: the test writes the tree itself\n";
    std::vector<test::TreeFile> tree;
    for (const auto& [path, content] : files) tree.push_back({path, content, when});
    ASSERT_TRUE(test::PatchTree::write(published.path(), tree));
  }

  Nginx server(nginx, published.path());
  ASSERT_NE(server.port(), 0) << "nginx did not start: " << server.errorLog();

  // The installation: a copy of the game with one file missing, one cut short, one corrupted.
  test::TempDir install;
  for (const auto& [path, content] : files) {
    std::string installed = content;
    if (path == "data\\small.txt") continue;
    if (path == "data\\maps\\one.map") installed = "map number ONE";
    if (path == "data\\large.pak") installed.resize(content.size() / 2);
    ASSERT_TRUE(test::writeFile(install.file(path), installed));
    ASSERT_TRUE(test::setModified(install.file(path), when));
  }

  test::ScopedCurrentDirectory inInstall(install.path());
  test::RecordingClient client;
  client.patcher()->setRescanAfterLoad(false);
  ASSERT_TRUE(client.openRemoteManifest("127.0.0.1", server.port(), "patch/wendrel/wendrelonly.xml.gz",
                                        Patcher::kWaitFlag))
      << server.errorLog();
  ASSERT_TRUE(client.startScan(nullptr, Patcher::kWaitFlag));

  EXPECT_THAT(client.lines(), Contains("--- File Discrepancy M for small.txt: File not on local machine\n"));
  EXPECT_THAT(client.lines(), Contains("--- File Discrepancy S for large.pak: local " +
                                       std::to_string(large.size() / 2) + ", server " +
                                       std::to_string(large.size()) + "\n"));
  EXPECT_EQ(client.linesStartingWith("--- File Discrepancy C for " + install.file("data\\maps") + "\\one.map").size(),
            1u);
  EXPECT_EQ(client.linesStartingWith("--- File Discrepancy").size(), 3u);

  // The amount to update is what the three damaged files take to download.
  std::int64_t expected = 0;
  for (const char* name : {"small.txt", "large.pak", "one.map"}) {
    auto* node = dynamic_cast<FileNode*>(test::findNode(client.patcher()->products().tree(), name));
    ASSERT_NE(node, nullptr) << name;
    EXPECT_TRUE(node->updateNeeded()) << name;
    expected += node->transferSize();
  }
  EXPECT_EQ(client.updateAmount(nullptr, 0), expected);
  EXPECT_TRUE(test::exists(install.file("PatchCache2.xml")));
}

}  // namespace
}  // namespace korvel
