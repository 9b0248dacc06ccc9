// Combining delta data with an old file: the record kinds, the block size of copies, the progress
// thresholds, the data read as a stream with the new file's size and CRC, and malformed or failing
// cases that must leave the old file as it was and nothing beside it.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <zlib.h>

#include <gtest/gtest.h>

#include "fileupdate/delta_patch.h"
#include "platform/faults.h"
#include "platform/files.h"
#include "tests/fileupdate/update_fixture.h"

namespace korvel {
namespace {

using test::DeltaData;
using test::readFile;
using test::writeFile;

// Records everything a combine reports; the tick advances by `step` on every read of the clock, and
// the combine is cancelled after `cancelAfter` tests of the flag (never when negative).
class RecordingContext : public CombineContext {
 public:
  bool cancelled() override { return cancelAfter >= 0 && cancelTests++ >= cancelAfter; }
  std::uint32_t tickMs() override { return tick += step; }
  void showStatus(const std::string& target) override { statusLines.push_back(target); }
  void percent(int value) override { percents.push_back(value); }
  void bytesConsumed(std::uint64_t bytes) override { consumed.push_back(bytes); }
  void millisecondsSpent(std::uint32_t milliseconds) override { spent.push_back(milliseconds); }
  void refresh() override { ++refreshes; }

  int cancelAfter = -1;
  int cancelTests = 0;
  std::uint32_t tick = 0;
  std::uint32_t step = 0;
  std::vector<std::string> statusLines;
  std::vector<int> percents;
  std::vector<std::uint64_t> consumed;
  std::vector<std::uint32_t> spent;
  int refreshes = 0;
};

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t index = 0; index < size; ++index) bytes[index] = static_cast<char>((index * 7 + index / 251) & 0xFF);
  return bytes;
}

class DeltaCombineTest : public test::TempDirTest {
 protected:
  void SetUp() override { target = dir.file("game.dat"); }

  bool combine(const DeltaData& delta) { return combineDelta(target, delta.data(), delta.size(), context); }

  // The names in the folder of the target.
  std::vector<std::string> folderNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(platform::nativePath(dir.path())))
      names.push_back(entry.path().filename().string());
    return names;
  }

  // The old file is unchanged, and nothing was left beside it.
  void expectOldRestored(const std::string& old) {
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(folderNames(), std::vector<std::string>{"game.dat"});
  }

  test::ScopedCurrentDirectory working{dir.path()};
  std::string target;
  RecordingContext context;
};

TEST_F(DeltaCombineTest, HeaderOnlyGivesAnEmptyFileAndLeavesNothingBeside) {
  ASSERT_TRUE(writeFile(target, "old contents"));
  ASSERT_TRUE(combine(DeltaData()));
  EXPECT_TRUE(test::exists(target));
  EXPECT_EQ(readFile(target), "");
  EXPECT_EQ(folderNames(), std::vector<std::string>{"game.dat"});
}

TEST_F(DeltaCombineTest, DataReadFromAFileGivesTheNewFileWithItsSizeAndCrcAndLeavesTheOldOne) {
  // Literals and copies larger than the read buffer make the data cross several refills.
  const std::string old = pattern(700000);
  ASSERT_TRUE(writeFile(target, old));
  const std::string literal = pattern(kCombineBlockSize + 12345).substr(7);
  DeltaData delta;
  delta.literal(literal).copy(3, 650000).literal("end");
  const std::string data = dir.file("game.delta");
  ASSERT_TRUE(writeFile(data, delta.bytes()));
  FileDeltaInput input(data);
  ASSERT_TRUE(input.isOpen());
  CombineOutput written;
  const std::string output = dir.file("game.new");
  ASSERT_TRUE(combineDelta(target, output, input, context, written));
  const std::string expected = literal + old.substr(3, 650000) + "end";
  EXPECT_EQ(readFile(output), expected);
  EXPECT_EQ(written.size, expected.size());
  EXPECT_EQ(written.crc, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(expected.data()),
                                                          static_cast<uInt>(expected.size()))));
  EXPECT_EQ(readFile(target), old);
}

TEST_F(DeltaCombineTest, LiteralsAndCopiesConcatenateInRecordOrder) {
  ASSERT_TRUE(writeFile(target, "0123456789"));
  DeltaData delta;
  delta.copy(7, 3).literal("abc").copy(0, 2).copy(5, 0).copy(2, 1);
  ASSERT_TRUE(combine(delta));
  EXPECT_EQ(readFile(target), "789abc012");
}

TEST_F(DeltaCombineTest, LiteralStoredAsMinusThreeWritesTheThreeFollowingBytes) {
  ASSERT_TRUE(writeFile(target, "x"));
  DeltaData delta(3);
  delta.word(0xFFFFFFFD).raw("XYZ");
  ASSERT_TRUE(combine(delta));
  EXPECT_EQ(readFile(target), "XYZ");
}

TEST_F(DeltaCombineTest, LongCopyMovesBlocksOfAtMost256KiBAndAddsExactlyItsCount) {
  const std::string old = pattern(700000);
  ASSERT_TRUE(writeFile(target, old));
  // Short reads make any block-size mistake show up as a failed or wrong copy.
  platform::faults::shortReads.store(100000);
  DeltaData delta;
  delta.literal("<").copy(50000, 600000).literal(">");
  ASSERT_TRUE(combine(delta));
  platform::faults::shortReads.store(0);
  const std::string result = readFile(target);
  ASSERT_EQ(result.size(), 600002u);
  EXPECT_EQ(result, "<" + old.substr(50000, 600000) + ">");
}

TEST_F(DeltaCombineTest, CopyOf600000BytesRefreshesOncePerBlockWhenEachBlockTakesASecond) {
  ASSERT_TRUE(writeFile(target, pattern(600000)));
  // Every clock reading is a second later: each of the three blocks (262,144 + 262,144 + 75,712
  // bytes) and the end of the record may refresh once.
  context.step = 1000;
  DeltaData delta;
  delta.copy(0, 600000);
  ASSERT_TRUE(combine(delta));
  EXPECT_EQ(context.refreshes, 4);
  EXPECT_EQ(readFile(target).size(), 600000u);
}

TEST_F(DeltaCombineTest, RefreshesAtMostOnceASecondAndReportsTheBytesConsumed) {
  ASSERT_TRUE(writeFile(target, "abcdef"));
  context.step = 10;
  DeltaData delta;
  delta.literal("1").literal("22").copy(0, 6);
  ASSERT_TRUE(combine(delta));
  EXPECT_EQ(context.refreshes, 0);
  EXPECT_EQ(context.consumed, (std::vector<std::uint64_t>{13, 19, 27}));
  ASSERT_FALSE(context.spent.empty());
  EXPECT_GT(context.spent.back(), 0u);
}

TEST_F(DeltaCombineTest, PercentagesOnlyAboveTwoMebibytes) {
  ASSERT_TRUE(writeFile(target, "abc"));
  DeltaData exact(0x200000);
  exact.literal("x").copy(0, 3);
  ASSERT_TRUE(combine(exact));
  EXPECT_TRUE(context.percents.empty());
  EXPECT_TRUE(context.statusLines.empty());

  DeltaData above(0x200001);
  above.literal("x").copy(0, 4);
  ASSERT_TRUE(combine(above));
  ASSERT_FALSE(context.percents.empty());
  EXPECT_EQ(context.percents.front(), 0);
  EXPECT_EQ(context.percents.back(), 100);
  EXPECT_EQ(context.statusLines, std::vector<std::string>{target});
  EXPECT_EQ(readFile(target), "xxabc");
}

TEST_F(DeltaCombineTest, MalformedDataFailsAndLeavesTheOldFileInPlace) {
  const std::string old = "0123456789";
  struct Case {
    const char* what;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"header of 7 bytes", DeltaData().bytes().substr(0, 7)},
      {"record of 3 bytes", DeltaData().raw(std::string(3, '\0')).bytes()},
      {"copy without its offset", DeltaData().word(4).bytes()},
      {"copy offset cut short", DeltaData().word(4).raw(std::string(2, '\0')).bytes()},
      {"literal longer than what remains", DeltaData().word(0xFFFFFFF0).raw("abc").bytes()},
      {"most negative literal", DeltaData().word(0x80000000).raw("abc").bytes()},
      {"copy past the end of the old file", DeltaData().copy(8, 3).bytes()},
      {"copy from beyond the old file", DeltaData().copy(0xFFFFFFF0, 0x20).bytes()},
      {"huge copy count", DeltaData().copy(0, 0x7FFFFFFF).bytes()},
      // A few records that repeat the old file far past the size the header gives the new one.
      {"copies past the new size", DeltaData(12).copy(0, 10).copy(0, 10).copy(0, 10).bytes()},
      {"valid record then a stray byte", DeltaData().literal("ok").raw("\x01").bytes()},
      // Counts and offsets are signed 32-bit: a header beyond that describes no file the data can make.
      {"new size beyond 2 GiB", DeltaData(0x80000000u).literal("ok").bytes()},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.what);
    ASSERT_TRUE(writeFile(target, old));
    EXPECT_FALSE(
        combineDelta(target, reinterpret_cast<const std::uint8_t*>(each.bytes.data()), each.bytes.size(), context));
    expectOldRestored(old);
  }
  EXPECT_FALSE(combineDelta(target, nullptr, 0, context));
  expectOldRestored(old);
}

TEST_F(DeltaCombineTest, ValidationAcceptsExactBoundsAndRejectsOneBeyond) {
  const DeltaData exact = DeltaData().copy(6, 4).literal("ab");
  EXPECT_TRUE(deltaDataValid(exact.data(), exact.size(), 10));
  EXPECT_FALSE(deltaDataValid(exact.data(), exact.size(), 9));
  const DeltaData emptyCopy = DeltaData().copy(0xFFFFFFFF, 0);
  EXPECT_TRUE(deltaDataValid(emptyCopy.data(), emptyCopy.size(), 0));
}

TEST_F(DeltaCombineTest, CancelRestoresTheOldFile) {
  const std::string old = pattern(300000);
  ASSERT_TRUE(writeFile(target, old));
  context.cancelAfter = 2;
  DeltaData delta;
  delta.literal("new").copy(0, 300000).literal("more");
  EXPECT_FALSE(combine(delta));
  expectOldRestored(old);
}

TEST_F(DeltaCombineTest, FailingWriteRestoresTheOldFile) {
  const std::string old = pattern(1000);
  ASSERT_TRUE(writeFile(target, old));
  platform::faults::writeBudget.store(10);
  DeltaData delta;
  delta.literal("0123456789").copy(0, 1000);
  EXPECT_FALSE(combine(delta));
  platform::faults::writeBudget.store(0);
  expectOldRestored(old);
}

TEST_F(DeltaCombineTest, UnopenableFileLeavesTheOldFile) {
  ASSERT_TRUE(writeFile(target, "old"));
  // The first two opens look for a free temporary name and create it; the third is the old file's.
  platform::faults::failOpens.store(3);
  EXPECT_FALSE(combine(DeltaData().literal("new")));
  expectOldRestored("old");
}

TEST_F(DeltaCombineTest, MissingTargetFailsWithoutCreatingAnything) {
  EXPECT_FALSE(combine(DeltaData().literal("x")));
  EXPECT_FALSE(test::exists(target));
  EXPECT_TRUE(folderNames().empty());
}

TEST_F(DeltaCombineTest, ALeftoverTemporaryFileIsNeitherReusedNorRemoved) {
  ASSERT_TRUE(writeFile(dir.file("spatchfile_0.tmp"), "stale"));
  ASSERT_TRUE(writeFile(target, "abc"));
  ASSERT_TRUE(combine(DeltaData().copy(1, 2)));
  EXPECT_EQ(readFile(target), "bc");
  EXPECT_EQ(readFile(dir.file("spatchfile_0.tmp")), "stale");
}

}  // namespace
}  // namespace korvel
