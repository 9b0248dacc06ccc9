// One background download job: its files, state, progress and error texts.
#include "bits/tarn_bits_job.h"

#include <utility>

#include "platform/background_transfer.h"

namespace tarn::trickler {

namespace platform = korvel::platform;

TarnBitsJob::TarnBitsJob(std::wstring name, std::unique_ptr<platform::BackgroundCopyJob> job)
    : job_(std::move(job)), name_(std::move(name)) {
  loadFiles(nullptr);
}

// The file wrappers release their file objects before the job object goes.
TarnBitsJob::~TarnBitsJob() {
  files_.clear();
  job_.reset();
}

bool TarnBitsJob::checkResult(HResult hr) {
  lastResult_ = hr;
  if (!platform::succeeded(hr)) {
    lastError_ = hr == platform::kEInvalidArg ? L"TarnBitsJob::addFile() Invalid Argument"
                                              : L"TarnBitsJob::addFile() Access Denied";
    return true;
  }
  lastError_.clear();
  return false;
}

bool TarnBitsJob::addFile(const std::wstring& remoteUrl, const std::wstring& localName) {
  if (checkResult(job_->addFile(remoteUrl, localName))) return false;
  auto file = std::make_unique<TarnBitsFile>(localName, nullptr);
  const std::wstring key = file->name();
  files_[key] = std::move(file);
  return true;
}

std::vector<TarnBitsFile*> TarnBitsJob::files() const {
  std::vector<TarnBitsFile*> out;
  out.reserve(files_.size());
  for (const auto& [name, file] : files_)
    if (file) out.push_back(file.get());
  return out;
}

TarnBitsFile* TarnBitsJob::findFile(const std::wstring& localName) {
  auto found = files_.find(localName);
  if (found == files_.end() || !found->second) return nullptr;
  TarnBitsFile* file = found->second.get();
  if (!file->hasFile()) loadFiles(file);
  return file;
}

void TarnBitsJob::loadFiles(TarnBitsFile* wanted) {
  std::unique_ptr<platform::BackgroundCopyFileEnum> files;
  if (checkResult(job_->enumFiles(files)) || !files) return;
  std::uint32_t count = 0;
  if (!platform::succeeded(files->getCount(count))) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::unique_ptr<platform::BackgroundCopyFile> file;
    if (files->next(file) != platform::kSOk || !file) continue;
    std::wstring localName;
    // A file that cannot name itself is released (the unique_ptr) and skipped.
    if (checkResult(file->getLocalName(localName))) continue;
    if (wanted && wanted->name() == localName) {
      wanted->attach(std::move(file));
      return;
    }
    auto& entry = files_[localName];
    if (!entry)
      entry = std::make_unique<TarnBitsFile>(localName, std::move(file));
    else if (!entry->hasFile())
      entry->attach(std::move(file));
  }
}

bool TarnBitsJob::state(platform::BgJobState& out) {
  const HResult hr = job_->getState(out);
  if (!platform::succeeded(hr)) {
    lastResult_ = hr;
    lastError_ = L"Failed to obtain Job State";
    return false;
  }
  return true;
}

bool TarnBitsJob::progress(platform::BgJobProgress& out) {
  const HResult hr = job_->getProgress(out);
  if (!platform::succeeded(hr)) {
    lastResult_ = hr;
    lastError_ = L"Failed to obtain Job Progress";
    return false;
  }
  return true;
}

unsigned TarnBitsJob::fileCount() {
  platform::BgJobProgress current;
  return progress(current) ? current.FilesTotal : 0;
}

bool TarnBitsJob::isSuspended() {
  platform::BgJobState current;
  return state(current) && current == platform::BgJobState::Suspended;
}

bool TarnBitsJob::isInError() {
  platform::BgJobState current;
  if (!state(current)) return true;
  if (current == platform::BgJobState::Error || current == platform::BgJobState::TransientError) return fetchError();
  return false;
}

bool TarnBitsJob::fetchError() {
  std::unique_ptr<platform::BackgroundCopyError> error;
  if (!platform::succeeded(job_->getError(error)) || !error) {
    lastError_ = L"Error info is not available";
    return true;
  }
  platform::BgErrorContext context = platform::BgErrorContext::None;
  HResult code = platform::kSOk;
  error->getError(context, code);
  std::wstring description;
  if (!platform::succeeded(error->getErrorDescription(platform::threadLanguageId(), description))) {
    lastError_ = L"Error description is not available";
    return true;
  }
  if (context == platform::BgErrorContext::RemoteFile) {
    // Without the file or its remote name the text of an earlier failure stays.
    std::unique_ptr<platform::BackgroundCopyFile> file;
    std::wstring remoteName;
    if (platform::succeeded(error->getFile(file)) && file && platform::succeeded(file->getRemoteName(remoteName)))
      lastError_ = description + L" remote name: " + remoteName;
  } else {
    lastError_ = description;
  }
  return true;
}

TarnBitsJob::HResult TarnBitsJob::resume() { return job_->resume(); }

TarnBitsJob::HResult TarnBitsJob::complete() { return job_->complete(); }

TarnBitsJob::HResult TarnBitsJob::cancel() { return job_->cancel(); }

}  // namespace tarn::trickler
