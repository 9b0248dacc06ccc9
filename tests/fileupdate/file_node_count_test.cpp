// Tests of file eligibility, the update question, the counts with their pass flags and the delta choice.
#include "fileupdate/file_node.h"

#include <gtest/gtest.h>

#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

using FileNodeEligibilityTest = test::ModelTest;

TEST_F(FileNodeEligibilityTest, EachFlagDecidesAsDocumented) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<File Name=\"plain\"/><File Name=\"envA\" FileEnvA=\"1\"/>"
                           "<File Name=\"envD\" FileEnvD=\"1\"/><File Name=\"extra\" XtraFile=\"1\"/>"
                           "<File Name=\"gone\" Delete=\"1\"/><File Name=\"limited\"/>"));
  FileNode* plain = file("plain");
  EXPECT_TRUE(plain->eligible(0));
  EXPECT_FALSE(plain->eligible(scan::kEnvironmentFilesOnly));
  EXPECT_TRUE(file("envA")->eligible(scan::kEnvironmentFilesOnly));
  EXPECT_TRUE(file("extra")->eligible(scan::kEnvironmentFilesOnly));
  EXPECT_FALSE(file("envA")->eligible(scan::kEnvironmentA));
  EXPECT_TRUE(file("envA")->eligible(scan::kEnvironmentB));
  EXPECT_FALSE(file("envD")->eligible(scan::kEnvironmentD | scan::kEnvironmentFilesOnly));
  EXPECT_TRUE(file("envA")->eligible(scan::kEnvironmentA | scan::kIgnoreEnvironment));
  EXPECT_FALSE(file("gone")->eligible(scan::kIgnoreEnvironment));

  file("limited")->markLimitExceeded(0);
  EXPECT_TRUE(file("limited")->limitExceeded());
  EXPECT_FALSE(file("limited")->eligible(0));
  EXPECT_FALSE(file("limited")->eligible(scan::kIgnoreEnvironment));
  EXPECT_TRUE(file("limited")->eligible(scan::kIncludeLimitExceeded));
  EXPECT_FALSE(file("limited")->eligible(scan::kIncludeLimitExceeded | scan::kExcludeLimitExceeded));
}

TEST_F(FileNodeEligibilityTest, NeedsUpdateIsTheScanResultOrAForcedUpdateOfAnEligibleFile) {
  ASSERT_TRUE(buildProduct("Name=\"P\"", "<File Name=\"f\" FileEnvB=\"yes\"/>"));
  FileNode* f = file("f");
  EXPECT_FALSE(f->needsUpdate(nullptr, 0));
  f->setPassFlag(pass::kForcedUpdate, true);
  EXPECT_TRUE(f->needsUpdate(nullptr, 0));
  f->setPassFlag(pass::kForcedUpdate, false);
  f->setNeedsUpdate(true);
  EXPECT_TRUE(f->needsUpdate(nullptr, 0));
  EXPECT_FALSE(f->needsUpdate(nullptr, scan::kEnvironmentB));
  EXPECT_TRUE(f->hasEnvironmentFiles());
}

// One compressed file of 100 bytes (40 on the wire) with a delta for CRC 11 (9 bytes, 5 on the wire)
// and one uncompressed file of 70 bytes.
class FileNodeCountTest : public test::ModelTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(buildProduct("Name=\"P\" Server=\"s\"",
                             "<File Name=\"f\" TotalSize=\"100\" DownloadSize=\"40\">"
                             "<DeltaFile FilePath=\"f.d1\" CRC=\"22\" DownloadSize=\"6\" TotalSize=\"8\"/>"
                             "<DeltaFile FilePath=\"f.d2\" CRC=\"11\" DownloadSize=\"5\" TotalSize=\"9\"/>"
                             "<DeltaFile FilePath=\"f.d3\" CRC=\"11\" DownloadSize=\"1\" TotalSize=\"1\"/></File>"
                             "<File Name=\"raw\" TotalSize=\"70\" Compressed=\"no\"/>"));
    f = file("f");
    raw = file("raw");
  }
  void resetAll() {
    for (int index = 0; index < pass::kSettableCount; ++index) tree()->setPassFlag(index, false);
  }
  FileNode* f = nullptr;
  FileNode* raw = nullptr;
};

TEST_F(FileNodeCountTest, CountFilesOncePerPassHonouringTheSkipFlags) {
  EXPECT_EQ(tree()->countFiles(nullptr, 0), 2);
  EXPECT_EQ(tree()->countFiles(nullptr, 0), 0);
  resetAll();
  f->setPassFlag(pass::kScanned, true);
  raw->setPassFlag(pass::kVerified, true);
  EXPECT_EQ(tree()->countFiles(nullptr, scan::kSkipScanned), 1);
  resetAll();
  f->setPassFlag(pass::kVerified, true);
  EXPECT_EQ(tree()->countFiles(nullptr, scan::kSkipVerified), 1);
  EXPECT_EQ(tree()->countBytes(nullptr, scan::kSkipVerified), 0) << "raw is already counted in this pass";
  resetAll();
  EXPECT_EQ(tree()->countBytes(nullptr, 0), 170);
}

TEST_F(FileNodeCountTest, CountUpdatesCountsFilesThatNeedOneUnlessExcluded) {
  EXPECT_EQ(tree()->countFiles(nullptr, scan::kCountUpdates), 0);
  f->setNeedsUpdate(true);
  EXPECT_EQ(tree()->countFiles(nullptr, scan::kCountUpdates), 1);
  EXPECT_EQ(tree()->countFiles(nullptr, scan::kCountUpdates), 1) << "no pass flag guards this count";
  f->setPassFlag(pass::kExcludedFromUpdateCount, true);
  EXPECT_EQ(tree()->countFiles(nullptr, scan::kCountUpdates), 0);
  f->markDelete();
  EXPECT_TRUE(f->isDeleteMarked());
  EXPECT_FALSE(f->deleteCopy()) << "only the read-time Delete makes the file ineligible";
}

TEST_F(FileNodeCountTest, DownloadBytesDependOnCompressionAndTheChosenDelta) {
  f->setNeedsUpdate(true);
  raw->setNeedsUpdate(true);
  EXPECT_EQ(tree()->countDownloadBytes(nullptr, 0), 170);
  EXPECT_EQ(tree()->countDownloadBytes(nullptr, 0), 0);
  resetAll();
  EXPECT_EQ(tree()->countDownloadBytes(nullptr, scan::kCompressedOnly), 100);
  resetAll();
  EXPECT_EQ(tree()->countDownloadBytes(nullptr, scan::kNoDownloadBytes), 0);
  EXPECT_EQ(tree()->countDownloadBytes(nullptr, scan::kDeltaBytesOnly), 0);
  resetAll();
  EXPECT_EQ(tree()->countCompressedBytes(nullptr, 0), 40 + 70);

  f->setExistsLocally(true);
  f->setLocalCrc(11);
  ASSERT_TRUE(f->findDelta(dir.path()));
  EXPECT_EQ(f->appliedDelta(), &f->deltaSources()[1]) << "the first delta for the CRC";
  resetAll();
  EXPECT_EQ(f->countDownloadBytes(nullptr, 0), 9);
  EXPECT_EQ(f->countCompressedBytes(nullptr, 0), 5);
  EXPECT_EQ(f->transferSize(), 5u);
  EXPECT_EQ(f->largestSpaceNeeded(nullptr, 0), 105);
  EXPECT_EQ(raw->largestSpaceNeeded(nullptr, 0), 140);
  raw->setNeedsUpdate(false);
  EXPECT_EQ(raw->largestSpaceNeeded(nullptr, 0), 70);
}

TEST_F(FileNodeCountTest, FindDeltaNeedsALocalFileWithAKnownCrc) {
  f->setLocalCrc(11);
  EXPECT_FALSE(f->findDelta(dir.path())) << "not found locally";
  f->setExistsLocally(true);
  f->setLocalCrc(0);
  EXPECT_FALSE(f->findDelta(dir.path()));
  f->setLocalCrc(33);
  EXPECT_FALSE(f->findDelta(dir.path()));
  EXPECT_EQ(f->appliedDelta(), nullptr);
  EXPECT_EQ(f->updateCountUnit(), 1);
}

TEST_F(FileNodeCountTest, OnlyTheFirstEightPassFlagsAreSettable) {
  f->setPassFlag(pass::kLimitMessageWritten, true);
  f->setPassFlag(pass::kCrcScanRunning, true);
  f->setPassFlag(-1, true);
  f->setPassFlag(pass::kExcludedFromUpdateCount, true);
  EXPECT_FALSE(f->passFlag(pass::kLimitMessageWritten));
  EXPECT_FALSE(f->passFlag(pass::kCrcScanRunning));
  EXPECT_TRUE(f->passFlag(pass::kExcludedFromUpdateCount));
}

}  // namespace
}  // namespace korvel
