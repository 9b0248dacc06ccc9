// Tests of a file's verification: the decision order of the check, the time tolerance and its override
// by the CRC, install-only and upgrade-only files, the patch cache entry, the folder snapshot, the
// running program's own entry, the scan walks, and the CRC comparison through the session's patch cache.
#include "fileupdate/file_verifier.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileupdate/crc32_checksum.h"
#include "fileupdate/file_node.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/patch_cache.h"
#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kContent = "123456789";
constexpr std::uint32_t kContentCrc = 0xcbf43926u;
constexpr const char* kStamp = "2004:11:17:00:57:29";

std::string crcText(std::uint32_t crc) { return std::to_string(static_cast<std::int32_t>(crc)); }

std::uint32_t crcOf(const std::string& data) {
  Crc32Checksum checksum;
  checksum.reset();
  checksum.update(data.data(), data.size());
  return checksum.value();
}

class FileVerifierTest : public test::ModelTest {
 protected:
  // One file "f.pak" in the folder "data" of a product titled "The Game" (or untitled).
  void build(const std::string& fileAttributes, bool titled = true, const std::string& children = "") {
    ASSERT_TRUE(buildProduct(titled ? "Name=\"P\" Title=\"The Game\" Server=\"patch.host\"" : "Name=\"P\" Server=\"patch.host\"",
                             "<Directory Name=\"data\"><File Name=\"f.pak\" " + fileAttributes + ">" + children +
                                 "</File></Directory>"));
    f = file("f.pak");
    ASSERT_NE(f, nullptr);
    folder = dir.file("data");
  }
  // The current file: the right content with the manifest's time.
  void writeCurrent(const std::string& content = kContent) {
    ASSERT_TRUE(test::writeFile(folder + "\\f.pak", content));
    ASSERT_TRUE(test::setModified(folder + "\\f.pak", f->timeStamp()));
  }
  std::int64_t modified() {
    platform::FileInfo info;
    EXPECT_TRUE(platform::fileInfo(folder + "\\f.pak", info));
    return info.modifiedSeconds;
  }
  std::vector<std::string> discrepancies() {
    return client.linesStartingWith("--- File Discrepancy");
  }
  const std::string matching = "TotalSize=\"9\" CRC=\"" + crcText(kContentCrc) + "\" TimeStamp=\"" + kStamp + "\"";

  FileNode* f = nullptr;
  std::string folder;
};

TEST_F(FileVerifierTest, SixtyOneSecondsOlderWithAMatchingCrcIsOverriddenAndStamped) {
  build(matching);
  writeCurrent();
  ASSERT_TRUE(test::setModified(folder + "\\f.pak", f->timeStamp() - 61));
  EXPECT_TRUE(f->verifier().verify(folder));
  EXPECT_FALSE(f->updateNeeded());
  EXPECT_THAT(discrepancies(),
              ElementsAre("--- File Discrepancy T for [The Game] f.pak: Out of date by 0 hours, 1 minutes, 1 seconds\n",
                          "--- File Discrepancy Overridden.  File is current version.\n"));
  EXPECT_EQ(modified(), f->timeStamp());
  EXPECT_TRUE(f->existsLocally());
}

TEST_F(FileVerifierTest, SixtySecondsEitherWayIsTheSameTime) {
  build(matching);
  for (int offset : {60, -60}) {
    writeCurrent();
    ASSERT_TRUE(test::setModified(folder + "\\f.pak", f->timeStamp() + offset));
    EXPECT_FALSE(f->verifier().timeDiffers(folder, true)) << offset;
    EXPECT_TRUE(f->verifier().verify(folder));
    EXPECT_FALSE(f->updateNeeded()) << offset;
  }
  EXPECT_THAT(discrepancies(), IsEmpty());
}

TEST_F(FileVerifierTest, AnOldFileWithAnotherCrcIsConfirmedWithDaysInTheUntitledLine) {
  build(matching, false);
  writeCurrent("987654321");
  ASSERT_TRUE(test::setModified(folder + "\\f.pak", f->timeStamp() - (2 * 86400 + 3 * 3600 + 4 * 60 + 5)));
  EXPECT_TRUE(f->verifier().verify(folder));
  EXPECT_TRUE(f->updateNeeded());
  EXPECT_THAT(discrepancies(),
              ElementsAre("--- File Discrepancy T for f.pak: Out of date by 2 days, 3 hours, 4 minutes, 5 seconds\n",
                          "--- File Discrepancy C for " + folder + "\\f.pak: local " +
                              crcText(crcOf("987654321")) + ": server " + crcText(kContentCrc) + "\n",
                          "--- File Discrepancy Confirmed.  File is incorrect version.\n"));
}

TEST_F(FileVerifierTest, MissingFilesAreNeededUnlessOnlyUpgradesAreMade) {
  ASSERT_TRUE(buildProduct("Name=\"P\" Title=\"The Game\"", "<Directory Name=\"data\"><File Name=\"f.pak\" " + matching +
                                                              "/><File Name=\"u.pak\" UpgradeOnly=\"yes\" " + matching +
                                                              "/></Directory>"));
  folder = dir.file("data");
  FileNode* missing = file("f.pak");
  FileNode* upgrade = file("u.pak");
  EXPECT_TRUE(missing->verifier().verify(folder));
  EXPECT_TRUE(missing->updateNeeded());
  EXPECT_FALSE(missing->existsLocally());
  EXPECT_TRUE(upgrade->verifier().verify(folder));
  EXPECT_FALSE(upgrade->updateNeeded());
  EXPECT_FALSE(upgrade->existsLocally());
  EXPECT_THAT(discrepancies(), ElementsAre("--- File Discrepancy M for [The Game] f.pak: File not on local machine\n"));
}

TEST_F(FileVerifierTest, AWrongSizeIsADiscrepancyAndDropsTheCacheEntry) {
  build(matching);
  writeCurrent("12345");
  session.patchCache().remember("data\\f.pak", static_cast<std::int32_t>(kContentCrc), 1, 5);
  EXPECT_TRUE(f->verifier().verify(folder));
  EXPECT_TRUE(f->updateNeeded());
  EXPECT_EQ(f->localSize(), 5u);
  EXPECT_THAT(discrepancies(), ElementsAre("--- File Discrepancy S for [The Game] f.pak: local 5, server 9\n"));
  EXPECT_EQ(session.patchCache().entry("data\\f.pak"), nullptr);
}

TEST_F(FileVerifierTest, WithoutATotalSizeTheSizeIsNeverADiscrepancy) {
  build(std::string("TimeStamp=\"") + kStamp + "\"");
  writeCurrent("any length at all");
  EXPECT_FALSE(f->verifier().sizeDiffers(folder));
  EXPECT_TRUE(f->verifier().verify(folder));
  EXPECT_FALSE(f->updateNeeded());
  EXPECT_THAT(discrepancies(), IsEmpty());
}

TEST_F(FileVerifierTest, AnInstallOnlyFileThatExistsIsCurrentWhateverItsSize) {
  build("InstallOnly=\"yes\" " + matching);
  writeCurrent("1");
  EXPECT_TRUE(f->verifier().verify(folder));
  EXPECT_FALSE(f->updateNeeded());
  EXPECT_TRUE(f->existsLocally());
  EXPECT_THAT(discrepancies(), IsEmpty());
}

TEST_F(FileVerifierTest, TheCacheEntryFollowsTheFilesCurrentTimeAndSize) {
  build(std::string("TotalSize=\"9\" TimeStamp=\"") + kStamp + "\"");
  writeCurrent();
  session.patchCache().remember("data\\f.pak", 77, 1, 2);
  EXPECT_TRUE(f->verifier().verify(folder));
  EXPECT_FALSE(f->updateNeeded());
  const PatchCacheEntry* entry = session.patchCache().entry("data\\f.pak");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->crc(), 77);
  EXPECT_EQ(entry->size(), 9);
  EXPECT_EQ(entry->timeStamp(), f->timeStamp());
}

TEST_F(FileVerifierTest, WithoutATimeStampTheCrcDecidesOnceAndTheCacheAnswersAfterwards) {
  build("TotalSize=\"9\" CRC=\"" + crcText(kContentCrc) + "\"");
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", kContent));
  ASSERT_TRUE(test::setModified(folder + "\\f.pak", 1200000000));
  EXPECT_TRUE(f->verifier().verify(folder));
  EXPECT_FALSE(f->updateNeeded());
  EXPECT_THAT(discrepancies(), IsEmpty()) << "no time to compare, so no T line";
  const PatchCacheEntry* entry = session.patchCache().entry("data\\f.pak");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(static_cast<std::uint32_t>(entry->crc()), kContentCrc);

  // Same size and time, other bytes: the remembered CRC answers, the file is not read again.
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", "987654321"));
  ASSERT_TRUE(test::setModified(folder + "\\f.pak", 1200000000));
  EXPECT_TRUE(f->verifier().verify(folder));
  EXPECT_FALSE(f->updateNeeded());
}

TEST_F(FileVerifierTest, AWrongSizeWithDeltasComputesTheLocalCrcAndFindsTheDelta) {
  build(matching, true, "<DeltaFile FilePath=\"f.pak.d\" CRC=\"" + crcText(crcOf("12345")) + "\"/>");
  writeCurrent("12345");
  EXPECT_TRUE(f->verifier().verify(folder));
  EXPECT_EQ(f->localCrc(), crcOf("12345"));
  EXPECT_TRUE(f->deltaAvailable());
  ASSERT_NE(f->appliedDelta(), nullptr);
  const PatchCacheEntry* entry = session.patchCache().entry("data\\f.pak");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(static_cast<std::uint32_t>(entry->crc()), crcOf("12345"));
}

TEST_F(FileVerifierTest, TheSnapshotAnswersOnlyForFilesInTheFolderItDescribes) {
  build(matching);
  writeCurrent();
  session.openCaches(dir.path());
  // Changed after the snapshot was taken: the snapshot still answers with the size it saw.
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", "12345"));
  EXPECT_EQ(f->verifier().sizeOf(folder), 9u);
  EXPECT_EQ(f->verifier().sizeOf(folder, false, true), 5u);
  std::int32_t time = 0;
  ASSERT_TRUE(f->verifier().timeOf(folder, time));
  EXPECT_EQ(time, f->timeStamp());

  // The same relative name under another root is another file.
  const std::string otherFolder = dir.file("elsewhere\\data");
  ASSERT_TRUE(test::writeFile(otherFolder + "\\f.pak", "1234567"));
  EXPECT_EQ(f->verifier().sizeOf(otherFolder), 7u);
}

TEST_F(FileVerifierTest, TheRunningProgramsEntryIsReplacedThroughItsTemporaryName) {
  ASSERT_TRUE(buildProduct("Name=\"P\"", "<File Name=\"Game.exe\" TotalSize=\"9\" CRC=\"" + crcText(kContentCrc) + "\"/>"));
  FileNode* game = file("Game.exe");
  session.setOwnFileName("GAME.EXE");
  ASSERT_TRUE(test::writeFile(dir.file("Game.exe"), "old build"));
  ASSERT_TRUE(test::writeFile(dir.file("_ame.exe"), "leftover"));
  EXPECT_TRUE(game->verifier().verify(dir.path()));
  EXPECT_TRUE(game->restart());
  EXPECT_TRUE(game->updateNeeded());
  EXPECT_TRUE(client.logged("Exe Match: Name is Game.exe, Running exe is GAME.EXE\n"));
  // The new copy is to come under the temporary name, and the session to restart into it and copy it
  // over the program (the session's own handling of this is tested with the session).
  EXPECT_THAT(session.selfReplacements(),
              ElementsAre(test::FakeSession::SelfReplacement{dir.file("_ame.exe"), dir.file("Game.exe")}));

  // Once the program is current (its download dropped the remembered CRC), the leftover temporary
  // copy goes.
  ASSERT_TRUE(test::writeFile(dir.file("Game.exe"), kContent));
  session.patchCache().forget("Game.exe");
  game->setPassFlag(pass::kVerified, false);
  EXPECT_TRUE(game->verifier().verify(dir.path()));
  EXPECT_FALSE(game->updateNeeded());
  EXPECT_FALSE(test::exists(dir.file("_ame.exe")));
}

TEST_F(FileVerifierTest, ANewCopyRunningUnderTheTemporaryNameCopiesItselfOverTheOldProgram) {
  ASSERT_TRUE(buildProduct("Name=\"P\"", "<File Name=\"Game.exe\" TotalSize=\"9\" CRC=\"" + crcText(kContentCrc) + "\"/>"));
  FileNode* game = file("Game.exe");
  session.setOwnFileName("_ame.exe");
  ASSERT_TRUE(test::writeFile(dir.file("Game.exe"), "old build"));
  ASSERT_TRUE(test::writeFile(dir.file("_ame.exe"), kContent));
  EXPECT_TRUE(game->verifier().verify(dir.path()));
  EXPECT_FALSE(game->updateNeeded());
  // The copy is asked for at once, on the calling thread (the session's copy is tested with the session).
  EXPECT_THAT(session.selfCopies(),
              ElementsAre(test::FakeSession::SelfCopy{dir.file("_ame.exe"), dir.file("Game.exe"), true}));
}

TEST_F(FileVerifierTest, RunningProgramNamesMatchIgnoringCaseOrThroughAShortName) {
  build(matching);
  session.setOwnFileName("KorvelPatcher.exe");
  EXPECT_TRUE(f->verifier().isRunningProgram("korvelpatcher.EXE"));
  EXPECT_FALSE(f->verifier().isRunningProgram("KorvelPatcher"));
  session.setOwnFileName("KORVEL~1.EXE");
  EXPECT_TRUE(f->verifier().isRunningProgram("KorvelPatcher.exe"));
  EXPECT_FALSE(f->verifier().isRunningProgram("KorvelPatcher.dat"));
  EXPECT_FALSE(f->verifier().isRunningProgram("Other.exe"));
  session.setOwnFileName("KORVELP~1.EX");
  EXPECT_FALSE(f->verifier().isRunningProgram("KorvelPatcher.exe")) << "the '~' lies beyond the sixth character";
  EXPECT_TRUE(client.logged("Exe Match: Name is KorvelPatcher.exe, Running exe is KORVEL~1.EXE\n"));
}

TEST_F(FileVerifierTest, AScanVerifiesEachFileOncePerPass) {
  build(matching);
  f->scan(scan::kSkipScanned, nullptr, folder);
  f->scan(scan::kSkipScanned, nullptr, folder);
  EXPECT_EQ(discrepancies().size(), 1u);
  EXPECT_TRUE(f->passFlag(pass::kScanned));
  EXPECT_TRUE(f->passFlag(pass::kVerified));
  // A new pass (verified flag reset) skips files already scanned only when asked to.
  f->setPassFlag(pass::kVerified, false);
  f->scan(scan::kSkipScanned, nullptr, folder);
  EXPECT_EQ(discrepancies().size(), 1u);
  f->scan(0, nullptr, folder);
  EXPECT_EQ(discrepancies().size(), 2u);
  // A cancelled session scans nothing.
  f->setPassFlag(pass::kVerified, false);
  session.stop();
  f->scan(0, nullptr, folder);
  EXPECT_EQ(discrepancies().size(), 2u);
}

TEST_F(FileVerifierTest, ACrcScanQuestionsTheCachedCrc) {
  build(matching);
  writeCurrent("987654321");
  session.patchCache().remember("data\\f.pak", static_cast<std::int32_t>(kContentCrc), f->timeStamp(), 9);
  EXPECT_TRUE(f->verifier().verify(folder));
  EXPECT_FALSE(f->updateNeeded()) << "the cache vouches for the file";
  EXPECT_TRUE(f->crcScan(true, 0, folder));
  EXPECT_TRUE(f->updateNeeded());
  EXPECT_EQ(f->localCrc(), crcOf("987654321"));
  EXPECT_FALSE(f->passFlag(pass::kCrcScanRunning));
  EXPECT_EQ(f->useCrc(), 2) << "restored";
  EXPECT_FALSE(f->crcScan(true, 0, folder)) << "once per pass";
}

TEST_F(FileVerifierTest, ANewRootMakesEveryFileCheckItselfThere) {
  build(matching);
  const std::string root = dir.file("install");
  ASSERT_TRUE(test::writeFile(root + "\\data\\f.pak", "12345"));
  top().setLocalRoot(root);
  EXPECT_EQ(f->rootOverride(), root + "\\data");
  EXPECT_TRUE(f->updateNeeded());
  EXPECT_THAT(discrepancies(), ElementsAre("--- File Discrepancy S for [The Game] f.pak: local 5, server 9\n"));
}

TEST_F(FileVerifierTest, AFileFoundCurrentIsFoundCurrentUntilTheSessionWritesAgain) {
  build(matching);
  writeCurrent();
  session.writes = 1;
  f->verifier().verify(folder);
  EXPECT_FALSE(f->updateNeeded());
  // Changed behind the session's back: the session has not written since, so the file is not looked at.
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", "12345"));
  f->verifier().verify(folder);
  EXPECT_FALSE(f->updateNeeded());
  // Once the session may have written, the file is checked again.
  session.writes = 2;
  f->verifier().verify(folder);
  EXPECT_TRUE(f->updateNeeded());
  EXPECT_THAT(discrepancies(), ElementsAre("--- File Discrepancy S for [The Game] f.pak: local 5, server 9\n"));
}

constexpr std::uint32_t kCrc123456789 = 0xcbf43926u;

// One file "f.pak" in the folder "data" of a product titled "The Game", with the CRC given.
class FileVerifierCrcTest : public test::ModelTest {
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

TEST_F(FileVerifierCrcTest, AMatchingCrcStampsTheFileAndIsRemembered) {
  build(std::to_string(kCrc123456789));
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", "123456789"));
  EXPECT_FALSE(f->verifier().compareCrc(folder));
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

TEST_F(FileVerifierCrcTest, ADifferentCrcIsADiscrepancyWithItsLogLine) {
  build("5");
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", "123456789"));
  EXPECT_TRUE(f->verifier().compareCrc(folder));
  EXPECT_TRUE(client.logged("--- File Discrepancy C for [The Game] " + folder + "\\f.pak: local " +
                            std::to_string(static_cast<std::int32_t>(kCrc123456789)) + ": server 5\n"));
}

TEST_F(FileVerifierCrcTest, TheRememberedCrcAnswersWithoutReadingTheFile) {
  build("77");
  session.patchCache().remember("data\\f.pak", 77, 1, 2);
  EXPECT_FALSE(f->verifier().compareCrc(folder));
  EXPECT_EQ(f->localCrc(), 77u);
  EXPECT_FALSE(test::exists(folder + "\\f.pak"));
}

TEST_F(FileVerifierCrcTest, NoCrcKnownOrACancelledSessionIsNoDiscrepancy) {
  build("0");
  EXPECT_FALSE(f->verifier().compareCrc(folder));
  EXPECT_FALSE(f->existsLocally());

  build("5");
  ASSERT_TRUE(test::writeFile(folder + "\\f.pak", "123456789"));
  session.stop();
  EXPECT_FALSE(f->verifier().compareCrc(folder));
  EXPECT_EQ(f->localCrc(), 0u) << "a stopped computation gives no CRC";
}

}  // namespace
}  // namespace korvel
