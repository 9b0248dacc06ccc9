// Tests of the directory snapshot: lookups in any letter case, the last-found shortcut, replacement
// of records and 64-bit sizes.
#include "patchcache/directory_snapshot.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

class DirectorySnapshotTest : public test::TempDirTest {
 protected:
  DirectorySnapshot snapshot;
};

TEST_F(DirectorySnapshotTest, FindsWalkedFilesInAnyLetterCase) {
  ASSERT_TRUE(test::writeFile(dir.file("data\\a.bin"), "12345"));
  ASSERT_TRUE(test::setModified(dir.file("data\\a.bin"), 1'200'000'000));
  ASSERT_TRUE(test::writeFile(dir.file("top.txt"), ""));
  EXPECT_TRUE(snapshot.scanFolder(dir.path()));

  std::int32_t attributes = -1;
  std::int64_t size = -1;
  std::int32_t time = -1;
  ASSERT_TRUE(snapshot.find("DATA\\A.BIN", &attributes, &size, &time));
  EXPECT_EQ(size, 5);
  EXPECT_EQ(time, 1'200'000'000);
  EXPECT_EQ(static_cast<std::uint32_t>(attributes) & platform::kAttributeDirectory, 0u);
  EXPECT_TRUE(snapshot.find("top.TXT", nullptr, &size, nullptr));
  EXPECT_EQ(size, 0);
  EXPECT_EQ(snapshot.records().size(), 2u);
}

TEST_F(DirectorySnapshotTest, FoldersAreNotRecordedAndUnknownOrEmptyNamesAreNotFound) {
  ASSERT_TRUE(test::writeFile(dir.file("data\\a.bin"), "1"));
  snapshot.scanFolder(dir.path());
  EXPECT_FALSE(snapshot.find("data", nullptr, nullptr, nullptr));
  EXPECT_FALSE(snapshot.find("", nullptr, nullptr, nullptr));
  EXPECT_FALSE(snapshot.find("data\\a.bi", nullptr, nullptr, nullptr));
  EXPECT_FALSE(snapshot.find("data\\a.bin2", nullptr, nullptr, nullptr));
}

TEST_F(DirectorySnapshotTest, LastFoundFollowsSuccessfulFindsOnly) {
  snapshot.visitFileWithTime("a.bin", dir.path(), 0, 1, 10);
  snapshot.visitFileWithTime("b.bin", dir.path(), 0, 2, 20);
  EXPECT_EQ(snapshot.lastFound(), nullptr);

  std::int64_t size = 0;
  ASSERT_TRUE(snapshot.find("A.BIN", nullptr, &size, nullptr));
  ASSERT_NE(snapshot.lastFound(), nullptr);
  ASSERT_NE(snapshot.lastFoundPath(), nullptr);
  EXPECT_EQ(*snapshot.lastFoundPath(), "a.bin");
  ASSERT_TRUE(snapshot.find("a.bin", nullptr, &size, nullptr));
  EXPECT_EQ(size, 1);

  EXPECT_FALSE(snapshot.find("c.bin", nullptr, nullptr, nullptr));
  EXPECT_EQ(*snapshot.lastFoundPath(), "a.bin");
  ASSERT_TRUE(snapshot.find("b.bin", nullptr, &size, nullptr));
  EXPECT_EQ(size, 2);
  EXPECT_EQ(*snapshot.lastFoundPath(), "b.bin");
}

TEST_F(DirectorySnapshotTest, LaterVisitOfTheSameNameReplacesTheRecord) {
  snapshot.visitFileWithTime("Data\\A.bin", dir.path(), 0, 1, 10);
  ASSERT_TRUE(snapshot.find("data\\a.bin", nullptr, nullptr, nullptr));
  EXPECT_TRUE(snapshot.visitFileWithTime("DATA\\a.BIN", dir.path(), 0x20, 7, 70));
  EXPECT_TRUE(snapshot.visitFileWithTime("", dir.path(), 0, 9, 90));

  ASSERT_EQ(snapshot.records().size(), 1u);
  EXPECT_EQ(snapshot.records().begin()->first, "DATA\\a.BIN") << "the key takes the later spelling too";
  std::int32_t attributes = 0;
  std::int64_t size = 0;
  std::int32_t time = 0;
  ASSERT_TRUE(snapshot.find("data\\a.bin", &attributes, &size, &time));
  EXPECT_EQ(attributes, 0x20);
  EXPECT_EQ(size, 7);
  EXPECT_EQ(time, 70);
}

TEST_F(DirectorySnapshotTest, ClearDropsEveryRecordAfterItsHook) {
  struct CountingSnapshot : DirectorySnapshot {
    bool beforeClear() override {
      recordsAtHook = records().size();
      return true;
    }
    std::size_t recordsAtHook = 0;
  } counting;
  counting.visitFileWithTime("a.bin", dir.path(), 0, 1, 10);
  ASSERT_TRUE(counting.find("a.bin", nullptr, nullptr, nullptr));
  counting.clear();
  EXPECT_EQ(counting.recordsAtHook, 1u);
  EXPECT_TRUE(counting.records().empty());
  EXPECT_EQ(counting.lastFound(), nullptr);
  EXPECT_FALSE(counting.find("a.bin", nullptr, nullptr, nullptr));
}

TEST_F(DirectorySnapshotTest, KeepsTheFull64BitSizeOfALargeFile) {
  const std::uint64_t fiveGiB = 5ull << 30;
  ASSERT_TRUE(test::writeFile(dir.file("big.dat"), ""));
  std::error_code error;
  std::filesystem::resize_file(platform::nativePath(dir.file("big.dat")), fiveGiB, error);
  if (error) GTEST_SKIP() << "no sparse 5 GiB file here: " << error.message();

  snapshot.scanFolder(dir.path());
  std::int64_t size = 0;
  ASSERT_TRUE(snapshot.find("BIG.DAT", nullptr, &size, nullptr));
  EXPECT_EQ(static_cast<std::uint64_t>(size), fiveGiB);
}

}  // namespace
}  // namespace korvel
