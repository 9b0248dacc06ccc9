// POSIX background transfers: the service's objects over the job store of the state folder, and the
// start of the detached helper process that does the transfers.
#include "platform/background_transfer.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cctype>
#include <cstdlib>
#include <vector>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/faults.h"
#include "platform/process.h"
#include "platform/files.h"
#include "platform/posix/transfer_jobs.h"
#include "platform/posix/transfer_service.h"

namespace korvel::platform {

const bool kBackgroundTransferOwnService = true;

namespace {

using posix::FolderLock;
using posix::TransferFile;
using posix::TransferJob;

constexpr char kServiceWord[] = "--bits-service";

// Set by the entry point's hook: the running program can serve as its own helper.
std::atomic<bool> programServes{false};

// The helper program: KORVEL_BITS_HELPER, else the running program when it can serve, else none.
std::string helperProgram() {
  if (auto helper = environmentValue("KORVEL_BITS_HELPER"); helper && !helper->empty()) return *helper;
  if (programServes.load()) return nativePath(programPath());
  return {};
}

// Starts "<helper> --bits-service <folder>" detached from this process: its own session, no terminal,
// standard streams on /dev/null and no other descriptor inherited, so that nobody waits on it.
void startHelper(const std::string& folder) {
  const std::string program = helperProgram();
  if (program.empty()) return;
  std::vector<std::string> args = {program, kServiceWord, folder};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // Only async-signal-safe calls between fork and exec.
  const pid_t child = ::fork();
  if (child < 0) return;
  if (child == 0) {
    if (::fork() != 0) ::_exit(0);
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::close_range(3, ~0U, 0);
    if (::chdir("/") == 0) ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

// Starts a helper unless one runs. A helper decides to end under the folder lock after looking at
// every job, so work recorded before this call is either seen by it or finds its lock free here.
void ensureHelper(const std::string& folder) {
  if (posix::HelperLock::holder(folder) == 0) startHelper(folder);
}

bool anyWork(const std::string& folder) {
  for (const TransferJob& job : posix::readJobs(folder))
    if (job.hasWork()) return true;
  return false;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

bool validUrl(const std::string& url) {
  std::size_t hostStart = 0;
  if (startsWithNoCase(url, "http://"))
    hostStart = 7;
  else if (startsWithNoCase(url, "https://"))
    hostStart = 8;
  else
    return false;
  if (hostStart >= url.size() || url[hostStart] == '/') return false;
  for (unsigned char c : url)
    if (c <= 0x20 || c == 0x7F) return false;
  return true;
}

// What a job object and the file objects it hands out share: where the job lives and, once this
// process has completed or cancelled it, its last record (the job file is gone by then).
struct JobHandle {
  std::string folder;
  std::string id;
  bool ended = false;
  TransferJob last;
  // The job file as this handle's additions last left it.
  posix::JobFileView view;

  HResult load(TransferJob& out) {
    if (ended) {
      out = last;
      return kSOk;
    }
    if (!posix::readJob(posix::jobPath(folder, id), out)) return kBgENotFound;
    last = out;
    return kSOk;
  }
};

class PosixFile final : public BackgroundCopyFile {
 public:
  PosixFile(std::shared_ptr<JobHandle> job, std::size_t index, TransferFile file)
      : job_(std::move(job)), index_(index), file_(std::move(file)) {}

  HResult getRemoteName(std::wstring& out) override {
    out = posix::wide(file_.remote);
    return kSOk;
  }
  HResult getLocalName(std::wstring& out) override {
    out = posix::wide(file_.local);
    return kSOk;
  }
  HResult getProgress(BgFileProgress& out) override {
    // The helper moves the numbers on; a job that has gone keeps the numbers last seen.
    TransferJob job;
    if (succeeded(job_->load(job)) && index_ < job.files.size() && job.files[index_].local == file_.local)
      file_ = job.files[index_];
    out = {file_.total, file_.transferred, file_.completed};
    return kSOk;
  }

 private:
  std::shared_ptr<JobHandle> job_;
  std::size_t index_;
  TransferFile file_;
};

class PosixFileEnum final : public BackgroundCopyFileEnum {
 public:
  PosixFileEnum(std::shared_ptr<JobHandle> job, std::vector<TransferFile> files)
      : job_(std::move(job)), files_(std::move(files)) {}
  HResult getCount(std::uint32_t& out) override {
    out = static_cast<std::uint32_t>(files_.size());
    return kSOk;
  }
  HResult next(std::unique_ptr<BackgroundCopyFile>& out) override {
    out.reset();
    if (next_ >= files_.size()) return kSFalse;
    out = std::make_unique<PosixFile>(job_, next_, files_[next_]);
    ++next_;
    return kSOk;
  }

 private:
  std::shared_ptr<JobHandle> job_;
  std::vector<TransferFile> files_;
  std::size_t next_ = 0;
};

class PosixError final : public BackgroundCopyError {
 public:
  PosixError(std::shared_ptr<JobHandle> handle, TransferJob job) : handle_(std::move(handle)), job_(std::move(job)) {}
  HResult getError(BgErrorContext& context, HResult& code) override {
    context = job_.errorContext;
    code = job_.errorCode;
    return kSOk;
  }
  HResult getFile(std::unique_ptr<BackgroundCopyFile>& out) override {
    out.reset();
    if (job_.errorFile < 0 || static_cast<std::size_t>(job_.errorFile) >= job_.files.size()) return kBgENotFound;
    const auto index = static_cast<std::size_t>(job_.errorFile);
    out = std::make_unique<PosixFile>(handle_, index, job_.files[index]);
    return kSOk;
  }
  HResult getErrorDescription(std::uint32_t, std::wstring& out) override {
    if (job_.errorDescription.empty()) return kBgEErrorInformationUnavailable;
    out = posix::wide(job_.errorDescription);
    return kSOk;
  }

 private:
  std::shared_ptr<JobHandle> handle_;
  TransferJob job_;
};

class PosixJob final : public BackgroundCopyJob {
 public:
  explicit PosixJob(std::shared_ptr<JobHandle> handle) : handle_(std::move(handle)) {}

  HResult addFile(const std::wstring& remoteUrl, const std::wstring& localName) override {
    const std::string remote = posix::utf8(remoteUrl);
    const std::string local = posix::utf8(localName);
    const std::string native = nativePath(local);
    if (!validUrl(remote) || native.empty() || native[0] != '/' || native.back() == '/') return kEInvalidArg;
    const std::size_t slash = native.find_last_of('/');
    const std::string parent = slash == 0 ? std::string("/") : native.substr(0, slash);
    FileInfo info;
    if (!fileInfo(parent, info) || !info.isDirectory) return hresultFromWin32(3);  // ERROR_PATH_NOT_FOUND
    if (handle_->ended) return kBgEInvalidState;
    bool work = false;
    {
      FolderLock lock(handle_->folder);
      if (!lock.held()) return kEAccessDenied;
      // The record is read again only when somebody else wrote it, and a file is appended as one line:
      // a job of n files is filled in time linear in n.
      posix::JobFileView& view = handle_->view;
      if (!posix::refreshJob(handle_->folder, handle_->id, view)) return kBgENotFound;
      const BgJobState state = view.job.state;
      if (state == BgJobState::Acknowledged || state == BgJobState::Cancelled) return kBgEInvalidState;
      if (view.locals.count(local) != 0) return kEInvalidArg;
      TransferFile file;
      file.remote = remote;
      file.local = local;
      file.temp = posix::tempPathFor(native, view.job.id);
      if (state == BgJobState::Transferred) {
        // A finished job takes up work again: a change of state, so the record is written whole.
        TransferJob job = view.job;
        job.files.push_back(std::move(file));
        job.state = BgJobState::Queued;
        view.known = false;
        if (!posix::writeJob(handle_->folder, job)) return kEAccessDenied;
        work = true;
      } else {
        if (!posix::appendFile(handle_->folder, view, std::move(file))) return kEAccessDenied;
        work = view.job.hasWork();
      }
    }
    if (work) ensureHelper(handle_->folder);
    return kSOk;
  }

  HResult enumFiles(std::unique_ptr<BackgroundCopyFileEnum>& out) override {
    TransferJob job;
    const HResult hr = handle_->load(job);
    out = succeeded(hr) ? std::make_unique<PosixFileEnum>(handle_, job.files) : nullptr;
    return hr;
  }

  HResult resume() override {
    const HResult hr = change([](TransferJob& job) {
      switch (job.state) {
        case BgJobState::Acknowledged:
        case BgJobState::Cancelled:
          return kBgEInvalidState;
        case BgJobState::Suspended:
        case BgJobState::Error:
        case BgJobState::TransientError:
          if (job.files.empty()) return kBgEEmpty;
          job.state = BgJobState::Queued;
          job.clearError();
          job.failures = 0;
          job.retryAt = 0;
          job.lastProgress = platform::nowSeconds();
          return kSOk;
        default:
          return kSOk;
      }
    });
    // Also when the job was active already: its helper may have died with the machine.
    if (succeeded(hr)) ensureHelper(handle_->folder);
    return hr;
  }

  HResult cancel() override { return end(BgJobState::Cancelled); }
  HResult complete() override { return end(BgJobState::Acknowledged); }

  HResult getProgress(BgJobProgress& out) override {
    if (faults::failJobProgress.load()) return kEFail;
    TransferJob job;
    const HResult hr = handle_->load(job);
    if (succeeded(hr)) out = job.progress();
    return hr;
  }

  HResult getState(BgJobState& out) override {
    if (faults::failJobState.load()) return kEFail;
    TransferJob job;
    const HResult hr = handle_->load(job);
    if (succeeded(hr)) out = job.state;
    return hr;
  }

  HResult getError(std::unique_ptr<BackgroundCopyError>& out) override {
    out.reset();
    TransferJob job;
    const HResult hr = handle_->load(job);
    if (!succeeded(hr)) return hr;
    if (!job.inError()) return kBgEErrorInformationUnavailable;
    out = std::make_unique<PosixError>(handle_, std::move(job));
    return kSOk;
  }

  HResult getDisplayName(std::wstring& out) override {
    TransferJob job;
    const HResult hr = handle_->load(job);
    if (succeeded(hr)) out = posix::wide(job.displayName);
    return hr;
  }

 private:
  // Reads, changes and writes the job under the folder lock; `edit` gives the result, and the job is
  // written only when that is a success.
  template <typename Edit>
  HResult change(Edit edit) {
    if (handle_->ended) return kBgEInvalidState;
    FolderLock lock(handle_->folder);
    if (!lock.held()) return kEAccessDenied;
    TransferJob job;
    if (!posix::readJob(posix::jobPath(handle_->folder, handle_->id), job)) return kBgENotFound;
    const HResult hr = edit(job);
    if (!succeeded(hr)) return hr;
    if (!posix::writeJob(handle_->folder, job)) return kEAccessDenied;
    handle_->last = job;
    return hr;
  }

  // Complete (the files that arrived stay in place) or cancel: the partial files go, then the job.
  HResult end(BgJobState final) {
    if (handle_->ended) return kBgEInvalidState;
    FolderLock lock(handle_->folder);
    if (!lock.held()) return kEAccessDenied;
    TransferJob job;
    if (!posix::readJob(posix::jobPath(handle_->folder, handle_->id), job)) return kBgENotFound;
    bool allArrived = true;
    bool deleted = true;
    for (const TransferFile& file : job.files) {
      if (file.completed) continue;
      allArrived = false;
      if (::unlink(file.temp.c_str()) != 0 && errno != ENOENT) deleted = false;
    }
    if (!posix::removeJob(handle_->folder, job.id)) return kEAccessDenied;
    job.state = final;
    handle_->last = job;
    handle_->ended = true;
    if (!deleted) return kBgSUnableToDeleteFiles;
    return final == BgJobState::Acknowledged && !allArrived ? kBgSPartialComplete : kSOk;
  }

  std::shared_ptr<JobHandle> handle_;
};

class PosixJobEnum final : public BackgroundCopyJobEnum {
 public:
  PosixJobEnum(std::string folder, std::vector<TransferJob> jobs) : folder_(std::move(folder)), jobs_(std::move(jobs)) {}
  HResult getCount(std::uint32_t& out) override {
    out = static_cast<std::uint32_t>(jobs_.size());
    return kSOk;
  }
  HResult next(std::unique_ptr<BackgroundCopyJob>& out) override {
    out.reset();
    if (next_ >= jobs_.size()) return kSFalse;
    auto handle = std::make_shared<JobHandle>();
    handle->folder = folder_;
    handle->id = jobs_[next_].id;
    handle->last = jobs_[next_];
    out = std::make_unique<PosixJob>(std::move(handle));
    ++next_;
    return kSOk;
  }

 private:
  std::string folder_;
  std::vector<TransferJob> jobs_;
  std::size_t next_ = 0;
};

class PosixManager final : public BackgroundCopyManager {
 public:
  explicit PosixManager(std::string folder) : folder_(std::move(folder)) {}

  HResult createJob(const std::wstring& displayName, BgJobType type, std::unique_ptr<BackgroundCopyJob>& out) override {
    out.reset();
    if (type != BgJobType::Download) return kENotImpl;
    TransferJob job;
    job.id = posix::newJobId();
    job.displayName = posix::utf8(displayName);
    job.owner = posix::utf8(accountUserName());
    job.state = BgJobState::Suspended;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    job.sequence = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    job.lastProgress = now.tv_sec;
    if (!posix::writeJob(folder_, job)) return kEAccessDenied;
    auto handle = std::make_shared<JobHandle>();
    handle->folder = folder_;
    handle->id = job.id;
    handle->last = job;
    out = std::make_unique<PosixJob>(std::move(handle));
    return kSOk;
  }

  HResult enumJobs(std::uint32_t flags, std::unique_ptr<BackgroundCopyJobEnum>& out) override {
    out.reset();
    const bool allUsers = (flags & kBgJobEnumAllUsers) != 0;
    if (allUsers) {
      // Everyone's jobs are for the administrator (root), unless a test decides.
      const int seam = faults::allUsersJobs.load();
      if (seam < 0 || (seam == 0 && ::geteuid() != 0)) return kEAccessDenied;
    }
    const std::string owner = posix::utf8(accountUserName());
    std::vector<TransferJob> jobs;
    for (TransferJob& job : posix::readJobs(folder_))
      if (allUsers || job.owner == owner) jobs.push_back(std::move(job));
    out = std::make_unique<PosixJobEnum>(folder_, std::move(jobs));
    return kSOk;
  }

  HResult getErrorDescription(HResult code, std::uint32_t, std::wstring& out) override {
    std::string text;
    if (!posix::describeResult(code, text)) return hresultFromWin32(317);  // ERROR_MR_MID_NOT_FOUND
    out = posix::wide(text);
    return kSOk;
  }

 private:
  std::string folder_;
};

}  // namespace

HResult comInitialize() { return kSOk; }

void comUninitialize() {}

HResult createBackgroundCopyManager(std::unique_ptr<BackgroundCopyManager>& out) {
  out.reset();
  if (faults::failManagerCreation.load()) return hresultOf(0x80040154);  // REGDB_E_CLASSNOTREG
  const std::string folder = posix::stateFolder();
  if (folder.empty()) return kEAccessDenied;
  // A job left with work by an earlier run whose helper is gone (a restart of the machine) goes on.
  if (anyWork(folder)) ensureHelper(folder);
  out = std::make_unique<PosixManager>(folder);
  return kSOk;
}

std::wstring accountUserName() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
    return posix::wide(found->pw_name);
  if (auto user = environmentValue("USER"); user && !user->empty()) return posix::wide(*user);
  return {};
}

std::uint32_t threadLanguageId() { return 0; }

std::int64_t backgroundTransferHelperProcess() {
  const std::string folder = posix::stateFolder();
  return folder.empty() ? 0 : posix::HelperLock::holder(folder);
}

std::optional<int> runBackgroundTransferService(int argc, const char* const* argv) {
  programServes.store(true);
  if (argc != 3 || std::string(argv[1]) != kServiceWord) return std::nullopt;
  return posix::runTransferService(argv[2]);
}

}  // namespace korvel::platform
