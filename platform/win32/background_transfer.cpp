// Win32 background transfers: Windows' Background Intelligent Transfer Service through COM.
#include "platform/background_transfer.h"

#include "platform/faults.h"
#include "platform/win32/com_interface.h"
#include "platform/win32/windows_prelude.h"

#include <bits.h>
#include <lmcons.h>

namespace korvel::platform {

using win32::ComInterface;
using win32::ComText;

const bool kBackgroundTransferOwnService = false;

namespace {

// {4991D34B-80A1-4291-83B6-3328366B9097} and {5CE34C0D-0DC9-4C1F-897C-DAA1B78CEE7C}.
constexpr GUID kClsidBackgroundCopyManager = {0x4991D34B, 0x80A1, 0x4291, {0x83, 0xB6, 0x33, 0x28, 0x36, 0x6B, 0x90, 0x97}};
constexpr GUID kIidBackgroundCopyManager = {0x5CE34C0D, 0x0DC9, 0x4C1F, {0x89, 0x7C, 0xDA, 0xA1, 0xB7, 0x8C, 0xEE, 0x7C}};
static_assert(CLSCTX_INPROC_SERVER == 1 && CLSCTX_LOCAL_SERVER == 4);

// A text out-parameter of a COM call, copied and freed.
template <typename Call>
HResult textOf(std::wstring& out, Call call) {
  ComText text;
  const HRESULT hr = call(text.put());
  if (SUCCEEDED(hr)) out = text.str();
  return hr;
}

class Win32File final : public BackgroundCopyFile {
 public:
  explicit Win32File(IBackgroundCopyFile* file) : file_(file) {}
  HResult getRemoteName(std::wstring& out) override {
    return textOf(out, [this](LPWSTR* text) { return file_->GetRemoteName(text); });
  }
  HResult getLocalName(std::wstring& out) override {
    return textOf(out, [this](LPWSTR* text) { return file_->GetLocalName(text); });
  }
  HResult getProgress(BgFileProgress& out) override {
    BG_FILE_PROGRESS progress{};
    const HRESULT hr = file_->GetProgress(&progress);
    if (SUCCEEDED(hr)) out = {progress.BytesTotal, progress.BytesTransferred, progress.Completed != FALSE};
    return hr;
  }

 private:
  ComInterface<IBackgroundCopyFile> file_;
};

class Win32FileEnum final : public BackgroundCopyFileEnum {
 public:
  explicit Win32FileEnum(IEnumBackgroundCopyFiles* files) : files_(files) {}
  HResult getCount(std::uint32_t& out) override {
    ULONG count = 0;
    const HRESULT hr = files_->GetCount(&count);
    out = count;
    return hr;
  }
  HResult next(std::unique_ptr<BackgroundCopyFile>& out) override {
    ComInterface<IBackgroundCopyFile> file;
    const HRESULT hr = files_->Next(1, file.put(), nullptr);
    out = hr == S_OK && file ? std::make_unique<Win32File>(file.release()) : nullptr;
    return hr;
  }

 private:
  ComInterface<IEnumBackgroundCopyFiles> files_;
};

class Win32Error final : public BackgroundCopyError {
 public:
  explicit Win32Error(IBackgroundCopyError* error) : error_(error) {}
  HResult getError(BgErrorContext& context, HResult& code) override {
    BG_ERROR_CONTEXT value = BG_ERROR_CONTEXT_NONE;
    HRESULT errorCode = S_OK;
    const HRESULT hr = error_->GetError(&value, &errorCode);
    context = static_cast<BgErrorContext>(value);
    code = errorCode;
    return hr;
  }
  HResult getFile(std::unique_ptr<BackgroundCopyFile>& out) override {
    ComInterface<IBackgroundCopyFile> file;
    const HRESULT hr = error_->GetFile(file.put());
    out = SUCCEEDED(hr) && file ? std::make_unique<Win32File>(file.release()) : nullptr;
    return hr;
  }
  HResult getErrorDescription(std::uint32_t languageId, std::wstring& out) override {
    return textOf(out, [&](LPWSTR* text) { return error_->GetErrorDescription(languageId, text); });
  }

 private:
  ComInterface<IBackgroundCopyError> error_;
};

class Win32Job final : public BackgroundCopyJob {
 public:
  explicit Win32Job(IBackgroundCopyJob* job) : job_(job) {}
  HResult addFile(const std::wstring& remoteUrl, const std::wstring& localName) override {
    return job_->AddFile(remoteUrl.c_str(), localName.c_str());
  }
  HResult enumFiles(std::unique_ptr<BackgroundCopyFileEnum>& out) override {
    ComInterface<IEnumBackgroundCopyFiles> files;
    const HRESULT hr = job_->EnumFiles(files.put());
    out = SUCCEEDED(hr) && files ? std::make_unique<Win32FileEnum>(files.release()) : nullptr;
    return hr;
  }
  HResult resume() override { return job_->Resume(); }
  HResult cancel() override { return job_->Cancel(); }
  HResult complete() override { return job_->Complete(); }
  HResult getProgress(BgJobProgress& out) override {
    if (faults::failJobProgress.load()) return kEFail;
    BG_JOB_PROGRESS progress{};
    const HRESULT hr = job_->GetProgress(&progress);
    if (SUCCEEDED(hr))
      out = {progress.BytesTotal, progress.BytesTransferred, progress.FilesTotal, progress.FilesTransferred};
    return hr;
  }
  HResult getState(BgJobState& out) override {
    if (faults::failJobState.load()) return kEFail;
    BG_JOB_STATE state = BG_JOB_STATE_QUEUED;
    const HRESULT hr = job_->GetState(&state);
    if (SUCCEEDED(hr)) out = static_cast<BgJobState>(state);
    return hr;
  }
  HResult getError(std::unique_ptr<BackgroundCopyError>& out) override {
    ComInterface<IBackgroundCopyError> error;
    const HRESULT hr = job_->GetError(error.put());
    out = SUCCEEDED(hr) && error ? std::make_unique<Win32Error>(error.release()) : nullptr;
    return hr;
  }
  HResult getDisplayName(std::wstring& out) override {
    return textOf(out, [this](LPWSTR* text) { return job_->GetDisplayName(text); });
  }

 private:
  ComInterface<IBackgroundCopyJob> job_;
};

class Win32JobEnum final : public BackgroundCopyJobEnum {
 public:
  explicit Win32JobEnum(IEnumBackgroundCopyJobs* jobs) : jobs_(jobs) {}
  HResult getCount(std::uint32_t& out) override {
    ULONG count = 0;
    const HRESULT hr = jobs_->GetCount(&count);
    out = count;
    return hr;
  }
  HResult next(std::unique_ptr<BackgroundCopyJob>& out) override {
    ComInterface<IBackgroundCopyJob> job;
    const HRESULT hr = jobs_->Next(1, job.put(), nullptr);
    out = hr == S_OK && job ? std::make_unique<Win32Job>(job.release()) : nullptr;
    return hr;
  }

 private:
  ComInterface<IEnumBackgroundCopyJobs> jobs_;
};

class Win32Manager final : public BackgroundCopyManager {
 public:
  explicit Win32Manager(IBackgroundCopyManager* manager) : manager_(manager) {}
  HResult createJob(const std::wstring& displayName, BgJobType type, std::unique_ptr<BackgroundCopyJob>& out) override {
    GUID id{};
    ComInterface<IBackgroundCopyJob> job;
    const HRESULT hr =
        manager_->CreateJob(displayName.c_str(), static_cast<BG_JOB_TYPE>(type), &id, job.put());
    out = SUCCEEDED(hr) && job ? std::make_unique<Win32Job>(job.release()) : nullptr;
    return hr;
  }
  HResult enumJobs(std::uint32_t flags, std::unique_ptr<BackgroundCopyJobEnum>& out) override {
    if ((flags & kBgJobEnumAllUsers) && faults::allUsersJobs.load() < 0) return kEAccessDenied;
    ComInterface<IEnumBackgroundCopyJobs> jobs;
    const HRESULT hr = manager_->EnumJobs(flags, jobs.put());
    out = SUCCEEDED(hr) && jobs ? std::make_unique<Win32JobEnum>(jobs.release()) : nullptr;
    return hr;
  }
  HResult getErrorDescription(HResult code, std::uint32_t languageId, std::wstring& out) override {
    return textOf(out, [&](LPWSTR* text) { return manager_->GetErrorDescription(code, languageId, text); });
  }

 private:
  ComInterface<IBackgroundCopyManager> manager_;
};

}  // namespace

HResult comInitialize() { return ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }

void comUninitialize() { ::CoUninitialize(); }

HResult createBackgroundCopyManager(std::unique_ptr<BackgroundCopyManager>& out) {
  out.reset();
  if (faults::failManagerCreation.load()) return REGDB_E_CLASSNOTREG;
  ComInterface<IBackgroundCopyManager> manager;
  const HRESULT hr = ::CoCreateInstance(kClsidBackgroundCopyManager, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                        kIidBackgroundCopyManager, reinterpret_cast<void**>(manager.put()));
  if (FAILED(hr)) return hr;
  if (!manager) return kEFail;
  out = std::make_unique<Win32Manager>(manager.release());
  return hr;
}

std::wstring accountUserName() {
  wchar_t buffer[UNLEN + 1] = {};
  DWORD length = UNLEN + 1;
  if (!::GetUserNameW(buffer, &length)) return {};
  return std::wstring(buffer);
}

std::uint32_t threadLanguageId() { return LANGIDFROMLCID(::GetThreadLocale()); }

std::int64_t backgroundTransferHelperProcess() { return 0; }

std::optional<int> runBackgroundTransferService(int, const char* const*) { return std::nullopt; }

}  // namespace korvel::platform
