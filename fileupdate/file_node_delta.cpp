// File nodes and their delta data: choosing the delta that fits the local file, and applying it.
#include <vector>

#include "fileupdate/delta_patch.h"
#include "fileupdate/file_node.h"
#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/files.h"
#include "session/session_services.h"
#include "common/result_codes.h"

namespace korvel {

namespace {

constexpr std::size_t kDeltaPathCapacity = 256;
// The running program is duplicated in blocks of this size.
constexpr std::size_t kDuplicateBlock = 512;
// Pauses around the patch of the running program's copy, letting the file system settle.
constexpr std::uint32_t kSettleMs = 500;

// The whole file; false when it cannot be opened or read completely.
bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& out) {
  platform::File file = platform::File::open(path, "rb");
  if (!file) return false;
  const std::int64_t size = file.size();
  if (size < 0) return false;
  out.assign(static_cast<std::size_t>(size), 0);
  std::size_t got = 0;
  while (got < out.size()) {
    const std::size_t step = file.read(out.data() + got, out.size() - got);
    if (step == 0) return false;
    got += step;
  }
  return true;
}

// Copies `from` to `to` in 512-byte blocks, logging each open.
void duplicate(const std::string& from, const std::string& to, SessionServices* services) {
  platform::File source = platform::File::open(from, "rb");
  if (!source) return;
  if (services) services->log(boundedFormat(kDeltaPathCapacity * 2, "Opened file %s for reading\n", from.c_str()));
  platform::File destination = platform::File::open(to, "wb");
  if (!destination) return;
  if (services) services->log(boundedFormat(kDeltaPathCapacity * 2, "Opened file %s for writing\n", to.c_str()));
  char block[kDuplicateBlock];
  for (std::size_t got; (got = source.read(block, sizeof block)) > 0;) {
    if (destination.write(block, got) != got) return;
  }
  destination.close();
}

}  // namespace

bool FileNode::findDelta(TextArgument) {
  if (!existsLocally_ || localCrc_ == 0) return false;
  for (std::size_t index = 0; index < deltaSources_.size(); ++index) {
    if (deltaSources_[index].sourceCrc == localCrc_) {
      appliedDelta_ = index;
      return true;
    }
  }
  return false;
}

int FileNode::applyDelta(bool isRunningProgram, TextArgument basePath) {
  if (!appliedDelta_) return result::kDeltaFailed;
  DeltaSource& delta = deltaSources_[*appliedDelta_];
  const int fetched = delta.fetch(services_, basePath);
  if (fetched != result::kOk) return fetched;
  log(localName_ ? boundedFormat(kLineCapacity, "Downloaded Delta file for %s\n", localName_->c_str())
                 : std::string("Downloaded Delta file\n"));

  const std::string file = cutToCapacity(localFile(basePath), kDeltaPathCapacity);
  // The data is read from where fetch put it, so both always name the same file.
  const std::string data = delta.localFile.value_or(std::string());
  log(boundedFormat(kLineCapacity, "Reading in delta data: %s\n", data.c_str()));
  std::vector<std::uint8_t> buffer;
  const bool haveData = readWholeFile(data, buffer);
  platform::deleteFile(data);
  log(boundedFormat(kLineCapacity, "Removing delta data: %s\n", data.c_str()));
  if (!haveData) return result::kDeltaFailed;

  if (isRunningProgram) {
    // The running file cannot be rewritten: its copy under the temporary name is patched instead.
    log("Delta patching the patcher...\n");
    const std::string temporary = tempFilename();
    if (!temporary.empty() && localName_ && !equalsIgnoreCase(temporary, *localName_)) {
      const std::string target = cutToCapacity(tempFile(basePath), kDeltaPathCapacity);
      duplicate(file, target, services_);
      platform::sleepMs(kSettleMs);
      log(boundedFormat(kLineCapacity, "Duplicated %s as %s\n", file.c_str(), target.c_str()));
      log("Combining delta data...\n");
      SessionCombineContext context(services_);
      combineDelta(target, buffer.data(), buffer.size(), context);
      log(boundedFormat(kLineCapacity, "Delta patch complete for %s\n", target.c_str()));
      platform::sleepMs(kSettleMs);
    }
    // The caller measures the copy; a wrong size there leads to the full download.
    return result::kOk;
  }

  platform::setFileAttributes(file, platform::kAttributeNormal);
  log(boundedFormat(kLineCapacity, "Combining delta data into %s\n", file.c_str()));
  SessionCombineContext context(services_);
  if (combineDelta(file, buffer.data(), buffer.size(), context)) {
    log(boundedFormat(kLineCapacity, "Delta patch complete for %s\n", file.c_str()));
    return result::kOk;
  }
  return isCancelled() ? result::kStopped : result::kDeltaFailed;
}

}  // namespace korvel
