// Delta patching within an update: which delta is chosen, where its data lies, the running program's
// own file patched through its copy, the fall back to the full file when the data or its result is not
// what the manifest says, and the "SHA256" attributes of delta data and of the file a delta makes.
#include "fileupdate/delta_applier.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "fileupdate/delta_patch.h"
#include "fileupdate/file_node.h"
#include "common/result_codes.h"
#include "tests/fileupdate/update_fixture.h"
#include "transfer/attempt_ledger.h"
#include "transfer/http_transfer.h"
#include "trust/sha256.h"

namespace korvel {
namespace {

using ::testing::IsEmpty;
using test::DeltaData;
using test::readFile;
using test::ServedDelta;
using test::ServedFile;

class DeltaApplierTest : public test::UpdateTest {
 protected:
  const std::string old = "version one of the file";
  const std::string next = "version two of the file, longer";
  // Turns `old` into `next`.
  const DeltaData delta = DeltaData(31).literal("version two").copy(11, 12).literal(", longer");
};

TEST_F(DeltaApplierTest, FirstOfTwoDeltasForTheSameOldVersionIsUsed) {
  ServedFile game{"game.dat", next};
  game.deltas.push_back({"first.delta", delta.bytes(), test::crcOf(old)});
  game.deltas.push_back({"second.delta", DeltaData().literal("wrong").bytes(), test::crcOf(old)});
  install(game, old, false);
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("game.dat")), next);
  EXPECT_EQ(requests("first.delta"), 1);
  EXPECT_EQ(requests("second.delta"), 0);
  EXPECT_EQ(requests("game.dat"), 0);
}

TEST_F(DeltaApplierTest, DataOfAFileWithALocalPathIsFetchedAndReadBesideTheFile) {
  ServedFile game{"data\\game.dat", next, 1100000000, "LocalPath=\"elsewhere\""};
  game.deltas.push_back({"game.delta", delta.bytes(), test::crcOf(old)});
  install(game, old, false);
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("data\\game.dat")), next);
  EXPECT_EQ(requests("game.dat"), 0) << "the delta was applied, not replaced by the full file";
  EXPECT_FALSE(test::exists(dir.file("elsewhere")));
  EXPECT_FALSE(test::exists(dir.file("data\\game.dat_delta")));
}

TEST_F(DeltaApplierTest, NoChosenDeltaIsResult20) {
  const ServedFile game{"game.dat", next};
  install(game, next);
  load({game});
  EXPECT_EQ(file("game.dat")->applyDelta(false, dir.path()), result::kDeltaFailed);
}

TEST_F(DeltaApplierTest, RunningProgramIsPatchedThroughItsTemporaryCopy) {
  session.setOwnFileName("korvel.exe");
  ServedFile self{"korvel.exe", next};
  self.deltas.push_back({"korvel.delta", delta.bytes(), test::crcOf(old)});
  install(self, old, false);
  load({self});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("korvel.exe")), old) << "the running file is never written";
  EXPECT_EQ(readFile(dir.file("_orvel.exe")), next);
  EXPECT_EQ(requests("korvel.exe"), 0);
  EXPECT_TRUE(client.logged("Delta patching the patcher...\n"));
  EXPECT_THAT(client.errors(), IsEmpty());
}

using DeltaApplierUpdateTest = test::UpdateTest;

TEST_F(DeltaApplierUpdateTest, DeltaIsAppliedToAFileWhoseCrcMatches) {
  const std::string old = "The quick brown fox jumps over the lazy dog";
  const std::string next = "The quick red fox jumps over the lazy dog!";
  const DeltaData delta = DeltaData(static_cast<std::uint32_t>(next.size())).copy(0, 10).literal("red").copy(15, 28).literal("!");
  ServedFile game{"game.dat", next};
  game.deltas.push_back({"game.dat.delta", delta.bytes(), test::crcOf(old)});
  install(game, old, false);
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("game.dat")), next);
  EXPECT_EQ(modified("game.dat"), test::manifestTime(game.time));
  EXPECT_EQ(requests("game.dat.delta"), 1);
  EXPECT_EQ(requests("game.dat"), 0);
  EXPECT_FALSE(test::exists(dir.file("game.dat_delta")));
  EXPECT_FALSE(test::exists(dir.file("spatchfile_0.tmp")));
  EXPECT_TRUE(client.logged("Downloaded Delta file for game.dat\n"));
  EXPECT_THAT(errorCodes(), IsEmpty());
}

TEST_F(DeltaApplierUpdateTest, DeltaForAnotherOldVersionIsSkipped) {
  ServedFile game{"game.dat", "new content"};
  game.deltas.push_back({"game.dat.delta", DeltaData(11).literal("new content").bytes(), test::crcOf("other")});
  install(game, "old", false);
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("game.dat")), "new content");
  EXPECT_EQ(requests("game.dat.delta"), 0);
  EXPECT_EQ(requests("game.dat"), 1);
}

TEST_F(DeltaApplierUpdateTest, DeltaOfTheWrongSizeFallsBackToTheFullFile) {
  ServedFile game{"game.dat", "the right new content"};
  game.deltas.push_back({"game.dat.delta", DeltaData().literal("short").bytes(), test::crcOf("old content")});
  install(game, "old content", false);
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("game.dat")), game.content);
  EXPECT_EQ(requests("game.dat"), 1);
  const std::string warning = "Warning: Filesize verify:  Local 5 vs. server 21, possible mid-patch\n";
  EXPECT_TRUE(client.logged(warning));
  ASSERT_EQ(client.errors().size(), 1u);
  EXPECT_EQ(client.errors()[0].code, 0) << "a warning, not a failure";
  EXPECT_EQ(client.errors()[0].message, warning);
}

TEST_F(DeltaApplierUpdateTest, MalformedDeltaKeepsTheOldFileAndFallsBackToTheFullFile) {
  ServedFile game{"game.dat", "fresh"};
  // A copy beyond the end of the old file.
  game.deltas.push_back({"game.dat.delta", DeltaData().copy(2, 100).bytes(), test::crcOf("old")});
  install(game, "old", false);
  load({game});
  // The full download fails too, after its retries (each starts the body over and brings nothing
  // new): what is left afterwards is what the failed combine left.
  test::HttpReply cut(200, test::TestHttpServer::gzip(game.content));
  cut.dropAfter = 3;
  cut.answersRanges = false;
  server.serveReply("/game.dat", cut);
  HttpTransfer::setFirstRetryPause(1);

  EXPECT_NE(update(), result::kOk) << "the cut full download fails";
  EXPECT_EQ(readFile(dir.file("game.dat")), "old") << "the failed combine restores the old file";
  HttpTransfer::setFirstRetryPause(HttpTransfer::kFirstRetryPauseMs);
  EXPECT_FALSE(test::exists(dir.file("spatchfile_0.tmp")));
  // The first attempt keeps bytes that may be continued; the three that start the body over bring
  // nothing new.
  EXPECT_EQ(requests("game.dat"), 1 + AttemptLedger::kAttemptsPerServer) << "a body cut short is asked for again";
}

TEST_F(DeltaApplierUpdateTest, DeltaDataOfTheWrongSizeIsDeletedAndTheFullFileTaken) {
  ServedFile game{"game.dat", "fresh content"};
  ServedDelta delta{"game.dat.delta", DeltaData().literal("fresh content").bytes(), test::crcOf("old")};
  delta.totalSize = 5;
  game.deltas.push_back(delta);
  install(game, "old", false);
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("game.dat")), game.content);
  EXPECT_FALSE(test::exists(dir.file("game.dat_delta")));
  // Delta data larger than its element says is refused as it arrives, never written past its size.
  const std::vector<std::string> refused = client.linesStartingWith("Http get error 49: ");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0].find("would hold at least 25 bytes (expected at most 5)"), std::string::npos) << refused[0];
}

std::string sha256Of(const std::string& bytes) { return trust::Sha256::hexOf(bytes.data(), bytes.size()); }

class DeltaApplierDigestTest : public test::UpdateTest {
 protected:
  // Builds the model from the manifest text and checks the installation against it, as a load does.
  void loadManifest(const std::string& text) {
    document = test::parseXml(text);
    xmlNode* product = test::firstElementOfRoot(document.get());
    ASSERT_NE(product, nullptr);
    session.resume();
    ASSERT_TRUE(session.products().build(product));
    session.products().aggregateFlags();
    session.products().linkEnvironments();
    scan(0);
  }
};

TEST_F(DeltaApplierDigestTest, DeltaDataAndItsResultCountOnlyWithTheirDigests) {
  const std::string old = "The quick brown fox jumps over the lazy dog";
  const std::string next = "The quick red fox jumps over the lazy dog!";
  const std::string delta = test::DeltaData(static_cast<std::uint32_t>(next.size()))
                                .copy(0, 10)
                                .literal("red")
                                .copy(15, 28)
                                .literal("!")
                                .bytes();
  const std::string wrong(trust::Sha256::kHexLength, 'a');
  struct Case {
    const char* what;
    std::string deltaSha256;
    std::string fileSha256;
    std::string after;        // game.dat after the update
    int fullDownloads;        // requests of the whole file
    bool mismatch;            // a download was refused with 49
    bool resultRefused;       // the combined result was refused for its digest
  };
  const Case cases[] = {
      {"both digests right", sha256Of(delta), sha256Of(next), next, 0, false, false},
      {"other delta data", wrong, sha256Of(next), next, 1, true, false},
      // The combine's result has the manifest's size and CRC, but not its digest: neither it nor the
      // full download (the same bytes) may replace the old file.
      {"another result", sha256Of(delta), wrong, old, 1, true, true},
  };
  ASSERT_TRUE(test::writeFile(serverRoot.file("game.dat"), test::TestHttpServer::gzip(next)));
  ASSERT_TRUE(test::writeFile(serverRoot.file("game.dat.delta"), test::TestHttpServer::gzip(delta)));
  server.serveFolder("/", serverRoot.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    install(test::ServedFile{"game.dat", next}, old, false);
    const std::string manifest =
        "<KorvelPatcher Version=\"1\"><Product Name=\"Game\" " + serverAttributes() + "><File Name=\"game.dat\" "
        "TotalSize=\"" + std::to_string(next.size()) + "\" CRC=\"" +
        std::to_string(static_cast<std::int32_t>(test::crcOf(next))) + "\" SHA256=\"" + c.fileSha256 +
        "\"><DeltaFile FilePath=\"game.dat.delta\" TotalSize=\"" + std::to_string(delta.size()) + "\" CRC=\"" +
        std::to_string(static_cast<std::int32_t>(test::crcOf(old))) + "\" SHA256=\"" + c.deltaSha256 +
        "\"/></File></Product></KorvelPatcher>";
    const int fullBefore = requests("game.dat");
    const std::size_t linesBefore = client.lines().size();
    loadManifest(manifest);

    update();
    EXPECT_EQ(test::readFile(dir.file("game.dat")), c.after);
    EXPECT_EQ(requests("game.dat") - fullBefore, c.fullDownloads);
    const std::vector<int> codes = errorCodes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), result::kFileMismatch) > 0, c.mismatch);
    bool refusedLine = false;
    const std::vector<std::string> lines = client.lines();
    for (std::size_t i = linesBefore; i < lines.size(); ++i)
      if (lines[i].find("Delta result for") != std::string::npos && lines[i].find("SHA-256") != std::string::npos)
        refusedLine = true;
    EXPECT_EQ(refusedLine, c.resultRefused);
    EXPECT_FALSE(test::exists(dir.file("game.dat_delta")));
  }
}

}  // namespace
}  // namespace korvel
