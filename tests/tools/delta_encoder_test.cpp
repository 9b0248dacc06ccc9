// Tests of the delta encoder: round trips through an independent decoder on edited, moved, repeated,
// empty and unrelated data, the size of what it writes, and the memory it allows itself.
#include "tools/publish/delta_encoder.h"

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tests/tools/delta_reference_decoder.h"
#include "tests/tools/publish_fixture.h"
#include "tools/publish/block_index.h"

namespace korvel::publish {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::randomBytes;

class DeltaEncoderTest : public test::TempDirTest {
 protected:
  struct Outcome {
    DeltaResult result;
    Bytes delta;
  };

  // Encodes old -> new and checks that the reference decoder rebuilds `new` exactly.
  Outcome roundTrip(const Bytes& oldData, const Bytes& newData, const DeltaOptions& options = {}) {
    fs::path oldPath = fs::path(dir.native()) / "old.bin";
    fs::path newPath = fs::path(dir.native()) / "new.bin";
    test::writeBytes(oldPath, oldData);
    test::writeBytes(newPath, newData);
    std::ostringstream out;
    Outcome outcome;
    outcome.result = DeltaEncoder(options).encode(oldPath, newPath, out);
    std::string text = out.str();
    outcome.delta.assign(text.begin(), text.end());
    EXPECT_TRUE(outcome.result.ok) << outcome.result.error;
    EXPECT_EQ(outcome.result.stats.deltaBytes, outcome.delta.size());
    test::DecodedDelta decoded = test::DeltaReferenceDecoder::apply(oldData, outcome.delta);
    EXPECT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.headerOldSize, oldData.size());
    EXPECT_TRUE(decoded.data == newData) << "the delta does not rebuild the new file";
    return outcome;
  }
};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes slice(const Bytes& data, std::size_t from, std::size_t count) {
  return Bytes(data.begin() + static_cast<std::ptrdiff_t>(from), data.begin() + static_cast<std::ptrdiff_t>(from + count));
}

TEST_F(DeltaEncoderTest, InsertionsAndDeletionsCostAboutTheirOwnBytes) {
  Bytes oldData = randomBytes(1 << 20, 1);
  Bytes newData = oldData;
  std::mt19937_64 random(2);
  std::size_t inserted = 0;
  for (int edit = 0; edit < 30; ++edit) {
    std::size_t at = random() % newData.size();
    Bytes insert = randomBytes(100, 100 + edit);
    newData.insert(newData.begin() + static_cast<std::ptrdiff_t>(at), insert.begin(), insert.end());
    inserted += insert.size();
    std::size_t cut = random() % (newData.size() - 100);
    newData.erase(newData.begin() + static_cast<std::ptrdiff_t>(cut), newData.begin() + static_cast<std::ptrdiff_t>(cut + 100));
  }
  Outcome outcome = roundTrip(oldData, newData);
  const DeltaStats& stats = outcome.result.stats;
  EXPECT_LE(stats.literalBytes, inserted + 60 * DeltaOptions{}.minimumMatch);
  EXPECT_LT(outcome.delta.size(), inserted + 2000);
}

TEST_F(DeltaEncoderTest, MovedBlocksAreCopiedFromWhereverTheyLie) {
  Bytes oldData = randomBytes(16 * 65536, 3);
  std::vector<std::size_t> order = {15, 3, 8, 0, 1, 12, 7, 7, 2, 14, 5, 11, 10, 4, 9, 6, 13};
  Bytes newData;
  for (std::size_t block : order) {
    Bytes part = slice(oldData, block * 65536, 65536);
    newData.insert(newData.end(), part.begin(), part.end());
  }
  // A block moved by an odd amount, not on any block boundary of the index.
  Bytes odd = slice(oldData, 12345, 4000);
  newData.insert(newData.begin() + 777, odd.begin(), odd.end());
  Outcome outcome = roundTrip(oldData, newData);
  EXPECT_EQ(outcome.result.stats.literalBytes, 0u);
  EXPECT_EQ(outcome.result.stats.copiedBytes, newData.size());
  EXPECT_LE(outcome.result.stats.copyRecords, order.size() + 3);
}

TEST_F(DeltaEncoderTest, ScatteredByteChangesKeepTheDeltaSmall) {
  Bytes oldData = randomBytes(512 * 1024, 4);
  Bytes newData = oldData;
  std::size_t changes = 0;
  for (std::size_t at = 1000; at < newData.size(); at += 20000, ++changes) newData[at] ^= 0x5A;
  Outcome outcome = roundTrip(oldData, newData);
  // The header, then per change a copy record and a literal record of one byte, then the last copy.
  EXPECT_LE(outcome.delta.size(), 8 + changes * (8 + 5) + 8);
}

TEST_F(DeltaEncoderTest, EmptyAndTinyFiles) {
  Outcome bothEmpty = roundTrip({}, {});
  EXPECT_EQ(bothEmpty.delta.size(), 8u);

  Bytes data = randomBytes(10240, 5);
  Outcome emptyNew = roundTrip(data, {});
  EXPECT_EQ(emptyNew.delta.size(), 8u);

  Outcome emptyOld = roundTrip({}, data);
  EXPECT_EQ(emptyOld.delta.size(), 8u + 4u + data.size());
  EXPECT_EQ(emptyOld.result.stats.literalRecords, 1u);

  roundTrip(randomBytes(5, 6), randomBytes(7, 7));
  roundTrip(randomBytes(16, 8), randomBytes(16, 8));
}

TEST_F(DeltaEncoderTest, IdenticalFilesAreOneCopy) {
  Bytes data = randomBytes(300000, 9);
  Outcome outcome = roundTrip(data, data);
  EXPECT_EQ(outcome.delta.size(), 16u);
  EXPECT_EQ(outcome.result.stats.copyRecords, 1u);
}

TEST_F(DeltaEncoderTest, RepeatedContentIsCopied) {
  Bytes zeros(1 << 20, 0);
  Outcome outcome = roundTrip(zeros, Bytes(3 << 20, 0));
  EXPECT_EQ(outcome.result.stats.literalBytes, 0u);
  EXPECT_LT(outcome.delta.size(), 100u);
}

TEST_F(DeltaEncoderTest, UnrelatedDataBecomesLiterals) {
  Bytes newData = randomBytes(200000, 11);
  Outcome outcome = roundTrip(randomBytes(200000, 10), newData);
  EXPECT_EQ(outcome.result.stats.copiedBytes, 0u);
  EXPECT_EQ(outcome.result.stats.literalBytes, newData.size());
}

TEST_F(DeltaEncoderTest, LongLiteralRunsAreSplitIntoBoundedRecords) {
  DeltaOptions options;
  options.literalRunBytes = 8192;
  Outcome outcome = roundTrip({}, randomBytes(100000, 12), options);
  EXPECT_GT(outcome.result.stats.literalRecords, 10u);
}

TEST_F(DeltaEncoderTest, RandomEditScriptsOnRepetitiveDataRoundTrip) {
  // Low-entropy data gives the index many equal blocks and the extensions many near misses.
  std::mt19937_64 random(13);
  for (int round = 0; round < 40; ++round) {
    unsigned alphabet = 2 + static_cast<unsigned>(random() % 4);
    Bytes oldData = randomBytes(random() % 40000, 1000 + round, alphabet);
    Bytes newData = oldData;
    int edits = static_cast<int>(random() % 12);
    for (int edit = 0; edit < edits; ++edit) {
      std::size_t at = newData.empty() ? 0 : random() % newData.size();
      std::size_t length = random() % 3000;
      switch (random() % 4) {
        case 0: {
          Bytes insert = randomBytes(length, 5000 + round * 20 + edit, alphabet);
          newData.insert(newData.begin() + static_cast<std::ptrdiff_t>(at), insert.begin(), insert.end());
          break;
        }
        case 1:
          length = std::min(length, newData.size() - at);
          newData.erase(newData.begin() + static_cast<std::ptrdiff_t>(at),
                        newData.begin() + static_cast<std::ptrdiff_t>(at + length));
          break;
        case 2:
          if (!oldData.empty()) {
            std::size_t from = random() % oldData.size();
            length = std::min(length, oldData.size() - from);
            Bytes moved = slice(oldData, from, length);
            newData.insert(newData.begin() + static_cast<std::ptrdiff_t>(at), moved.begin(), moved.end());
          }
          break;
        default:
          for (std::size_t i = at; i < std::min(newData.size(), at + length % 64); ++i) newData[i] ^= 1;
          break;
      }
    }
    SCOPED_TRACE("round " + std::to_string(round));
    DeltaOptions options;
    options.indexBudgetBytes = round % 2 ? 4096 : 64ull << 20;
    options.literalRunBytes = 8192;
    roundTrip(oldData, newData, options);
  }
}

TEST_F(DeltaEncoderTest, TightBudgetSamplesSparselyAndStillFindsLongMoves) {
  Bytes oldData = randomBytes(4 << 20, 14);
  Bytes newData = concat({slice(oldData, 3 << 20, 1 << 20), randomBytes(5000, 15), slice(oldData, 0, 3 << 20)});
  DeltaOptions options;
  options.indexBudgetBytes = 64 * 1024;
  Outcome outcome = roundTrip(oldData, newData, options);
  const DeltaStats& stats = outcome.result.stats;
  EXPECT_LE(stats.indexBytes, options.indexBudgetBytes);
  EXPECT_GT(stats.sampleStep, options.blockSize);
  // Only the inserted bytes and the edges next to them, up to one sampling step each, are literal.
  EXPECT_LE(stats.literalBytes, 5000 + 4 * stats.sampleStep);
}

TEST_F(DeltaEncoderTest, WorkingMemoryDoesNotGrowWithTheOldFileBeyondTheBudget) {
  DeltaOptions options;
  options.indexBudgetBytes = 256 * 1024;
  Bytes newData = randomBytes(100000, 16);
  DeltaStats small = roundTrip(randomBytes(1 << 20, 17), newData, options).result.stats;
  DeltaStats large = roundTrip(randomBytes(6 << 20, 18), newData, options).result.stats;
  EXPECT_LE(large.indexBytes, options.indexBudgetBytes);
  EXPECT_EQ(small.workingBytes, large.workingBytes);
  EXPECT_GT(large.sampleStep, small.sampleStep);
}

TEST(BlockIndexPlan, BoundsTheTableForFilesOfSeveralGigabytes) {
  const std::uint64_t budget = 64ull << 20;
  BlockIndex::Plan huge = BlockIndex::plan(5ull << 30, budget, 16);
  EXPECT_LE(huge.slots * 8, budget);
  EXPECT_LE(huge.blocks * 2, huge.slots);
  EXPECT_GE((huge.blocks - 1) * huge.step + 16, (5ull << 30) - huge.step);

  BlockIndex::Plan small = BlockIndex::plan(100000, budget, 16);
  EXPECT_EQ(small.step, 16u);
  EXPECT_EQ(small.blocks, (100000u - 16) / 16 + 1);

  EXPECT_EQ(BlockIndex::plan(15, budget, 16).slots, 0u);
}

TEST_F(DeltaEncoderTest, DeclinesFilesBeyondTheFormatWithoutAnError) {
  EXPECT_TRUE(DeltaEncoder::fits(DeltaEncoder::kMaxFileSize, DeltaEncoder::kMaxFileSize));
  EXPECT_FALSE(DeltaEncoder::fits(DeltaEncoder::kMaxFileSize + 1, 0));
  EXPECT_FALSE(DeltaEncoder::fits(0, DeltaEncoder::kMaxFileSize + 1));
  fs::path big = fs::path(dir.native()) / "big.bin";
  fs::path small = fs::path(dir.native()) / "small.bin";
  test::writeBytes(small, randomBytes(100, 19));
  test::writeBytes(big, {});
  // A sparse file above 4 GiB: no data blocks are written.
  fs::resize_file(big, (4ull << 30) + 1);
  for (const auto& [oldPath, newPath] : {std::pair{big, small}, std::pair{small, big}}) {
    std::ostringstream out;
    DeltaResult result = DeltaEncoder().encode(oldPath, newPath, out);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.declined);
    EXPECT_EQ(result.error, "");
    EXPECT_TRUE(out.str().empty());
  }
}

TEST_F(DeltaEncoderTest, MissingFilesAreErrors) {
  fs::path present = fs::path(dir.native()) / "present.bin";
  test::writeBytes(present, randomBytes(100, 20));
  std::ostringstream out;
  EXPECT_FALSE(DeltaEncoder().encode(fs::path(dir.native()) / "absent", present, out).ok);
  EXPECT_FALSE(DeltaEncoder().encode(present, fs::path(dir.native()) / "absent", out).ok);
}

// The decoder the round trips rely on must read the format as the updater's combine step does.
TEST(DeltaReferenceDecoder, ReadsTheRecordFormat) {
  Bytes old = {'a', 'b', 'c', 'd', 'e'};
  test::DecodedDelta onlyHeader = test::DeltaReferenceDecoder::apply(old, {0, 0, 0, 5, 0, 0, 0, 0});
  ASSERT_TRUE(onlyHeader.ok);
  EXPECT_TRUE(onlyHeader.data.empty());

  Bytes delta = {0, 0, 0, 5, 0, 0, 0, 6, 0xFF, 0xFF, 0xFF, 0xFD, 'x', 'y', 'z', 0, 0, 0, 3, 0, 0, 0, 1};
  test::DecodedDelta mixed = test::DeltaReferenceDecoder::apply(old, delta);
  ASSERT_TRUE(mixed.ok) << mixed.error;
  EXPECT_EQ(std::string(mixed.data.begin(), mixed.data.end()), "xyzbcd");

  Bytes pastEnd = {0, 0, 0, 5, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3};
  EXPECT_FALSE(test::DeltaReferenceDecoder::apply(old, pastEnd).ok);
}

}  // namespace
}  // namespace korvel::publish
