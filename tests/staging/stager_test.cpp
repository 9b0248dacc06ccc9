// The stager against the background transfer service: what the switch and the version decide, the
// life of a staged version from its job to the staged copies the file nodes take, the clean-up of the
// staging folder, and the checks a staged copy passes before it is put in place.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "bits/tarn_bits_manager.h"
#include "common/file_utils.h"
#include "patchcache/patch_cache.h"
#include "platform/files.h"
#include "staging/trickle_downloader.h"
#include "tests/bits/bits_fixture.h"
#include "tests/support/fake_session.h"
#include "tests/support/model_fixture.h"
#include "tests/support/file_facts.h"
#include "tests/support/test_http_server.h"
#include "trust/sha256.h"

namespace korvel {
namespace {

using namespace std::chrono_literals;
using tarn::trickler::TarnBitsJob;
using tarn::trickler::TarnBitsManager;

class StagerTest : public test::BitsTest {
 protected:
  StagerTest() {
    platform::createDirectory(game());
    session.setDefaultRootPath(game());
    session.setTrickleEnabled(true);
  }

  std::string game() const { return dir.file("game"); }
  // The product name carries the fixture's prefix, so that its jobs are this test's.
  std::string productName() const { return test::narrow(jobName("p")); }
  std::wstring stagedJob(const std::string& version) const { return jobName("p") + L"|Next|" + test::widen(version); }
  std::string stageDir() const { return game() + "\\wd_trickle_stage\\" + test::narrow(TarnBitsManager().userName()); }

  // A manifest whose product holds the non-live distribution "Next"; its stager. A new manifest is a
  // new run's: the stager before it is destroyed (and saves its caches).
  TrickleDownloader* stager(const std::string& attributes, const std::string& body = "") {
    document = test::parseXml("<KorvelPatcher><Product Name=\"" + productName() +
                              "\"><Distribution Live=\"false\" Name=\"Next\" " + attributes + ">" + body +
                              "</Distribution></Product></KorvelPatcher>");
    EXPECT_TRUE(session.products().build(test::firstElementOfRoot(document.get())));
    return dynamic_cast<TrickleDownloader*>(session.tree()->stager());
  }

  // A "File" element of a compressed file served by the test server under /stage/<remote>.
  std::string servedFile(const std::string& remote, const std::string& name, const std::string& content) {
    const std::string body = test::TestHttpServer::gzip(content);
    server.serveBytes("/stage/" + remote, body);
    return "<File Name=\"" + name + "\" TotalSize=\"" + std::to_string(content.size()) + "\" DownloadSize=\"" +
           std::to_string(body.size()) + "\" CRC=\"" + std::to_string(static_cast<std::int32_t>(test::crcOf(content))) +
           "\" TimeStamp=\"" + test::timeStampText(kTime) + "\"/>";
  }
  std::string serverAttributes() const {
    return "Server=\"" + test::TestHttpServer::host() + "\" Port=\"" + std::to_string(server.port()) + "\"";
  }

  bool hasJob(const std::wstring& name) { return TarnBitsManager().hasJob(name); }
  // Cancelled also for a job the service no longer lists (Wine's lists cancelled jobs on).
  platform::BgJobState stateOf(const std::wstring& name) {
    TarnBitsManager manager;
    platform::BgJobState state = platform::BgJobState::Cancelled;
    TarnBitsJob* job = manager.findJob(name);
    return job && job->state(state) ? state : platform::BgJobState::Cancelled;
  }
  void needHelper() {
    if (platform::kBackgroundTransferOwnService && patcherProgram().empty())
      GTEST_SKIP() << "the updater program, which is the service's helper, is not built";
  }

  static constexpr std::int64_t kTime = 1100000000;
  test::FakeSession session;
  // What the client heard: the stager's log lines among them.
  test::RecordingClient& client = session.client();
  test::XmlDocument document;
  test::TestHttpServer server;
};

TEST_F(StagerTest, WithTheSwitchOffNothingIsCreatedAndNothingIsFound) {
  session.setTrickleEnabled(false);
  TrickleDownloader* next = stager("Version=\"2\"", servedFile("a.pak", "a.pak", "bytes"));
  ASSERT_NE(next, nullptr);
  next->stageDistribution();
  EXPECT_FALSE(next->getStagedFile(game(), game() + "\\a.pak", test::crcOf("bytes"), 5, 0, true, {}));
  EXPECT_TRUE(client.logged("TrickleDownloader disabled, skipping stage operation\n"));
  EXPECT_FALSE(hasJob(stagedJob("2")));
  EXPECT_FALSE(test::exists(game() + "\\wd_trickle_stage"));
  EXPECT_EQ(server.totalRequests(), 0);
}

TEST_F(StagerTest, WhatTheVersionDecidesBeforeAnyFileIsStaged) {
  // No version: never staged. A version that reads as 0 with no job: one restage per call, not one
  // without end. An empty distribution: its job is made, found empty and cancelled, and a second call
  // only logs.
  TrickleDownloader* none = stager("", servedFile("a.pak", "a.pak", "bytes"));
  none->stageDistribution();
  EXPECT_TRUE(client.logged("TrickleDownloader::versionChanged(): WARNING: Distribution has no version!\n"));
  EXPECT_TRUE(none->done());
  EXPECT_FALSE(hasJob(stagedJob("0")));

  TrickleDownloader* zero = stager("Version=\"0\"", servedFile("a.pak", "a.pak", "bytes"));
  zero->stageDistribution();
  EXPECT_EQ(client.countLogged("  BITS Job missing (could be complete), restaging...\n"), 2);
  EXPECT_TRUE(zero->done());

  TrickleDownloader* empty = stager("Version=\"4\"");
  empty->stageDistribution();
  empty->stageDistribution();
  EXPECT_TRUE(client.logged("TrickleDownloader staging cache size: 0\n"));
  EXPECT_FALSE(client.logged(" BITS job created\n"));
  EXPECT_EQ(stateOf(stagedJob("4")), platform::BgJobState::Cancelled);
  EXPECT_EQ(client.countLogged("TrickleDownloader::stageDistribution()\n"), 5);
  EXPECT_EQ(server.totalRequests(), 0);
}

TEST_F(StagerTest, TheStagedVersionWithItsJobPresentIsOnlyResumed) {
  const std::string file = servedFile("a.pak", "a.pak", "bytes");
  ASSERT_TRUE(createDirectoryPath(stageDir()));
  {
    TarnBitsManager manager;
    TarnBitsJob* job = manager.addJob(stagedJob("2"));
    ASSERT_NE(job, nullptr);
    ASSERT_TRUE(job->addFile(test::widen(server.url("/stage/a.pak")), test::widen(stageDir() + "\\a.pak")));
    ASSERT_TRUE(job->isSuspended());
  }
  PatchCache handed;
  handed.open(TrickleDownloader::kCurrentCacheName, stageDir());
  handed.setSerial("2");
  ASSERT_TRUE(handed.save());

  TrickleDownloader* next = stager("Version=\"2\" " + serverAttributes(), "<Directory Name=\".\" RemotePath=\"stage\">" + file + "</Directory>");
  next->stageDistribution();
  EXPECT_TRUE(client.logged("  current version already staged\n"));
  EXPECT_FALSE(client.logged(" BITS job created\n"));
  EXPECT_NE(stateOf(stagedJob("2")), platform::BgJobState::Suspended);
}

TEST_F(StagerTest, AStagedVersionArrivesIsCompletedByTheNextAndItsCopiesAreTakenExpandedAndChecked) {
  needHelper();
  // Under Wine the system service fails now and then to create this test's job (about one full Wine
  // session in three; never when the program runs alone), which is not yet understood: the course is
  // covered against the POSIX service here and by the real program in staging_test.sh.
  if (!platform::kBackgroundTransferOwnService)
    GTEST_SKIP() << "the system's background transfer service is not reliable enough under Wine for this course";
  const std::string a = std::string(200000, 'a') + "end of a";
  const std::string b = "the b file\n";
  const std::string files = "<Directory Name=\".\" RemotePath=\"stage/v2\">" + servedFile("v2/a.pak", "a.pak", a) +
                            "<Directory Name=\"data\">" + servedFile("v2/data/b.pak", "b.pak", b) + "</Directory></Directory>";
  TrickleDownloader* first = stager("Version=\"2\" " + serverAttributes(), files);
  first->stageDistribution();
  EXPECT_TRUE(client.logged(" BITS job created\n"));
  EXPECT_EQ(first->currentCache().entries().size(), 2u);
  ASSERT_TRUE(test::waitFor([&] { return stateOf(stagedJob("2")) == platform::BgJobState::Transferred; }, 60s));

  // The next run's manifest has version 3 with the same files. The job of 2 is completed first: its
  // files are known to have arrived, nothing is handed out any more.
  TrickleDownloader* second = stager("Version=\"3\" " + serverAttributes(), files);
  {
    TarnBitsManager manager;
    second->completeCurrentJob(manager);
  }
  EXPECT_TRUE(client.logged("TrickleDownloader successfully completed job\n"));
  EXPECT_EQ(second->transferCache().entries().size(), 2u);
  EXPECT_TRUE(second->currentCache().entries().empty());
  PatchCache handed;
  handed.open(TrickleDownloader::kCurrentCacheName, stageDir());
  EXPECT_FALSE(handed.serial());
  EXPECT_TRUE(handed.entries().empty());
  // Wine's service lists an acknowledged job on.
  if (platform::kBackgroundTransferOwnService) {
    EXPECT_FALSE(hasJob(stagedJob("2")));
  }
  // Version 3 needs none of the files that arrived: its job is cancelled empty.
  second->stageDistribution();
  EXPECT_EQ(stateOf(stagedJob("3")), platform::BgJobState::Cancelled);
  EXPECT_EQ(second->transferCache().entries().size(), 2u);
  EXPECT_EQ(server.requestCount("/stage/v2/a.pak"), 1);

  // The live file takes the staged copy: expanded, checked, renamed into place.
  ASSERT_TRUE(platform::createDirectory(game() + "\\data"));
  ASSERT_TRUE(test::writeFile(game() + "\\data\\b.pak", "old b"));
  EXPECT_TRUE(second->getStagedFile(game(), game() + "\\data\\b.pak", test::crcOf(b), static_cast<std::int32_t>(b.size()),
                                    test::manifestTime(kTime), true, {}));
  EXPECT_EQ(test::readFile(game() + "\\data\\b.pak"), b);
  EXPECT_FALSE(test::exists(stageDir() + "\\data\\b.pak"));
  EXPECT_TRUE(client.logged("TrickleDownloader::getStagedFile() '" + stageDir() + "\\data\\b.pak': matched and moved\n"));
  EXPECT_EQ(second->transferCache().entries().size(), 1u);
}

TEST_F(StagerTest, ACleanUpRemovesOnlyWhatNoCacheKnows) {
  TrickleDownloader* next = stager("Version=\"2\"");
  next->loadCaches();
  const std::string stage = next->getStageDir();
  const std::vector<std::pair<std::string, bool>> files = {
      {"a.pak.1a2b3c4d.tmp", true},       // a partial file of the service
      {"CurrPatchCache2.xml", true},      // a cache document
      {"maps\\world.xml.gz", true},       // a name that merely contains ".xml"
      {"data\\arrived.pak", true},        // known to the transfer cache
      {"data\\stray.pak", false},         // known to nobody
  };
  for (const auto& [name, kept] : files) ASSERT_TRUE(test::writeFile(stage + "\\" + name, name));
  next->transferCache().remember(stage + "\\data\\arrived.pak", 1, 0, 16);
  next->cleanStageDir();
  for (const auto& [name, kept] : files) EXPECT_EQ(test::exists(stage + "\\" + name), kept) << name;
}

TEST_F(StagerTest, AStagedCopyIsPutInPlaceOnlyWhenItIsTheManifestsFile) {
  const std::string content = "the real file\n";
  const std::string fake = "the fake file\n";  // the same size
  const std::uint32_t crc = test::crcOf(content);
  const auto size = static_cast<std::int32_t>(content.size());
  const std::string digest = trust::Sha256::hexOf(content.data(), content.size());
  const std::string otherDigest = trust::Sha256::hexOf(fake.data(), fake.size());
  // Delta data is asked for by the CRC of the old file it applies to.
  const std::uint32_t oldCrc = test::crcOf("the old file\n");
  struct Case {
    const char* name;
    std::string staged;       // the staged bytes ("" for none on disk)
    std::uint32_t entryCrc;   // what the transfer cache says (0: no entry)
    bool taken;
    const char* outcome;      // the end of the log line
    std::optional<std::string> sha256 = std::nullopt;
    const char* deltaName = nullptr;  // delta data staged under this name
  };
  const char* removed = "matched , but it is not the manifest's file (size, CRC or SHA-256 differ), removed.\n";
  const std::vector<Case> cases = {
      {"gzip.pak", test::TestHttpServer::gzip(content), crc, true, "matched and moved\n"},
      {"plain.pak", content, crc, true, "matched and moved\n"},
      {"damaged.pak", test::TestHttpServer::gzip(fake), crc, false, removed},
      {"cut.pak", test::TestHttpServer::gzip(content).substr(0, 20), crc, false, removed},
      {"longer.pak", test::TestHttpServer::gzip(content + content), crc, false, removed},
      {"other.pak", content, crc + 1, false, "Asset doesn't match given crc\n"},
      {"never.pak", "", 0, false, "No asset exists by that name\n"},
      {"digest.pak", test::TestHttpServer::gzip(content), crc, true, "matched and moved\n", digest},
      {"otherdigest.pak", content, crc, false, removed, otherDigest},
      {"e.pak_delta", test::TestHttpServer::gzip(content), oldCrc, true, "matched and moved\n", digest, "e.pak_2.delta"},
      {"f.pak_delta", test::TestHttpServer::gzip(fake), oldCrc, false, removed, digest, "f.pak_2.delta"},
      {"g.pak_delta", content, oldCrc, true, "matched and moved\n", std::nullopt, "g.pak_2.delta"},
  };
  TrickleDownloader* next = stager("Version=\"2\"");
  next->loadCaches();
  const std::string stage = next->getStageDir();
  for (const Case& each : cases) {
    const std::string target = game() + "\\" + each.name;
    const std::string stagedAs = stage + "\\" + (each.deltaName ? each.deltaName : each.name);
    ASSERT_TRUE(test::writeFile(target, "old"));
    if (!each.staged.empty()) {
      ASSERT_TRUE(test::writeFile(stagedAs, each.staged));
    }
    if (each.entryCrc) next->transferCache().remember(stagedAs, static_cast<std::int32_t>(each.entryCrc), 0, size);
    StagedCopyCheck check;
    check.sha256 = each.sha256;
    if (each.deltaName) check.deltaName = each.deltaName;
    EXPECT_EQ(next->getStagedFile(game(), target, each.deltaName ? oldCrc : crc, size, 0, true, check), each.taken)
        << each.name;
    EXPECT_EQ(test::readFile(target), each.taken ? content : "old") << each.name;
    EXPECT_TRUE(client.logged("TrickleDownloader::getStagedFile() '" + stagedAs + "': " + each.outcome)) << each.name;
  }
}

}  // namespace
}  // namespace korvel
