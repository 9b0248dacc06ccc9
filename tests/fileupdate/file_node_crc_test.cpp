// Tests of the file node's CRC comparison through the session's patch cache, and of file removal.
#include "fileupdate/file_node.h"

#include <gtest/gtest.h>

#include "patchcache/patch_cache.h"
#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

constexpr std::uint32_t kCrc123456789 = 0xcbf43926u;

class FileNodeCrcTest : public test::ModelTest {
 protected:
  void build(const std::string& crc) {
    ASSERT_TRUE(buildProduct("Name=\"P\" Title=\"The Game\"",
                             "<Directory Name=\"data\"><File Name=\"f.pak\" CRC=\"" + crc +
                                 "\" TimeStamp=\"2004:11:17:00:57:29\"/></Directory>"));
    f = file("f.pak");
    folder = dir.file("data");
  }
  FileNode* f = nullptr;
  std::string folder;
};

TEST_F(FileNodeCrcTest, AMatchingCrcStampsTheFileAndIsRemembered) {
  build(std::to_string(kCrc123456789));
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", "123456789"));
  EXPECT_FALSE(f->compareCrc(folder));
  EXPECT_TRUE(f->existsLocally());
  EXPECT_EQ(f->localCrc(), kCrc123456789);
  platform::FileInfo info;
  ASSERT_TRUE(platform::fileInfo(folder + "\\f.pak", info));
  EXPECT_EQ(info.modifiedSeconds, f->timeStamp());
  const PatchCacheEntry* entry = session.patchCache().entry("data\\f.pak");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(static_cast<std::uint32_t>(entry->crc()), kCrc123456789);
  EXPECT_EQ(entry->size(), 9);
  EXPECT_EQ(entry->timeStamp(), f->timeStamp());
}

TEST_F(FileNodeCrcTest, ADifferentCrcIsADiscrepancyWithItsLogLine) {
  build("5");
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", "123456789"));
  EXPECT_TRUE(f->compareCrc(folder));
  EXPECT_TRUE(client.logged("--- File Discrepancy C for [The Game] " + folder + "\\f.pak: local " +
                            std::to_string(static_cast<std::int32_t>(kCrc123456789)) + ": server 5\n"));
}

TEST_F(FileNodeCrcTest, TheRememberedCrcAnswersWithoutReadingTheFile) {
  build("77");
  session.patchCache().remember("data\\f.pak", 77, 1, 2);
  EXPECT_FALSE(f->compareCrc(folder));
  EXPECT_EQ(f->localCrc(), 77u);
  EXPECT_FALSE(test::exists(folder + "\\f.pak"));
}

TEST_F(FileNodeCrcTest, NoCrcKnownOrACancelledSessionIsNoDiscrepancy) {
  build("0");
  EXPECT_FALSE(f->compareCrc(folder));
  EXPECT_FALSE(f->existsLocally());

  build("5");
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", "123456789"));
  session.stop();
  EXPECT_FALSE(f->compareCrc(folder));
  EXPECT_EQ(f->localCrc(), 0u) << "a stopped computation gives no CRC";
}

TEST_F(FileNodeCrcTest, RemoveDeletedDeletesOnlyWritableMarkedFiles) {
  build("5");
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", "x"));
  session.patchCache().remember("data\\f.pak", 5, 1, 1);
  EXPECT_TRUE(f->removeDeleted(folder));
  EXPECT_TRUE(test::exists(folder + "\\f.pak")) << "not marked";

  f->markDelete();
  ASSERT_TRUE(platform::setFileAttributes(folder + "\\f.pak", platform::kAttributeReadOnly));
  EXPECT_TRUE(f->removeDeleted(folder));
  EXPECT_TRUE(test::exists(folder + "\\f.pak")) << "read-only";

  ASSERT_TRUE(platform::setFileAttributes(folder + "\\f.pak", platform::kAttributeNormal));
  EXPECT_TRUE(f->removeDeleted(folder));
  EXPECT_FALSE(test::exists(folder + "\\f.pak"));
  EXPECT_FALSE(f->isDeleteMarked());
  EXPECT_EQ(session.patchCache().entry("data\\f.pak"), nullptr);
  EXPECT_TRUE(client.logged("FileDownloader::Delete() '" + folder + "\\f.pak'\n"));
}

}  // namespace
}  // namespace korvel
