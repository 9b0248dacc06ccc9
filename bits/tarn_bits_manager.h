// The connection to the background transfer service and the table of this program's jobs, which the
// service knows by their display names: "TARN [" + job name + "]" + owner.
//
// A manager lives for one staging operation and is used only by the thread that created it: the
// constructor initialises COM on that thread and the destructor uninitialises it.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "bits/tarn_bits_exception.h"
#include "bits/tarn_bits_job.h"
#include "platform/background_transfer.h"

namespace tarn::trickler {

class TarnBitsManager {
 public:
  using HResult = korvel::platform::HResult;

  // Connects to the service and loads the existing jobs. Throws TarnBitsException when COM or the
  // service's manager cannot be had.
  TarnBitsManager();
  ~TarnBitsManager();
  TarnBitsManager(const TarnBitsManager&) = delete;
  TarnBitsManager& operator=(const TarnBitsManager&) = delete;

  // Creates a download job for a name not yet in the table and returns the wrapper loadJobs builds for
  // it; null (lastError set) when the name exists or the service refuses.
  TarnBitsJob* addJob(const std::wstring& name);
  TarnBitsJob* findJob(const std::wstring& name) const;
  bool hasJob(const std::wstring& name) const;
  // Takes the job out of the table, cancels it in the service when `cancel` is true, deletes the
  // wrapper. Nothing happens for a name not in the table (or a null job).
  void removeJob(const std::wstring& name, bool cancel);
  void removeJob(TarnBitsJob* job, bool cancel);
  // Lets the service commit the job's files. True on S_OK and BG_S_PARTIAL_COMPLETE (the wrapper stays);
  // otherwise the job is cancelled and removed, and the result is false.
  bool completeJob(TarnBitsJob* job);
  // Enumerates the service's jobs (everyone's when allowed, else the caller's) and adds wrappers for
  // the jobs of this program not yet in the table.
  void loadJobs();

  // True when hr failed: lastError = the service's description of hr. Otherwise lastError is emptied.
  bool checkResult(HResult hr);

  std::wstring userName() const { return userName_; }
  std::wstring lastError() const { return lastError_; }
  HResult lastResult() const { return lastResult_; }
  bool allUsers() const { return allUsers_; }

 private:
  std::unique_ptr<korvel::platform::BackgroundCopyManager> manager_;
  std::map<std::wstring, std::unique_ptr<TarnBitsJob>> jobs_;
  std::wstring userName_;
  std::wstring lastError_;
  HResult lastResult_ = korvel::platform::kSOk;
  bool allUsers_ = false;
};

}  // namespace tarn::trickler
