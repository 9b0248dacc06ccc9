// The patch cache: for the files of one folder tree, the CRC computed for each together with its time
// stamp and size at that moment, kept in a hidden XML document in that folder between runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "common/text_argument.h"
#include "common/text_format.h"
#include "patchcache/patch_cache_entry.h"

namespace korvel {

class DirectorySnapshot;

// Used on one thread at a time (the session's worker, or the stager); not locked.
class PatchCache {
 public:
  static constexpr const char* kDefaultFileName = "PatchCache2.xml";
  // The older layout: one cache document per folder, merged into the single file on first open.
  static constexpr const char* kOldFileName = "PatchCache.xml";
  // Keys longer than this are refused when a document is read.
  static constexpr std::size_t kMaxKeyChars = 1123;
  // Keys are paths relative to the folder, spelled as the manifest spells them and compared without
  // regard to letter case. A null entry is an empty slot left by lookup; it is never saved.
  using Entries = std::map<std::string, std::unique_ptr<PatchCacheEntry>, LessIgnoreCase>;

  // Empty, no names, no serial, entries of vanished files dropped at load.
  PatchCache();
  ~PatchCache();
  PatchCache(const PatchCache&) = delete;
  PatchCache& operator=(const PatchCache&) = delete;

  // Starts over on the cache document `fileName` ("PatchCache2.xml" when absent) in `folder`. When the
  // folder still holds an old-layout "PatchCache.xml": it is deleted unread if the new document exists,
  // otherwise every "...PatchCache.xml" below the folder is merged into a newly saved document (and
  // deleted). Then the document is loaded. False at once, changing nothing, without a folder; false
  // when the document cannot be read (the cache is then empty).
  bool open(TextArgument fileName, TextArgument folder);
  // open(), with `snapshot` (a fresh walk of `folder`) answering for the files it saw, so that loading
  // a cache of thousands of entries does not ask the disk about each of them again.
  bool open(TextArgument fileName, TextArgument folder, DirectorySnapshot& snapshot);
  // Reads folder\subfolder\name (folder\name without subfolder) into the map: entries of files that
  // no longer exist are dropped when dropMissing is set. An old-layout document is deleted after it
  // was read. False when the file cannot be parsed or has no root element, or before open.
  bool load(TextArgument name, TextArgument subfolder);
  // Writes every entry to folder\fileName and marks the file hidden; nothing is written when the
  // document already holds exactly these entries. False when the document could not be written, or
  // before open.
  bool save();
  // Deletes every entry.
  void clear();

  void setDropMissing(bool dropMissing) { dropMissing_ = dropMissing; }
  // Stores a copy of the serial text (absent clears it). It is written only when it reads as a
  // decimal number above 0.
  void setSerial(TextArgument serial);

  // The entry of `key`, or null. A missing key is left behind as an empty slot.
  PatchCacheEntry* lookup(const std::string& key);
  // The remembered CRC of `key`; 0 when there is none. Leaves an empty slot like lookup.
  std::int32_t cachedCrc(const std::string& key);
  // Creates the entry of `key` when missing and sets its three fields.
  void remember(const std::string& key, std::int32_t crc, std::int32_t timeStamp, std::int64_t size);
  // Removes the key and its entry.
  void forget(const std::string& key);

  // The entry of `key` or null, leaving no slot behind.
  const PatchCacheEntry* entry(const std::string& key) const;
  const Entries& entries() const { return entries_; }
  const std::string& fileName() const { return fileName_; }
  const std::optional<std::string>& folder() const { return folder_; }
  const std::optional<std::string>& serial() const { return serial_; }
  bool dropMissing() const { return dropMissing_; }

 private:
  // Whether `key` names an existing file: relative keys below the folder, absolute keys as they are.
  bool fileExists(const std::string& key) const;
  // Merges every old-layout document below the folder and saves the result.
  void migrateOldCaches();
  // The map's slot of `key`, made (empty) when missing.
  std::unique_ptr<PatchCacheEntry>& slot(const std::string& key);

  Entries entries_;
  // The slot slot() gave last; dropped whenever an entry leaves the map.
  std::optional<Entries::iterator> lastSlot_;
  std::string fileName_;
  std::optional<std::string> folder_;
  std::optional<std::string> serial_;
  bool dropMissing_ = true;
  // Set during open(fileName, folder, snapshot) only.
  DirectorySnapshot* snapshot_ = nullptr;
  // A digest of the entries and serial as a save would write them.
  std::uint64_t stateDigest() const;
  // stateDigest() of what the document on disk holds, when that is known: after a save, or a load
  // that took the whole document into an empty cache. A save that would write the same is skipped.
  std::optional<std::uint64_t> onDisk_;
};

}  // namespace korvel
