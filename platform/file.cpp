// An open file over the C runtime's streams, with the test fault seams applied to every call.
#include "platform/file.h"

#include <algorithm>
#include <stdio.h>

#include "platform/faults.h"
#include "platform/files.h"

namespace korvel::platform {

void File::Closer::operator()(std::FILE* f) const {
  if (f) std::fclose(f);
}

File::~File() = default;

File File::open(const std::string& path, const char* mode) {
  if (hasParentComponent(path)) return File();
  return openChecked(path, mode);
}

File File::openUserPath(const std::string& path, const char* mode) { return openChecked(path, mode); }

File File::openChecked(const std::string& path, const char* mode) {
  File file;
  if (faults::failOpens.load() > 0) {
    faults::failOpens.fetch_sub(1);
    return file;
  }
  file.stream_.reset(std::fopen(nativePath(path).c_str(), mode));
  if (file.stream_) file.path_ = path;
  return file;
}

std::size_t File::read(void* buffer, std::size_t size) {
  if (!stream_) return 0;
  if (faults::failNextRead.exchange(false)) {
    injectedError_ = true;
    return 0;
  }
  std::int64_t limit = faults::shortReads.load();
  if (limit > 0) size = std::min<std::size_t>(size, static_cast<std::size_t>(limit));
  return std::fread(buffer, 1, size, stream_.get());
}

std::size_t File::write(const void* buffer, std::size_t size) {
  if (!stream_) return 0;
  std::int64_t budget = faults::writeBudget.load();
  if (budget != 0) {
    if (budget < 0) return 0;  // the simulated disk is full
    std::size_t allowed = std::min<std::size_t>(size, static_cast<std::size_t>(budget));
    std::size_t written = std::fwrite(buffer, 1, allowed, stream_.get());
    std::int64_t left = budget - static_cast<std::int64_t>(written);
    faults::writeBudget.store(left > 0 ? left : -1);
    return written;
  }
  return std::fwrite(buffer, 1, size, stream_.get());
}

bool File::seek(std::int64_t offset) {
  if (!stream_) return false;
  return fseeko(stream_.get(), static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::int64_t File::tell() {
  if (!stream_) return -1;
  return static_cast<std::int64_t>(ftello(stream_.get()));
}

std::int64_t File::size() {
  if (!stream_) return -1;
  std::int64_t here = tell();
  FileInfo info;
  std::fflush(stream_.get());
  if (fileInfo(path_, info)) return static_cast<std::int64_t>(info.size);
  return here < 0 ? -1 : here;
}

bool File::hadError() const { return injectedError_ || (stream_ && std::ferror(stream_.get()) != 0); }

bool File::flush() { return stream_ && std::fflush(stream_.get()) == 0; }

bool File::flushToDisk() { return stream_ && !injectedError_ && platform::flushToDisk(stream_.get()); }

bool File::close() {
  if (!stream_) return false;
  std::FILE* raw = stream_.release();
  return std::fclose(raw) == 0;
}

bool hasParentComponent(const std::string& path) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find_first_of("\\/", start);
    const std::size_t length = (end == std::string::npos ? path.size() : end) - start;
    if (length == 2 && path.compare(start, 2, "..") == 0) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

}  // namespace korvel::platform
