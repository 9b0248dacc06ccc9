// Names from the manifest that could reach outside the installation: such entries are left out of the
// tree with one log line, the rest of the manifest still works, and nothing outside is deleted.
#include <gtest/gtest.h>

#include "fileupdate/file_node.h"
#include "platform/files.h"
#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

using UnsafeNamesTest = test::ModelTest;

TEST_F(UnsafeNamesTest, EntriesWithUnsafeNamesAreLeftOutAndTheirSiblingsStay) {
  const char* const refused[] = {"..\\escape.txt", "../escape.txt", "\\etc\\passwd", "C:\\x.dat", "CON",
                                 "trailing.", "sub\\dir.dat", "."};
  std::string body = "<Directory Name=\"..\"><File Name=\"under.dat\"/></Directory>"
                     "<Directory Name=\"data\" LocalName=\".\"><File Name=\"kept.dat\"/>"
                     "<File Name=\"a.dat\" TempFilename=\"..\\t.tmp\"/></Directory>"
                     "<File Name=\"remote.dat\" LocalName=\"..\\local.dat\"/>";
  for (const char* name : refused) body += std::string("<File Name=\"") + name + "\"/>";
  body += "<File Name=\"good.dat\"/>";
  ASSERT_TRUE(buildProduct("Name=\"P\" Server=\"patch.host\"", body));

  EXPECT_NE(file("good.dat"), nullptr);
  EXPECT_NE(file("kept.dat"), nullptr) << "a directory's LocalName \".\" is its parent's folder";
  EXPECT_EQ(directory(".."), nullptr);
  EXPECT_EQ(file("under.dat"), nullptr) << "refused with the directory it lies in";
  EXPECT_EQ(file("a.dat"), nullptr) << "a TempFilename counts too";
  EXPECT_EQ(file("remote.dat"), nullptr);
  for (const char* name : refused) {
    EXPECT_EQ(node(name), nullptr) << name;
    EXPECT_TRUE(client.logged(std::string("Manifest entry refused, \"") + name +
                              "\" is not a plain file or folder name.\n"))
        << name;
  }
}

TEST_F(UnsafeNamesTest, EntriesWithSizesThatAreNoByteCountsAreLeftOut) {
  ASSERT_TRUE(buildProduct("Name=\"P\" Server=\"patch.host\"",
                           "<File Name=\"negative.dat\" TotalSize=\"-5\"/>"
                           "<File Name=\"huge.dat\" DownloadSize=\"99999999999999999999\"/>"
                           "<File Name=\"delta.dat\"><DeltaFile FilePath=\"d\" CRC=\"1\" TotalSize=\"-1\"/></File>"
                           "<File Name=\"big.dat\" TotalSize=\"8589934592\"/>"));
  for (const char* name : {"negative.dat", "huge.dat", "delta.dat"}) {
    EXPECT_EQ(node(name), nullptr) << name;
    EXPECT_TRUE(client.logged(std::string("Manifest entry refused, \"") + name +
                              "\" gives a size that is not a byte count.\n"))
        << name;
  }
  ASSERT_NE(file("big.dat"), nullptr);
  EXPECT_EQ(file("big.dat")->totalSize(), 8589934592LL);
}

TEST_F(UnsafeNamesTest, ADeleteMarkedFileOutsideTheInstallationIsNotDeleted) {
  const std::string game = dir.file("game");
  ASSERT_TRUE(platform::createDirectory(game));
  ASSERT_TRUE(test::writeFile(dir.file("victim.txt"), "the player's file"));
  ASSERT_TRUE(test::writeFile(game + "\\inside.txt", "to go"));
  ASSERT_TRUE(buildProduct("Name=\"P\" Server=\"patch.host\"",
                           "<File Name=\"..\\victim.txt\" Delete=\"1\"/><File Name=\"inside.txt\" Delete=\"1\"/>"));
  top().removeDeleted(game);
  EXPECT_EQ(test::readFile(dir.file("victim.txt")), "the player's file");
  EXPECT_FALSE(test::exists(game + "\\inside.txt")) << "the plain name is deleted as before";
}

TEST_F(UnsafeNamesTest, APathTooLongForItsBufferIsRefusedNotCut) {
  ASSERT_TRUE(buildProduct("Name=\"P\" Server=\"patch.host\"", "<File Name=\"f.dat\"/>"));
  FileNode* f = file("f.dat");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->localFile(dir.path()), dir.path() + "\\f.dat");
  // A folder of 256 characters or a whole path of 512 would have been cut, naming another file.
  EXPECT_EQ(f->localFile(dir.path() + "\\" + std::string(300, 'd')), "");
  EXPECT_EQ(f->localFile(std::string(255 - 6, 'd')), std::string(255 - 6, 'd') + "\\f.dat");
}

}  // namespace
}  // namespace korvel
