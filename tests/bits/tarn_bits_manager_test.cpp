// The job wrapper against the platform's service: job names and owners, the table of jobs, files,
// completion and the texts of every failure. Under Wine the same tests run against Wine's service.
#include "bits/tarn_bits_manager.h"

#include <gtest/gtest.h>

#include "platform/faults.h"
#include "tests/bits/bits_fixture.h"

namespace korvel {
namespace {

using tarn::trickler::TarnBitsFile;
using tarn::trickler::TarnBitsJob;
using tarn::trickler::TarnBitsManager;

class TarnBitsManagerTest : public test::BitsTest {
 protected:
  // An http URL nothing is asked for (the jobs stay suspended).
  static std::wstring someUrl(const std::string& name) { return L"http://127.0.0.1:1/stage/" + test::widen(name); }
  std::wstring localName(const std::string& name) const { return test::widen(dir.file(name)); }
};

TEST_F(TarnBitsManagerTest, AddingAJobForANameInTheTableReturnsNullAndCreatesNothing) {
  const std::wstring name = jobName("p|d|2");
  TarnBitsManager manager;
  TarnBitsJob* job = manager.addJob(name);
  ASSERT_NE(job, nullptr) << test::narrow(manager.lastError());
  EXPECT_EQ(job->name(), name);
  EXPECT_TRUE(job->isSuspended());
  EXPECT_TRUE(manager.lastError().empty());

  EXPECT_EQ(manager.addJob(name), nullptr);
  EXPECT_EQ(manager.lastError(), L"TarnBitsManager::addJob() '" + name + L"' already exists");
  EXPECT_EQ(manager.findJob(name), job);

  // The service holds exactly one job of that display name, and a later manager finds it again.
  TarnBitsManager later;
  EXPECT_TRUE(later.hasJob(name));
  EXPECT_EQ(later.addJob(name), nullptr);
  std::unique_ptr<platform::BackgroundCopyManager> service;
  std::unique_ptr<platform::BackgroundCopyJobEnum> jobs;
  ASSERT_TRUE(platform::succeeded(platform::createBackgroundCopyManager(service)));
  ASSERT_TRUE(platform::succeeded(service->enumJobs(0, jobs)));
  std::uint32_t count = 0;
  ASSERT_TRUE(platform::succeeded(jobs->getCount(count)));
  int same = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::unique_ptr<platform::BackgroundCopyJob> other;
    std::wstring displayName;
    if (jobs->next(other) == platform::kSOk && platform::succeeded(other->getDisplayName(displayName)) &&
        displayName == L"TARN [" + name + L"]" + manager.userName())
      ++same;
  }
  EXPECT_EQ(same, 1);
}

TEST_F(TarnBitsManagerTest, DisplayNamesGiveTheJobNameAndTheOwnerDecidesWhenAllUsersAreListed) {
  struct Case {
    const char* form;  // %s stands for the job name
    int allUsers;      // the seam: 1 granted, -1 denied
    const char* taken;  // the job name the manager holds, %s as above; null when skipped
  };
  const Case cases[] = {
      {"TARN [%s]admin", 1, "%s"},
      {"TARN [%s]someone", 1, nullptr},
      {"TARN [%s]someone", -1, "%s"},
      {"TARN [%s]", 1, "%s"},           // an empty owner passes
      {"TARN [%s]adm", 1, "%s"},        // only the shorter length is compared
      {"TARN [%s]administrator", 1, "%s"},
      {"TARN [%s]x]admin", 1, "%s]x"},  // the name runs to the last bracket
      {"TARN [%s", 1, nullptr},         // no closing bracket
      {"OTHER [%s]admin", 1, nullptr},
      {"tarn [%s]admin", 1, nullptr},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string name = test::narrow(jobName("case" + std::to_string(index++)));
    auto fill = [&name](const char* form) {
      std::string text = form;
      text.replace(text.find("%s"), 2, name);
      return test::widen(text);
    };
    SCOPED_TRACE(test::narrow(fill(c.form)));
    ASSERT_NE(rawJob(fill(c.form)), nullptr);
    platform::faults::allUsersJobs = c.allUsers;
    TarnBitsManager manager;
    if (c.allUsers > 0 && !manager.allUsers()) GTEST_SKIP() << "the service does not list every user's jobs here";
    EXPECT_EQ(manager.allUsers(), c.allUsers > 0);
    if (c.allUsers > 0) {
      EXPECT_EQ(manager.userName(), L"admin");
    }
    if (c.taken) {
      EXPECT_TRUE(manager.hasJob(fill(c.taken)));
    } else {
      EXPECT_FALSE(manager.hasJob(test::widen(name)));
    }
  }
}

TEST_F(TarnBitsManagerTest, CompletingAJobTheServiceHoldsInTheWrongStateCancelsAndRemovesIt) {
  TarnBitsManager manager;
  EXPECT_FALSE(manager.completeJob(nullptr));
  EXPECT_EQ(manager.lastError(), L"TarnBitsManager::completeJob() invalid argument");

  const std::wstring name = jobName("p|d|3");
  TarnBitsJob* job = manager.addJob(name);
  ASSERT_NE(job, nullptr);
  EXPECT_TRUE(manager.completeJob(job));
  EXPECT_EQ(manager.findJob(name), job);
  platform::BgJobState state;
  ASSERT_TRUE(job->state(state));
  EXPECT_EQ(state, platform::BgJobState::Acknowledged);

  // Completed once already: the service refuses, the wrapper cancels and forgets the job.
  EXPECT_FALSE(manager.completeJob(job));
  EXPECT_EQ(manager.lastError(), L"Job in invalid state");
  EXPECT_FALSE(manager.hasJob(name));
}

TEST_F(TarnBitsManagerTest, AJobWhoseStateOrProgressCannotBeReadIsInErrorAndHasNoFiles) {
  TarnBitsManager manager;
  TarnBitsJob* job = manager.addJob(jobName("p|d|4"));
  ASSERT_NE(job, nullptr);
  ASSERT_TRUE(job->addFile(someUrl("a.bin"), localName("a.bin"))) << test::narrow(job->lastError());
  EXPECT_EQ(job->fileCount(), 1u);
  EXPECT_FALSE(job->isInError());

  platform::faults::failJobState = true;
  EXPECT_TRUE(job->isInError());
  EXPECT_EQ(job->lastError(), L"Failed to obtain Job State");
  EXPECT_EQ(job->lastResult(), platform::kEFail);
  EXPECT_FALSE(job->isSuspended());
  platform::faults::failJobState = false;

  platform::faults::failJobProgress = true;
  EXPECT_EQ(job->fileCount(), 0u);
  EXPECT_EQ(job->lastError(), L"Failed to obtain Job Progress");
}

TEST_F(TarnBitsManagerTest, FilesAreAddedFoundAttachedAndLoadedAgainByALaterManager) {
  const std::wstring name = jobName("p|d|5");
  const std::wstring local = localName("a.bin");
  {
    TarnBitsManager manager;
    TarnBitsJob* job = manager.addJob(name);
    ASSERT_NE(job, nullptr);
    // Wine's service takes relative local names and folders that do not exist.
    if (platform::kBackgroundTransferOwnService) {
      EXPECT_FALSE(job->addFile(someUrl("b.bin"), L"b.bin"));
      EXPECT_EQ(job->lastError(), L"TarnBitsJob::addFile() Invalid Argument");
      EXPECT_FALSE(job->addFile(someUrl("c.bin"), localName("no-such-folder\\c.bin")));
      EXPECT_EQ(job->lastError(), L"TarnBitsJob::addFile() Access Denied");
    }

    ASSERT_TRUE(job->addFile(someUrl("a.bin"), local)) << test::narrow(job->lastError());
    ASSERT_EQ(job->files().size(), 1u);
    TarnBitsFile* file = job->files()[0];
    EXPECT_EQ(file->name(), local);
    EXPECT_FALSE(file->hasFile());
    EXPECT_TRUE(file->localName().empty());
    EXPECT_FALSE(file->isCompleted());

    EXPECT_EQ(job->findFile(local), file);
    EXPECT_TRUE(file->hasFile());
    EXPECT_EQ(file->localName(), local);
    EXPECT_FALSE(file->isCompleted());
    EXPECT_EQ(job->findFile(localName("c.bin")), nullptr);
  }
  TarnBitsManager later;
  TarnBitsJob* job = later.findJob(name);
  ASSERT_NE(job, nullptr);
  ASSERT_EQ(job->files().size(), 1u);
  EXPECT_TRUE(job->files()[0]->hasFile());
  EXPECT_EQ(job->files()[0]->localName(), local);
  EXPECT_EQ(job->fileCount(), 1u);

  // Many files added through two job objects in turn all land in the job once each, and a file one
  // object added is known to the other.
  TarnBitsManager other;
  TarnBitsJob* second = other.findJob(name);
  ASSERT_NE(second, nullptr);
  constexpr int kFiles = 300;
  for (int i = 0; i < kFiles; ++i) {
    const std::string file = "f" + std::to_string(i) + ".bin";
    ASSERT_TRUE((i < kFiles / 2 ? job : second)->addFile(someUrl(file), localName(file))) << i;
  }
  if (platform::kBackgroundTransferOwnService) {
    EXPECT_FALSE(job->addFile(someUrl("again.bin"), localName("f299.bin")));
  }
  TarnBitsManager last;
  TarnBitsJob* filled = last.findJob(name);
  ASSERT_NE(filled, nullptr);
  EXPECT_EQ(filled->fileCount(), static_cast<unsigned>(kFiles + 1));
  for (int i = 0; i < kFiles; ++i) {
    TarnBitsFile* file = filled->findFile(localName("f" + std::to_string(i) + ".bin"));
    ASSERT_NE(file, nullptr) << i;
    EXPECT_TRUE(file->hasFile()) << i;
  }
}

TEST_F(TarnBitsManagerTest, ServiceResultsAreDescribedAndSuccessesClearTheText) {
  TarnBitsManager manager;
  EXPECT_TRUE(manager.checkResult(platform::kBgEInvalidState));
  EXPECT_EQ(manager.lastResult(), platform::kBgEInvalidState);
  EXPECT_FALSE(manager.lastError().empty());
  if (platform::kBackgroundTransferOwnService) {
    EXPECT_EQ(manager.lastError(), L"The requested action is not allowed in the current job state.");
  }
  // A code the service has no text for.
  EXPECT_TRUE(manager.checkResult(platform::hresultOf(0x8FFF1234)));
  EXPECT_EQ(manager.lastError(), L"Error info is not available");
  EXPECT_FALSE(manager.checkResult(platform::kSFalse));
  EXPECT_TRUE(manager.lastError().empty());
}

}  // namespace
}  // namespace korvel
