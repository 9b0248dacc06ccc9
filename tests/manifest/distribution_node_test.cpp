// Tests of products and distributions: selection, stagers, environment types, the walk rules,
// restriction and change notes.
#include "manifest/distribution_node.h"

#include <gtest/gtest.h>

#include "staging/trickle_downloader.h"
#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

using DistributionNodeTest = test::ModelTest;

ProductRecord& recordOf(DistributionNode* node) { return node->product()->record(); }

TEST_F(DistributionNodeTest, OptionalIsInheritedUnlessSetAndDecidesSelection) {
  ASSERT_TRUE(buildProduct("Name=\"P\" Optional=\"true\"",
                           "<Distribution Name=\"A\"/><Distribution Name=\"B\" Optional=\"false\"/>"));
  EXPECT_FALSE(top().selected());
  EXPECT_TRUE(recordOf(distribution("A")).optional());
  EXPECT_TRUE(recordOf(distribution("B")).optional());
  EXPECT_FALSE(recordOf(distribution("B")).selected());

  ASSERT_TRUE(buildProduct("Name=\"Q\" Live=\"false\"",
                           "<Distribution Name=\"C\" Optional=\"yes\"/><Distribution Name=\"D\"/>"));
  EXPECT_FALSE(top().selected()) << "a product that is not live starts unselected";
  EXPECT_FALSE(recordOf(distribution("D")).live());
  EXPECT_FALSE(recordOf(distribution("D")).selected());

  ASSERT_TRUE(buildProduct("Name=\"R\"", "<Distribution Name=\"E\" Optional=\"1\"/><Distribution Name=\"F\"/>"));
  EXPECT_TRUE(top().selected());
  EXPECT_FALSE(recordOf(distribution("E")).selected());
  EXPECT_TRUE(recordOf(distribution("F")).selected());
  EXPECT_EQ(distribution("F")->services(), &session);
  EXPECT_FALSE(distribution("F")->doesNotOwnProduct());
  EXPECT_TRUE(tree()->doesNotOwnProduct());
}

TEST_F(DistributionNodeTest, NonLiveDistributionsMakeTheStagerAndTheLastOneStays) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Distribution Name=\"S1\" Live=\"false\" Server=\"stage.host\" Port=\"8080\"/>"
                           "<Distribution Name=\"S2\" Live=\"no\" Version=\"12\"><File Name=\"x\"/></Distribution>"));
  EXPECT_TRUE(tree()->children().empty());
  auto* stager = dynamic_cast<TrickleDownloader*>(tree()->stager());
  ASSERT_NE(stager, nullptr);
  EXPECT_EQ(stager->name(), "S2");
  EXPECT_EQ(stager->version(), "12");
  EXPECT_TRUE(client.logged("TrickleDownloader created for 'P' distribution 'S1'.\n"));
  EXPECT_TRUE(client.logged("TrickleDownloader VIP is 'stage.host:8080'.\n"));
  EXPECT_TRUE(client.logged("TrickleDownloader created for 'P' distribution 'S2'.\n"));
  EXPECT_TRUE(client.logged("TrickleDownloader VIP is not set - using main VIP.\n"));

  tree()->scan(0, nullptr, dir.path());
  EXPECT_TRUE(client.logged("TrickleDownloader disabled, skipping stage operation\n"));
}

TEST_F(DistributionNodeTest, TypeNamesFallBackToTheOlderAttributesOnlyWhenAbsent) {
  ASSERT_TRUE(buildProduct("Name=\"P\" TestDistribution=\"T\" BetaDistribution=\"B\" DistributionTypeC=\"C\"",
                           "<Distribution Name=\"N\" DistributionTypeA=\"A\" TestDistribution=\"T\" "
                           "LimitDefault=\"1000\" LimitTypeD=\"7x\"/>"));
  EXPECT_EQ(tree()->typeName(0), "T");
  EXPECT_EQ(tree()->typeName(1), "B");
  EXPECT_EQ(tree()->typeName(2), "C");
  EXPECT_EQ(tree()->typeName(3), std::nullopt);
  EXPECT_EQ(distribution("N")->typeName(0), "A");
  EXPECT_EQ(distribution("N")->limit(0), 1000);
  EXPECT_EQ(distribution("N")->limit(4), 7);
  EXPECT_EQ(distribution("N")->limitFlags(), kInitialLimitFlags);
}

TEST_F(DistributionNodeTest, EnvironmentLookupFindsProductsByNameAndMarksThem) {
  ASSERT_TRUE(buildProduct("Name=\"P\" DistributionTypeA=\"env one\" DistributionTypeB=\"missing\"",
                           "<Distribution Name=\"Env One\"/><Distribution Name=\"Other\" DistributionTypeD=\"P\"/>"));
  EXPECT_EQ(tree()->environmentDistribution(0), distribution("Env One")->product());
  EXPECT_TRUE(distribution("Env One")->servesEnvironment(0));
  EXPECT_EQ(tree()->environmentDistribution(1), nullptr);
  EXPECT_EQ(tree()->environmentDistribution(4), nullptr);
  EXPECT_EQ(distribution("Env One")->environmentDistribution(0), nullptr);

  EXPECT_FALSE(tree()->servesEnvironment(3));
  session.products().linkEnvironments();
  EXPECT_TRUE(tree()->servesEnvironment(3));
}

// P's own files, an optional (unselected) nested distribution N between them, and N's file.
class DistributionWalkTest : public DistributionNodeTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(buildProduct("Name=\"P\"",
                             "<File Name=\"f1\" TotalSize=\"10\"/>"
                             "<Distribution Name=\"N\" Optional=\"true\"><File Name=\"n1\" TotalSize=\"100\"/></Distribution>"
                             "<File Name=\"f2\" TotalSize=\"1000\"/>"));
  }
  int countAll() {
    tree()->setPassFlag(pass::kCounted, false);
    return tree()->countFiles(nullptr, 0);
  }
};

TEST_F(DistributionWalkTest, InactiveDistributionsAreEnteredButTheirFilesSkipped) {
  EXPECT_EQ(countAll(), 2);
  tree()->setPassFlag(pass::kCounted, false);
  EXPECT_EQ(tree()->countBytes(nullptr, 0), 1010);

  recordOf(distribution("N")).setSelected(true, true);
  EXPECT_EQ(countAll(), 3);

  top().setSelected(false, false);
  recordOf(distribution("N")).setSelected(false, true);
  recordOf(distribution("N")).setSelected(true, false);
  EXPECT_EQ(countAll(), 1) << "an inactive product still walks its nested distributions";
}

TEST_F(DistributionWalkTest, MarkDeleteAndRemoveDeletedFollowTheActiveProduct) {
  top().setSelected(false, false);
  tree()->markDelete();
  EXPECT_TRUE(tree()->isDeleteMarked());
  EXPECT_TRUE(distribution("N")->isDeleteMarked());
  EXPECT_FALSE(file("f1")->isDeleteMarked());
  EXPECT_FALSE(file("n1")->isDeleteMarked()) << "N's product is not active";

  ASSERT_TRUE(test::writeFile(dir.file("f1"), "x"));
  file("f1")->markDelete();
  EXPECT_TRUE(tree()->removeDeleted(dir.path()));
  EXPECT_TRUE(test::exists(dir.file("f1"))) << "nothing is removed for an inactive product";
  top().setSelected(true, false);
  EXPECT_TRUE(tree()->removeDeleted(dir.path()));
  EXPECT_FALSE(test::exists(dir.file("f1")));
}

TEST_F(DistributionWalkTest, DownloadLogsTheActiveDistributionAndClearsItsFlag) {
  tree()->setNeedsUpdate(true);
  EXPECT_EQ(tree()->download(0, nullptr, dir.path()), 0);
  EXPECT_FALSE(tree()->updateNeeded());
  EXPECT_EQ(client.countLogged("Downloading Distribution P ------------------\n"), 1);
  EXPECT_FALSE(client.logged("Downloading Distribution N ------------------\n"));
}

TEST_F(DistributionNodeTest, AnUpToDateDirectoryLeavesItsResultInTheDistribution) {
  const std::string root = dir.file("game");
  ASSERT_TRUE(buildProduct("Name=\"P\" Root=\"" + root + "\"",
                           "<Directory Name=\"current\"><File Name=\"a\"/></Directory>"));
  tree()->setNeedsUpdate(true);
  EXPECT_EQ(tree()->download(0, nullptr, nullptr), 1);
  EXPECT_TRUE(tree()->updateNeeded());
  EXPECT_TRUE(test::exists(root)) << "the root folder is created first";
  EXPECT_FALSE(test::exists(root + "\\current"));
}

// P names its nested distribution Env as environment A; Env is optional, so only the environment pass
// reaches its files, and there only the ones marked for environments.
class EnvironmentPassTest : public DistributionNodeTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(buildProduct("Name=\"P\" DistributionTypeA=\"Env\"",
                             "<File Name=\"own\" TotalSize=\"1\"/>"
                             "<Distribution Name=\"Env\" Optional=\"true\">"
                             "<File Name=\"extra\" XtraFile=\"1\" TotalSize=\"10\"/>"
                             "<File Name=\"plain\" TotalSize=\"100\"/>"
                             "<File Name=\"typeA\" FileEnvA=\"1\" TotalSize=\"1000\"/>"
                             "<File Name=\"typeB\" FileEnvB=\"1\" TotalSize=\"10000\"/></Distribution>"));
  }
};

TEST_F(EnvironmentPassTest, SelectedEnvironmentAddsItsMarkedFilesAndIsRestored) {
  EXPECT_EQ(tree()->countBytes(nullptr, 0), 1) << "no environment selected";
  tree()->setPassFlag(pass::kCounted, false);
  EXPECT_EQ(tree()->countBytes(nullptr, scan::kEnvironmentA), 1 + 10 + 10000);
  EXPECT_FALSE(recordOf(distribution("Env")).isActive());
  EXPECT_EQ(distribution("Env")->limitFlags(), kInitialLimitFlags);
  tree()->setPassFlag(pass::kCounted, false);
  EXPECT_EQ(tree()->countFiles(nullptr, scan::kEnvironmentA), 3);
}

TEST_F(EnvironmentPassTest, EnvironmentsNamingEachOtherAreNotEnteredAgain) {
  ASSERT_TRUE(buildProduct("Name=\"P\" DistributionTypeA=\"P\" DistributionTypeB=\"Q\"",
                           "<File Name=\"own\" XtraFile=\"1\" TotalSize=\"1\"/>"
                           "<Distribution Name=\"Q\" DistributionTypeB=\"P\">"
                           "<File Name=\"q\" XtraFile=\"1\" TotalSize=\"2\"/></Distribution>"));
  EXPECT_EQ(tree()->largestSpaceNeeded(nullptr, scan::kEnvironmentA | scan::kEnvironmentB), 2);
  EXPECT_EQ(tree()->countBytes(nullptr, scan::kEnvironmentA | scan::kEnvironmentB), 3);
}

TEST_F(DistributionNodeTest, RestrictionNeedsTheRestrictedFileAndBindsNestedProducts) {
  const std::string root = dir.file("game");
  ASSERT_TRUE(buildProduct("Name=\"P\" Root=\"" + root + "\" Restricted=\"1\" RestrictedFile=\"key.dat\"",
                           "<Distribution Name=\"N\"/>"));
  tree()->aggregateFlags();
  EXPECT_FALSE(top().accessible());
  EXPECT_FALSE(top().isActive());
  EXPECT_FALSE(recordOf(distribution("N")).accessible()) << "on the first aggregation already";

  ASSERT_TRUE(test::writeFile(root + "\\key.dat", "k"));
  tree()->aggregateFlags();
  EXPECT_TRUE(top().isActive());
  EXPECT_TRUE(recordOf(distribution("N")).accessible());
}

TEST(ProductRecordTest, ChangeNotesAreOrderedByVersionKeepingArrivalOrderForEqualOnes) {
  ProductRecord record(nullptr, nullptr, nullptr, nullptr);
  record.addChangeNote(3, "three");
  record.addChangeNote(1, "one");
  record.addChangeNote(2, "two");
  record.addChangeNote(2, "two again");
  std::vector<std::string> texts;
  for (const ChangeNote& note : record.changeNotes()) texts.push_back(note.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"one", "two", "two again", "three"}));
  EXPECT_EQ(record.baseDirectory("x"), std::nullopt) << "no base without a session";
}

}  // namespace
}  // namespace korvel
