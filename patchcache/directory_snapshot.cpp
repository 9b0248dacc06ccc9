// The one-walk record of an installation's files.
#include "patchcache/directory_snapshot.h"

#include "patchcache/folder_walker.h"

namespace korvel {

DirectorySnapshot::DirectorySnapshot() : lastFound_(records_.end()) {}

DirectorySnapshot::~DirectorySnapshot() = default;

bool DirectorySnapshot::visitFileWithTime(const std::string& relativePath, const std::string&,
                                          std::uint32_t attributes, std::uint64_t size, std::int64_t time) {
  if (relativePath.empty()) return true;
  // A new record may rehash the table, which would leave lastFound dangling.
  lastFound_ = records_.end();
  auto [slot, added] = records_.try_emplace(relativePath);
  if (!added && slot->first != relativePath) {
    // The same name in another letter case: the key takes the spelling found last.
    auto node = records_.extract(slot);
    node.key() = relativePath;
    slot = records_.insert(std::move(node)).position;
  }
  FileRecord& record = slot->second;
  record.name = relativePath;
  record.attributes = static_cast<std::int32_t>(attributes);
  record.size = static_cast<std::int64_t>(size);
  record.time = static_cast<std::int32_t>(time);
  return true;
}

std::size_t DirectorySnapshot::HashIgnoreCase::operator()(const std::string& key) const {
  // FNV-1a over the upper-case letters, so that names differing in case alone meet.
  std::uint64_t hash = 14695981039346656037ULL;
  for (char c : key) {
    hash ^= static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    hash *= 1099511628211ULL;
  }
  return static_cast<std::size_t>(hash);
}

bool DirectorySnapshot::scanFolder(const std::string& folder) {
  walkFolder(folder);
  return true;
}

bool DirectorySnapshot::beforeClear() { return true; }

bool DirectorySnapshot::find(const std::string& relativePath, std::int32_t* attributesOut, std::int64_t* sizeOut,
                             std::int32_t* timeOut) {
  if (relativePath.empty()) return false;
  Records::iterator found = lastFound_;
  if (found == records_.end() || !equalsIgnoreCase(found->first, relativePath)) {
    found = records_.find(relativePath);
    if (found == records_.end()) return false;
    lastFound_ = found;
  }
  if (attributesOut) *attributesOut = found->second.attributes;
  if (sizeOut) *sizeOut = found->second.size;
  if (timeOut) *timeOut = found->second.time;
  return true;
}

void DirectorySnapshot::walkFolder(const std::string& folder) {
  FolderWalker walker(this);
  walker.walk(folder);
}

void DirectorySnapshot::clear() {
  beforeClear();
  records_.clear();
  lastFound_ = records_.end();
}

}  // namespace korvel
