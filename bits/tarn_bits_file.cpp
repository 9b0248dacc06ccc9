// One file of a background transfer job.
#include "bits/tarn_bits_file.h"

#include <utility>

namespace tarn::trickler {

namespace platform = korvel::platform;

TarnBitsFile::TarnBitsFile(std::wstring localName, std::unique_ptr<platform::BackgroundCopyFile> file)
    : file_(std::move(file)), name_(std::move(localName)) {}

TarnBitsFile::~TarnBitsFile() = default;

std::wstring TarnBitsFile::localName() const {
  std::wstring name;
  if (!file_ || !platform::succeeded(file_->getLocalName(name))) return {};
  return name;
}

bool TarnBitsFile::readProgress(platform::BgFileProgress& out) const {
  return file_ && platform::succeeded(file_->getProgress(out));
}

std::uint64_t TarnBitsFile::bytesTotal() const {
  platform::BgFileProgress progress;
  return readProgress(progress) ? progress.BytesTotal : 0;
}

std::uint64_t TarnBitsFile::bytesTransferred() const {
  platform::BgFileProgress progress;
  return readProgress(progress) ? progress.BytesTransferred : 0;
}

bool TarnBitsFile::isCompleted() const {
  platform::BgFileProgress progress;
  return readProgress(progress) && progress.Completed;
}

void TarnBitsFile::attach(std::unique_ptr<platform::BackgroundCopyFile> file) {
  if (file) file_ = std::move(file);
}

}  // namespace tarn::trickler
