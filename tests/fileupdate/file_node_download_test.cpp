// Whole updates against a served tree: replaced files and their times, deltas applied, skipped and
// falling back, stops during a transfer, size checks, removal of files marked "Delete", and the
// running program's own entry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <libxml/tree.h>

#include <thread>

#include "fileupdate/delta_patch.h"
#include "fileupdate/file_node.h"
#include "manifest/product_record.h"
#include <algorithm>

#include "platform/folder_listing.h"
#include "common/result_codes.h"
#include "tests/fileupdate/update_fixture.h"
#include "transfer/http_transfer.h"

namespace korvel {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using test::DeltaData;
using test::readFile;
using test::ServedDelta;
using test::ServedFile;

constexpr const char* kBadFile = "Error: Bad File.  Please redownload this file.\n";

using FileNodeDownloadTest = test::UpdateTest;

TEST_F(FileNodeDownloadTest, MissingStaleAndCorruptedFilesGetTheServedBytesAndTheManifestTime) {
  const ServedFile missing{"data\\missing.bin", "missing file content", 1100000000};
  const ServedFile stale{"data\\stale.bin", "the new version, longer", 1100000100};
  const ServedFile corrupted{"corrupted.bin", "exactly twenty bytes", 1100000200};
  const ServedFile current{"current.bin", "already current", 1100000300};
  install(stale, "old version");
  install(corrupted, "EXACTLY twenty bytes");
  install(current, current.content);
  load({missing, stale, corrupted, current});

  ASSERT_EQ(update(), result::kOk);
  for (const ServedFile* each : {&missing, &stale, &corrupted, &current}) {
    SCOPED_TRACE(each->name);
    EXPECT_EQ(readFile(dir.file(each->name)), each->content);
    EXPECT_EQ(modified(each->name), test::manifestTime(each->time));
  }
  EXPECT_EQ(requests(current.name), 0);
  EXPECT_TRUE(client.logged("Downloading missing.bin\n")) << "the name within its folder";
  EXPECT_THAT(errorCodes(), IsEmpty());
  EXPECT_FALSE(file(stale.name)->updateNeeded());
  EXPECT_EQ(file(stale.name)->localCrc(), test::crcOf(stale.content));
}

TEST_F(FileNodeDownloadTest, DeltaIsAppliedToAFileWhoseCrcMatches) {
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

TEST_F(FileNodeDownloadTest, DeltaForAnotherOldVersionIsSkipped) {
  ServedFile game{"game.dat", "new content"};
  game.deltas.push_back({"game.dat.delta", DeltaData(11).literal("new content").bytes(), test::crcOf("other")});
  install(game, "old", false);
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("game.dat")), "new content");
  EXPECT_EQ(requests("game.dat.delta"), 0);
  EXPECT_EQ(requests("game.dat"), 1);
}

TEST_F(FileNodeDownloadTest, DeltaOfTheWrongSizeFallsBackToTheFullFile) {
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

TEST_F(FileNodeDownloadTest, MalformedDeltaKeepsTheOldFileAndFallsBackToTheFullFile) {
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

TEST_F(FileNodeDownloadTest, DeltaDataOfTheWrongSizeIsDeletedAndTheFullFileTaken) {
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

// A file node whose delta ends in a partial patch.
class PartialPatchFile : public FileNode {
 public:
  explicit PartialPatchFile(FileNodeServices* session) : FileNode(session) {}
  void choose() {
    deltaAvailable_ = true;
    needsUpdate_ = true;
  }
  int applyDelta(bool, TextArgument) override { return result::kPartialPatch; }
};

TEST_F(FileNodeDownloadTest, PartialPatchStopsWithBadFileUnlessCancelled) {
  const ServedFile game{"game.dat", "served"};
  load({game});
  test::XmlDocument document = test::parseXml("<File Name=\"game.dat\" TotalSize=\"6\"/>");
  PartialPatchFile node(&session);
  ASSERT_TRUE(node.readFromElement(xmlDocGetRootElement(document.get()), nullptr, nullptr, nullptr, nullptr,
                                   session.topProduct()));
  node.choose();
  EXPECT_EQ(node.download(0, nullptr, dir.path()), result::kComponentInvalid);
  EXPECT_TRUE(client.logged("Error with partial patch, cancelling immediately.\n"));
  EXPECT_THAT(client.errors(), Not(IsEmpty()));
  EXPECT_EQ(client.errors().back().code, 44);
  EXPECT_EQ(client.errors().back().message, kBadFile);
  EXPECT_FALSE(test::exists(dir.file("game.dat")));

  // Once the session is stopped, the partial patch is just a failed delta: the full download then
  // sees the stop.
  session.stop();
  EXPECT_EQ(node.download(0, nullptr, dir.path()), result::kStopped);
  EXPECT_EQ(client.errors().back().code, 120);
  EXPECT_EQ(client.errors().back().message, "Download cancelled at file game.dat\n");
}

TEST_F(FileNodeDownloadTest, StopDuringATransferReports120AndLeavesTheOldFileWhole) {
  // Bytes that do not compress, so that the part sent first is more than the 100 bytes a stop needs,
  // and more than one 16 KiB read buffer (WinINet returns a read only once its buffer is full).
  std::string body(60000, '\0');
  std::uint32_t seed = 12345;
  for (char& byte : body) byte = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
  const ServedFile game{"game.dat", body};
  install(game, "old", false);
  load({game});
  // The server sends part of the body and holds the rest until the test has stopped the session.
  server.serveGated("/game.dat", test::TestHttpServer::gzip(body), 20000);

  int code = -1;
  std::thread worker([&] { code = update(); });
  while (requests("game.dat") == 0) platform::sleepMs(1);
  session.stop();
  worker.join();
  server.openGate("/game.dat");
  EXPECT_EQ(code, result::kStopped);

  EXPECT_EQ(readFile(dir.file("game.dat")), "old");
  EXPECT_THAT(errorCodes(), Contains(120));
  EXPECT_TRUE(client.logged("Download cancelled at file game.dat\n"));
  platform::FolderListing listing(dir.path());
  ASSERT_TRUE(listing.isOpen());
  for (platform::FolderEntry entry; listing.next(entry);)
    EXPECT_THAT(entry.name, Not(::testing::EndsWith(".tmp"))) << "no half-written download is left";
}

TEST_F(FileNodeDownloadTest, NothingButTheManifestsBytesReplacesTheOldFile) {
  // An error page, a body that is not gzip, a gzip body with a broken trailer, and a body of the
  // right size with other bytes: each fails with its code, and the old file stays with nothing beside.
  std::string brokenTrailer = test::TestHttpServer::gzip("the real content");
  brokenTrailer[brokenTrailer.size() - 6] ^= 0x55;
  struct Case {
    const char* what;
    bool compressed;
    int status;
    std::string body;
    int code;
  };
  const std::vector<Case> cases = {
      {"404 page for a compressed file", true, 404, "<html>not here</html>", result::kHttpStatus},
      {"500 page for an uncompressed file", false, 500, "<html>oops</html>", result::kHttpStatus},
      {"plain body where gzip is due", true, 200, "the real content", result::kGzipFailed},
      {"gzip body with a wrong CRC", true, 200, brokenTrailer, result::kGzipFailed},
      {"right size, wrong bytes", false, 200, "the fake content", result::kFileMismatch},
      {"wrong size", false, 200, "short", result::kFileMismatch},
  };
  for (std::size_t index = 0; index < cases.size(); ++index) {
    const Case& each = cases[index];
    SCOPED_TRACE(each.what);
    const std::string name = "case" + std::to_string(index) + ".dat";
    ServedFile game{name, "the real content", 1100000000, each.compressed ? "" : "Compressed=\"false\""};
    game.served = false;
    server.serveBytes("/" + name, each.body, each.status);
    install(game, "the old content", false);
    load({game});
    const std::size_t before = errorCodes().size();

    update();
    EXPECT_EQ(readFile(dir.file(name)), "the old content");
    const std::vector<int> codes = errorCodes();
    EXPECT_THAT(std::vector<int>(codes.begin() + static_cast<std::ptrdiff_t>(before), codes.end()),
                Contains(each.code));
    platform::FolderListing listing(dir.path());
    ASSERT_TRUE(listing.isOpen());
    for (platform::FolderEntry entry; listing.next(entry);) {
      EXPECT_THAT(entry.name, Not(::testing::EndsWith(".tmp")));
      EXPECT_THAT(entry.name, Not(::testing::EndsWith(".gz")));
    }
  }
}

TEST_F(FileNodeDownloadTest, TotalSizeZeroIsNeitherCheckedNorStamped) {
  ServedFile game{"game.dat", "any size at all"};
  game.totalSize = 0;
  game.withCrc = false;
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("game.dat")), game.content);
  EXPECT_NE(modified("game.dat"), test::manifestTime(game.time));
  EXPECT_THAT(errorCodes(), IsEmpty());
}

TEST_F(FileNodeDownloadTest, DeleteMarkedFilesAreRemovedButAReadOnlyOneIsKept) {
  const ServedFile gone{"gone.bin", "x", 1100000000, "Delete=\"yes\""};
  const ServedFile locked{"locked.bin", "y", 1100000000, "Delete=\"yes\""};
  install(gone, "remove me");
  install(locked, "keep me");
  ASSERT_TRUE(platform::setFileAttributes(dir.file(locked.name), platform::kAttributeReadOnly));
  load({gone, locked});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_FALSE(test::exists(dir.file(gone.name)));
  EXPECT_TRUE(test::exists(dir.file(locked.name)));
  EXPECT_TRUE(client.logged("FileDownloader::Delete() '" + dir.file(gone.name) + "'\n"));
  EXPECT_FALSE(file(gone.name)->isDeleteMarked());
  EXPECT_TRUE(file(locked.name)->isDeleteMarked());
  platform::setFileAttributes(dir.file(locked.name), platform::kAttributeNormal);
}

TEST_F(FileNodeDownloadTest, DistributionOverItsLimitKeepsItsFilesAndLogsEachOnce) {
  const ServedFile first{"first.bin", "twenty bytes of data"};
  const ServedFile second{"second.bin", "another twenty bytes"};
  install(second, "old");
  load({first, second}, "LimitDefault=\"30\"");

  ASSERT_EQ(update(), result::kOk);
  ASSERT_EQ(update(), result::kOk);
  EXPECT_FALSE(test::exists(dir.file(first.name)));
  EXPECT_EQ(readFile(dir.file(second.name)), "old");
  EXPECT_EQ(server.totalRequests(), 0);
  EXPECT_EQ(client.countLogged("Download Limit Exceeded. [Game] File not updated: first.bin\n"), 1);
  EXPECT_EQ(client.countLogged("Download Limit Exceeded. [Game] File not updated: second.bin\n"), 1);
  EXPECT_THAT(errorCodes(), ElementsAre(86));
  EXPECT_EQ(session.limitWarnings(), 2) << "one for each file left alone";
}

TEST_F(FileNodeDownloadTest, RunningProgramIsDownloadedToItsTemporaryName) {
  session.setOwnFileName("korvel.exe");
  const ServedFile self{"korvel.exe", "new program", 1100000000, "Restart=\"yes\""};
  install(self, "old program", false);
  load({self});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("korvel.exe")), "old program") << "the running file is never written";
  EXPECT_EQ(readFile(dir.file("_orvel.exe")), "new program");
  EXPECT_EQ(modified("_orvel.exe"), test::manifestTime(self.time));
  // The new copy under the temporary name is what the session is to restart, and it names the file it
  // replaces (the session's own handling of this is tested with the session).
  const auto replacements = session.selfReplacements();
  ASSERT_FALSE(replacements.empty());
  EXPECT_EQ(replacements.front(), (test::FakeSession::SelfReplacement{dir.file("_orvel.exe"), dir.file("korvel.exe")}));
  EXPECT_THAT(session.restartRequests(), ElementsAre(test::FakeSession::Restart{dir.file("_orvel.exe"), true}));
}

TEST_F(FileNodeDownloadTest, TransferErrorIsPassedUpAndLogged) {
  const ServedFile game{"game.dat", "content"};
  load({game});
  // Cut short every time, and never continued.
  test::HttpReply cut(200, test::TestHttpServer::gzip(game.content));
  cut.dropAfter = 10;
  cut.answersRanges = false;
  server.serveReply("/game.dat", cut);
  HttpTransfer::setFirstRetryPause(1);

  EXPECT_NE(update(), result::kOk) << "the transfer's code, which depends on the system";
  HttpTransfer::setFirstRetryPause(HttpTransfer::kFirstRetryPauseMs);
  EXPECT_TRUE(client.logged("Download error for game.dat\n"));
  EXPECT_FALSE(test::exists(dir.file("game.dat")));
  EXPECT_TRUE(file("game.dat")->updateNeeded());
}

}  // namespace
}  // namespace korvel
