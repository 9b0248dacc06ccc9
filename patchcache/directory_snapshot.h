// A one-walk record of every file below an installation folder, so that verifying thousands of files
// can ask for a file's time stamp and size without touching the disk again.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <utility>

#include <tsl/hopscotch_map.h>

#include "common/text_format.h"
#include "patchcache/file_record.h"
#include "patchcache/tree_walk_visitor.h"

namespace korvel {

// Filled and read on the session's worker thread only; not locked.
// The virtual operations after the visitor's are declared in their fixed slot order.
class DirectorySnapshot : public TreeWalkVisitor {
 public:
  // Keys compare without regard to letter case.
  struct HashIgnoreCase {
    std::size_t operator()(const std::string& key) const;
  };
  struct EqualIgnoreCase {
    bool operator()(const std::string& a, const std::string& b) const { return equalsIgnoreCase(a, b); }
  };
  // Records live in the table's own slots with their hash beside them: a lookup of one of 100,000
  // names reads one slot and the name, where a node-based map also reads a bucket and a node.
  using Records = tsl::hopscotch_map<std::string, FileRecord, HashIgnoreCase, EqualIgnoreCase,
                                     std::allocator<std::pair<std::string, FileRecord>>, 30, true>;

  DirectorySnapshot();
  ~DirectorySnapshot() override;
  DirectorySnapshot(const DirectorySnapshot&) = delete;
  DirectorySnapshot& operator=(const DirectorySnapshot&) = delete;

  // Records the file, replacing an earlier record of the same name in any letter case. An empty
  // relativePath is ignored. Always true.
  bool visitFileWithTime(const std::string& relativePath, const std::string& root, std::uint32_t attributes,
                         std::uint64_t size, std::int64_t time) override;

  // Adds every file below `folder` (walkFolder); always true.
  virtual bool scanFolder(const std::string& folder);
  // Hook called by clear() before the records go; true, no effect.
  virtual bool beforeClear();
  // The record of relativePath (letter case ignored), copied to the out-pointers that are not null.
  // false for an empty path and for files that were not seen. Repeated asks for the same file are
  // answered from the last record found without a search.
  virtual bool find(const std::string& relativePath, std::int32_t* attributesOut, std::int64_t* sizeOut,
                    std::int32_t* timeOut);
  // Runs the folder tree walker over `folder` with this snapshot as its visitor.
  virtual void walkFolder(const std::string& folder);
  // beforeClear(), then drops every record.
  virtual void clear();

  const Records& records() const { return records_; }
  // The record the last successful find answered with; null when there is none.
  const FileRecord* lastFound() const { return lastFound_ == records_.end() ? nullptr : &lastFound_->second; }
  // The relative path, as the walk found it, of the record the last successful find answered with.
  const std::string* lastFoundPath() const { return lastFound_ == records_.end() ? nullptr : &lastFound_->first; }

 private:
  Records records_;
  Records::iterator lastFound_;
};

}  // namespace korvel
