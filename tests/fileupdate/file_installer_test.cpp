// Tests of a file's installation: whole updates against a served tree (replaced files and their times,
// a partial patch, stops during a transfer, size checks, the running program's own entry) and the
// removal of files marked "Delete".
#include "fileupdate/file_installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <libxml/tree.h>

#include <algorithm>
#include <thread>

#include "common/result_codes.h"
#include "fileupdate/file_node.h"
#include "manifest/product_record.h"
#include "patchcache/patch_cache.h"
#include "platform/folder_listing.h"
#include "tests/fileupdate/update_fixture.h"
#include "transfer/http_transfer.h"

namespace korvel {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using test::readFile;
using test::ServedFile;

constexpr const char* kBadFile = "Error: Bad File.  Please redownload this file.\n";

using FileInstallerTest = test::UpdateTest;

TEST_F(FileInstallerTest, MissingStaleAndCorruptedFilesGetTheServedBytesAndTheManifestTime) {
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

TEST_F(FileInstallerTest, PartialPatchStopsWithBadFileUnlessCancelled) {
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

TEST_F(FileInstallerTest, StopDuringATransferReports120AndLeavesTheOldFileWhole) {
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

TEST_F(FileInstallerTest, NothingButTheManifestsBytesReplacesTheOldFile) {
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

TEST_F(FileInstallerTest, TotalSizeZeroIsNeitherCheckedNorStamped) {
  ServedFile game{"game.dat", "any size at all"};
  game.totalSize = 0;
  game.withCrc = false;
  load({game});

  ASSERT_EQ(update(), result::kOk);
  EXPECT_EQ(readFile(dir.file("game.dat")), game.content);
  EXPECT_NE(modified("game.dat"), test::manifestTime(game.time));
  EXPECT_THAT(errorCodes(), IsEmpty());
}

TEST_F(FileInstallerTest, DeleteMarkedFilesAreRemovedButAReadOnlyOneIsKept) {
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

TEST_F(FileInstallerTest, DistributionOverItsLimitKeepsItsFilesAndLogsEachOnce) {
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

TEST_F(FileInstallerTest, RunningProgramIsDownloadedToItsTemporaryName) {
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

TEST_F(FileInstallerTest, TransferErrorIsPassedUpAndLogged) {
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

// One file "f.pak" in the folder "data", as the model reads it.
class FileRemovalTest : public test::ModelTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(buildProduct("Name=\"P\"", "<Directory Name=\"data\"><File Name=\"f.pak\" CRC=\"5\"/></Directory>"));
    f = file("f.pak");
    folder = dir.file("data");
  }
  FileNode* f = nullptr;
  std::string folder;
};

TEST_F(FileRemovalTest, RemoveDeletedDeletesOnlyWritableMarkedFiles) {
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
