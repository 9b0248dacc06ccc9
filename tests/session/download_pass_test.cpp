// Tests of the download pass: its disk check, the limit warning, and the closing requests after a stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/folder_listing.h"
#include "tests/session/session_jobs_fixture.h"
#include "transfer/download_requests.h"

namespace korvel {
namespace {

using ::testing::Not;

class DownloadPassTest : public test::SessionJobsTest {};

TEST_F(DownloadPassTest, TheDiskWarningGivesWholeMegabytesRoundedDown) {
  EXPECT_EQ(DownloadRequests::diskSpaceText(3000000, 8000000, false),
            "Not enough free disk space.  Space available is 3 MB, space needed is 8 MB.  Please free up 5 MB.\n");
  EXPECT_EQ(DownloadRequests::diskSpaceText(3999999, 8000000, false),
            "Not enough free disk space.  Space available is 3 MB, space needed is 8 MB.  Please free up 4 MB.\n");
}

TEST_F(DownloadPassTest, TheDownloadPassWarnsWhenTheFilesDoNotFitAndGoesOn) {
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

TEST_F(DownloadPassTest, TheLimitWarningReachesTheClientOnce) {
  patcher().fileNodeView().limitExceededWarning();
  patcher().fileNodeView().limitExceededWarning();
  patcher().fileNodeView().limitExceededWarning();
  ASSERT_EQ(client->errors().size(), 1u);
  EXPECT_EQ(client->errors()[0].code, 85);
  EXPECT_EQ(client->errors()[0].message,
            "Warning: Download Limit exceeded.  Please install any missing files from your CD.\n");
}

TEST_F(DownloadPassTest, AStopDuringTheDownloadPassStillClosesButSendsNoFinish) {
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

}  // namespace
}  // namespace korvel
