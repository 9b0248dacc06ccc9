// Tests of the CRC of a file on disk: the cache shortcut, remembering, progress, stops and failures.
#include "fileupdate/file_crc.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "patchcache/patch_cache.h"
#include "platform/faults.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

constexpr std::uint32_t kCrc123456789 = 0xcbf43926u;

// The file node's side of the computation, with the session's stop flag raised after a chosen
// number of asks.
class FakeSubject : public CrcSubject {
 public:
  PatchCache& crcCache() override { return cache; }
  const std::string& crcCacheKey() const override { return key; }
  std::string crcFilePath(const std::string& basePath) const override { return basePath + "\\" + key; }
  std::int64_t crcExpectedSize() const override { return expectedSize; }
  bool crcScanRunning() const override { return scanRunning; }
  bool crcStopping() const override { return stopAfterAsks >= 0 && ++stopAsks > stopAfterAsks; }
  void crcProgress(int position) override { progress.push_back(position); }

  PatchCache cache;
  std::string key = "Data\\File.pak";
  std::int64_t expectedSize = 9;
  bool scanRunning = false;
  int stopAfterAsks = -1;  // never stop
  mutable int stopAsks = 0;
  std::vector<int> progress;
};

class FileCrcTest : public test::TempDirTest {
 protected:
  std::string filePath() const { return dir.file(subject.key); }
  void writeContent(const std::string& content) {
    ASSERT_TRUE(test::writeFile(filePath(), content));
    subject.expectedSize = static_cast<std::int64_t>(content.size());
  }
  // Content of `size` bytes that is not all one value.
  static std::string patterned(std::size_t size) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + i / 251);
    return content;
  }

  FakeSubject subject;
};

TEST_F(FileCrcTest, ComputesAndRemembersTheCrcWithTheFilesTimeAndSize) {
  writeContent("123456789");
  ASSERT_TRUE(test::setModified(filePath(), 1'234'567'890));
  EXPECT_EQ(fileCrc(subject, dir.path()), kCrc123456789);
  const PatchCacheEntry* entry = subject.cache.entry("data\\file.PAK");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(static_cast<std::uint32_t>(entry->crc()), kCrc123456789);
  EXPECT_EQ(entry->timeStamp(), 1'234'567'890);
  EXPECT_EQ(entry->size(), 9);
  EXPECT_TRUE(subject.progress.empty());
}

TEST_F(FileCrcTest, RememberedCrcAnswersWithoutReadingTheFile) {
  subject.cache.remember(subject.key, 42, 1, 2);
  EXPECT_EQ(fileCrc(subject, dir.path()), 42u);
}

TEST_F(FileCrcTest, RunningCrcScanReadsTheFileAndReplacesTheRememberedCrc) {
  writeContent("123456789");
  subject.cache.remember(subject.key, 42, 1, 2);
  subject.scanRunning = true;
  EXPECT_EQ(fileCrc(subject, dir.path()), kCrc123456789);
  EXPECT_EQ(static_cast<std::uint32_t>(subject.cache.cachedCrc(subject.key)), kCrc123456789);
}

TEST_F(FileCrcTest, EmptyOrMissingFileHasNoCrcAndNothingIsRemembered) {
  EXPECT_EQ(fileCrc(subject, dir.path()), 0u);
  writeContent("");
  EXPECT_EQ(fileCrc(subject, dir.path()), 0u);
  EXPECT_EQ(subject.cache.entry(subject.key), nullptr);
}

TEST_F(FileCrcTest, ReadErrorGivesZero) {
  writeContent("123456789");
  platform::faults::failNextRead = true;
  EXPECT_EQ(fileCrc(subject, dir.path()), 0u);
  EXPECT_EQ(subject.cache.entry(subject.key), nullptr);
}

TEST_F(FileCrcTest, ShortReadsGiveTheSameCrc) {
  const std::string content = patterned(100'000);
  writeContent(content);
  const std::uint32_t whole = fileCrc(subject, dir.path());
  subject.cache.clear();
  platform::faults::shortReads = 1000;
  EXPECT_EQ(fileCrc(subject, dir.path()), whole);
  EXPECT_NE(whole, 0u);
}

TEST_F(FileCrcTest, StopDuringTheReadGivesZeroAndRemembersNothing) {
  writeContent(patterned(3 * kCrcChunkBytes));
  subject.expectedSize = 3'000'000;  // large enough to show progress
  subject.stopAfterAsks = 2;         // the check before the loop and after the first chunk pass
  EXPECT_EQ(fileCrc(subject, dir.path()), 0u);
  EXPECT_EQ(subject.stopAsks, 3);
  EXPECT_EQ(subject.cache.entry(subject.key), nullptr);
  EXPECT_EQ(subject.progress, std::vector<int>{0});
}

TEST_F(FileCrcTest, StopBeforeTheReadGivesZero) {
  writeContent("123456789");
  subject.stopAfterAsks = 0;
  EXPECT_EQ(fileCrc(subject, dir.path()), 0u);
  EXPECT_EQ(subject.cache.entry(subject.key), nullptr);
}

TEST_F(FileCrcTest, LargeFileShowsProgressEveryElevenChunks) {
  const std::size_t size = 2'200'000;  // 68 chunks
  writeContent(patterned(size));
  ASSERT_NE(fileCrc(subject, dir.path()), 0u);
  std::vector<int> expected{0};
  for (std::uint64_t chunks = 11; chunks * kCrcChunkBytes <= size; chunks += 11)
    expected.push_back(static_cast<int>(chunks * kCrcChunkBytes * 100 / size));
  expected.push_back(100);
  EXPECT_EQ(subject.progress, expected);
  EXPECT_EQ(expected[1], 16);
}

TEST_F(FileCrcTest, FileAtTheThresholdShowsNoProgress) {
  writeContent("123456789");
  subject.expectedSize = kCrcProgressThreshold;
  EXPECT_EQ(fileCrc(subject, dir.path()), kCrc123456789);
  EXPECT_TRUE(subject.progress.empty());
}

TEST_F(FileCrcTest, NamedFileIsReadWithoutTheCache) {
  subject.cache.remember(subject.key, 42, 1, 2);
  ASSERT_TRUE(test::writeFile(dir.file("_File.pak"), "123456789"));
  EXPECT_EQ(fileCrc(subject, dir.path(), "_File.pak"), kCrc123456789);
  EXPECT_EQ(subject.cache.cachedCrc(subject.key), 42);
  EXPECT_EQ(fileCrc(subject, dir.path(), "missing.pak"), 0u);
}

}  // namespace
}  // namespace korvel
