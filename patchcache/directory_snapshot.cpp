// The one-walk record of an installation's files.
#include "patchcache/directory_snapshot.h"

#include "patchcache/folder_walker.h"

namespace korvel {

DirectorySnapshot::DirectorySnapshot() : lastFound_(records_.end()) {}

DirectorySnapshot::~DirectorySnapshot() = default;

bool DirectorySnapshot::visitFileWithTime(const std::string& relativePath, const std::string&,
                                          std::uint32_t attributes, std::uint64_t size, std::int64_t time) {
  if (relativePath.empty()) return true;
  auto [slot, added] = records_.try_emplace(relativePath);
  if (!added && slot->first != relativePath) {
    // The same name in another letter case: the key takes the spelling found last.
    records_.erase(slot);
    slot = records_.try_emplace(relativePath).first;
  }
  FileRecord& record = slot.value();
  record.attributes = static_cast<std::int32_t>(attributes);
  record.size = static_cast<std::int64_t>(size);
  record.time = static_cast<std::int32_t>(time);
  // A new record may move every other one (and the table's end with them): the last answer is
  // forgotten once the table has changed.
  lastFound_ = records_.end();
  return true;
}

std::size_t DirectorySnapshot::HashIgnoreCase::operator()(const std::string& key) const {
  // FNV-1a over the upper-case letters, so that names differing in case alone meet.
  std::uint64_t hash = 14695981039346656037ULL;
  for (char c : key) {
    hash ^= static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    hash *= 1099511628211ULL;
  }
  // The table picks a slot by the low bits: the high ones, which every byte has reached, fold in.
  return static_cast<std::size_t>(hash ^ (hash >> 32));
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
