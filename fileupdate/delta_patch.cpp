// Combining delta data with an old file: validation of the records, the combine itself with its
// progress, and the session's view of that progress.
#include "fileupdate/delta_patch.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/file_utils.h"
#include "common/progress_channels.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/files.h"
#include "manifest/session_services.h"
#include "transfer/progress_rates.h"

#include <zlib.h>

namespace korvel {

namespace {

constexpr std::uint32_t kRefreshIntervalMs = 1000;

std::uint32_t readWord(const std::uint8_t* at) {
  return (static_cast<std::uint32_t>(at[0]) << 24) | (static_cast<std::uint32_t>(at[1]) << 16) |
         (static_cast<std::uint32_t>(at[2]) << 8) | static_cast<std::uint32_t>(at[3]);
}

// The literal length of a record's first number, or -1 for a copy. Computed in 64 bits: the
// negation of the smallest 32-bit value does not fit in 32.
std::int64_t literalLength(std::uint32_t word) {
  const std::int32_t value = static_cast<std::int32_t>(word);
  return value < 0 ? -static_cast<std::int64_t>(value) : -1;
}

// The folder part of a path ('\' or '/'), empty for a bare name.
std::string folderOf(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// Runs the records of the delta data from the old file into the new one, checking each record as it
// comes: a record that runs past the data or copies from beyond the old file ends the combine.
class Combiner {
 public:
  // Nothing past `limit` bytes is written: a record that would is malformed data.
  Combiner(DeltaInput& data, std::uint64_t oldSize, platform::File& oldFile, platform::File& newFile,
           CombineContext& context, std::uint64_t limit)
      : data_(data), oldSize_(oldSize), oldFile_(oldFile), newFile_(newFile), context_(context), limit_(limit) {}

  // False when the data is malformed, a read, seek or write failed, or the context cancelled.
  bool run(bool large) {
    start_ = lastRefresh_ = context_.tickMs();
    const std::uint64_t length = data_.size();
    std::uint64_t position = kDeltaHeaderSize;
    std::uint8_t word[4];
    while (position < length) {
      if (context_.cancelled()) return false;
      if (length - position < 4 || !data_.read(word, 4)) return false;
      position += 4;
      const std::uint32_t first = readWord(word);
      const std::int64_t literal = literalLength(first);
      if (literal >= 0) {
        if (static_cast<std::uint64_t>(literal) > length - position) return false;
        if (!literalRecord(static_cast<std::uint64_t>(literal))) return false;
        position += static_cast<std::uint64_t>(literal);
      } else {
        if (length - position < 4 || !data_.read(word, 4)) return false;
        position += 4;
        const std::uint64_t offset = readWord(word);
        if (first != 0 && offset + first > oldSize_) return false;
        if (!copy(offset, first)) return false;
      }
      context_.bytesConsumed(position);
      refreshWhenDue();
      if (large) reportPercent(position, length);
    }
    return true;
  }

  std::uint32_t elapsed() { return context_.tickMs() - start_; }
  const CombineOutput& output() const { return output_; }

 private:
  bool write(const std::uint8_t* bytes, std::size_t count) {
    if (count > limit_ - output_.size) return false;
    if (newFile_.write(bytes, count) != count) return false;
    output_.crc = static_cast<std::uint32_t>(crc32(output_.crc, bytes, static_cast<uInt>(count)));
    context_.outputWritten(bytes, count);
    output_.size += count;
    return true;
  }

  bool literalRecord(std::uint64_t count) {
    if (buffer_.empty()) buffer_.resize(kCombineBlockSize);
    while (count > 0) {
      const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer_.size()));
      if (!data_.read(buffer_.data(), block) || !write(buffer_.data(), block)) return false;
      count -= block;
    }
    return true;
  }

  bool copy(std::uint64_t offset, std::uint32_t count) {
    if (count == 0) return true;
    if (!oldFile_.seek(static_cast<std::int64_t>(offset))) return false;
    if (buffer_.empty()) buffer_.resize(kCombineBlockSize);
    std::uint32_t left = count;
    while (left > 0) {
      // A copy can be gigabytes long; a stop should not wait for its end.
      if (context_.cancelled()) return false;
      const std::size_t block = std::min<std::size_t>(left, buffer_.size());
      if (!readFully(buffer_.data(), block) || !write(buffer_.data(), block)) return false;
      left -= static_cast<std::uint32_t>(block);
      refreshWhenDue();
    }
    return true;
  }

  // A read may deliver less than asked before the end of the file; only no progress is a failure.
  bool readFully(std::uint8_t* into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
      const std::size_t step = oldFile_.read(into + got, size - got);
      if (step == 0) return false;
      got += step;
    }
    return true;
  }

  void refreshWhenDue() {
    const std::uint32_t now = context_.tickMs();
    if (now - lastRefresh_ < kRefreshIntervalMs) return;
    lastRefresh_ = now;
    context_.millisecondsSpent(now - start_);
    context_.refresh();
  }

  void reportPercent(std::uint64_t position, std::uint64_t length) {
    const int value = static_cast<int>(position * 100 / length);
    if (value == lastPercent_) return;
    lastPercent_ = value;
    context_.percent(value);
  }

  DeltaInput& data_;
  std::uint64_t oldSize_;
  platform::File& oldFile_;
  platform::File& newFile_;
  CombineContext& context_;
  std::uint64_t limit_;
  std::vector<std::uint8_t> buffer_;
  CombineOutput output_;
  std::uint32_t start_ = 0;
  std::uint32_t lastRefresh_ = 0;
  int lastPercent_ = 0;
};

}  // namespace

bool deltaDataValid(const std::uint8_t* data, std::size_t length, std::uint64_t oldSize) {
  if (length < kDeltaHeaderSize || data == nullptr) return false;
  std::size_t position = kDeltaHeaderSize;
  while (position < length) {
    if (length - position < 4) return false;
    const std::uint32_t word = readWord(data + position);
    position += 4;
    const std::int64_t literal = literalLength(word);
    if (literal >= 0) {
      if (static_cast<std::uint64_t>(literal) > length - position) return false;
      position += static_cast<std::size_t>(literal);
    } else {
      if (length - position < 4) return false;
      const std::uint64_t offset = readWord(data + position);
      position += 4;
      if (word != 0 && offset + word > oldSize) return false;
    }
  }
  return true;
}

bool MemoryDeltaInput::read(std::uint8_t* into, std::size_t count) {
  if (count > length_ - position_) return false;
  std::memcpy(into, data_ + position_, count);
  position_ += count;
  return true;
}

struct FileDeltaInput::Source {
  platform::File file;
  std::vector<std::uint8_t> buffer;
  std::size_t start = 0, end = 0;
};

FileDeltaInput::FileDeltaInput(const std::string& path) : source_(std::make_unique<Source>()) {
  source_->file = platform::File::open(path, "rb");
  const std::int64_t size = source_->file ? source_->file.size() : -1;
  if (size < 0) {
    source_->file.close();
    return;
  }
  size_ = static_cast<std::uint64_t>(size);
  source_->buffer.resize(kCombineBlockSize);
}

FileDeltaInput::~FileDeltaInput() = default;

bool FileDeltaInput::isOpen() const { return source_->file.isOpen(); }

void FileDeltaInput::close() { source_->file.close(); }

bool FileDeltaInput::read(std::uint8_t* into, std::size_t count) {
  Source& s = *source_;
  while (count > 0) {
    if (s.start == s.end) {
      if (!s.file) return false;
      s.start = 0;
      s.end = s.file.read(s.buffer.data(), s.buffer.size());
      if (s.end == 0) return false;
    }
    const std::size_t step = std::min(count, s.end - s.start);
    std::memcpy(into, s.buffer.data() + s.start, step);
    s.start += step;
    into += step;
    count -= step;
  }
  return true;
}

bool combineDelta(const std::string& source, const std::string& output, DeltaInput& data, CombineContext& context,
                  CombineOutput& out) {
  platform::FileInfo info;
  if (!platform::fileInfo(source, info) || info.isDirectory) return false;
  std::uint8_t header[kDeltaHeaderSize];
  if (data.size() < kDeltaHeaderSize || !data.read(header, sizeof header)) return false;
  if (readWord(header + 4) > kDeltaLargestFile) return false;

  platform::File oldFile = platform::File::open(source, "rb");
  if (!oldFile) return false;
  platform::setFileAttributes(output, platform::kAttributeNormal);
  platform::File newFile = platform::File::open(output, "wb");
  if (!newFile) return false;

  const bool large = readWord(header + 4) > kCombineLargeFile;
  if (large) {
    context.showStatus(source);
    context.percent(0);
  }
  // A few bytes of copy records can repeat the old file without end: the new file is held to the size
  // the header gives it (the caller then holds the result to the manifest's size).
  Combiner combiner(data, info.size, oldFile, newFile, context, readWord(header + 4));
  bool complete = combiner.run(large);
  // A close that fails lost the last buffered bytes: the new file is not complete. Its data reaches
  // the disk before the caller may rename it over the old file.
  if (complete && !newFile.flushToDisk()) complete = false;
  if (!newFile.close()) complete = false;
  oldFile.close();
  context.millisecondsSpent(combiner.elapsed());

  if (!complete) {
    platform::deleteFile(output);
    return false;
  }
  if (large) context.percent(100);
  out = combiner.output();
  return true;
}

bool combineDelta(const std::string& target, const std::uint8_t* data, std::size_t length,
                  CombineContext& context) {
  const std::string folder = folderOf(target);
  const std::string output = makeTempName(".tmp", folder.empty() ? nullptr : folder.c_str());
  MemoryDeltaInput input(data, length);
  CombineOutput written;
  if (!combineDelta(target, output, input, context, written)) {
    platform::deleteFile(output);
    return false;
  }
  platform::setFileAttributes(target, platform::kAttributeNormal);
  if (platform::replaceFile(output, target)) return true;
  platform::deleteFile(output);
  return false;
}

// ---- The session's context ------------------------------------------------------------------------

SessionCombineContext::SessionCombineContext(FileNodeServices* services) : services_(services) {
  if (!services_) return;
  startBytes_ = services_->statistics().get(ProgressRates::kDeltaBytes, ProgressRates::kDone);
  startMilliseconds_ = services_->statistics().get(ProgressRates::kDeltaBytes, ProgressRates::kMilliseconds);
}

bool SessionCombineContext::cancelled() { return services_ && services_->isCancelled(); }

std::uint32_t SessionCombineContext::tickMs() { return platform::tickCount(); }

void SessionCombineContext::showStatus(const std::string& target) {
  if (services_) services_->setStatusLine(target);
}

void SessionCombineContext::percent(int value) {
  if (services_) services_->showProgress(value, kBarDelta);
}

void SessionCombineContext::bytesConsumed(std::uint64_t bytes) {
  if (services_)
    services_->statistics().set(startBytes_ + static_cast<std::int64_t>(bytes), ProgressRates::kDeltaBytes,
                               ProgressRates::kDone);
}

void SessionCombineContext::millisecondsSpent(std::uint32_t milliseconds) {
  if (services_)
    services_->statistics().set(startMilliseconds_ + static_cast<std::int64_t>(milliseconds),
                               ProgressRates::kDeltaBytes, ProgressRates::kMilliseconds);
}

void SessionCombineContext::refresh() {
  if (services_) services_->reportTimeEstimate();
}

}  // namespace korvel
