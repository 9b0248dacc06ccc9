// The connection to the background transfer service and the table of this program's jobs.
#include "bits/tarn_bits_manager.h"

#include <algorithm>
#include <utility>

namespace tarn::trickler {

namespace platform = korvel::platform;

namespace {

const std::wstring kDisplayPrefix = L"TARN [";
const std::wstring kAdminOwner = L"admin";

// Splits "TARN [" + name + "]" + owner. The name ends at the last ']': account names cannot hold one,
// job names may. False for display names of other programs and for ones without the bracket.
bool parseDisplayName(const std::wstring& displayName, std::wstring& name, std::wstring& owner) {
  if (displayName.compare(0, kDisplayPrefix.size(), kDisplayPrefix) != 0) return false;
  const std::size_t close = displayName.rfind(L']');
  if (close == std::wstring::npos || close < kDisplayPrefix.size()) return false;
  name = displayName.substr(kDisplayPrefix.size(), close - kDisplayPrefix.size());
  owner = displayName.substr(close + 1);
  return true;
}

}  // namespace

TarnBitsManager::TarnBitsManager() {
  if (!platform::succeeded(platform::comInitialize()))
    throw TarnBitsException(L"Failed COM call to ::CoInitializeEx()");
  if (!platform::succeeded(platform::createBackgroundCopyManager(manager_)) || !manager_) {
    // The destructor will not run: the initialisation above is undone here.
    manager_.reset();
    platform::comUninitialize();
    throw TarnBitsException(L"Failed to initialize IBackgroundCopyManager");
  }
  lastResult_ = platform::kSOk;
  userName_ = platform::accountUserName();
  allUsers_ = false;
  loadJobs();
}

TarnBitsManager::~TarnBitsManager() {
  jobs_.clear();
  manager_.reset();
  platform::comUninitialize();
}

bool TarnBitsManager::checkResult(HResult hr) {
  lastResult_ = hr;
  if (!platform::succeeded(hr)) {
    std::wstring description;
    if (platform::succeeded(manager_->getErrorDescription(hr, platform::threadLanguageId(), description)))
      lastError_ = description;
    else
      lastError_ = L"Error info is not available";
    return true;
  }
  lastError_.clear();
  return false;
}

void TarnBitsManager::loadJobs() {
  std::unique_ptr<platform::BackgroundCopyJobEnum> jobs;
  if (platform::succeeded(manager_->enumJobs(platform::kBgJobEnumAllUsers, jobs)) && jobs) {
    allUsers_ = true;
    userName_ = kAdminOwner;
  } else {
    allUsers_ = false;
    jobs.reset();
    if (!platform::succeeded(manager_->enumJobs(0, jobs)) || !jobs) return;
  }
  std::uint32_t count = 0;
  if (!platform::succeeded(jobs->getCount(count))) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    // Every job handed out and not kept in a wrapper is released when `job` goes.
    std::unique_ptr<platform::BackgroundCopyJob> job;
    if (jobs->next(job) != platform::kSOk || !job) continue;
    std::wstring displayName;
    if (!platform::succeeded(job->getDisplayName(displayName))) continue;
    std::wstring name;
    std::wstring owner;
    if (!parseDisplayName(displayName, name, owner)) continue;
    if (allUsers_) {
      const std::size_t length = std::min(owner.size(), userName_.size());
      if (userName_.compare(0, length, owner, 0, length) != 0) continue;
    }
    if (jobs_.count(name)) continue;
    auto wrapper = std::make_unique<TarnBitsJob>(name, std::move(job));
    const std::wstring key = wrapper->name();
    jobs_.emplace(key, std::move(wrapper));
  }
}

TarnBitsJob* TarnBitsManager::addJob(const std::wstring& name) {
  if (hasJob(name)) {
    lastError_ = L"TarnBitsManager::addJob() '" + name + L"' already exists";
    return nullptr;
  }
  std::unique_ptr<platform::BackgroundCopyJob> created;
  if (checkResult(manager_->createJob(kDisplayPrefix + name + L"]" + userName_, platform::BgJobType::Download, created)))
    return nullptr;
  // The wrapper comes from the enumeration; the object CreateJob handed out is released.
  created.reset();
  loadJobs();
  return findJob(name);
}

TarnBitsJob* TarnBitsManager::findJob(const std::wstring& name) const {
  auto found = jobs_.find(name);
  return found == jobs_.end() ? nullptr : found->second.get();
}

bool TarnBitsManager::hasJob(const std::wstring& name) const { return jobs_.count(name) != 0; }

void TarnBitsManager::removeJob(const std::wstring& name, bool cancel) {
  auto found = jobs_.find(name);
  if (found == jobs_.end()) return;
  std::unique_ptr<TarnBitsJob> job = std::move(found->second);
  jobs_.erase(found);
  if (cancel && job) job->cancel();
}

void TarnBitsManager::removeJob(TarnBitsJob* job, bool cancel) {
  if (!job) return;
  removeJob(job->name(), cancel);
}

bool TarnBitsManager::completeJob(TarnBitsJob* job) {
  if (!job) {
    lastError_ = L"TarnBitsManager::completeJob() invalid argument";
    return false;
  }
  const HResult hr = job->complete();
  if (hr == platform::kSOk || hr == platform::kBgSPartialComplete) return true;
  if (hr == platform::kBgSUnableToDeleteFiles)
    lastError_ = L"Unable to delete files";
  else if (hr == platform::kBgEInvalidState)
    lastError_ = L"Job in invalid state";
  removeJob(job, true);
  return false;
}

}  // namespace tarn::trickler
