// One background download job and the table of its files.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bits/tarn_bits_file.h"
#include "platform/background_transfer.h"

namespace tarn::trickler {

class TarnBitsJob {
 public:
  using HResult = korvel::platform::HResult;

  // Takes over the service's job object, then reads the job's files (loadFiles(nullptr)).
  TarnBitsJob(std::wstring name, std::unique_ptr<korvel::platform::BackgroundCopyJob> job);
  ~TarnBitsJob();
  TarnBitsJob(const TarnBitsJob&) = delete;
  TarnBitsJob& operator=(const TarnBitsJob&) = delete;

  // The job name (the display name without "TARN [", "]" and the owner).
  std::wstring name() const { return name_; }

  // AddFile(remoteUrl, localName); on success the file's wrapper (without a file object) replaces any
  // of that local name. False with lastError set on failure.
  bool addFile(const std::wstring& remoteUrl, const std::wstring& localName);
  // The files in local-name order; the wrappers stay owned by the job.
  std::vector<TarnBitsFile*> files() const;
  // Exact lookup by local name; a wrapper without a file object is attached to the service's first.
  TarnBitsFile* findFile(const std::wstring& localName);
  // Walks the service's files of the job. With `wanted`: attaches the file of its name to it and stops
  // there. Files not in the table are added; existing wrappers are kept (and attached when they hold no
  // file object yet), so pointers handed out by files() and findFile stay valid.
  void loadFiles(TarnBitsFile* wanted);

  // GetState / GetProgress; false with lastError "Failed to obtain Job State" / "... Job Progress".
  bool state(korvel::platform::BgJobState& out);
  bool progress(korvel::platform::BgJobProgress& out);
  // The progress's FilesTotal; 0 when the progress cannot be read.
  unsigned fileCount();
  bool isSuspended();
  // True when the state cannot be read, or when the job is in error (lastError then holds the error).
  bool isInError();
  // Fills lastError with the job's error; always true.
  bool fetchError();

  HResult resume();
  HResult complete();
  HResult cancel();

  // True when hr failed: lastError = the addFile text of the failure. Otherwise lastError is emptied.
  bool checkResult(HResult hr);

  std::wstring lastError() const { return lastError_; }
  HResult lastResult() const { return lastResult_; }

 private:
  std::unique_ptr<korvel::platform::BackgroundCopyJob> job_;
  std::map<std::wstring, std::unique_ptr<TarnBitsFile>> files_;
  std::wstring name_;
  std::wstring lastError_;
  HResult lastResult_ = korvel::platform::kSOk;
};

}  // namespace tarn::trickler
