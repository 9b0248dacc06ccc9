// The local file utilities: the copy into place with its retries, chunks, progress and failures;
// temporary names; folder creation without moving the current directory; existence; file times.
#include "common/file_utils.h"

#include "common/file_copy.h"

#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/faults.h"
#include "platform/files.h"
#include "tests/support/scoped_current_directory.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Le;

std::string pattern(std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return content;
}

class CopyFileTest : public test::TempDirTest {
 protected:
  void SetUp() override { setCopyRetryDelayMs(0); }
  void TearDown() override {
    setCopyRetryDelayMs(kCopyRetryDelayMs);
    test::TempDirTest::TearDown();
  }
  // The copy with callbacks that record what it reports and answer `stop`.
  bool copy(const char* source, const char* target, std::int64_t finalSize) {
    CopyCallbacks callbacks;
    callbacks.log = [this](const std::string& line) { lines.push_back(line); };
    callbacks.stopping = [this] { return stop; };
    callbacks.progress = [this](int position) { positions.push_back(position); };
    callbacks.copied = [this](std::uint32_t bytes, std::uint32_t) { copyBytes += bytes; };
    return copyFile(source, target, finalSize, callbacks);
  }
  bool logged(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }

  std::vector<std::string> lines;
  std::vector<int> positions;
  std::uint64_t copyBytes = 0;
  bool stop = false;
  std::string from = dir.file("source.bin");
  std::string to = dir.file("target.bin");
};

TEST_F(CopyFileTest, CopiesLargeFileInChunksWithBoundedProgress) {
  const std::string content = pattern(10000000);
  ASSERT_TRUE(test::writeFile(from, content));
  
  EXPECT_TRUE(copy(from.c_str(), to.c_str(), 10000000));
  EXPECT_EQ(test::readFile(to), content);
  // One chunk of 8,388,608 bytes (83 %), then the remaining 1,611,392.
  EXPECT_THAT(positions, ElementsAre(0, 83, 100));
  EXPECT_EQ(copyBytes, 10000000u);
  EXPECT_TRUE(logged("Transfer size: 10000000\n"));
}

TEST_F(CopyFileTest, ProgressNeverExceeds100WhenFinalSizeIsSmaller) {
  ASSERT_TRUE(test::writeFile(from, pattern(5000)));
  platform::faults::shortReads = 1000;
  EXPECT_TRUE(copy(from.c_str(), to.c_str(), 1500));
  EXPECT_THAT(positions, ElementsAre(0, 66, 100, 100, 100, 100));
  EXPECT_EQ(copyBytes, 5000u);
}

TEST_F(CopyFileTest, FinalSizeZeroSendsNoProgressAndCountsNothing) {
  ASSERT_TRUE(test::writeFile(from, pattern(3000)));
  EXPECT_TRUE(copy(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(test::readFile(to), pattern(3000));
  EXPECT_THAT(positions, IsEmpty());
  EXPECT_EQ(copyBytes, 0u);
}

TEST_F(CopyFileTest, EmptySourceGivesEmptyTarget) {
  ASSERT_TRUE(test::writeFile(from, ""));
  ASSERT_TRUE(test::writeFile(to, "old content"));
  EXPECT_TRUE(copy(from.c_str(), to.c_str(), 100));
  EXPECT_TRUE(test::exists(to));
  EXPECT_EQ(test::readFile(to), "");
}

TEST_F(CopyFileTest, SameNameOrNullNames) {
  ASSERT_TRUE(test::writeFile(from, "unchanged"));
  EXPECT_TRUE(copy(from.c_str(), from.c_str(), 9));
  EXPECT_EQ(test::readFile(from), "unchanged");
  EXPECT_THAT(positions, IsEmpty());
  EXPECT_FALSE(copy(nullptr, to.c_str(), 0));
  EXPECT_FALSE(copy(from.c_str(), nullptr, 0));
  EXPECT_FALSE(test::exists(to));
}

TEST_F(CopyFileTest, RetriesTheOpenUpTo31Times) {
  ASSERT_TRUE(test::writeFile(from, "payload"));
  platform::faults::failOpens = 30;
  EXPECT_TRUE(copy(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(test::readFile(to), "payload");

  // 31 failures exhaust the attempts for the input; the 32nd open is never tried.
  platform::faults::failOpens = 32;
  EXPECT_FALSE(copy(from.c_str(), dir.file("other.bin").c_str(), 0));
  EXPECT_EQ(platform::faults::failOpens.load(), 1);
  EXPECT_TRUE(logged("FileCopy: Couldn't open input file: \"" + from + "\"\n"));
  EXPECT_FALSE(test::exists(dir.file("other.bin")));
}

TEST_F(CopyFileTest, OutputThatCannotBeOpenedIsLogged) {
  ASSERT_TRUE(test::writeFile(from, "payload"));
  const std::string unreachable = dir.file("missing\\folder\\target.bin");
  EXPECT_FALSE(copy(from.c_str(), unreachable.c_str(), 0));
  EXPECT_TRUE(logged("FileCopy: Couldn't open output file: \"" + unreachable + "\"\n"));
}

TEST_F(CopyFileTest, ShortWriteDeletesTheTarget) {
  ASSERT_TRUE(test::writeFile(from, pattern(5000)));
  platform::faults::writeBudget = 1000;
  EXPECT_FALSE(copy(from.c_str(), to.c_str(), 5000));
  EXPECT_FALSE(test::exists(to));
}

TEST_F(CopyFileTest, ReadErrorEndsTheCopyAsFailed) {
  ASSERT_TRUE(test::writeFile(from, pattern(4000)));
  platform::faults::failNextRead = true;
  EXPECT_FALSE(copy(from.c_str(), to.c_str(), 4000));
  EXPECT_TRUE(logged("Error: Only 0 bytes copied\n"));
}

TEST_F(CopyFileTest, StoppedSessionCopiesNothingAndFails) {
  ASSERT_TRUE(test::writeFile(from, pattern(2000)));
  stop = true;
  EXPECT_FALSE(copy(from.c_str(), to.c_str(), 2000));
  // A stop leaves the partial target in place.
  EXPECT_TRUE(test::exists(to));
  EXPECT_EQ(test::readFile(to), "");
}

TEST(CopyChunkTest, HalvesThenDividesByGrowingPowersOfTwoDownTo1024) {
  EXPECT_THAT(copyChunkAttempts(10000000), ElementsAre(8388608, 4194304, 1048576, 131072, 8192, 1024));
  EXPECT_THAT(copyChunkAttempts(5000), ElementsAre(5000, 2500, 1024));
  EXPECT_THAT(copyChunkAttempts(1024), ElementsAre(1024));
  EXPECT_THAT(copyChunkAttempts(100), ElementsAre(100, 1024));
  EXPECT_THAT(copyChunkAttempts(20000000), Each(Le(8388608u)));
}

class TempNameTest : public test::TempDirTest {};

TEST_F(TempNameTest, TakesTheFirstFreeNameAndCreatesIt) {
  ASSERT_TRUE(test::writeFile(dir.file("spatchfile_0.txt"), "taken"));
  test::ScopedCurrentDirectory inDir(dir.path());
  EXPECT_EQ(makeTempName(".txt", nullptr), "spatchfile_1.txt");
  EXPECT_TRUE(test::exists(dir.file("spatchfile_1.txt")));
  EXPECT_EQ(makeTempName(".txt", nullptr), "spatchfile_2.txt");
  EXPECT_EQ(makeTempName(".xml", nullptr), "spatchfile_0.xml");
  EXPECT_EQ(test::readFile(dir.file("spatchfile_0.txt")), "taken");
}

TEST_F(TempNameTest, UsesAnExistingDirectoryElseTheCurrentOne) {
  test::TempDir other;
  test::ScopedCurrentDirectory inDir(other.path());
  EXPECT_EQ(makeTempName(".gz", dir.path().c_str()), dir.path() + "\\spatchfile_0.gz");
  EXPECT_TRUE(test::exists(dir.file("spatchfile_0.gz")));
  EXPECT_EQ(makeTempName(".gz", dir.file("absent").c_str()), "spatchfile_0.gz");
  EXPECT_TRUE(test::exists(other.file("spatchfile_0.gz")));
  EXPECT_EQ(makeTempName(nullptr, dir.path().c_str()), dir.path() + "\\spatchfile_0");
}

TEST_F(TempNameTest, AllThirtyTakenReturnsTheLast) {
  for (int n = 0; n < 30; ++n) ASSERT_TRUE(test::writeFile(dir.file("spatchfile_" + std::to_string(n) + ".txt"), "x"));
  EXPECT_EQ(makeTempName(".txt", dir.path().c_str()), dir.path() + "\\spatchfile_29.txt");
  EXPECT_FALSE(test::exists(dir.file("spatchfile_30.txt")));
}

class FolderTest : public test::TempDirTest {};

TEST_F(FolderTest, CreateParentDirectoriesLeavesTheCurrentDirectoryAlone) {
  test::ScopedCurrentDirectory inDir(dir.path());
  const std::string before = platform::currentDirectory();
  EXPECT_TRUE(createParentDirectories("a\\b/c\\file.txt"));
  EXPECT_TRUE(test::exists(dir.file("a\\b\\c")));
  EXPECT_FALSE(test::exists(dir.file("a\\b\\c\\file.txt")));
  EXPECT_EQ(platform::currentDirectory(), before);

  EXPECT_TRUE(createParentDirectories(dir.file("x\\y\\z.bin")));
  EXPECT_TRUE(test::exists(dir.file("x\\y")));
  EXPECT_EQ(platform::currentDirectory(), before);

  EXPECT_TRUE(createParentDirectories("plain.txt"));
}

TEST_F(FolderTest, CreateParentDirectoriesStopsAtAFileInTheWay) {
  ASSERT_TRUE(test::writeFile(dir.file("blocker"), "file"));
  EXPECT_TRUE(createParentDirectories(dir.file("blocker\\inner\\f.txt")));
  EXPECT_FALSE(test::exists(dir.file("blocker\\inner")));
}

TEST_F(FolderTest, CreateDirectoryPathRelativeToBaseOrCurrentDirectory) {
  EXPECT_TRUE(createDirectoryPath("one\\two/three", dir.path().c_str()));
  EXPECT_TRUE(test::exists(dir.file("one\\two\\three")));
  EXPECT_TRUE(createDirectoryPath("one\\two", dir.path().c_str()));  // exists already

  test::ScopedCurrentDirectory inDir(dir.path());
  const std::string before = platform::currentDirectory();
  EXPECT_TRUE(createDirectoryPath("here\\deep", nullptr));
  EXPECT_TRUE(test::exists(dir.file("here\\deep")));
  EXPECT_EQ(platform::currentDirectory(), before);
}

TEST_F(FolderTest, CreateDirectoryPathCreatesDottedNamesAndRefusesToClimbOut) {
  EXPECT_TRUE(createDirectoryPath("v1.2\\data", dir.path().c_str()));
  EXPECT_TRUE(test::exists(dir.file("v1.2\\data")));
  EXPECT_TRUE(createDirectoryPath("q\\.\\r", dir.path().c_str()));
  EXPECT_TRUE(test::exists(dir.file("q\\r")));
  // ".." could lead out of the folder a path was built in: such a path is refused.
  EXPECT_FALSE(createDirectoryPath("p\\..\\s", dir.path().c_str()));
  EXPECT_FALSE(test::exists(dir.file("s")));
}

TEST_F(FolderTest, CreateDirectoryPathFailures) {
  EXPECT_FALSE(createDirectoryPath("a", dir.path().c_str()));
  EXPECT_FALSE(createDirectoryPath("", dir.path().c_str()));
  EXPECT_FALSE(createDirectoryPath(nullptr, dir.path().c_str()));
  ASSERT_TRUE(test::writeFile(dir.file("file"), "x"));
  EXPECT_FALSE(createDirectoryPath("file\\sub", dir.path().c_str()));
  // An absolute path is not moved under the base.
  EXPECT_TRUE(createDirectoryPath(dir.file("abs\\olute").c_str(), dir.file("elsewhere").c_str()));
  EXPECT_TRUE(test::exists(dir.file("abs\\olute")));
  EXPECT_FALSE(test::exists(dir.file("elsewhere")));
}

TEST_F(FolderTest, ExistsRelative) {
  ASSERT_TRUE(test::writeFile(dir.file("sub\\f.txt"), "x"));
  EXPECT_TRUE(existsRelative("f.txt", dir.file("sub").c_str()));
  EXPECT_TRUE(existsRelative("sub\\f.txt", dir.path().c_str()));
  EXPECT_TRUE(existsRelative("..\\sub\\f.txt", dir.file("sub").c_str()));
  EXPECT_FALSE(existsRelative("f.txt", dir.path().c_str()));
  EXPECT_FALSE(existsRelative("", dir.path().c_str()));
  EXPECT_FALSE(existsRelative(nullptr, nullptr));
  EXPECT_TRUE(existsRelative(dir.file("sub\\f.txt").c_str(), dir.file("nowhere").c_str()));

  test::ScopedCurrentDirectory inDir(dir.path());
  EXPECT_TRUE(existsRelative("sub\\f.txt", nullptr));
  EXPECT_FALSE(existsRelative("f.txt", nullptr));
}

TEST(FileTimeTest, ConvertsFileTimesToSecondsSince1970) {
  std::int32_t out = -1;
  EXPECT_EQ(fileTimeToSeconds(116444736000000000ull, &out), 0);
  EXPECT_EQ(out, 0);
  // 2021-01-01 00:00:00 UTC; parts of a second are cut off.
  EXPECT_EQ(fileTimeToSeconds(132539328000000000ull + 9999999ull, &out), 1609459200);
  EXPECT_EQ(out, 1609459200);
  EXPECT_EQ(fileTimeToSeconds(116444736000000000ull + 86400ull * 10000000ull, nullptr), 86400);
  // Past 2038 the value no longer fits and is truncated to 32 bits.
  EXPECT_EQ(fileTimeToSeconds(116444736000000000ull + 0x80000000ull * 10000000ull, nullptr),
            static_cast<std::int32_t>(0x80000000u));
}

}  // namespace
}  // namespace korvel
