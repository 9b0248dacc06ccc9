// End to end: the launcher's run sequence against a patch tree served over loopback, with an
// installation holding current, missing, resized, touched and corrupted files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "launcher/launcher.h"
#include "transfer/attempt_ledger.h"
#include "transfer/http_transfer.h"
#include "platform/files.h"
#include "platform/folder_listing.h"
#include "tests/session/session_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_environment.h"

namespace korvel {
namespace {

using ::testing::Contains;
using ::testing::Not;
using ::testing::UnorderedElementsAreArray;

// A launcher whose progress window only records, so the run sequence runs without a screen.
class QuietLauncher : public Launcher {
 public:
  // Every status line the session gave, and those the window was handed (the latest at its pace).
  std::vector<std::string> statusLines;
  std::vector<std::string> windowStatus;
  // Called with every status line the session gives (on the thread that gives it).
  std::function<void(const std::string&)> onStatus;
  std::optional<platform::ProgressWindow::Summary> summary;
  // The window is closed as soon as it is shown, before the manifest is loaded.
  bool closeAtOnce = false;

 protected:
  class Window : public platform::ProgressWindow {
   public:
    explicit Window(QuietLauncher& owner) : owner_(owner) {}
    void setStatus(const std::string& text) override { owner_.windowStatus.push_back(text); }
    void setBarPosition(int, int) override {}
    void finish(const Summary& summary) override { owner_.summary = summary; }

   private:
    QuietLauncher& owner_;
  };
  bool fileStarted(const char* text) override {
    if (text) {
      statusLines.push_back(text);
      if (onStatus) onStatus(text);
    }
    return Launcher::fileStarted(text);
  }
  std::unique_ptr<platform::ProgressWindow> makeProgressWindow(const platform::SplashBitmap*,
                                                               platform::ProgressWindow::Events events) override {
    if (closeAtOnce) events.stopRequested();
    return std::make_unique<Window>(*this);
  }
};

class Bitmap : public platform::SplashBitmap {
 public:
  int width() const override { return 300; }
  int height() const override { return 234; }
};

std::string gz(const std::string& text) { return test::TestHttpServer::gzip(text); }
std::string crcText(const std::string& content) { return std::to_string(static_cast<std::int32_t>(test::crcOf(content))); }

TEST(EndToEndTest, TheRunSequenceFindsEachKindOfDiscrepancyAndTheAmountToUpdate) {
  test::TempDir serverRoot;
  test::TempDir game;
  test::NoProxy noProxy;
  const std::int64_t when = 1100000000;
  const std::vector<test::TreeFile> tree = {
      {"Wendrel.exe", "the sibling launcher", when},
      {"current.bin", "current content", when},
      {"data\\missing.bin", "missing content", when},
      {"data\\resized.bin", "resized content", when},
      {"data\\touched.bin", "touched content", when},
      {"data\\corrupted.bin", "corrupted content", when},
      {"data\\maps\\deep.bin", "deep content", when},
  };
  ASSERT_TRUE(test::PatchTree::write(serverRoot.path(), tree));
  test::TestHttpServer server;
  server.serveFolder("/", serverRoot.path());

  // The installation: everything current except the four damaged files.
  const std::int32_t stamp = test::manifestTime(when);
  for (const test::TreeFile& file : tree) {
    if (file.path == "data\\missing.bin") continue;
    std::string content = file.content;
    if (file.path == "data\\resized.bin") content += " and more";
    if (file.path == "data\\corrupted.bin") content = "CORRUPTED content";
    ASSERT_EQ(content.size(), file.path == "data\\resized.bin" ? file.content.size() + 9 : file.content.size());
    ASSERT_TRUE(test::writeFile(game.file(file.path), content));
    ASSERT_TRUE(test::setModified(game.file(file.path), file.path == "data\\touched.bin" ? stamp - 7322 : stamp));
  }

  test::ScopedCurrentDirectory inGame(game.path());
  test::ScopedEnvironment patchServer("KORVEL_PATCH_SERVER", "127.0.0.1:" + std::to_string(server.port()));
  auto launcher = std::make_unique<QuietLauncher>();
  test::LogCapture log(launcher->patcher());
  launcher->setSplashBitmap(std::make_unique<Bitmap>());

  const std::int64_t expectedAmount = static_cast<std::int64_t>(gz("missing content").size() +
                                                                 gz("resized content").size() +
                                                                 gz("corrupted content").size());
  EXPECT_EQ(launcher->runSequence(), expectedAmount);
  EXPECT_EQ(launcher->siblingDirectory(), game.path());

  const std::string data = game.file("data");
  std::set<std::string> discrepancies;
  for (const std::string& line : log.lines())
    if (line.rfind("--- File Discrepancy", 0) == 0) discrepancies.insert(line);
  EXPECT_THAT(discrepancies,
              UnorderedElementsAreArray(std::set<std::string>{
                  "--- File Discrepancy M for missing.bin: File not on local machine\n",
                  "--- File Discrepancy S for resized.bin: local 24, server 15\n",
                  "--- File Discrepancy T for touched.bin: Out of date by 2 hours, 2 minutes, 2 seconds\n",
                  "--- File Discrepancy Overridden.  File is current version.\n",
                  "--- File Discrepancy C for " + data + "\\corrupted.bin: local " + crcText("CORRUPTED content") +
                      ": server " + crcText("corrupted content") + "\n",
              }));
  // The touched file was found current by its CRC and given the manifest's time.
  platform::FileInfo touched;
  ASSERT_TRUE(platform::fileInfo(game.file("data\\touched.bin"), touched));
  EXPECT_EQ(touched.modifiedSeconds, stamp);
  // The update ran to the end of its download pass, and the patch cache went to the game folder.
  EXPECT_THAT(log.lines(), Contains("Finished Downloading\n"));
  EXPECT_TRUE(test::exists(game.file("PatchCache2.xml")));
  EXPECT_FALSE(launcher->isBusy());
  EXPECT_THAT(launcher->statusLines, Contains(game.file("data\\maps\\deep.bin")));
  // However fast the run, the window ends on the last status line the session gave.
  ASSERT_FALSE(launcher->windowStatus.empty());
  EXPECT_EQ(launcher->windowStatus.back(), launcher->statusLines.back());
  ASSERT_TRUE(launcher->summary);
  EXPECT_TRUE(launcher->summary->manifestLoaded);
  EXPECT_FALSE(launcher->summary->stopped);
  EXPECT_TRUE(launcher->summary->upToDate);
  EXPECT_EQ(launcher->summary->filesChecked, 7);
  EXPECT_EQ(launcher->summary->filesUpdated, 3);
  EXPECT_EQ(launcher->summary->bytesDownloaded, expectedAmount);
}

TEST(EndToEndTest, FilesInFlightLogAsOneAtATimeAndAFailureIsReportedAtItsTurn) {
  test::TempDir serverRoot;
  test::NoProxy noProxy;
  std::vector<test::TreeFile> tree = {{"Wendrel.exe", "the sibling launcher"}};
  for (int i = 0; i < 12; ++i) tree.push_back({"data\\f" + std::to_string(10 + i) + ".bin", "content " + std::to_string(i)});
  ASSERT_TRUE(test::PatchTree::write(serverRoot.path(), tree));
  // The seventh data file is not on the server: the walk fails there.
  const std::size_t failing = 7;
  ASSERT_TRUE(platform::deleteFile(serverRoot.file(tree[failing].path)));
  test::TestHttpServer server;
  server.serveFolder("/", serverRoot.path());
  const auto urlOf = [](const test::TreeFile& file) {
    std::string url = "/" + file.path;
    std::replace(url.begin(), url.end(), '\\', '/');
    return url;
  };

  // The same update from scratch, with `connections` at once: the session's log, its own folder's
  // name taken out.
  const auto run = [&](const char* connections) {
    test::TempDir game;
    EXPECT_TRUE(test::writeFile(game.file("Wendrel.exe"), tree[0].content));
    EXPECT_TRUE(test::setModified(game.file("Wendrel.exe"), test::manifestTime(tree[0].time)));
    test::ScopedCurrentDirectory inGame(game.path());
    test::ScopedEnvironment patchServer("KORVEL_PATCH_SERVER", "127.0.0.1:" + std::to_string(server.port()));
    test::ScopedEnvironment inFlight("KORVEL_CONNECTIONS", connections);
    std::map<std::string, int> before;
    for (const test::TreeFile& file : tree) before[file.path] = server.requestCount(urlOf(file));
    auto launcher = std::make_unique<QuietLauncher>();
    test::LogCapture log(launcher->patcher());
    launcher->setSplashBitmap(std::make_unique<Bitmap>());
    launcher->runSequence();
    for (std::size_t at = 1; at < tree.size(); ++at) {
      const int fetched = server.requestCount(urlOf(tree[at])) - before[tree[at].path];
      // The walk ends at the failure; what was fetched ahead of it beyond is never put in place.
      if (at <= failing) EXPECT_EQ(fetched, 1) << connections << " " << tree[at].path;
      else EXPECT_LE(fetched, 1) << connections << " " << tree[at].path;
      EXPECT_EQ(test::readFile(game.file(tree[at].path)), at < failing ? tree[at].content : "")
          << connections << " " << tree[at].path;
    }
    platform::FolderListing listing(game.file("data"));
    for (platform::FolderEntry entry; listing.next(entry);)
      EXPECT_THAT(entry.name, Not(::testing::EndsWith(".tmp"))) << connections;
    // The folder is named in either spelling of its separators.
    std::string folder = game.path();
    std::replace(folder.begin(), folder.end(), '\\', '/');
    // The starting thread's own line races the worker's first ones.
    std::vector<std::string> lines = log.lines();
    std::erase(lines, "Done with Thread Creation Routine...\n");
    for (std::string& line : lines) {
      std::replace(line.begin(), line.end(), '\\', '/');
      for (std::size_t at = line.find(folder); at != std::string::npos; at = line.find(folder))
        line.replace(at, folder.size(), "<game>");
    }
    return lines;
  };
  const std::vector<std::string> alone = run("1");
  EXPECT_THAT(alone, Contains(::testing::HasSubstr("Http get error 48: Server answered 404")));
  EXPECT_THAT(run("8"), ::testing::ElementsAreArray(alone));
}

TEST(EndToEndTest, AWindowClosedBeforeTheUpdateStartsNoUpdate) {
  test::TempDir serverRoot;
  test::TempDir game;
  test::NoProxy noProxy;
  const std::vector<test::TreeFile> tree = {{"current.bin", "current content"}, {"missing.bin", "missing content"}};
  ASSERT_TRUE(test::PatchTree::write(serverRoot.path(), tree));
  test::TestHttpServer server;
  server.serveFolder("/", serverRoot.path());
  ASSERT_TRUE(test::writeFile(game.file("current.bin"), "current content"));
  ASSERT_TRUE(test::setModified(game.file("current.bin"), test::manifestTime(tree[0].time)));

  test::ScopedCurrentDirectory inGame(game.path());
  test::ScopedEnvironment patchServer("KORVEL_PATCH_SERVER", "127.0.0.1:" + std::to_string(server.port()));
  auto launcher = std::make_unique<QuietLauncher>();
  launcher->closeAtOnce = true;
  launcher->setSplashBitmap(std::make_unique<Bitmap>());
  // The manifest still loads (a load starts afresh), but the update the user turned down does not run.
  EXPECT_EQ(launcher->runSequence(), static_cast<std::int64_t>(gz("missing content").size()));
  EXPECT_EQ(server.requestCount("/missing.bin"), 0);
  EXPECT_FALSE(test::exists(game.file("missing.bin")));
  ASSERT_TRUE(launcher->summary);
  EXPECT_TRUE(launcher->summary->stopped);
  EXPECT_FALSE(launcher->summary->upToDate);
}

TEST(EndToEndTest, AStopDuringTheLoadEndsTheRunWithoutAnUpdate) {
  test::TempDir serverRoot;
  test::TempDir game;
  test::NoProxy noProxy;
  const std::vector<test::TreeFile> tree = {{"Wendrel.exe", "the sibling launcher"},
                                            {"data\\missing.bin", "missing content"}};
  ASSERT_TRUE(test::PatchTree::write(serverRoot.path(), tree));
  test::TestHttpServer server;
  server.serveFolder("/", serverRoot.path());
  ASSERT_TRUE(test::writeFile(game.file("Wendrel.exe"), "the sibling launcher"));

  test::ScopedCurrentDirectory inGame(game.path());
  test::ScopedEnvironment patchServer("KORVEL_PATCH_SERVER", "127.0.0.1:" + std::to_string(server.port()));
  auto launcher = std::make_unique<QuietLauncher>();
  test::LogCapture log(launcher->patcher());
  launcher->setSplashBitmap(std::make_unique<Bitmap>());
  // The player closes the window while the last file of the loaded manifest is checked, once the
  // check has found something to update.
  launcher->onStatus = [&](const std::string& text) {
    if (text.find("missing.bin") != std::string::npos) launcher->stop(0);
  };

  launcher->runSequence();
  EXPECT_FALSE(launcher->isBusy());
  EXPECT_THAT(log.lines(), Not(Contains("Finished Downloading\n")));
  EXPECT_EQ(server.requestCount("/patch/wendrel/files/data/missing.bin"), 0);
  EXPECT_FALSE(test::exists(game.file("data\\missing.bin")));
}


// ---- The patch server as players meet it -----------------------------------------------------------

// An update from scratch of `tree` (all but the sibling missing) into `game`, from the servers
// `servers` names, with retries pausing a millisecond: its log (the game's folder as "<game>", the
// starting thread's racing line left out) and its status lines.
struct NetworkRun {
  std::vector<std::string> log;
  std::vector<std::string> status;
};

NetworkRun updateFrom(const std::string& servers, const std::vector<test::TreeFile>& tree, const std::string& game) {
  for (const test::TreeFile& file : tree) platform::deleteFile(game + "\\" + file.path);
  platform::deleteFile(game + "\\PatchCache2.xml");
  EXPECT_TRUE(test::writeFile(game + "\\Wendrel.exe", tree[0].content));
  EXPECT_TRUE(test::setModified(game + "\\Wendrel.exe", test::manifestTime(tree[0].time)));
  test::ScopedCurrentDirectory inGame(game);
  test::ScopedEnvironment patchServer("KORVEL_PATCH_SERVER", servers);
  HttpTransfer::setFirstRetryPause(1);
  auto launcher = std::make_unique<QuietLauncher>();
  test::LogCapture log(launcher->patcher());
  launcher->setSplashBitmap(std::make_unique<Bitmap>());
  launcher->runSequence();
  HttpTransfer::setFirstRetryPause(HttpTransfer::kFirstRetryPauseMs);
  NetworkRun run;
  run.log = log.lines();
  std::erase(run.log, "Done with Thread Creation Routine...\n");
  std::string folder = game;
  std::replace(folder.begin(), folder.end(), '\\', '/');
  for (std::string& line : run.log) {
    std::replace(line.begin(), line.end(), '\\', '/');
    for (std::size_t at = line.find(folder); at != std::string::npos; at = line.find(folder))
      line.replace(at, folder.size(), "<game>");
  }
  run.status = launcher->statusLines;
  return run;
}

std::vector<test::TreeFile> dataFiles(int count) {
  std::vector<test::TreeFile> tree = {{"Wendrel.exe", "the sibling launcher"}};
  for (int i = 0; i < count; ++i)
    tree.push_back({"data\\f" + std::to_string(10 + i) + ".bin", "content of file " + std::to_string(i)});
  return tree;
}

std::string urlOf(const test::TreeFile& file) {
  std::string url = "/" + file.path;
  std::replace(url.begin(), url.end(), '\\', '/');
  return url;
}

std::string local(int port) { return "127.0.0.1:" + std::to_string(port); }

// Each file (and the manifest) is answered 503, 500, 429 or with a reset connection before it is
// served: one run asks again and installs everything, telling the retries in the log and the status
// line, never as an error.
TEST(NetworkTest, TransientFaultsOnMostFilesAreAskedAgainAndTheRunConverges) {
  test::TempDir serverRoot;
  test::TempDir game;
  test::NoProxy noProxy;
  const std::vector<test::TreeFile> tree = dataFiles(24);
  ASSERT_TRUE(test::PatchTree::write(serverRoot.path(), tree));
  test::TestHttpServer server;
  server.serveFolder("/", serverRoot.path());
  test::HttpReply tooMany(429, "slow down");
  tooMany.headers.emplace_back("Retry-After", "0");
  const std::vector<test::HttpReply> faults = {test::HttpReply(503, "busy"), test::HttpReply(500, "oops"), tooMany};
  const auto servedAfter = [&](const std::string& path, const test::HttpReply& fault) {
    server.serveSequence(path, {fault, test::HttpReply(200, test::readFile(serverRoot.file(path.substr(1))))});
  };
  servedAfter("/" + std::string(test::PatchTree::kManifestPath), faults[0]);
  for (std::size_t i = 1; i < tree.size(); ++i)
    if (i % 4 != 0) servedAfter(urlOf(tree[i]), faults[i % faults.size()]);

  const NetworkRun run = updateFrom(local(server.port()), tree, game.path());
  for (const test::TreeFile& file : tree) EXPECT_EQ(test::readFile(game.file(file.path)), file.content) << file.path;
  EXPECT_THAT(run.log, Contains(::testing::HasSubstr("was answered 503; retry 1 of 2")));
  EXPECT_THAT(run.log, Contains(::testing::HasSubstr("was answered 429; retry 1 of 2 in 0 s")));
  EXPECT_THAT(run.log, Not(Contains(::testing::HasSubstr("Http get error"))));
  EXPECT_THAT(run.status, Contains(::testing::StartsWith("Connection lost: retrying")));
  for (std::size_t i = 1; i < tree.size(); ++i)
    EXPECT_EQ(server.requestCount(urlOf(tree[i])), i % 4 != 0 ? 2 : 1) << tree[i].path;
}

// A first server that is down, or answers every request with 500, costs the manifest's attempts
// there; everything else comes from the second, which the log names.
TEST(NetworkTest, ADeadOrFailingFirstServerLeavesTheSecondToServeEverything) {
  test::TempDir serverRoot;
  test::TempDir game;
  test::NoProxy noProxy;
  const std::vector<test::TreeFile> tree = dataFiles(6);
  ASSERT_TRUE(test::PatchTree::write(serverRoot.path(), tree));
  test::TestHttpServer good;
  good.serveFolder("/", serverRoot.path());
  test::TestHttpServer failing;
  failing.serveAnyPath(test::HttpReply(500, "broken"));
  int dead = 0;
  {
    test::TestHttpServer gone;
    dead = gone.port();
  }
  for (const int first : {dead, failing.port()}) {
    SCOPED_TRACE(first);
    const NetworkRun run = updateFrom(local(first) + "," + local(good.port()), tree, game.path());
    for (const test::TreeFile& file : tree) EXPECT_EQ(test::readFile(game.file(file.path)), file.content) << file.path;
    EXPECT_THAT(run.log, Contains("Asking the next patch server, " + local(good.port()) + ", for the manifest.\n"));
  }
  EXPECT_EQ(failing.totalRequests(), AttemptLedger::kAttemptsPerServer) << "the manifest's attempts, no file's";
}

// A server whose copy of a file is not the manifest's (a mirror out of step) loses that file to the
// next server; the others still come from the first.
TEST(NetworkTest, AFileWithTheWrongBytesAtOneServerIsTakenFromTheNext) {
  test::TempDir serverRoot;
  test::TempDir staleRoot;
  test::TempDir game;
  test::NoProxy noProxy;
  const std::vector<test::TreeFile> tree = dataFiles(4);
  ASSERT_TRUE(test::PatchTree::write(serverRoot.path(), tree));
  std::vector<test::TreeFile> stale = tree;
  stale[2].content = "CONTENT OF FILE 1";
  ASSERT_TRUE(test::PatchTree::write(staleRoot.path(), stale));
  ASSERT_TRUE(test::writeFile(staleRoot.file(test::PatchTree::kManifestPath),
                              test::readFile(serverRoot.file(test::PatchTree::kManifestPath))));
  test::TestHttpServer mirror;
  mirror.serveFolder("/", staleRoot.path());
  test::TestHttpServer good;
  good.serveFolder("/", serverRoot.path());

  const NetworkRun run = updateFrom(local(mirror.port()) + "," + local(good.port()), tree, game.path());
  for (const test::TreeFile& file : tree) EXPECT_EQ(test::readFile(game.file(file.path)), file.content) << file.path;
  EXPECT_EQ(good.requestCount(urlOf(tree[2])), 1);
  EXPECT_THAT(run.log, Contains("Download of data/f11.bin served by " + local(good.port()) + ".\n"));
  EXPECT_EQ(good.requestCount(urlOf(tree[1])), 0) << "before the failure, the first server serves";
}

// Without a fault a list logs what its first server alone logs, line for line.
TEST(NetworkTest, AListWhoseFirstServerServesEverythingLogsAsThatServerAlone) {
  test::TempDir serverRoot;
  test::TempDir game;
  test::NoProxy noProxy;
  const std::vector<test::TreeFile> tree = dataFiles(5);
  ASSERT_TRUE(test::PatchTree::write(serverRoot.path(), tree));
  test::TestHttpServer server;
  server.serveFolder("/", serverRoot.path());
  const NetworkRun alone = updateFrom(local(server.port()), tree, game.path());
  EXPECT_THAT(alone.log, Contains(::testing::HasSubstr("Finished Downloading")));
  EXPECT_THAT(updateFrom(local(server.port()) + ",https://mirror.example", tree, game.path()).log,
              ::testing::ElementsAreArray(alone.log));
}

}  // namespace
}  // namespace korvel
