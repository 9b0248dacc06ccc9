// The background transfer service: download jobs that go on while the program is not running, kept by
// the service between runs, with their files, byte progress, states and errors.
//
// The interfaces follow the service's COM interfaces one for one (manager, job enumerator, job, file
// enumerator, file, error object); every call returns an HRESULT, and every object handed out belongs
// to the caller, whose unique_ptr releases it. Texts are wide; the backends free what the service
// allocated before they return.
//
// Win32: Windows' own Background Intelligent Transfer Service through COM (ole32). Under Wine the
// service exists with gaps: no error descriptions, no job BytesTotal, no persistence beyond the
// wineserver's life, no Range requests.
// POSIX: a small service of our own. Jobs live one file each in a state folder (KORVEL_BITS_DIR, else
// $XDG_STATE_HOME/korvel/bits, else ~/.local/state/korvel/bits), each rewritten atomically. A resumed job
// is handed to a detached helper process (the updater program itself, started with the service word,
// see runBackgroundTransferService) that downloads each file into "<target>.<job>.tmp" beside its target
// over HTTP, continues partial files with Range requests after a restart or a dropped connection,
// renames each file into place as it completes and exits when no job has work left. One helper runs
// per state folder (the lock file "helper.lock", which a crashed helper leaves to the next one).
// The program that starts the helper: KORVEL_BITS_HELPER when set, else the running program when its
// entry point calls runBackgroundTransferService; otherwise a resumed job waits for a program that can.
//
// Objects are used by the thread that created the manager, between comInitialize and comUninitialize.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace korvel::platform {

// HRESULT values: negative is a failure.
using HResult = std::int32_t;
constexpr HResult hresultOf(std::uint32_t value) { return static_cast<HResult>(value); }
constexpr bool succeeded(HResult hr) { return hr >= 0; }

inline constexpr HResult kSOk = 0;
inline constexpr HResult kSFalse = 1;
inline constexpr HResult kENotImpl = hresultOf(0x80004001);
inline constexpr HResult kEFail = hresultOf(0x80004005);
inline constexpr HResult kEAccessDenied = hresultOf(0x80070005);
inline constexpr HResult kEOutOfMemory = hresultOf(0x8007000E);
inline constexpr HResult kEInvalidArg = hresultOf(0x80070057);
// HRESULT_FROM_WIN32 of a Win32 error number.
constexpr HResult hresultFromWin32(std::uint32_t error) {
  return error == 0 ? kSOk : hresultOf((error & 0xFFFF) | 0x80070000);
}
inline constexpr HResult kBgENotFound = hresultOf(0x80200001);
inline constexpr HResult kBgEInvalidState = hresultOf(0x80200002);
inline constexpr HResult kBgEEmpty = hresultOf(0x80200003);
inline constexpr HResult kBgEErrorInformationUnavailable = hresultOf(0x8020000F);
inline constexpr HResult kBgSPartialComplete = hresultOf(0x00200017);
inline constexpr HResult kBgSUnableToDeleteFiles = hresultOf(0x0020001A);
// BG_E_HTTP_ERROR_xxx: 0x80190000 plus the HTTP status.
constexpr HResult bgHttpError(int status) { return hresultOf(0x80190000u | static_cast<std::uint32_t>(status & 0xFFFF)); }

// BG_JOB_STATE.
enum class BgJobState : std::uint32_t {
  Queued = 0,
  Connecting = 1,
  Transferring = 2,
  Suspended = 3,
  Error = 4,
  TransientError = 5,
  Transferred = 6,
  Acknowledged = 7,
  Cancelled = 8,
};

// BG_JOB_TYPE.
enum class BgJobType : std::uint32_t { Download = 0, Upload = 1, UploadReply = 2 };

// BG_ERROR_CONTEXT.
enum class BgErrorContext : std::uint32_t {
  None = 0,
  Unknown = 1,
  GeneralQueueManager = 2,
  QueueManagerNotification = 3,
  LocalFile = 4,
  RemoteFile = 5,
  GeneralTransport = 6,
  RemoteApplication = 7,
};

// EnumJobs flag: every user's jobs (needs administrator rights).
inline constexpr std::uint32_t kBgJobEnumAllUsers = 0x0001;
// BG_SIZE_UNKNOWN: a total not known yet.
inline constexpr std::uint64_t kBgSizeUnknown = ~std::uint64_t{0};

// BG_JOB_PROGRESS (field names as the service spells them).
struct BgJobProgress {
  std::uint64_t BytesTotal = 0;
  std::uint64_t BytesTransferred = 0;
  std::uint32_t FilesTotal = 0;
  std::uint32_t FilesTransferred = 0;
};

// BG_FILE_PROGRESS.
struct BgFileProgress {
  std::uint64_t BytesTotal = 0;
  std::uint64_t BytesTransferred = 0;
  bool Completed = false;
};

// IBackgroundCopyFile.
class BackgroundCopyFile {
 public:
  virtual ~BackgroundCopyFile() = default;
  virtual HResult getRemoteName(std::wstring& out) = 0;
  virtual HResult getLocalName(std::wstring& out) = 0;
  virtual HResult getProgress(BgFileProgress& out) = 0;
};

// IEnumBackgroundCopyFiles.
class BackgroundCopyFileEnum {
 public:
  virtual ~BackgroundCopyFileEnum() = default;
  virtual HResult getCount(std::uint32_t& out) = 0;
  // Next(1, &file, NULL): kSOk with `out` set, kSFalse at the end.
  virtual HResult next(std::unique_ptr<BackgroundCopyFile>& out) = 0;
};

// IBackgroundCopyError.
class BackgroundCopyError {
 public:
  virtual ~BackgroundCopyError() = default;
  virtual HResult getError(BgErrorContext& context, HResult& code) = 0;
  // The file the error concerns (BG_ERROR_CONTEXT_REMOTE_FILE and LOCAL_FILE).
  virtual HResult getFile(std::unique_ptr<BackgroundCopyFile>& out) = 0;
  virtual HResult getErrorDescription(std::uint32_t languageId, std::wstring& out) = 0;
};

// IBackgroundCopyJob.
class BackgroundCopyJob {
 public:
  virtual ~BackgroundCopyJob() = default;
  virtual HResult addFile(const std::wstring& remoteUrl, const std::wstring& localName) = 0;
  virtual HResult enumFiles(std::unique_ptr<BackgroundCopyFileEnum>& out) = 0;
  virtual HResult resume() = 0;
  virtual HResult cancel() = 0;
  virtual HResult complete() = 0;
  virtual HResult getProgress(BgJobProgress& out) = 0;
  virtual HResult getState(BgJobState& out) = 0;
  // BG_E_ERROR_INFORMATION_UNAVAILABLE when the job is in no error.
  virtual HResult getError(std::unique_ptr<BackgroundCopyError>& out) = 0;
  virtual HResult getDisplayName(std::wstring& out) = 0;
};

// IEnumBackgroundCopyJobs.
class BackgroundCopyJobEnum {
 public:
  virtual ~BackgroundCopyJobEnum() = default;
  virtual HResult getCount(std::uint32_t& out) = 0;
  virtual HResult next(std::unique_ptr<BackgroundCopyJob>& out) = 0;
};

// IBackgroundCopyManager.
class BackgroundCopyManager {
 public:
  virtual ~BackgroundCopyManager() = default;
  // A new job, suspended until resumed. The job's identifier is not handed out (nothing needs it).
  virtual HResult createJob(const std::wstring& displayName, BgJobType type,
                            std::unique_ptr<BackgroundCopyJob>& out) = 0;
  // flags: 0 for the caller's jobs, kBgJobEnumAllUsers for everyone's.
  virtual HResult enumJobs(std::uint32_t flags, std::unique_ptr<BackgroundCopyJobEnum>& out) = 0;
  virtual HResult getErrorDescription(HResult code, std::uint32_t languageId, std::wstring& out) = 0;
};

// CoInitializeEx(NULL, COINIT_APARTMENTTHREADED) on the calling thread; every success (S_FALSE too)
// is paired with one comUninitialize. POSIX: nothing to initialise, always kSOk.
HResult comInitialize();
void comUninitialize();

// CoCreateInstance(CLSID_BackgroundCopyManager, NULL, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
// IID_IBackgroundCopyManager). POSIX: opens (creating it) the state folder, and starts the helper when a
// job left from an earlier run still has work and no helper runs.
HResult createBackgroundCopyManager(std::unique_ptr<BackgroundCopyManager>& out);

// GetUserNameW: the account name; empty when it cannot be read.
std::wstring accountUserName();

// LANGIDFROMLCID(GetThreadLocale()). POSIX: 0 (the service's own language).
std::uint32_t threadLanguageId();

// True where the backend is the service of our own (POSIX): persistence, error descriptions and
// Range requests can then be relied on; false where the system's (or Wine's) service runs the jobs.
extern const bool kBackgroundTransferOwnService;

// POSIX: the process id of the helper that holds the state folder's lock, 0 when none runs.
// Win32: always 0 (the system's service does the work).
std::int64_t backgroundTransferHelperProcess();

// The entry point's hook, called before anything else with main's arguments. When they ask for the
// service ("<program> --bits-service <state folder>") it runs the helper and gives its exit code;
// otherwise nothing (and the program is then known to be able to serve as its own helper).
// Win32: always nothing.
std::optional<int> runBackgroundTransferService(int argc, const char* const* argv);

}  // namespace korvel::platform
