// Transfers end to end: a resumed job's files arrive from the test server while nothing of the program
// holds the service open, failures name the remote file, and on POSIX a helper killed mid-file is
// followed by one that continues the partial file with a range request.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "bits/tarn_bits_manager.h"
#include "platform/background_transfer.h"
#include "platform/files.h"
#include "platform/folder_listing.h"
#include "tests/bits/bits_fixture.h"
#include "tests/support/test_http_server.h"

namespace korvel {
namespace {

using namespace std::chrono_literals;
using tarn::trickler::TarnBitsFile;
using tarn::trickler::TarnBitsJob;
using tarn::trickler::TarnBitsManager;

std::string pattern(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(((i + seed) * 2654435761u) >> 13);
  return data;
}

class BackgroundTransferTest : public test::BitsTest {
 protected:
  void SetUp() override {
    if (platform::kBackgroundTransferOwnService && patcherProgram().empty())
      GTEST_SKIP() << "the updater program, which is the service's helper, is not built";
  }

  platform::BgJobState stateOf(const std::wstring& name) {
    TarnBitsManager manager;
    platform::BgJobState state = platform::BgJobState::Cancelled;
    TarnBitsJob* job = manager.findJob(name);
    if (!job || !job->state(state)) return platform::BgJobState::Cancelled;
    return state;
  }

  test::TestHttpServer server;
};

TEST_F(BackgroundTransferTest, AResumedJobsFilesArriveWithNobodyHoldingTheServiceAndCompletionKeepsThem) {
  const std::string big = pattern(700 * 1024, 1);
  const std::string small = "a small file\n";
  server.serveBytes("/stage/big.bin", big);
  server.serveBytes("/stage/small.txt", small);
  ASSERT_TRUE(platform::createDirectory(dir.file("stage")));
  const std::string bigPath = dir.file("stage\\big.bin");
  const std::string smallPath = dir.file("stage\\small.txt");
  const std::wstring name = jobName("p|d|7");
  {
    TarnBitsManager manager;
    TarnBitsJob* job = manager.addJob(name);
    ASSERT_NE(job, nullptr);
    ASSERT_TRUE(job->addFile(test::widen(server.url("/stage/big.bin")), test::widen(bigPath)));
    ASSERT_TRUE(job->addFile(test::widen(server.url("/stage/small.txt")), test::widen(smallPath)));
    EXPECT_EQ(job->fileCount(), 2u);
    EXPECT_TRUE(platform::succeeded(job->resume()));
  }
  if (platform::kBackgroundTransferOwnService) {
    // The helper renames each file into place as it completes and ends when nothing is left to do.
    EXPECT_TRUE(test::waitFor([&] { return test::exists(bigPath) && test::exists(smallPath); }, 60s));
    EXPECT_TRUE(test::waitFor([] { return platform::backgroundTransferHelperProcess() == 0; }, 20s));
  }
  ASSERT_TRUE(test::waitFor([&] { return stateOf(name) == platform::BgJobState::Transferred; }, 60s));

  TarnBitsManager manager;
  TarnBitsJob* job = manager.findJob(name);
  ASSERT_NE(job, nullptr);
  EXPECT_FALSE(job->isInError());
  for (TarnBitsFile* file : job->files()) {
    ASSERT_NE(job->findFile(file->name()), nullptr);
    EXPECT_TRUE(file->isCompleted()) << test::narrow(file->name());
    EXPECT_EQ(file->bytesTransferred(), file->bytesTotal());
  }
  platform::BgJobProgress progress;
  ASSERT_TRUE(job->progress(progress));
  EXPECT_EQ(progress.FilesTransferred, 2u);
  EXPECT_EQ(progress.BytesTransferred, big.size() + small.size());
  if (platform::kBackgroundTransferOwnService) {
    EXPECT_EQ(progress.BytesTotal, big.size() + small.size());
  }

  EXPECT_TRUE(manager.completeJob(job));
  EXPECT_TRUE(test::readFile(bigPath) == big);
  EXPECT_EQ(test::readFile(smallPath), small);
  EXPECT_EQ(server.requestCount("/stage/big.bin"), 1);
  // Nothing but the two files is left in their folder.
  platform::FolderListing listing(dir.file("stage"));
  int entries = 0;
  platform::FolderEntry entry;
  while (listing.next(entry))
    if (entry.name != "." && entry.name != "..") ++entries;
  EXPECT_EQ(entries, 2);
  // The service forgets an acknowledged job (Wine's lists it on).
  if (platform::kBackgroundTransferOwnService) {
    TarnBitsManager after;
    EXPECT_FALSE(after.hasJob(name));
  }
}

TEST_F(BackgroundTransferTest, AFileTheServerDoesNotHavePutsTheJobInErrorNamingTheRemoteFile) {
  server.serveNotFoundPage("/stage/gone.bin");
  const std::string url = server.url("/stage/gone.bin");
  const std::wstring name = jobName("p|d|8");
  TarnBitsManager manager;
  TarnBitsJob* job = manager.addJob(name);
  ASSERT_NE(job, nullptr);
  ASSERT_TRUE(job->addFile(test::widen(url), test::widen(dir.file("gone.bin"))));
  ASSERT_TRUE(platform::succeeded(job->resume()));
  ASSERT_TRUE(test::waitFor([&] {
    platform::BgJobState state;
    return job->state(state) && state == platform::BgJobState::Error;
  }, 60s));
  EXPECT_TRUE(job->isInError());
  EXPECT_FALSE(job->lastError().empty());
  if (platform::kBackgroundTransferOwnService) {
    EXPECT_EQ(job->lastError(), L"HTTP status 404: the server has no file at this URL. remote name: " + test::widen(url));
  }
  EXPECT_FALSE(test::exists(dir.file("gone.bin")));
}

TEST_F(BackgroundTransferTest, CancellingAJobMidFileRemovesThePartialFile) {
  constexpr std::size_t kFirst = 64 * 1024;
  server.serveGated("/stage/big.bin", pattern(256 * 1024, 3), kFirst);
  ASSERT_TRUE(platform::createDirectory(dir.file("stage")));
  const std::string target = dir.file("stage\\big.bin");
  auto entries = [&] {
    platform::FolderListing listing(dir.file("stage"));
    int count = 0;
    platform::FolderEntry entry;
    while (listing.next(entry))
      if (entry.name != "." && entry.name != "..") ++count;
    return count;
  };
  const std::wstring name = jobName("p|d|10");
  TarnBitsManager manager;
  TarnBitsJob* job = manager.addJob(name);
  ASSERT_NE(job, nullptr);
  ASSERT_TRUE(job->addFile(test::widen(server.url("/stage/big.bin")), test::widen(target)));
  ASSERT_TRUE(platform::succeeded(job->resume()));
  TarnBitsFile* file = job->findFile(test::widen(target));
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(test::waitFor([&] { return file->bytesTransferred() > 0; }, 30s));
  // The partial file beside its target (Wine's service keeps it elsewhere).
  if (platform::kBackgroundTransferOwnService) {
    EXPECT_EQ(entries(), 1);
  }

  manager.removeJob(name, true);
  EXPECT_FALSE(manager.hasJob(name));
  EXPECT_TRUE(test::waitFor([&] { return entries() == 0; }, 20s));
  server.openGate("/stage/big.bin");
  EXPECT_FALSE(test::exists(target));
}

TEST_F(BackgroundTransferTest, AKilledHelperIsFollowedByOneThatContinuesThePartialFileWithARange) {
  if (!platform::kBackgroundTransferOwnService) GTEST_SKIP() << "the system's service keeps its helpers to itself";
  const std::string body = pattern(300 * 1024, 2);
  constexpr std::size_t kFirst = 100 * 1024;
  server.serveGated("/stage/big.bin", body, kFirst);
  const std::string target = dir.file("big.bin");
  const std::wstring name = jobName("p|d|9");
  {
    TarnBitsManager manager;
    TarnBitsJob* job = manager.addJob(name);
    ASSERT_NE(job, nullptr);
    ASSERT_TRUE(job->addFile(test::widen(server.url("/stage/big.bin")), test::widen(target)));
    ASSERT_TRUE(platform::succeeded(job->resume()));
    TarnBitsFile* file = job->findFile(test::widen(target));
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(test::waitFor([&] { return file->bytesTransferred() == kFirst; }, 30s)) << file->bytesTransferred();
  }
  const std::int64_t first = platform::backgroundTransferHelperProcess();
  ASSERT_GT(first, 0);
  ASSERT_EQ(std::system(("kill -KILL " + std::to_string(first)).c_str()), 0);
  ASSERT_TRUE(test::waitFor([] { return platform::backgroundTransferHelperProcess() == 0; }, 20s));
  EXPECT_FALSE(test::exists(target));

  // The server now answers in full; the next manager finds the job with work and no helper, and starts one.
  server.serveBytes("/stage/big.bin", body);
  server.openGate("/stage/big.bin");
  { TarnBitsManager manager; }
  ASSERT_TRUE(test::waitFor([&] { return test::exists(target); }, 60s));
  const std::string arrived = test::readFile(target);
  EXPECT_EQ(arrived.size(), body.size());
  EXPECT_TRUE(arrived == body);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("Range"), "");
  EXPECT_EQ(requests[1].header("Range"), "bytes=" + std::to_string(kFirst) + "-");
  EXPECT_EQ(stateOf(name), platform::BgJobState::Transferred);
}

TEST_F(BackgroundTransferTest, TheStateFolderFollowsTheEnvironment) {
  if (!platform::kBackgroundTransferOwnService) GTEST_SKIP() << "the system's service keeps its own state";
  struct Case {
    const char* bitsDir;
    const char* stateHome;
    const char* home;
    const char* expected;  // relative to the scratch folder
  };
  const Case cases[] = {
      {"own", "xdg", "home", "own"},
      {nullptr, "xdg", "home", "xdg/korvel/bits"},
      {"", "xdg", "home", "xdg/korvel/bits"},
      {nullptr, nullptr, "home", "home/.local/state/korvel/bits"},
      {nullptr, "relative", "home", "home/.local/state/korvel/bits"},  // not absolute: ignored
  };
  const std::string root = platform::nativePath(dir.path());
  int index = 0;
  for (const Case& c : cases) {
    const std::string scratch = root + "/case" + std::to_string(index++);
    auto under = [&](const char* value) -> std::optional<std::string> {
      if (!value) return std::nullopt;
      return *value && value[0] != 'r' ? scratch + "/" + value : std::string(value);
    };
    test::ScopedEnvironment bitsDir("KORVEL_BITS_DIR", under(c.bitsDir));
    test::ScopedEnvironment stateHome("XDG_STATE_HOME", under(c.stateHome));
    test::ScopedEnvironment home("HOME", under(c.home));
    SCOPED_TRACE(c.expected);
    TarnBitsManager manager;
    ASSERT_NE(manager.addJob(jobName("folder")), nullptr);
    platform::FolderListing listing(scratch + "/" + c.expected);
    int jobs = 0;
    platform::FolderEntry entry;
    while (listing.next(entry))
      if (entry.name.size() > 4 && entry.name.compare(entry.name.size() - 4, 4, ".job") == 0) ++jobs;
    EXPECT_EQ(jobs, 1);
  }
}

}  // namespace
}  // namespace korvel
