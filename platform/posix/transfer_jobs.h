// The job store of the POSIX background transfer service: one text file per job in the state folder,
// each rewritten atomically (a private temporary file renamed over it), the folder lock that orders every
// read-modify-write of a job, and the helper lock that lets one helper process run per folder.
//
// Shared by the service objects the program uses (background_transfer.cpp) and by the helper process
// that does the transfers (transfer_service.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/background_transfer.h"
#include "platform/posix/unique_fd.h"

namespace korvel::platform::posix {

struct TransferFile {
  std::string remote;  // URL, UTF-8
  std::string local;   // the local name as it was added (the core's '\' form), UTF-8
  std::string temp;    // native path of the partial file beside the target
  std::uint64_t total = kBgSizeUnknown;
  std::uint64_t transferred = 0;
  bool completed = false;
  std::string validator;  // ETag or Last-Modified of the body the partial file holds (sent as If-Range)
};

struct TransferJob {
  std::string id;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
  std::string displayName;
  std::string owner;  // account name of the creator
  BgJobState state = BgJobState::Suspended;
  std::int64_t sequence = 0;      // creation time in nanoseconds: the order in which jobs are served
  std::int64_t lastProgress = 0;  // seconds; when bytes last arrived (or the job was resumed)
  std::int64_t retryAt = 0;       // seconds; when a job in transient error is tried again
  int failures = 0;               // attempts in a row that brought no byte
  BgErrorContext errorContext = BgErrorContext::None;
  HResult errorCode = kSOk;
  int errorFile = -1;  // index into files of the file the error concerns
  std::string errorDescription;
  std::vector<TransferFile> files;

  // Whether a helper has something to do for the job (now or at retryAt).
  bool hasWork() const;
  bool inError() const { return state == BgJobState::Error || state == BgJobState::TransientError; }
  void clearError();
  void setError(BgJobState errorState, BgErrorContext context, HResult code, int file, const std::string& detail);
  BgJobProgress progress() const;
};

// The state folder (native path, absolute): KORVEL_BITS_DIR, else $XDG_STATE_HOME/korvel/bits, else
// $HOME/.local/state/korvel/bits. Created (mode 0700) when missing; empty when that fails.
std::string stateFolder();
// Creates `folder` and its missing parents (mode 0700); false when it is not a folder afterwards.
bool makeFolders(const std::string& folder);

std::string newJobId();
std::string jobPath(const std::string& folder, const std::string& id);
// The temporary file of a target: "<target>.<first 8 digits of the job id>.tmp", native.
std::string tempPathFor(const std::string& localNative, const std::string& jobId);

// false when the file is missing or not a job file. A last line without its line end is an append
// that did not finish and is left out.
bool readJob(const std::string& path, TransferJob& out);
bool writeJob(const std::string& folder, const TransferJob& job);

// What one writer knows of a job file: the record as it last read or wrote it, the local names of its
// files, and the file's identity at that moment, so that a file nobody else changed since is not read
// again. Used under the FolderLock only.
struct JobFileView {
  TransferJob job;
  std::unordered_set<std::string> locals;
  bool known = false;
  bool appendable = false;  // the file ends with a complete line
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t modified = 0, changed = 0;  // nanoseconds
};
// Brings `view` up to the job file `id` of `folder`, reading it only when it changed since `view` saw
// it; false (and `view` unknown) when the job file is missing or unreadable.
bool refreshJob(const std::string& folder, const std::string& id, JobFileView& view);
// Adds `file` to the job of a view refreshJob has just brought up to date, as one line appended to the
// job file, so that adding n files costs time linear in n. Without the disk flush of a rewrite: the
// next rewrite of the job (its resume, the helper's progress) makes the lines durable, and a line lost
// with the machine only leaves that file out of the job. False when nothing could be written (`view`
// is then unknown and the job file as before, or rewritten whole).
bool appendFile(const std::string& folder, JobFileView& view, TransferFile file);
bool removeJob(const std::string& folder, const std::string& id);
// Every job of the folder, in service order.
std::vector<TransferJob> readJobs(const std::string& folder);
// Removes job files half written by processes that no longer exist.
void removeStaleWrites(const std::string& folder);

// The folder's "jobs.lock", held exclusively while the object lives (blocking until it is free). Every
// change of a job reads and writes it under this lock.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool held() const { return static_cast<bool>(fd_); }

 private:
  UniqueFd fd_;
};

// The folder's "helper.lock": the running helper holds a lock on it and has written its process id
// into it. The lock belongs to the open file, so the kernel drops it when a helper dies, and the next
// helper takes the file over.
class HelperLock {
 public:
  explicit HelperLock(std::string folder) : folder_(std::move(folder)) {}
  ~HelperLock() { release(); }
  HelperLock(const HelperLock&) = delete;
  HelperLock& operator=(const HelperLock&) = delete;

  // Takes the lock without waiting and records this process; false when another helper holds it.
  bool acquire();
  void release();
  // The process id of the helper holding the lock of `folder`, 0 when nobody holds it.
  static std::int64_t holder(const std::string& folder);

 private:
  std::string folder_;
  UniqueFd fd_;
};

// The service's description of a result code; false for codes it has no text for.
bool describeResult(HResult code, std::string& out);

std::string utf8(const std::wstring& text);
std::wstring wide(const std::string& text);
// HRESULT_FROM_WIN32 of the Win32 error nearest to an errno value.
HResult resultOfErrno(int error);

}  // namespace korvel::platform::posix
