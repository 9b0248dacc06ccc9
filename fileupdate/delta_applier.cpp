// Delta patching of a file: choosing the delta that fits the local copy, fetching its data, and
// combining it with the copy into a new file that takes the old one's place once it is the manifest's.
#include "fileupdate/delta_applier.h"

#include "common/file_utils.h"
#include "common/result_codes.h"
#include "common/text_format.h"
#include "fileupdate/delta_patch.h"
#include "fileupdate/file_node.h"
#include "manifest/session_services.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/files.h"
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

DeltaApplier::DeltaApplier(FileNode& file) : file_(file) {}

bool DeltaApplier::choose(TextArgument) {
  const FileNode& f = file_;
  if (!f.existsLocally_ || f.localCrc_ == 0) return false;
  // Delta data cannot describe a file this large: the file is downloaded whole.
  if (static_cast<std::uint64_t>(f.totalSize_) > kDeltaLargestFile) return false;
  for (std::size_t index = 0; index < f.deltaSources_.size(); ++index) {
    if (f.deltaSources_[index].sourceCrc == f.localCrc_) {
      chosen_ = index;
      return true;
    }
  }
  return false;
}

const DeltaSource* DeltaApplier::chosen() const { return chosen_ ? &file_.deltaSources_[*chosen_] : nullptr; }

int DeltaApplier::apply(bool isRunningProgram, TextArgument basePath) {
  if (!chosen_) return result::kDeltaFailed;
  FileNode& f = file_;
  DeltaSource& delta = f.deltaSources_[*chosen_];
  const int fetched = delta.fetch(f.session_, basePath, f.stagingBase(basePath));
  if (fetched != result::kOk) return fetched;
  f.log(f.localName_ ? boundedFormat(FileNode::kLineCapacity, "Downloaded Delta file for %s\n", f.localName_->c_str())
                     : std::string("Downloaded Delta file\n"));

  const std::string file = cutToCapacity(f.localFile(basePath), kDeltaPathCapacity);
  // The data is read from where fetch put it, so both always name the same file. It is read as a
  // stream while the records are combined, and removed once the combine is over.
  const std::string data = delta.localFile.value_or(std::string());
  f.log(boundedFormat(FileNode::kLineCapacity, "Reading in delta data: %s\n", data.c_str()));
  FileDeltaInput input(data);
  f.log(boundedFormat(FileNode::kLineCapacity, "Removing delta data: %s\n", data.c_str()));
  if (!input.isOpen()) {
    platform::deleteFile(data);
    return result::kDeltaFailed;
  }

  // The running file cannot be rewritten: its copy under the temporary name is patched instead.
  std::string target = file;
  if (isRunningProgram) {
    f.log("Delta patching the patcher...\n");
    if (!duplicateRunningProgram(file, basePath, target)) {
      input.close();
      platform::deleteFile(data);
      // The caller measures the copy; a wrong size there leads to the full download.
      return result::kOk;
    }
    f.log("Combining delta data...\n");
  } else {
    f.log(boundedFormat(FileNode::kLineCapacity, "Combining delta data into %s\n", file.c_str()));
  }
  const int combined = combineInto(target, data, input);
  if (combined == result::kOk && isRunningProgram) platform::sleepMs(kSettleMs);
  return combined;
}

bool DeltaApplier::duplicateRunningProgram(const std::string& file, TextArgument basePath, std::string& target) {
  FileNode& f = file_;
  const std::string temporary = f.tempFilename();
  if (temporary.empty() || !f.localName_ || equalsIgnoreCase(temporary, *f.localName_)) return false;
  target = cutToCapacity(f.tempFile(basePath), kDeltaPathCapacity);
  duplicate(file, target, f.session_);
  platform::sleepMs(kSettleMs);
  f.log(boundedFormat(FileNode::kLineCapacity, "Duplicated %s as %s\n", file.c_str(), target.c_str()));
  return true;
}

int DeltaApplier::combineInto(const std::string& target, const std::string& data, FileDeltaInput& input) {
  FileNode& f = file_;
  // The new version is written beside the file and takes its place only once it is the manifest's
  // file; until then the old bytes stay where they are.
  const std::size_t cut = target.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? std::string() : target.substr(0, cut);
  const std::string output = makeTempName(".tmp", folder.empty() ? nullptr : folder.c_str());
  DigestingCombineContext context(f.session_, f.sha256_.has_value());
  CombineOutput written;
  const bool combined = combineDelta(target, output, input, context, written);
  input.close();
  platform::deleteFile(data);
  if (!combined) {
    platform::deleteFile(output);
    return f.isCancelled() ? result::kStopped : result::kDeltaFailed;
  }
  // A result that is not the manifest's file is thrown away; the full download follows.
  if (!isManifestFile(target, written, f.sha256_ ? std::optional<std::string>(context.digestHex()) : std::nullopt)) {
    platform::deleteFile(output);
    return result::kDeltaFailed;
  }
  platform::setFileAttributes(target, platform::kAttributeNormal);
  if (!platform::replaceFile(output, target)) {
    platform::deleteFile(output);
    return result::kDeltaFailed;
  }
  f.log(boundedFormat(FileNode::kLineCapacity, "Delta patch complete for %s\n", target.c_str()));
  return result::kOk;
}

bool DeltaApplier::isManifestFile(const std::string& target, const CombineOutput& written,
                                  const std::optional<std::string>& digest) const {
  const FileNode& f = file_;
  if (f.totalSize_ != 0 && static_cast<std::int64_t>(written.size) != f.totalSize_) {
    f.session_->showWarning(boundedFormat(FileNode::kLineCapacity,
                                          "Warning: Filesize verify:  Local %lld vs. server %lld, possible mid-patch\n",
                                          static_cast<long long>(written.size), static_cast<long long>(f.totalSize_)));
    return false;
  }
  if (f.crc_ != 0 && written.crc != f.crc_) {
    f.log(boundedFormat(FileNode::kLineCapacity,
                        "Delta result for %s does not match the manifest (CRC %08x, expected %08x)\n", target.c_str(),
                        written.crc, f.crc_));
    return false;
  }
  if (f.sha256_ && digest && *digest != *f.sha256_) {
    f.log(boundedFormat(FileNode::kLineCapacity * 2,
                        "Delta result for %s does not match the manifest (SHA-256 %s, expected %s)\n", target.c_str(),
                        digest->c_str(), f.sha256_->c_str()));
    return false;
  }
  return true;
}

}  // namespace korvel
