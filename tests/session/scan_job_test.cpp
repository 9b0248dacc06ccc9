// Tests of the scan job: the progress protocol, the patch cache around a scan and the rescan after a load.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/session/session_jobs_fixture.h"
#include "tests/support/file_facts.h"
#include "transfer/download_requests.h"

namespace korvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ScanJobTest : public test::SessionJobsTest {};

TEST_F(ScanJobTest, TheScanPassReportsItsProgressAndLeavesTheAmountToUpdate) {
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

TEST_F(ScanJobTest, FileCheckedSendsNothingWithoutFilesToCount) {
  EXPECT_FALSE(patcher().fileNodeView().fileChecked());
  EXPECT_THAT(client->progressOn(kBarScan), IsEmpty());
}

TEST_F(ScanJobTest, TheScanPassUsesAndSavesThePatchCacheOfTheBaseFolder) {
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

TEST_F(ScanJobTest, TheRescanAfterALoadKeepsTheCacheForTheNextRun) {
  const test::TreeFile file{"f.bin", "right content"};
  install(file, "right content");
  loadLocal({file});
  const std::string saved = test::readFile(dir.file("PatchCache2.xml"));
  EXPECT_THAT(saved, ::testing::HasSubstr("Filename=\"f.bin\""));
  EXPECT_THAT(saved, ::testing::HasSubstr(std::to_string(static_cast<std::int32_t>(test::crcOf(file.content)))));
}

TEST_F(ScanJobTest, AFileStampedDuringARescanIsNotFoundOutOfDateAgainLater) {
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

}  // namespace
}  // namespace korvel
