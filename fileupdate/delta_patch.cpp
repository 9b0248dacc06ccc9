// Combining delta data with an old file: validation of the records, the combine itself with its
// progress, and the session's view of that progress.
#include "fileupdate/delta_patch.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "launcher/patch_client.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/files.h"
#include "session/session_services.h"
#include "transfer/progress_rates.h"

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

// Every combine in the process shares the held file's name.
std::mutex& combineMutex() {
  static std::mutex mutex;
  return mutex;
}

// Runs the records of validated data from the held old file into the new file.
class Combiner {
 public:
  Combiner(const std::uint8_t* data, std::size_t length, platform::File& oldFile, platform::File& newFile,
           CombineContext& context)
      : data_(data), length_(length), oldFile_(oldFile), newFile_(newFile), context_(context) {}

  // False when a read, seek or write failed, or the context cancelled (see cancelled()).
  bool run(bool large) {
    start_ = lastRefresh_ = context_.tickMs();
    std::size_t position = kDeltaHeaderSize;
    while (position < length_) {
      if (context_.cancelled()) {
        cancelled_ = true;
        return false;
      }
      const std::uint32_t word = readWord(data_ + position);
      position += 4;
      const std::int64_t literal = literalLength(word);
      if (literal >= 0) {
        const std::size_t size = static_cast<std::size_t>(literal);
        if (newFile_.write(data_ + position, size) != size) return false;
        position += size;
      } else {
        const std::uint32_t offset = readWord(data_ + position);
        position += 4;
        if (!copy(offset, word)) return false;
      }
      context_.bytesConsumed(static_cast<std::uint32_t>(position));
      refreshWhenDue();
      if (large) reportPercent(position);
    }
    return true;
  }

  bool cancelled() const { return cancelled_; }
  std::uint32_t elapsed() { return context_.tickMs() - start_; }

 private:
  bool copy(std::uint32_t offset, std::uint32_t count) {
    if (count == 0) return true;
    if (!oldFile_.seek(offset)) return false;
    if (buffer_.empty()) buffer_.resize(kCombineBlockSize);
    std::uint32_t left = count;
    while (left > 0) {
      // A copy can be gigabytes long; a stop should not wait for its end.
      if (context_.cancelled()) {
        cancelled_ = true;
        return false;
      }
      const std::size_t block = std::min<std::size_t>(left, buffer_.size());
      if (!readFully(buffer_.data(), block)) return false;
      if (newFile_.write(buffer_.data(), block) != block) return false;
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

  void reportPercent(std::size_t position) {
    const int value = static_cast<int>(static_cast<std::uint64_t>(position) * 100 / length_);
    if (value == lastPercent_) return;
    lastPercent_ = value;
    context_.percent(value);
  }

  const std::uint8_t* data_;
  std::size_t length_;
  platform::File& oldFile_;
  platform::File& newFile_;
  CombineContext& context_;
  std::vector<std::uint8_t> buffer_;
  std::uint32_t start_ = 0;
  std::uint32_t lastRefresh_ = 0;
  int lastPercent_ = 0;
  bool cancelled_ = false;
};

// Puts the old file back under the target's name, dropping whatever was written there.
void restoreOld(const std::string& held, const std::string& target) {
  platform::deleteFile(target);
  platform::renameFile(held, target);
}

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

bool combineDelta(const std::string& target, const std::uint8_t* data, std::size_t length,
                  CombineContext& context) {
  std::lock_guard<std::mutex> lock(combineMutex());

  platform::FileInfo info;
  if (!platform::fileInfo(target, info) || info.isDirectory) return false;
  // Malformed data is refused before the old file is moved: nothing is then at risk.
  if (!deltaDataValid(data, length, info.size)) return false;

  // The full name, so that the held file stays the same file whatever the current directory becomes.
  const std::string held = platform::fullPathName(kDeltaHoldName);
  platform::deleteFile(held);
  if (!platform::renameFile(target, held)) return false;

  platform::File oldFile = platform::File::open(held, "rb");
  platform::File newFile = oldFile ? platform::File::open(target, "wb") : platform::File();
  if (!oldFile || !newFile) {
    newFile.close();
    oldFile.close();
    restoreOld(held, target);
    return false;
  }

  const bool large = readWord(data + 4) > kCombineLargeFile;
  if (large) {
    context.showStatus(target);
    context.percent(0);
  }
  Combiner combiner(data, length, oldFile, newFile, context);
  bool complete = combiner.run(large);
  // A close that fails lost the last buffered bytes: the new file is not complete.
  if (!newFile.close()) complete = false;
  oldFile.close();
  context.millisecondsSpent(combiner.elapsed());

  if (!complete) {
    restoreOld(held, target);
    return false;
  }
  if (large) context.percent(100);
  platform::deleteFile(held);
  return true;
}

// ---- The session's context ------------------------------------------------------------------------

SessionCombineContext::SessionCombineContext(SessionServices* services) : services_(services) {
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

void SessionCombineContext::bytesConsumed(std::uint32_t bytes) {
  if (services_)
    services_->statistics().set(startBytes_ + static_cast<std::int32_t>(bytes), ProgressRates::kDeltaBytes,
                               ProgressRates::kDone);
}

void SessionCombineContext::millisecondsSpent(std::uint32_t milliseconds) {
  if (services_)
    services_->statistics().set(startMilliseconds_ + static_cast<std::int32_t>(milliseconds),
                               ProgressRates::kDeltaBytes, ProgressRates::kMilliseconds);
}

void SessionCombineContext::refresh() {
  if (services_) services_->reportTimeEstimate();
}

}  // namespace korvel
