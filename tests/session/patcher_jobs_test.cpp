// Tests of the session's job machinery: jobs refused or waiting while the worker is busy, and an
// update's way through the scan and the download pass.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "tests/session/session_jobs_fixture.h"

namespace korvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class PatcherJobsTest : public test::SessionJobsTest {};

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

}  // namespace
}  // namespace korvel
