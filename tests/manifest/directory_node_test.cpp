// Tests of directory nodes: composed paths, placement on disk, folder creation and removal.
#include "manifest/directory_node.h"

#include <gtest/gtest.h>

#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

using DirectoryNodeTest = test::ModelTest;

TEST_F(DirectoryNodeTest, PathsAreComposedFromTheParentsAndPassedToTheFiles) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Directory Name=\"data\"><Directory Name=\"maps\" LocalName=\"Maps\">"
                           "<File Name=\"m.pak\"/></Directory><File Name=\"a.pak\"/></Directory>"
                           "<Directory Name=\".\" RemotePath=\"v2\"><File Name=\"top.pak\"/>"
                           "<Directory Name=\"sub\"><File Name=\"s.pak\"/></Directory></Directory>"));
  EXPECT_EQ(directory("data")->localPath(), "data");
  EXPECT_EQ(directory("data")->remotePath(), "data");
  EXPECT_EQ(directory("data")->localName(), "data");
  EXPECT_EQ(directory("maps")->localPath(), "data\\Maps");
  EXPECT_EQ(directory("maps")->remotePath(), "data\\Maps");
  EXPECT_EQ(file("a.pak")->localPath(), "data\\a.pak");
  EXPECT_EQ(file("m.pak")->localPath(), "data\\Maps\\m.pak");
  EXPECT_EQ(file("m.pak")->remotePath(), "data\\Maps\\m.pak");
  EXPECT_EQ(directory("maps")->fullPath("C:\\game"), "C:\\game\\Maps");
  // "Name" "." is the folder above, locally and (without a RemotePath) on the server.
  EXPECT_EQ(directory(".")->fullPath("C:\\game"), "C:\\game");
  EXPECT_EQ(file("top.pak")->localPath(), "top.pak");
  EXPECT_EQ(file("top.pak")->remotePath(), "v2\\top.pak");
  EXPECT_EQ(directory("sub")->fullPath(directory(".")->fullPath("C:\\game")), "C:\\game\\sub");
  EXPECT_EQ(file("s.pak")->localPath(), "sub\\s.pak");
  EXPECT_EQ(file("s.pak")->remotePath(), "v2\\sub\\s.pak");
}

TEST_F(DirectoryNodeTest, PathAttributesReplaceTheComposedPaths) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Directory Name=\"x\" LocalPath=\"elsewhere\\there\" RemotePath=\"/srv/x\"/>"
                           "<Directory Name=\"home\" LocalPath=\"::HomeDirectory::\"><File Name=\"h\"/></Directory>"
                           "<Directory Name=\"cur\" LocalPath=\"::currentdirectory::\"/>"));
  EXPECT_EQ(directory("x")->localPath(), "elsewhere\\there");
  EXPECT_EQ(directory("x")->remotePath(), "/srv/x");
  EXPECT_EQ(directory("home")->localPath(), std::nullopt);
  EXPECT_EQ(file("h")->localPath(), "h");
  EXPECT_EQ(directory("home")->fullPath("base"), "base\\home");
  EXPECT_EQ(directory("cur")->localPath(), std::nullopt) << "a distribution gives no parent path";
}

TEST_F(DirectoryNodeTest, AnAbsoluteLocalPathPlacesTheFolderWhateverTheBase) {
  const std::string games = dir.file("Games");
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Directory Name=\"x\" LocalPath=\"" + games + "\"><Directory Name=\"y\"/></Directory>"
                           "<Directory Name=\"dot\" LocalName=\".\"/>"
                           "<Directory Name=\"dot2\" LocalName=\".\" LocalPath=\"" + games + "\"/>"));
  EXPECT_EQ(directory("x")->fullPath("anything"), games + "\\x");
  // The nested folder lives in x's folder, not in a second "y" under the attribute's folder.
  EXPECT_EQ(directory("y")->fullPath(directory("x")->fullPath("anything")), games + "\\x\\y");
  EXPECT_EQ(directory("dot")->fullPath("base"), "base");
  EXPECT_EQ(directory("dot")->fullPath(nullptr), platform::currentDirectory());
  EXPECT_EQ(directory("dot2")->fullPath("base"), games);
}

TEST_F(DirectoryNodeTest, SetRootOverridePushesEachFoldersPathDown) {
  const std::string games = dir.file("Games");
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Directory Name=\"d\"><Directory Name=\"e\"/></Directory>"
                           "<Directory Name=\"abs\" LocalPath=\"" + games + "\"/><Directory Name=\"dot\" LocalName=\".\"/>"));
  tree()->setRootOverride("R");
  EXPECT_EQ(tree()->rootPath(), "R");
  EXPECT_EQ(directory("d")->rootOverride(), "R\\d");
  EXPECT_EQ(directory("e")->rootOverride(), "R\\d\\e");
  EXPECT_EQ(directory("abs")->rootOverride(), games + "\\abs");
  EXPECT_EQ(directory("dot")->rootOverride(), "R");
  tree()->clearRootOverride();
  EXPECT_EQ(directory("e")->rootOverride(), std::nullopt);
}

TEST_F(DirectoryNodeTest, DownloadCreatesTheFolderOnlyWhenAnUpdateIsNeeded) {
  ASSERT_TRUE(buildProduct("Name=\"P\"", "<Directory Name=\"d\"><File Name=\"f\"/></Directory>"
                                         "<Directory Name=\"gone\" Delete=\"1\"/>"));
  EXPECT_EQ(directory("d")->download(0, nullptr, dir.path()), 1);
  EXPECT_FALSE(test::exists(dir.file("d")));
  directory("d")->setNeedsUpdate(true);
  EXPECT_EQ(directory("d")->download(0, nullptr, dir.path()), 0);
  EXPECT_TRUE(test::exists(dir.file("d")));
  directory("gone")->setNeedsUpdate(true);
  EXPECT_EQ(directory("gone")->download(0, nullptr, dir.path()), 0);
  EXPECT_FALSE(test::exists(dir.file("gone")));
}

TEST_F(DirectoryNodeTest, CrcScanCreatesFoldersOfDirectoriesThatStay) {
  ASSERT_TRUE(buildProduct("Name=\"P\"", "<Directory Name=\"d\"><Directory Name=\"e\"/></Directory>"
                                         "<Directory Name=\"gone\" Delete=\"1\"/>"));
  EXPECT_TRUE(tree()->crcScan(false, 0, dir.path()));
  EXPECT_TRUE(test::exists(dir.file("d\\e")));
  EXPECT_FALSE(test::exists(dir.file("gone")));
  session.stop();
  EXPECT_FALSE(directory("d")->crcScan(false, 0, dir.path()));
}

TEST_F(DirectoryNodeTest, RemoveDeletedEmptiesTheFolderFirstAndKeepsDotFolders) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Directory Name=\"old\" Delete=\"yes\"><File Name=\"f\"/></Directory>"
                           "<Directory Name=\"here\" LocalName=\".\" Delete=\"yes\"><File Name=\"g\"/></Directory>"
                           "<Directory Name=\".\" Delete=\"yes\"><File Name=\"h\"/></Directory>"));
  ASSERT_TRUE(test::writeFile(dir.file("h"), "3"));
  ASSERT_TRUE(test::writeFile(dir.file("old\\f"), "1"));
  ASSERT_TRUE(test::writeFile(dir.file("old\\PatchCache.xml"), "<x/>"));
  ASSERT_TRUE(test::writeFile(dir.file("g"), "2"));
  EXPECT_TRUE(tree()->removeDeleted(dir.path()));
  EXPECT_FALSE(test::exists(dir.file("old")));
  EXPECT_FALSE(test::exists(dir.file("g")));
  EXPECT_FALSE(test::exists(dir.file("h")));
  EXPECT_TRUE(test::exists(dir.path()));
  EXPECT_FALSE(directory("old")->isDeleteMarked());
  EXPECT_FALSE(directory("here")->isDeleteMarked());
}

TEST_F(DirectoryNodeTest, CountsAddUpTheFilesBelow) {
  ASSERT_TRUE(buildProduct("Name=\"P\"",
                           "<Directory Name=\"d\"><File Name=\"a\" TotalSize=\"5\"/>"
                           "<Directory Name=\"e\"><File Name=\"b\" TotalSize=\"7\" DownloadSize=\"3\"/></Directory></Directory>"));
  file("a")->setNeedsUpdate(true);
  file("b")->setNeedsUpdate(true);
  EXPECT_EQ(directory("d")->countFiles(nullptr, 0), 2);
  EXPECT_EQ(directory("d")->countDownloadBytes(nullptr, 0), 12);
  EXPECT_EQ(directory("d")->countCompressedBytes(nullptr, 0), 3);
  EXPECT_EQ(directory("d")->largestSpaceNeeded(nullptr, 0), 10);
}

}  // namespace
}  // namespace korvel
