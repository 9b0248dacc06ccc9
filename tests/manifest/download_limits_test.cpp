// Download limits: the allowance of a distribution, the check of a product and of its environment
// products against their limits, and the marking and logging of the files left alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class DownloadLimitsTest : public test::ModelTest {
 protected:
  // Every file of the tree is out of date, as a scan would have found.
  void markAllStale(ManifestNode* node) {
    if (auto* file = dynamic_cast<FileNode*>(node)) file->setNeedsUpdate(true);
    for (const auto& child : node->children()) markAllStale(child.get());
  }
  bool check() { return top().checkLimits(scan::kIncludeLimitExceeded); }
  std::string files(std::int64_t first, std::int64_t second) {
    return "<File Name=\"a.bin\" TotalSize=\"" + std::to_string(first) + "\"/><File Name=\"b.bin\" TotalSize=\"" +
           std::to_string(second) + "\"/>";
  }
};

TEST_F(DownloadLimitsTest, AllowanceAddsTheLimitsOfTheEnvironmentsInTheLimitFlags) {
  ASSERT_TRUE(buildProduct("Name=\"Game\" LimitDefault=\"100\" LimitTypeA=\"1\" LimitTypeB=\"20\" LimitTypeC=\"300\" "
                           "LimitTypeD=\"4000\"",
                           ""));
  DistributionNode* root = tree();
  EXPECT_EQ(root->allowance(0), 100u);
  root->setLimitFlags(0x2 | 0x2000 | 0x8000);
  EXPECT_EQ(root->allowance(0), 4120u);
  EXPECT_EQ(root->allowance(scan::kDefaultLimitOnly), 100u);
  root->setLimitFlags(0x10 | 0x1000);
  EXPECT_EQ(root->allowance(0), 1u);
  EXPECT_EQ(root->allowance(scan::kDefaultLimitOnly), 0u);
}

TEST_F(DownloadLimitsTest, DefaultLimitIsExceededOnlyAboveItsValue) {
  ASSERT_TRUE(buildProduct("Name=\"Game\" LimitDefault=\"1000\"", files(600, 400)));
  markAllStale(tree());
  EXPECT_TRUE(check());
  EXPECT_THAT(client.errors(), IsEmpty());
  EXPECT_EQ(session.limitWarnings(), 0);
  EXPECT_FALSE(tree()->limitExceeded());
}

TEST_F(DownloadLimitsTest, OneByteOverTheDefaultLimitMarksAndLogsEveryFile) {
  ASSERT_TRUE(buildProduct("Name=\"Game\" LimitDefault=\"1000\"", files(600, 401)));
  markAllStale(tree());
  EXPECT_FALSE(check());
  EXPECT_TRUE(client.logged("Limit exceeded: 1001 bytes requested for distribution Game, 1000 max.\n"));
  EXPECT_THAT(client.errorCodes(), ElementsAre(86));
  EXPECT_EQ(session.limitWarnings(), 2) << "one for each file left alone";
  EXPECT_EQ(client.errors()[0].message, "Download size exceeded for distribution \"Game.\"\n");
  EXPECT_TRUE(file("a.bin")->limitExceeded());
  EXPECT_TRUE(client.logged("Download Limit Exceeded. [<Unnamed>] File not updated: a.bin\n"));
  EXPECT_TRUE(client.logged("Download Limit Exceeded. [<Unnamed>] File not updated: b.bin\n"));
}

TEST_F(DownloadLimitsTest, LimitsAndRequestsCountFilesOfSeveralGigabytes) {
  // Two 3 GiB files, one byte over a limit above 4 GiB: neither number wraps to 32 bits.
  ASSERT_TRUE(buildProduct("Name=\"Game\" LimitDefault=\"6442450943\"", files(3221225472LL, 3221225472LL)));
  markAllStale(tree());
  EXPECT_FALSE(check());
  EXPECT_TRUE(client.logged("Limit exceeded: 6442450944 bytes requested for distribution Game, 6442450943 max.\n"));
  EXPECT_EQ(session.limitWarnings(), 2);
}

TEST_F(DownloadLimitsTest, ZeroNeverLimits) {
  ASSERT_TRUE(buildProduct("Name=\"Game\" LimitDefault=\"0\"", files(5000000, 5000000)));
  markAllStale(tree());
  EXPECT_TRUE(check());
  EXPECT_THAT(client.errors(), IsEmpty());
  EXPECT_EQ(session.limitWarnings(), 0);
}

TEST_F(DownloadLimitsTest, ASecondCheckStillFailsButReportsAndLogsNothingNew) {
  ASSERT_TRUE(buildProduct("Name=\"Game\" Title=\"The Game\" LimitDefault=\"10\"", files(20, 0)));
  markAllStale(tree());
  EXPECT_FALSE(check());
  EXPECT_EQ(session.limitWarnings(), 2) << "one for each file left alone";
  EXPECT_FALSE(check());
  EXPECT_FALSE(check());
  EXPECT_THAT(client.errorCodes(), ElementsAre(86));
  EXPECT_EQ(session.limitWarnings(), 2) << "none for a file already logged";
  EXPECT_EQ(client.errors()[0].message, "Download size exceeded for distribution \"The Game.\"\n");
  EXPECT_EQ(client.countLogged("Download Limit Exceeded. [The Game] File not updated: a.bin\n"), 1);
  EXPECT_EQ(client.countLogged("Limit exceeded: 20 bytes requested for distribution The Game, 10 max.\n"), 1);
}

TEST_F(DownloadLimitsTest, FilesThatNeedNothingAreMarkedButNotLogged) {
  ASSERT_TRUE(buildProduct("Name=\"Game\" LimitDefault=\"10\"", files(20, 30)));
  file("a.bin")->setNeedsUpdate(true);
  EXPECT_FALSE(check());
  EXPECT_TRUE(file("b.bin")->limitExceeded());
  EXPECT_EQ(client.countLogged("Download Limit Exceeded. [<Unnamed>] File not updated: b.bin\n"), 0);
  EXPECT_EQ(client.countLogged("Download Limit Exceeded. [<Unnamed>] File not updated: a.bin\n"), 1);
}

TEST_F(DownloadLimitsTest, EnvironmentLimitMarksTheEnvironmentProduct) {
  ASSERT_TRUE(buildProduct("Name=\"Game\" DistributionTypeB=\"Beta\" LimitTypeB=\"10\"",
                           "<Distribution Name=\"Beta\"><File Name=\"beta.bin\" TotalSize=\"25\" FileEnvB=\"yes\"/>"
                           "</Distribution>"));
  markAllStale(tree());
  tree()->setLimitFlags(kInitialLimitFlags | scan::kEnvironmentB);
  EXPECT_FALSE(check());
  EXPECT_EQ(tree()->limitFlags(), kInitialLimitFlags | scan::kEnvironmentB) << "the limit flags are restored";
  EXPECT_TRUE(client.logged("Limit (Type B) exceeded: 25 bytes requested for distribution Beta, 10 max.\n"));
  ASSERT_THAT(client.errorCodes(), ElementsAre(86));
  EXPECT_EQ(session.limitWarnings(), 1);
  EXPECT_EQ(client.errors()[0].message, "Download size exceeded for distribution \"Beta\".\n");
  EXPECT_TRUE(distribution("Beta")->limitExceeded());
  EXPECT_FALSE(tree()->limitExceeded());
}

TEST_F(DownloadLimitsTest, EnvironmentWithoutAProductOrWithoutALimitNeverFails) {
  ASSERT_TRUE(buildProduct("Name=\"Game\" DistributionTypeA=\"Missing\" LimitTypeA=\"1\" DistributionTypeC=\"Beta\"",
                           "<Distribution Name=\"Beta\"><File Name=\"beta.bin\" TotalSize=\"25\"/></Distribution>"));
  markAllStale(tree());
  tree()->setLimitFlags(kInitialLimitFlags | scan::kEnvironmentA | scan::kEnvironmentC);
  EXPECT_TRUE(check());
  EXPECT_THAT(client.errors(), IsEmpty());
  EXPECT_EQ(session.limitWarnings(), 0);
}

TEST_F(DownloadLimitsTest, NestedDistributionsAreCheckedButDoNotFailTheirParent) {
  ASSERT_TRUE(buildProduct("Name=\"Game\"", "<Distribution Name=\"Extra\" LimitDefault=\"5\">"
                                            "<File Name=\"extra.bin\" TotalSize=\"6\"/></Distribution>"));
  markAllStale(tree());
  EXPECT_TRUE(check());
  EXPECT_TRUE(distribution("Extra")->limitExceeded());
  EXPECT_TRUE(client.logged("Limit exceeded: 6 bytes requested for distribution Extra, 5 max.\n"));
}

TEST_F(DownloadLimitsTest, NoFlagsChecksNothing) {
  ASSERT_TRUE(buildProduct("Name=\"Game\" LimitDefault=\"1\"", files(20, 0)));
  markAllStale(tree());
  EXPECT_TRUE(top().checkLimits(0));
  EXPECT_FALSE(tree()->limitExceeded());
}

}  // namespace
}  // namespace korvel
