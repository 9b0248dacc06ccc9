// Partial bodies: their names, their tags, and keeping or dropping them.
#include "transfer/partial_file.h"

#include <algorithm>
#include <cstdio>

#include "common/text_format.h"
#include "platform/files.h"
#include "trust/sha256.h"

namespace korvel {

namespace {

constexpr std::string_view kPrefix = "spatchpart_";
constexpr std::string_view kBodyExtension = ".part";
constexpr std::string_view kTagExtension = ".tag";
constexpr std::size_t kDigestDigits = 32;
constexpr std::string_view kTagHeader = "korvel-partial 1";
// A tag is a few short lines; anything longer is not one.
constexpr std::size_t kTagCapacity = 4096;

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool hasStemAndExtension(std::string_view name, std::string_view extension) {
  if (name.size() != kPrefix.size() + kDigestDigits + extension.size()) return false;
  if (!equalsIgnoreCase(name.substr(0, kPrefix.size()), kPrefix)) return false;
  if (!equalsIgnoreCase(name.substr(name.size() - extension.size()), extension)) return false;
  for (char c : name.substr(kPrefix.size(), kDigestDigits))
    if (!isHexDigit(c)) return false;
  return true;
}

std::string joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "\\" + name;
}

}  // namespace

std::string PartialFile::stemFor(const Identity& identity) {
  // Each field is written with its length or as a number, so no two identities spell the same text.
  std::string text = boundedFormat(64, "%llu:", static_cast<unsigned long long>(identity.path.size())) + identity.path;
  text += boundedFormat(160, "|z%d|d%llu|t%llu|c%s%08x|s", identity.decompress,
                        static_cast<unsigned long long>(identity.downloadSize),
                        static_cast<unsigned long long>(identity.totalSize), identity.crc ? "+" : "-",
                        identity.crc.value_or(0));
  if (identity.sha256) text += *identity.sha256;
  const std::string digest = trust::Sha256::hexOf(text.data(), text.size());
  return std::string(kPrefix) + digest.substr(0, kDigestDigits);
}

bool PartialFile::isPartialName(std::string_view name) {
  return hasStemAndExtension(name, kBodyExtension) || hasStemAndExtension(name, kTagExtension);
}

bool PartialFile::isTagName(std::string_view name) { return hasStemAndExtension(name, kTagExtension); }

std::optional<PartialFile::Tag> PartialFile::readTag(const std::string& tagPath) {
  platform::File file = platform::File::open(tagPath, "rb");
  if (!file) return std::nullopt;
  return parseTag(file);
}

std::optional<PartialFile::Tag> PartialFile::parseTag(platform::File& file) {
  std::string text(kTagCapacity, '\0');
  text.resize(file.read(text.data(), text.size()));
  if (text.size() == kTagCapacity) return std::nullopt;
  Tag tag;
  bool headerSeen = false, validatorSeen = false, targetSeen = false;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) return std::nullopt;  // a tag cut short is not a tag
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    if (!headerSeen) {
      if (line != kTagHeader) return std::nullopt;
      headerSeen = true;
    } else if (line.rfind("validator ", 0) == 0) {
      tag.validator = std::string(line.substr(10));
      validatorSeen = true;
    } else if (line.rfind("server ", 0) == 0) {
      tag.server = std::string(line.substr(7));
    } else if (line.rfind("target ", 0) == 0) {
      tag.target = std::string(line.substr(7));
      targetSeen = true;
    }
  }
  if (!headerSeen || !validatorSeen || !targetSeen) return std::nullopt;
  return tag;
}

PartialFile::PartialFile(const std::string& folder, const Identity& identity, std::string target) {
  const std::string stem = stemFor(identity);
  bodyPath_ = joined(folder, stem + std::string(kBodyExtension));
  tagPath_ = joined(folder, stem + std::string(kTagExtension));
  tag_.target = std::move(target);
  pinned_ = identity.pinned();
  held_ = identity.decompress == 1 && identity.downloadSize > 0 && identity.downloadSize <= kHeldBodyLimit;
}

PartialFile::~PartialFile() {
  if (!held_ || heldBytes_.empty() || !keepable()) return;
  // The tag goes first, as when the body is written as it arrives.
  if (!writeTag()) return;
  platform::File body = platform::File::open(bodyPath_, "wb");
  if (!body || body.write(heldBytes_.data(), heldBytes_.size()) != heldBytes_.size() || !body.close()) {
    body.close();
    platform::deleteFile(bodyPath_);
    platform::deleteFile(tagPath_);
  }
}

std::uint64_t PartialFile::keptBytes() {
  if (held_ && filesChecked_) {
    // Only this transfer's own attempts can have kept anything since, and they kept it in memory.
    if (heldBytes_.empty()) {
      tag_.validator.clear();
      tag_.server.clear();
    }
    return heldBytes_.size();
  }
  platform::FileInfo info;
  const bool hasBody = platform::fileInfo(bodyPath_, info) && !info.isDirectory;
  platform::File tagFile = platform::File::open(tagPath_, "rb");
  const bool hasTag = tagFile.isOpen();
  const std::optional<Tag> tag = hasTag ? parseTag(tagFile) : std::nullopt;
  tagFile.close();
  filesChecked_ = true;
  // Bytes an earlier run kept are continued from their files, as a large body's are.
  if (hasBody || hasTag) held_ = false;
  // Bytes without a validator are only continued towards a pinned result.
  if (!hasBody || !tag || info.size == 0 || (tag->validator.empty() && !pinned_)) {
    if (hasBody || hasTag) discard();
    tag_.validator.clear();
    tag_.server.clear();
    return 0;
  }
  tag_.validator = tag->validator;
  tag_.server = tag->server;
  return info.size;
}

bool PartialFile::writeTag() {
  if (!keepable()) {
    platform::deleteFile(tagPath_);
    return true;
  }
  platform::File tag = platform::File::open(tagPath_, "wb");
  const std::string text = std::string(kTagHeader) + "\nvalidator " + tag_.validator + "\nserver " + tag_.server +
                           "\ntarget " + tag_.target + "\n";
  if (!tag || tag.write(text.data(), text.size()) != text.size() || !tag.close()) {
    platform::deleteFile(tagPath_);
    return false;
  }
  return true;
}

bool PartialFile::beginFresh(const std::string& validator, const std::string& server) {
  body_.close();
  tag_.validator = validator;
  tag_.server = server;
  if (held_) {
    heldBytes_.clear();
    return true;
  }
  // The tag goes first: a body on the disk always has the validator it was sent with beside it.
  platform::deleteFile(bodyPath_);
  if (!writeTag()) return false;
  body_ = platform::File::open(bodyPath_, "w+b");
  return body_.isOpen();
}

bool PartialFile::reopenKept() {
  if (held_) return true;
  body_.close();
  body_ = platform::File::open(bodyPath_, "r+b");
  return body_.isOpen();
}

bool PartialFile::replayKept(std::uint64_t kept, char* buffer, std::uint32_t capacity,
                             const std::function<bool(const char*, std::uint32_t)>& take) {
  if (held_) {
    if (kept > heldBytes_.size()) return false;
    for (std::uint64_t at = 0; at < kept;) {
      const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(kept - at, capacity));
      if (!take(heldBytes_.data() + at, piece)) return false;
      at += piece;
    }
    heldBytes_.resize(kept);
    return true;
  }
  if (!body_.isOpen() || !body_.seek(0)) return false;
  for (std::uint64_t left = kept; left > 0;) {
    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, capacity));
    if (body_.read(buffer, want) != want || !take(buffer, want)) return false;
    left -= want;
  }
  // Reading and writing one stream needs a seek between them.
  return body_.seek(static_cast<std::int64_t>(kept));
}

bool PartialFile::append(const char* data, std::uint32_t size) {
  if (!held_) return body_.write(data, size) == size;
  if (heldBytes_.size() + size > kHeldBodyLimit) return false;
  heldBytes_.append(data, size);
  return true;
}

void PartialFile::discard() {
  body_.close();
  if (held_) {
    heldBytes_.clear();
    heldBytes_.shrink_to_fit();
    return;
  }
  platform::deleteFile(bodyPath_);
  platform::deleteFile(tagPath_);
}

void PartialFile::keepOrDiscard() {
  if (!keepable()) {
    discard();
    return;
  }
  body_.close();
}

}  // namespace korvel
