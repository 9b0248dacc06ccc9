// The session client's own behaviour: file notices, the first-data notice, stopping, forwarding to
// the session, and the removal of leftover change files when it goes.
#include "launcher/patch_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/text_format.h"
#include "session/patcher.h"
#include "tests/support/recording_client.h"
#include "tests/support/scoped_current_directory.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

using test::RecordingClient;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(PatchClientTest, ReportFileCutsThePathAndRoutesUnhandledKinds) {
  RecordingClient client;
  client.reportFile("patch\\data/sub\\file.bin", kNoticeDownloadStarts);
  client.reportFile("x/unpack.gz", kNoticeUnpackStarts);
  client.reportFile("done.txt", kNoticeFinished);
  client.reportFile("a\\copy.dat", kNoticeCopyStarts);
  client.reportFile("other", 2);
  EXPECT_THAT(client.fileEvents(), ElementsAre("fileNotice file.bin 0", "fileStarted file.bin", "fileNotice unpack.gz 1",
                                           "fileUnpacking unpack.gz", "fileNotice done.txt 3", "fileFinished done.txt",
                                           "fileNotice copy.dat 4", "fileNotice other 2"));
}

TEST(PatchClientTest, ReportFileStopsWhenTheNoticeIsHandled) {
  RecordingClient client;
  client.handleFileNotice = true;
  client.reportFile("dir\\a.bin", kNoticeDownloadStarts);
  client.reportFile("dir\\", kNoticeFinished);
  EXPECT_THAT(client.fileEvents(), ElementsAre("fileNotice a.bin 0", "fileNotice  3"));
}

TEST(PatchClientTest, ReportFileWithNullPathPassesNullName) {
  RecordingClient client;
  client.reportFile(nullptr, kNoticeDownloadStarts);
  EXPECT_THAT(client.fileEvents(), ElementsAre("fileNotice (null) 0", "fileStarted (null)"));
}

TEST(PatchClientTest, DataReceivedRaisesTheNetworkNoticeOnce) {
  RecordingClient client;
  client.dataReceived();
  client.dataReceived();
  client.dataReceived();
  EXPECT_THAT(client.events(), ElementsAre("networkNotice"));
}

TEST(PatchClientTest, StopMarksTheSessionAndUpdateClearsTheMark) {
  RecordingClient client;
  ASSERT_NE(client.patcher(), nullptr);
  client.stop(0x20);
  EXPECT_TRUE(client.sessionHasFailed());
  EXPECT_TRUE(client.patcher()->stopRequested());
  EXPECT_THAT(client.events(), ElementsAre("stopped"));
  // update clears the mark first, even though it is then refused without a manifest.
  EXPECT_FALSE(client.update(nullptr, 0));
  EXPECT_FALSE(client.sessionHasFailed());
}

TEST(PatchClientTest, ScanAndUpdateAreRefusedWithoutAManifest) {
  RecordingClient client;
  EXPECT_FALSE(client.startScan(nullptr, 0x20));
  EXPECT_FALSE(client.update("Wendrel Distribution", 0x20));
  EXPECT_FALSE(client.isBusy());
  EXPECT_THAT(client.events(), IsEmpty());
}

TEST(PatchClientTest, FailedRemoteLoadReportsManifestReadyZeroAndWaitsWithFlag0x20) {
  RecordingClient client;
  EXPECT_FALSE(client.openRemoteManifest("127.0.0.1", 1, "patch/none.xml.gz", 0x20));
  EXPECT_FALSE(client.isBusy());
  EXPECT_FALSE(client.patcher()->manifestLoaded());
  auto events = client.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "manifestReady 0");
  EXPECT_TRUE(client.logged("Creating Thread...\n"));
  EXPECT_TRUE(client.logged("Thread Finish\n"));
  // A second load may start once the first is over.
  EXPECT_FALSE(client.openRemoteManifest("127.0.0.1", 1, "patch/none.xml.gz", 0x20));
}

TEST(PatchClientTest, LocalManifestThatDoesNotParseIsError83) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("bad.xml"), "this is not xml <"));
  RecordingClient client;
  EXPECT_FALSE(client.openLocalManifest(dir.file("bad.xml").c_str(), 0x20));
  EXPECT_FALSE(client.openLocalManifest(nullptr, 0x20));
  const auto errors = client.errors();
  ASSERT_EQ(errors.size(), 2u);
  for (const auto& error : errors) {
    EXPECT_EQ(error.code, 83);
    EXPECT_EQ(error.message, "Error initializing patcher.\n");
  }
  EXPECT_THAT(client.events(), IsEmpty());
  EXPECT_FALSE(client.isBusy());
}

TEST(PatchClientTest, DistributionPathWithoutNamesSetsTheDefaultRoot) {
  RecordingClient client;
  EXPECT_TRUE(client.setDistributionPath(nullptr, "C:\\Games\\Ryx"));
  EXPECT_EQ(client.patcher()->state().defaultRootPath, "C:\\Games\\Ryx");
  EXPECT_EQ(client.patcher()->state().baseFor(), "C:\\Games\\Ryx");
  // Too long for the 256-byte field: refused, the old value stays.
  EXPECT_FALSE(client.setDistributionPath(nullptr, std::string(256, 'a').c_str()));
  EXPECT_EQ(client.patcher()->state().defaultRootPath, "C:\\Games\\Ryx");
  EXPECT_TRUE(client.setDistributionPath(nullptr, nullptr));
  EXPECT_EQ(client.patcher()->state().baseFor(), client.patcher()->state().installDirectory);
}

TEST(PatchClientTest, DestructionDeletesTheLeftoverChangeFiles) {
  test::TempDir dir;
  std::vector<std::string> leftovers;
  for (int i = 0; i < 15; ++i) {
    for (const char* pattern : {"~spatchfile_%d.xml", "~spatchfile_%d.xml.gz", "~spatchfile_%d.txt", "~spatchfile_%d.txt.gz"})
      leftovers.push_back(boundedFormat(64, pattern, i));
  }
  const std::vector<std::string> kept = {"~spatchfile_15.xml", "spatchfile_0.txt", "~spatchfile_1.dat"};
  for (const auto& name : leftovers) ASSERT_TRUE(test::writeFile(dir.file(name), "x"));
  for (const auto& name : kept) ASSERT_TRUE(test::writeFile(dir.file(name), "x"));
  {
    test::ScopedCurrentDirectory inDir(dir.path());
    auto client = std::make_unique<RecordingClient>();
    client.reset();
  }
  for (const auto& name : leftovers) EXPECT_FALSE(test::exists(dir.file(name))) << name;
  for (const auto& name : kept) EXPECT_TRUE(test::exists(dir.file(name))) << name;
}

}  // namespace
}  // namespace korvel
