// The fixture of the background transfer tests.
#include "tests/bits/bits_fixture.h"

#include <atomic>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/faults.h"
#include "platform/files.h"
#include "platform/process.h"

namespace korvel::test {

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    platform::sleepMs(50);
  }
  return true;
}

std::string BitsTest::patcherProgram() {
  // The native program is built into the top of the build folder, one level above the test programs.
  const std::string self = platform::programPath();
  std::size_t cut = self.find_last_of('\\');
  if (cut == std::string::npos) return {};
  const std::string testsFolder = self.substr(0, cut);
  cut = testsFolder.find_last_of('\\');
  if (cut == std::string::npos) return {};
  const std::string candidate = testsFolder.substr(0, cut) + "\\korvel-patcher";
  return platform::pathExists(candidate) ? platform::nativePath(candidate) : std::string();
}

BitsTest::BitsTest()
    : com_(platform::succeeded(platform::comInitialize())),
      stateFolder_("KORVEL_BITS_DIR", platform::nativePath(dir.file("state"))),
      // A helper the caller names (a wrapper that keeps its sanitizer reports, say) wins.
      helper_("KORVEL_BITS_HELPER", platform::environmentValue("KORVEL_BITS_HELPER").value_or(patcherProgram())),
      // The helper connects to the loopback test server directly, whatever the environment says.
      proxy_{{"http_proxy", std::nullopt}, {"HTTP_PROXY", std::nullopt}, {"all_proxy", std::nullopt},
             {"ALL_PROXY", std::nullopt}} {
  static std::atomic<unsigned> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  prefix_ = std::string(info ? info->name() : "bits") + "-" + std::to_string(platform::nowSeconds()) + "-" +
            std::to_string(counter++);
}

BitsTest::~BitsTest() {
  rawJobs_.clear();
  rawManager_.reset();
  if (com_) platform::comUninitialize();
}

std::wstring BitsTest::jobName(const std::string& suffix) const { return widen(prefix_ + "-" + suffix); }

platform::BackgroundCopyJob* BitsTest::rawJob(const std::wstring& displayName) {
  if (!rawManager_ && !platform::succeeded(platform::createBackgroundCopyManager(rawManager_))) return nullptr;
  std::unique_ptr<platform::BackgroundCopyJob> job;
  if (!platform::succeeded(rawManager_->createJob(displayName, platform::BgJobType::Download, job))) return nullptr;
  rawJobs_.push_back(std::move(job));
  return rawJobs_.back().get();
}

void BitsTest::TearDown() {
  platform::faults::reset();
  for (auto& job : rawJobs_) job->cancel();
  rawJobs_.clear();
  rawManager_.reset();
  // Every wrapped job of this test goes, found by its name.
  {
    std::unique_ptr<platform::BackgroundCopyManager> service;
    std::unique_ptr<platform::BackgroundCopyJobEnum> jobs;
    if (platform::succeeded(platform::createBackgroundCopyManager(service)) &&
        platform::succeeded(service->enumJobs(0, jobs))) {
      std::unique_ptr<platform::BackgroundCopyJob> job;
      std::uint32_t count = 0;
      jobs->getCount(count);
      for (std::uint32_t i = 0; i < count; ++i) {
        std::wstring displayName;
        if (jobs->next(job) == platform::kSOk && platform::succeeded(job->getDisplayName(displayName)) &&
            displayName.find(widen(prefix_)) != std::wstring::npos)
          job->cancel();
      }
    }
  }
  // The helper must be gone before the scratch folder is removed under it.
  EXPECT_TRUE(waitFor([] { return platform::backgroundTransferHelperProcess() == 0; }, std::chrono::seconds(20)));
  TempDirTest::TearDown();
}

}  // namespace korvel::test
