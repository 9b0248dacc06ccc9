// One file of a background transfer job: its local name and, once attached, the service's file object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/background_transfer.h"

namespace tarn::trickler {

class TarnBitsFile {
 public:
  // Takes over `file` (may be null: the file is then attached later, see TarnBitsJob::findFile).
  TarnBitsFile(std::wstring localName, std::unique_ptr<korvel::platform::BackgroundCopyFile> file);
  ~TarnBitsFile();
  TarnBitsFile(const TarnBitsFile&) = delete;
  TarnBitsFile& operator=(const TarnBitsFile&) = delete;

  // The local name (full path) under which the job holds the file.
  const std::wstring& name() const { return name_; }
  // The local name as the service reports it; empty without a file object or when the call fails.
  std::wstring localName() const;
  // From the service's file progress; 0 / false without a file object or when the call fails.
  std::uint64_t bytesTotal() const;
  std::uint64_t bytesTransferred() const;
  bool isCompleted() const;

  bool hasFile() const { return file_ != nullptr; }
  // Stores `file` when it is not null (a file object held so far is released).
  void attach(std::unique_ptr<korvel::platform::BackgroundCopyFile> file);

 private:
  bool readProgress(korvel::platform::BgFileProgress& out) const;

  std::unique_ptr<korvel::platform::BackgroundCopyFile> file_;
  std::wstring name_;
};

}  // namespace tarn::trickler
