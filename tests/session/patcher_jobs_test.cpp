// Tests of the session's jobs and passes: refusing and waiting, the progress protocol, the patch cache
// around a scan, the download pass with its disk check and closing requests, selection and roots, and
// the running program's command line and self-copy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "manifest/product_record.h"
#include "patchcache/patch_cache.h"
#include "platform/faults.h"
#include "platform/files.h"
#include "platform/folder_listing.h"
#include "platform/process.h"
#include "session/self_update.h"
#include "tests/session/session_test_support.h"
#include "transfer/download_requests.h"

namespace korvel {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const char* kPath = "/patch/wendrel/wendrelonly.xml.gz";
constexpr const char* kDistribution = "Wendrel Distribution";

class PatcherJobsTest : public test::TempDirTest {
 protected:
  PatcherJobsTest() : inFolder(dir.path()), client(std::make_unique<test::RecordingClient>()) {}

  Patcher& patcher() { return *client->patcher(); }

  // A manifest of `files` (written in the scratch folder) loaded from a local file and waited for.
  void loadLocal(const std::vector<test::TreeFile>& files, const std::string& productAttributes = "") {
    ASSERT_TRUE(test::writeFile(dir.file("manifest.xml"), test::PatchTree::manifest(files, productAttributes)));
    ASSERT_TRUE(client->openLocalManifest(dir.file("manifest.xml").c_str(), Patcher::kWaitFlag));
  }
  // The patch tree of `files` served by the test server, and its manifest loaded from there.
  void loadRemote(const std::vector<test::TreeFile>& files, const std::string& productAttributes = "") {
    ASSERT_TRUE(test::PatchTree::write(serverRoot.path(), files, productAttributes));
    server.serveFolder("/", serverRoot.path());
    ASSERT_TRUE(client->openRemoteManifest(test::TestHttpServer::host().c_str(), server.port(), kPath,
                                           Patcher::kWaitFlag));
  }
  // Writes the installed copy of a file with the manifest's time.
  void install(const test::TreeFile& file, const std::string& content) {
    ASSERT_TRUE(test::writeFile(dir.file(file.path), content));
    ASSERT_TRUE(test::setModified(dir.file(file.path), test::manifestTime(file.time)));
  }
  // The events recorded from now on.
  std::vector<std::string> eventsSince(std::size_t mark) const {
    const auto all = client->events();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
  }
  std::string authAttributes() const {
    return "Server=\"127.0.0.1\" Port=\"" + std::to_string(server.port()) + "\" AuthClosePath=\"auth/close\"";
  }

  const std::vector<test::TreeFile> files = {{"data\\a.bin", "alpha"}, {"data\\b.bin", "bravo"},
                                             {"c.bin", "charlie"}, {"data\\deep\\d.bin", "delta"}};

  test::NoProxy noProxy;
  test::ScopedCurrentDirectory inFolder;
  test::TempDir serverRoot;
  test::TestHttpServer server;
  std::unique_ptr<test::RecordingClient> client;
};

TEST_F(PatcherJobsTest, AnUpdateWhileAnUpdateRunsIsRefusedAtOnce) {
  // Everything is current, so the updates download nothing.
  for (const test::TreeFile& file : files) install(file, file.content);
  loadRemote(files, authAttributes());
  // The closing request of the first update's download pass is held until the gate opens.
  server.serveGated("/auth/close", "closed", 0);
  EXPECT_TRUE(client->update(nullptr, 0));
  EXPECT_TRUE(client->isBusy());
  EXPECT_FALSE(client->update(nullptr, 0));
  EXPECT_FALSE(client->update(kDistribution, Patcher::kWaitFlag));
  // Wait until the download pass hangs in its closing request: a stop asked earlier would be
  // cleared when the pass begins.
  while (server.requestCount("/auth/close") == 0) platform::sleepMs(1);
  // A stop asked of the running update survives a refused one.
  patcher().stop();
  EXPECT_FALSE(patcher().update(nullptr, 0));
  EXPECT_TRUE(patcher().stopRequested());
  server.openGate("/auth/close");
  test::waitUntilIdle(patcher());
  EXPECT_EQ(server.requestCount("/auth/close"), 1);
  EXPECT_EQ(client->count("downloadFinished"), 0) << "stopped";
  // Once it is over, the next update runs (and has no request to close this time).
  EXPECT_TRUE(client->update(nullptr, Patcher::kWaitFlag));
  EXPECT_EQ(client->count("downloadFinished"), 1);
  EXPECT_EQ(server.requestCount("/auth/close"), 1);
}

TEST_F(PatcherJobsTest, AScanWaitsWhileTheWorkerIsBusy) {
  server.serveGated(kPath, test::TestHttpServer::gzip(test::PatchTree::manifest(files)), 0);
  ASSERT_TRUE(client->openRemoteManifest(test::TestHttpServer::host().c_str(), server.port(), kPath, 0));
  ASSERT_TRUE(client->isBusy());
  std::thread opener([this] { server.openGate(kPath); });
  // Refused without a loaded manifest, so it can only succeed by waiting for the load to end.
  EXPECT_TRUE(client->startScan(nullptr, Patcher::kWaitFlag));
  opener.join();
  EXPECT_TRUE(patcher().manifestLoaded());
  EXPECT_EQ(client->countLogged("Thread Start\n"), 2);
  EXPECT_FALSE(client->isBusy());
}

TEST_F(PatcherJobsTest, ScanAndUpdateAreRefusedWithoutAManifest) {
  EXPECT_FALSE(client->startScan(nullptr, Patcher::kWaitFlag));
  EXPECT_FALSE(client->update(nullptr, Patcher::kWaitFlag));
  EXPECT_THAT(client->events(), IsEmpty());
}

TEST_F(PatcherJobsTest, AnUpdateAfterTheRescanGoesStraightToTheDownloadPass) {
  loadRemote(files);
  const std::size_t mark = client->events().size();
  EXPECT_TRUE(client->update(nullptr, Patcher::kWaitFlag));
  // One scanStarted: the download pass's own; no scan pass and so no scan range.
  EXPECT_THAT(eventsSince(mark), ElementsAre("scanStarted", "range 100 3", "downloadFinished"));
  EXPECT_FALSE(client->isBusy());
  EXPECT_TRUE(client->logged("Finished Downloading\n"));
  EXPECT_TRUE(client->logged("Resetting Scan Flags\n"));
}

TEST_F(PatcherJobsTest, AnUpdateOfUnscannedFilesScansThemFirst) {
  patcher().setRescanAfterLoad(false);
  loadRemote(files);
  const std::size_t mark = client->events().size();
  EXPECT_TRUE(client->update(nullptr, Patcher::kWaitFlag));
  const auto events = eventsSince(mark);
  ASSERT_GE(events.size(), 5u);
  EXPECT_THAT(std::vector<std::string>(events.begin(), events.begin() + 4),
              ElementsAre("scanStarted", "range 100 0", "scanStarted", "range 100 3"));
  EXPECT_EQ(events.back(), "downloadFinished");
}

TEST_F(PatcherJobsTest, TheScanPassReportsItsProgressAndLeavesTheAmountToUpdate) {
  patcher().setRescanAfterLoad(false);
  loadLocal(files);
  install(files[0], "alpha");
  const std::size_t mark = client->events().size();
  EXPECT_TRUE(client->startScan(nullptr, Patcher::kWaitFlag));
  EXPECT_THAT(eventsSince(mark), ElementsAre("range 100 0"));
  EXPECT_THAT(client->progressOn(kBarScan), ElementsAre(25, 50, 75, 100));
  EXPECT_EQ(patcher().state().filesTotal, 4);
  EXPECT_EQ(patcher().state().filesChecked, 4);
  // Three files missing: the amount is their download size.
  std::int64_t missing = 0;
  for (std::size_t i = 1; i < files.size(); ++i) missing += test::TestHttpServer::gzip(files[i].content).size();
  EXPECT_EQ(client->updateAmount(nullptr, 0), missing);
  EXPECT_EQ(patcher().downloads().bytesToUpdate(), missing);
  // A second scan in the same pass finds every file checked already.
  EXPECT_TRUE(client->startScan(nullptr, Patcher::kWaitFlag));
  EXPECT_EQ(client->count("range 100 0"), 1);
}

TEST_F(PatcherJobsTest, FileCheckedSendsNothingWithoutFilesToCount) {
  EXPECT_FALSE(patcher().fileNodeView().fileChecked());
  EXPECT_THAT(client->progressOn(kBarScan), IsEmpty());
}

TEST_F(PatcherJobsTest, TheScanPassUsesAndSavesThePatchCacheOfTheBaseFolder) {
  patcher().setRescanAfterLoad(false);
  const test::TreeFile file{"f.bin", "right content"};
  loadLocal({file});
  // Same size and time as the manifest says, other bytes: only a remembered CRC can vouch for it.
  install(file, "wrong content");
  const std::string crc = std::to_string(static_cast<std::int32_t>(test::crcOf(file.content)));
  ASSERT_TRUE(test::writeFile(dir.file("PatchCache2.xml"),
                              "<?xml version=\"1.0\"?><PatchCache version=\"1.1\"><File Filename=\"f.bin\" "
                              "TimeStamp=\"1\" Size=\"13\" CRC=\"" + crc + "\"/></PatchCache>"));
  EXPECT_TRUE(client->startScan(nullptr, Patcher::kWaitFlag));
  EXPECT_EQ(client->updateAmount(nullptr, 0), 0);
  EXPECT_TRUE(client->linesStartingWith("--- File Discrepancy").empty());
  const std::string saved = test::readFile(dir.file("PatchCache2.xml"));
  EXPECT_THAT(saved, ::testing::HasSubstr("CRC=\"" + crc + "\""));
  EXPECT_THAT(saved, ::testing::HasSubstr("Size=\"13\""));
}

TEST_F(PatcherJobsTest, TheRescanAfterALoadKeepsTheCacheForTheNextRun) {
  const test::TreeFile file{"f.bin", "right content"};
  install(file, "right content");
  loadLocal({file});
  const std::string saved = test::readFile(dir.file("PatchCache2.xml"));
  EXPECT_THAT(saved, ::testing::HasSubstr("Filename=\"f.bin\""));
  EXPECT_THAT(saved, ::testing::HasSubstr(std::to_string(static_cast<std::int32_t>(test::crcOf(file.content)))));
}

TEST_F(PatcherJobsTest, AFileStampedDuringARescanIsNotFoundOutOfDateAgainLater) {
  const test::TreeFile file{"f.bin", "right content"};
  install(file, "right content");
  ASSERT_TRUE(test::setModified(dir.file("f.bin"), test::manifestTime(file.time) - 3600));
  loadLocal({file});
  EXPECT_EQ(client->linesStartingWith("--- File Discrepancy T").size(), 1u);
  EXPECT_EQ(client->countLogged("--- File Discrepancy Overridden.  File is current version.\n"), 1);
  // Checked again against the same folder, the file now carries the manifest's time.
  EXPECT_TRUE(client->setDistributionPath(kDistribution, dir.path().c_str()));
  EXPECT_EQ(client->linesStartingWith("--- File Discrepancy T").size(), 1u);
  EXPECT_EQ(client->updateAmount(kDistribution, 0), 0);
}

TEST_F(PatcherJobsTest, TheDiskWarningGivesWholeMegabytesRoundedDown) {
  EXPECT_EQ(DownloadRequests::diskSpaceText(3000000, 8000000, false),
            "Not enough free disk space.  Space available is 3 MB, space needed is 8 MB.  Please free up 5 MB.\n");
  EXPECT_EQ(DownloadRequests::diskSpaceText(3999999, 8000000, false),
            "Not enough free disk space.  Space available is 3 MB, space needed is 8 MB.  Please free up 4 MB.\n");
}

TEST_F(PatcherJobsTest, TheDownloadPassWarnsWhenTheFilesDoNotFitAndGoesOn) {
  // A missing uncompressed file of 1,000,000 bytes: 1,000,000 to download, 2,000,000 for the largest
  // file with its transfer, and 5,000,000 to spare.
  server.serveBytes("/big.bin", std::string(1000000, 'b'));
  server.serveGzip(kPath, "<KorvelPatcher><Product Name=\"P\"><File Name=\"big.bin\" TotalSize=\"1000000\" "
                          "Compressed=\"false\"/></Product></KorvelPatcher>");
  ASSERT_TRUE(client->openRemoteManifest(test::TestHttpServer::host().c_str(), server.port(), kPath,
                                         Patcher::kWaitFlag));
  std::uint64_t free = 3000000;
  std::vector<std::string> folders;
  patcher().downloads().setFreeDiskProbe([&](const std::string& folder) {
    folders.push_back(folder);
    return free;
  });
  EXPECT_TRUE(client->update(nullptr, Patcher::kWaitFlag));
  ASSERT_EQ(client->diskWarnings().size(), 1u);
  EXPECT_EQ(client->diskWarnings()[0].available, 3000000u);
  EXPECT_EQ(client->diskWarnings()[0].needed, 8000000u);
  EXPECT_EQ(client->diskWarnings()[0].message, DownloadRequests::diskSpaceText(3000000, 8000000, false));
  EXPECT_EQ(folders.front(), dir.path());
  EXPECT_EQ(client->count("downloadFinished"), 1);

  free = 8000000;
  EXPECT_TRUE(client->update(nullptr, Patcher::kWaitFlag));
  EXPECT_EQ(client->diskWarnings().size(), 1u);
}

TEST_F(PatcherJobsTest, TheLimitWarningReachesTheClientOnce) {
  patcher().fileNodeView().limitExceededWarning();
  patcher().fileNodeView().limitExceededWarning();
  patcher().fileNodeView().limitExceededWarning();
  ASSERT_EQ(client->errors().size(), 1u);
  EXPECT_EQ(client->errors()[0].code, 85);
  EXPECT_EQ(client->errors()[0].message,
            "Warning: Download Limit exceeded.  Please install any missing files from your CD.\n");
}

TEST_F(PatcherJobsTest, AStopDuringTheDownloadPassStillClosesButSendsNoFinish) {
  loadRemote(files, authAttributes());
  server.serveBytes("/auth/close", "closed");
  // The user stops at the first download; the closing request after it must still go out.
  bool stopped = false;
  client->onBeforeConnect = [this, &stopped](int) {
    if (!stopped) patcher().stop();
    stopped = true;
  };
  EXPECT_TRUE(client->update(nullptr, Patcher::kWaitFlag));
  EXPECT_EQ(server.requestCount("/auth/close"), 1);
  EXPECT_EQ(client->count("downloadFinished"), 0);
  EXPECT_FALSE(client->isBusy());
  EXPECT_TRUE(patcher().stopRequested());
  // The files fetched ahead of the walk ended too: none was put in place, no temporary stayed.
  for (const test::TreeFile& file : files) EXPECT_FALSE(test::exists(dir.file(file.path))) << file.path;
  for (const char* folder : {"", "data", "data\\deep"}) {
    platform::FolderListing listing(*folder ? dir.file(folder) : dir.path());
    for (platform::FolderEntry entry; listing.next(entry);)
      EXPECT_THAT(entry.name, Not(::testing::StartsWith("spatchfile_"))) << folder;
  }
}

TEST_F(PatcherJobsTest, NamedProductsAreSelectedAndGivenTheirRoot) {
  patcher().setRescanAfterLoad(false);
  loadLocal(files, "Optional=\"yes\"");
  ProductHandle* product = patcher().products().findProduct(kDistribution);
  ASSERT_NE(product, nullptr);
  EXPECT_FALSE(product->record().selected()) << "optional products start unselected";
  EXPECT_FALSE(client->selectDistributions("No Such Thing", true));
  // An unselected named product is counted as if selected, and left unselected.
  EXPECT_EQ(patcher().countFiles(kDistribution, 0), 4);
  EXPECT_EQ(patcher().countFiles(kDistribution, 0), 4) << "each count starts a new pass";
  EXPECT_EQ(patcher().countFiles(nullptr, 0), 0);
  EXPECT_FALSE(product->record().selected());

  EXPECT_TRUE(client->selectDistributions(kDistribution, true));
  EXPECT_TRUE(product->record().selected());
  EXPECT_TRUE(product->record().selectedSecondary());
  const std::string root = dir.file("sibling");
  install({"sibling\\c.bin", "", files[2].time}, "charlie");
  EXPECT_TRUE(client->setDistributionPath(kDistribution, root.c_str()));
  EXPECT_EQ(patcher().walks().distributionPath(kDistribution), root);
  // Every file checked itself against the new root: three are missing there.
  EXPECT_EQ(client->linesStartingWith("--- File Discrepancy M").size(), 3u);
  EXPECT_THAT(client->progressOn(kBarScan), ElementsAre(25, 50, 75, 100));
  EXPECT_GT(client->updateAmount(kDistribution, 0), 0);
  EXPECT_TRUE(client->setDistributionPath(kDistribution, nullptr));
  EXPECT_EQ(patcher().walks().distributionPath(kDistribution), "");
  EXPECT_TRUE(client->selectDistributions(nullptr, false));
  EXPECT_FALSE(product->record().selected());
  // Without names the path is the default root, refused beyond 255 characters.
  EXPECT_FALSE(client->setDistributionPath(nullptr, std::string(256, 'x').c_str()));
  EXPECT_TRUE(client->setDistributionPath(nullptr, std::string(255, 'x').c_str()));
  EXPECT_EQ(patcher().walks().distributionPath(nullptr), std::string(255, 'x'));
}

class OwnCommandLineTest : public PatcherJobsTest {
 protected:
  ~OwnCommandLineTest() override { platform::setCommandLine(0, nullptr); }
  void commandLine(std::vector<const char*> arguments) {
    const std::string program = platform::programPath();
    arguments.insert(arguments.begin(), program.c_str());
    platform::setCommandLine(static_cast<int>(arguments.size()), arguments.data());
    patcher().scanOwnCommandLine();
  }
};

TEST_F(OwnCommandLineTest, TheAccessModeOptionIsReadAndEveryArgumentKeptForARestart) {
  commandLine({"inetType:7", "with blank"});
  EXPECT_EQ(patcher().internetAccessMode(), -1) << "only modes 0 to 3 are taken";
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), "inetType:7 \"with blank\"");
  commandLine({"inetType:1", "x"});
  EXPECT_EQ(patcher().internetAccessMode(), 1);
  // Every scan adds the arguments again.
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), "inetType:7 \"with blank\" inetType:1 x");
}

TEST_F(OwnCommandLineTest, ArgumentsThatDoNotFitWholeAreLeftOutNotCut) {
  const std::string filler(240, 'a');
  commandLine({filler.c_str(), "inetType:1", "0123456789abcdef"});
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), filler + " inetType:1") << "the last one had no room left";
  // Cut, the replaced file's name would name another file for the restart to copy over.
  patcher().fileNodeView().registerSelfReplacement("C:\\game\\_ame.exe", "C:\\game\\Game.exe");
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), filler + " inetType:1");
  EXPECT_TRUE(client->logged("The restart's arguments have no room left for PatchPatcher\n"));
}

TEST_F(OwnCommandLineTest, TheCopyKeywordAsTheLastArgumentStartsNoCopy) {
  commandLine({"PatchPatcher"});
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), "");
  // The copy is still available for a later request.
  ASSERT_TRUE(test::writeFile(dir.file("new.exe"), "new build"));
  patcher().fileNodeView().startSelfCopy(dir.file("new.exe").c_str(), dir.file("old.exe").c_str(), true);
  EXPECT_EQ(test::readFile(dir.file("old.exe")), "new build");
}

TEST_F(OwnCommandLineTest, TheCopyKeywordCopiesTheRunningProgramOverItsTarget) {
  patcher().selfUpdate().setOwnFileName("running.exe");
  ASSERT_TRUE(test::writeFile(dir.file("running.exe"), "new build"));
  ASSERT_TRUE(test::writeFile(dir.file("Game.exe"), "old build"));
  commandLine({"PatchPatcher", "Game.exe", "/env:testserver"});
  // The copy runs on the copy worker; the session waits for it when it goes.
  client.reset();
  EXPECT_EQ(test::readFile(dir.file("Game.exe")), "new build");
}

TEST_F(PatcherJobsTest, OnlyTheFirstSelfReplacementAndTheFirstCopyCount) {
  patcher().fileNodeView().registerSelfReplacement("C:\\game\\_ame.exe", "C:\\game\\Game.exe");
  patcher().fileNodeView().registerSelfReplacement("C:\\game\\other.exe", "C:\\game\\Other.exe");
  EXPECT_EQ(patcher().selfUpdate().ownProgramPath(), "C:\\game\\_ame.exe");
  EXPECT_EQ(patcher().selfUpdate().restartArguments(), "PatchPatcher C:\\game\\Game.exe");

  ASSERT_TRUE(test::writeFile(dir.file("a.exe"), "first"));
  // The same text names the same file: nothing to copy.
  patcher().fileNodeView().startSelfCopy(dir.file("a.exe").c_str(), dir.file("a.exe").c_str(), true);
  ASSERT_TRUE(test::writeFile(dir.file("b.exe"), "second"));
  patcher().fileNodeView().startSelfCopy(dir.file("b.exe").c_str(), dir.file("c.exe").c_str(), true);
  EXPECT_FALSE(test::exists(dir.file("c.exe")));
  EXPECT_EQ(test::readFile(dir.file("a.exe")), "first");
}

TEST_F(PatcherJobsTest, ACopyThatFailsMidwayLeavesTheOldProgramWhole) {
  ASSERT_TRUE(test::writeFile(dir.file("new.exe"), std::string(20000, 'n')));
  ASSERT_TRUE(test::writeFile(dir.file("old.exe"), "old build"));
  // The disk fills up after 1000 bytes of the copy.
  platform::faults::writeBudget.store(1000);
  patcher().fileNodeView().startSelfCopy(dir.file("new.exe").c_str(), dir.file("old.exe").c_str(), true);
  platform::faults::writeBudget.store(0);
  EXPECT_EQ(test::readFile(dir.file("old.exe")), "old build");
  EXPECT_FALSE(test::exists(dir.file("old.exe.new")));
  EXPECT_FALSE(client->logged("File Copy: Complete\n"));
}

TEST_F(PatcherJobsTest, ARestartStartsTheNewCopyWithItsArgumentsAndMultiple) {
  std::vector<std::pair<std::string, std::string>> started;
  patcher().selfUpdate().setProcessStarter([&](const std::string& program, const std::string& line) {
    started.emplace_back(program, line);
    return true;
  });
  patcher().fileNodeView().registerSelfReplacement("C:\\game\\_ame.exe", "C:\\game\\Game.exe");
  EXPECT_TRUE(patcher().restartProgram(false));
  EXPECT_TRUE(patcher().stopRequested()) << "a restart stops the session";
  EXPECT_FALSE(patcher().exitAfterJob());
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].first, "C:\\game\\_ame.exe");
  EXPECT_EQ(started[0].second, "\"" + platform::nativePath("C:\\game\\_ame.exe") + "\" PatchPatcher C:\\game\\Game.exe /multiple");
}

}  // namespace
}  // namespace korvel
