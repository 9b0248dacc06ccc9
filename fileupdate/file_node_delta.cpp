// File nodes and their delta data: choosing the delta that fits the local file, and applying it.
#include <vector>

#include "common/file_utils.h"

#include "fileupdate/delta_patch.h"
#include "fileupdate/file_node.h"
#include "common/text_format.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/files.h"
#include "manifest/session_services.h"
#include "common/result_codes.h"
#include "trust/sha256.h"

namespace korvel {

namespace {

constexpr std::size_t kDeltaPathCapacity = 256;
// The running program is duplicated in blocks of this size.
constexpr std::size_t kDuplicateBlock = 512;
// Pauses around the patch of the running program's copy, letting the file system settle.
constexpr std::uint32_t kSettleMs = 500;

// Copies `from` to `to` in 512-byte blocks, logging each open.
void duplicate(const std::string& from, const std::string& to, FileNodeServices* services) {
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

// The session's combine context, which also takes the SHA-256 of the new file when the manifest
// names one.
class DigestingCombineContext : public SessionCombineContext {
 public:
  DigestingCombineContext(FileNodeServices* services, bool hashing)
      : SessionCombineContext(services), hashing_(hashing) {}
  void outputWritten(const std::uint8_t* bytes, std::size_t count) override {
    if (hashing_) digest_.update(bytes, count);
  }
  std::string digestHex() { return digest_.finishHex(); }

 private:
  bool hashing_;
  trust::Sha256 digest_;
};

}  // namespace

bool FileNode::findDelta(TextArgument) {
  if (!existsLocally_ || localCrc_ == 0) return false;
  // Delta data cannot describe a file this large: the file is downloaded whole.
  if (static_cast<std::uint64_t>(totalSize_) > kDeltaLargestFile) return false;
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
  const int fetched = delta.fetch(session_, basePath, stagingBase(basePath));
  if (fetched != result::kOk) return fetched;
  log(localName_ ? boundedFormat(kLineCapacity, "Downloaded Delta file for %s\n", localName_->c_str())
                 : std::string("Downloaded Delta file\n"));

  const std::string file = cutToCapacity(localFile(basePath), kDeltaPathCapacity);
  // The data is read from where fetch put it, so both always name the same file. It is read as a
  // stream while the records are combined, and removed once the combine is over.
  const std::string data = delta.localFile.value_or(std::string());
  log(boundedFormat(kLineCapacity, "Reading in delta data: %s\n", data.c_str()));
  FileDeltaInput input(data);
  log(boundedFormat(kLineCapacity, "Removing delta data: %s\n", data.c_str()));
  if (!input.isOpen()) {
    platform::deleteFile(data);
    return result::kDeltaFailed;
  }

  // The running file cannot be rewritten: its copy under the temporary name is patched instead.
  std::string target = file;
  if (isRunningProgram) {
    log("Delta patching the patcher...\n");
    const std::string temporary = tempFilename();
    if (temporary.empty() || !localName_ || equalsIgnoreCase(temporary, *localName_)) {
      input.close();
      platform::deleteFile(data);
      // The caller measures the copy; a wrong size there leads to the full download.
      return result::kOk;
    }
    target = cutToCapacity(tempFile(basePath), kDeltaPathCapacity);
    duplicate(file, target, session_);
    platform::sleepMs(kSettleMs);
    log(boundedFormat(kLineCapacity, "Duplicated %s as %s\n", file.c_str(), target.c_str()));
    log("Combining delta data...\n");
  } else {
    log(boundedFormat(kLineCapacity, "Combining delta data into %s\n", file.c_str()));
  }

  // The new version is written beside the file and takes its place only once it is the manifest's
  // file; until then the old bytes stay where they are.
  const std::size_t cut = target.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? std::string() : target.substr(0, cut);
  const std::string output = makeTempName(".tmp", folder.empty() ? nullptr : folder.c_str());
  DigestingCombineContext context(session_, sha256_.has_value());
  CombineOutput written;
  const bool combined = combineDelta(target, output, input, context, written);
  input.close();
  platform::deleteFile(data);
  if (!combined) {
    platform::deleteFile(output);
    return isCancelled() ? result::kStopped : result::kDeltaFailed;
  }
  // A result that is not the manifest's file is thrown away; the full download follows.
  if (totalSize_ != 0 && static_cast<std::int64_t>(written.size) != totalSize_) {
    session_->showWarning(boundedFormat(kLineCapacity,
                                         "Warning: Filesize verify:  Local %lld vs. server %lld, possible mid-patch\n",
                                         static_cast<long long>(written.size), static_cast<long long>(totalSize_)));
    platform::deleteFile(output);
    return result::kDeltaFailed;
  }
  if (crc_ != 0 && written.crc != crc_) {
    log(boundedFormat(kLineCapacity, "Delta result for %s does not match the manifest (CRC %08x, expected %08x)\n",
                      target.c_str(), written.crc, crc_));
    platform::deleteFile(output);
    return result::kDeltaFailed;
  }
  if (sha256_) {
    const std::string hash = context.digestHex();
    if (hash != *sha256_) {
      log(boundedFormat(kLineCapacity * 2,
                        "Delta result for %s does not match the manifest (SHA-256 %s, expected %s)\n",
                        target.c_str(), hash.c_str(), sha256_->c_str()));
      platform::deleteFile(output);
      return result::kDeltaFailed;
    }
  }
  platform::setFileAttributes(target, platform::kAttributeNormal);
  if (!platform::replaceFile(output, target)) {
    platform::deleteFile(output);
    return result::kDeltaFailed;
  }
  log(boundedFormat(kLineCapacity, "Delta patch complete for %s\n", target.c_str()));
  if (isRunningProgram) platform::sleepMs(kSettleMs);
  return result::kOk;
}

}  // namespace korvel
