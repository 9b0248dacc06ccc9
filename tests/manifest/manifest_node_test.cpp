// Tests of the node base: common attributes, inheritance, child creation, servers and base paths.
#include "manifest/manifest_node.h"

#include <gtest/gtest.h>

#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

using ManifestNodeTest = test::ModelTest;

TEST_F(ManifestNodeTest, UseCrcAndDeleteValues) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<File Name=\"absent\" CRC=\"5\"/>"
                           "<File Name=\"yes\" UseCRC=\"yes\" CRC=\"5\"/>"
                           "<File Name=\"no\" UseCRC=\"off\" CRC=\"5\"/>"
                           "<File Name=\"odd\" UseCRC=\"sometimes\" Delete=\"sometimes\" CRC=\"5\"/>"
                           "<File Name=\"gone\" Delete=\"Yes\"/>"));
  EXPECT_EQ(file("absent")->useCrc(), 2);
  EXPECT_EQ(file("yes")->useCrc(), 1);
  EXPECT_EQ(file("no")->useCrc(), 0);
  EXPECT_EQ(file("odd")->useCrc(), 2);
  EXPECT_FALSE(file("odd")->isDeleteMarked());
  EXPECT_TRUE(file("gone")->isDeleteMarked());
  EXPECT_TRUE(file("gone")->deleteCopy());
}

TEST_F(ManifestNodeTest, UsesCrcFollowsUseCrcUpTheTreeAndStopsWhenCancelled) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Directory Name=\"off\" UseCRC=\"no\"><File Name=\"inherits\" CRC=\"5\"/>"
                           "<File Name=\"own\" UseCRC=\"yes\" CRC=\"5\"/></Directory>"
                           "<File Name=\"top\" CRC=\"5\"/>"));
  EXPECT_FALSE(file("inherits")->usesCrc());
  EXPECT_TRUE(file("own")->usesCrc());
  EXPECT_TRUE(file("top")->usesCrc());
  session.stop();
  EXPECT_FALSE(file("own")->usesCrc());
}

TEST_F(ManifestNodeTest, InheritanceOnlySwitchesFlagsOn) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Directory Name=\"d\" Delete=\"true\" IgnoreTimeStamp=\"1\" InstallOnly=\"on\">"
                           "<File Name=\"f\" Delete=\"no\" IgnoreTimeStamp=\"no\" InstallOnly=\"no\" UpgradeOnly=\"t\"/>"
                           "</Directory><Directory Name=\"e\"><File Name=\"g\" UpgradeOnly=\"yes\"/></Directory>"));
  FileNode* f = file("f");
  EXPECT_TRUE(f->isDeleteMarked());
  EXPECT_TRUE(f->ignoreTimeStamp());
  EXPECT_TRUE(f->installOnly());
  EXPECT_TRUE(f->upgradeOnly());
  EXPECT_FALSE(directory("e")->upgradeOnly());
  EXPECT_FALSE(file("g")->ignoreTimeStamp());
}

TEST_F(ManifestNodeTest, ChildrenAreMadeByNameInAnyCaseAndOthersSkipped) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<file Name=\"lower\"/>text<!-- note --><Unknown Name=\"u\"/><DIRECTORY Name=\"d\">"
                           "<Distribution Name=\"notHere\"/><File Name=\"inner\"/></DIRECTORY>"));
  ASSERT_NE(file("lower"), nullptr);
  EXPECT_EQ(file("lower")->parent(), tree());
  EXPECT_EQ(tree()->firstChild(), file("lower"));
  EXPECT_EQ(file("lower")->nextSibling(), directory("d"));
  EXPECT_EQ(directory("d")->previousSibling(), file("lower"));
  EXPECT_EQ(node("u"), nullptr);
  EXPECT_EQ(node("notHere"), nullptr) << "directories hold no distributions";
  EXPECT_EQ(file("inner")->parent(), directory("d"));
  EXPECT_EQ(tree()->children().size(), 2u);
}

TEST_F(ManifestNodeTest, AFileComesFromTheServerNamedAboveItElseFromTheSessionsServers) {
  ASSERT_TRUE(buildProduct("Name=\"P\" Server=\"product.host\" Port=\"81\"",
                           "<Directory Name=\"d\" Server=\"https://dir.host\"><File Name=\"a\" Port=\"99\"/></Directory>"
                           "<File Name=\"b\"/>"));
  EXPECT_EQ(file("a")->remoteFile("x"), RemoteFile::on(ServerAddress{"https", "dir.host", 99}, "x"));
  EXPECT_EQ(file("b")->remoteFile("x"), RemoteFile::on(ServerAddress{"http", "product.host", 81}, "x"));
  EXPECT_EQ(file("b")->remoteFile("x", std::string("own.host")), RemoteFile::on(ServerAddress{"http", "own.host", 81}, "x"))
      << "an element's own server, on the port named above it";

  ASSERT_TRUE(buildProduct("Name=\"Q\"", "<File Name=\"c\"/><File Name=\"d\" Port=\"82\"/>"));
  EXPECT_EQ(file("c")->remoteFile("x"), std::nullopt) << "a session without servers, and none named";
  session.setDefaultServer("main.host,https://mirror.host", 7000);
  EXPECT_EQ(file("c")->remoteFile("x"), RemoteFile::onList("x"));
  EXPECT_EQ(file("d")->remoteFile("x"), RemoteFile::onList("x", 82)) << "a port alone applies to every server";
  EXPECT_EQ(file("c")->remoteFile("x", std::string("https://own.host")),
            RemoteFile::on(ServerAddress{"https", "own.host", 443}, "x"));
}

TEST_F(ManifestNodeTest, LocalBaseTakesAnAbsoluteRootOtherwiseTheBasePath) {
  const std::string root = dir.file("root");
  ASSERT_TRUE(buildProduct("Name=\"P\" Root=\"" + root + "\"", "<Distribution Name=\"rel\" Root=\"relative\"/>"));
  EXPECT_EQ(tree()->localBase("base"), root);
  EXPECT_EQ(distribution("rel")->localBase("base"), "base");
  EXPECT_EQ(distribution("rel")->localBase(nullptr), platform::currentDirectory());
  EXPECT_EQ(tree()->localBase(std::string(600, 'x')).size(), root.size());
  EXPECT_EQ(distribution("rel")->localBase(std::string(600, 'x')).size(), 255u);
}

TEST_F(ManifestNodeTest, EnvironmentSelectionKnowsTypesAToDOnly) {
  ASSERT_TRUE(buildProduct("Name=\"P\"", ""));
  EXPECT_TRUE(tree()->environmentSelected(0, 0x1000));
  EXPECT_TRUE(tree()->environmentSelected(3, 0x8000));
  EXPECT_FALSE(tree()->environmentSelected(1, 0x1000));
  EXPECT_FALSE(tree()->environmentSelected(4, 0xFFFFFFFF));
  EXPECT_FALSE(tree()->environmentSelected(-1, 0xFFFFFFFF));
}

TEST_F(ManifestNodeTest, AggregateFlagsRaisesNeedsUpdateFromEligibleChildren) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Directory Name=\"d\"><File Name=\"f\" FileEnvB=\"1\"/></Directory>"
                           "<Directory Name=\"e\"><File Name=\"g\"/></Directory>"));
  file("f")->setNeedsUpdate(true);
  tree()->aggregateFlags();
  EXPECT_TRUE(directory("d")->updateNeeded());
  EXPECT_TRUE(directory("d")->hasEnvironmentFiles());
  EXPECT_FALSE(directory("e")->updateNeeded());
  EXPECT_FALSE(directory("e")->hasEnvironmentFiles());
  EXPECT_TRUE(tree()->updateNeeded());

  tree()->markDelete();
  tree()->aggregateFlags();
  EXPECT_FALSE(tree()->updateNeeded()) << "a delete-marked distribution needs no update";
  EXPECT_TRUE(file("g")->isDeleteMarked());
}

TEST_F(ManifestNodeTest, DeepNestingAndHugeNamesAreReadWithoutHarm) {
  std::string body;
  const int levels = ManifestNode::kMaxDepth + 20;
  for (int i = 0; i < levels; ++i) body += "<Directory Name=\"d" + std::to_string(i) + "\">";
  body += "<File Name=\"" + std::string(5000, 'n') + "\" TotalSize=\"3\"/>";
  for (int i = 0; i < levels; ++i) body += "</Directory>";
  buildManifest("<KorvelPatcher><Product Name=\"P\">" + body + "</Product></KorvelPatcher>");
  ASSERT_NE(tree(), nullptr);
  int depth = 0;
  for (ManifestNode* n = tree(); n && n->firstChild(); n = n->firstChild()) ++depth;
  EXPECT_EQ(depth, ManifestNode::kMaxDepth - 1);
  EXPECT_EQ(client.countLogged("Manifest nested too deeply below d126; deeper elements ignored.\n"), 1);
  EXPECT_EQ(tree()->countFiles(nullptr, 0), 0);
  // A folder too long for its buffer is not cut (a cut one could name another folder); the files
  // below it refuse it.
  EXPECT_EQ(directory("d3")->fullPath(std::string(300, 'b')).size(), 303u);
}

}  // namespace
}  // namespace korvel
