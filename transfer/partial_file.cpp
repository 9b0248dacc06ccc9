// Partial bodies: their names, their tags, and keeping or dropping them.
#include "transfer/partial_file.h"

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
}

std::uint64_t PartialFile::keptBytes() {
  platform::FileInfo info;
  const bool hasBody = platform::fileInfo(bodyPath_, info) && !info.isDirectory;
  const std::optional<Tag> tag = readTag(tagPath_);
  // Bytes without a validator are only continued towards a pinned result.
  if (!hasBody || !tag || info.size == 0 || (tag->validator.empty() && !pinned_)) {
    if (hasBody || platform::pathExists(tagPath_)) discard();
    tag_.validator.clear();
    tag_.server.clear();
    return 0;
  }
  tag_.validator = tag->validator;
  tag_.server = tag->server;
  return info.size;
}

bool PartialFile::beginFresh(const std::string& validator, const std::string& server) {
  body_.close();
  tag_.validator = validator;
  tag_.server = server;
  // The tag goes first: a body on the disk always has the validator it was sent with beside it.
  platform::deleteFile(bodyPath_);
  if (keepable()) {
    platform::File tag = platform::File::open(tagPath_, "wb");
    const std::string text = std::string(kTagHeader) + "\nvalidator " + tag_.validator + "\nserver " + tag_.server +
                             "\ntarget " + tag_.target + "\n";
    if (!tag || tag.write(text.data(), text.size()) != text.size() || !tag.close()) {
      platform::deleteFile(tagPath_);
      return false;
    }
  } else {
    platform::deleteFile(tagPath_);
  }
  body_ = platform::File::open(bodyPath_, "w+b");
  return body_.isOpen();
}

bool PartialFile::reopenKept() {
  body_.close();
  body_ = platform::File::open(bodyPath_, "r+b");
  return body_.isOpen() && body_.seek(0);
}

void PartialFile::discard() {
  body_.close();
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
