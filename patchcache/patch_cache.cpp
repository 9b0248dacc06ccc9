// The patch cache and its XML documents.
#include "patchcache/patch_cache.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlreader.h>
#include <zlib.h>

#include "common/number_text.h"
#include "common/xml_property.h"
#include "patchcache/directory_snapshot.h"
#include "patchcache/folder_walker.h"
#include "patchcache/tree_walk_visitor.h"
#include "platform/files.h"

namespace korvel {

namespace {

constexpr const char* kRootElement = "PatchCache";
constexpr const char* kFileElement = "File";
constexpr const char* kCurrentVersion = "1.1";
constexpr std::size_t kNumberCapacity = 256;

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

std::optional<std::string> property(const xmlNode* element, const char* name) {
  const XmlProperty value(element, name);
  if (!value.present()) return std::nullopt;
  return std::string(value.c_str());
}

struct ReaderFree {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};

// One element of a cache document as read, before it is taken into the map.
struct PendingEntry {
  std::string key;
  std::int32_t crc = 0;
  std::int32_t timeStamp = 0;
  std::int64_t size = 0;
};

std::int32_t numberOf(const XmlProperty& text) { return text.present() ? decimalToInt32(text.c_str()) : 0; }

// A "Size": a byte count of any width; -1 (never a file's size, so the entry never matches) for a
// value that is none, such as the negative sizes a 32-bit field once gave files of 2 GiB and more.
std::int64_t sizeOf(const XmlProperty& text) {
  return text.present() ? decimalToSize(text.c_str()).value_or(-1) : 0;
}

// Whether the number reads back in the form a save writes it (its decimal form, as "%d" writes it).
bool writtenAsSaved(const XmlProperty& text, std::int64_t value) {
  if (!text.present()) return false;
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, value);
  return std::string_view(text.c_str()) == std::string_view(digits, static_cast<std::size_t>(written.ptr - digits));
}

void setNumberProperty(xmlNode* element, const char* name, std::int64_t value) {
  xmlSetProp(element, xml(name), xml(boundedFormat(kNumberCapacity, "%lld", static_cast<long long>(value)).c_str()));
}

// Collects the old-layout cache documents of a tree; they are read after the walk so that deleting
// them does not disturb the folder listings.
class OldCacheFinder : public TreeWalkVisitor {
 public:
  bool visitFile(const std::string& relativePath, const std::string&, std::uint32_t, std::uint64_t) override {
    const std::string suffix = PatchCache::kOldFileName;
    if (relativePath.size() >= suffix.size() &&
        equalsIgnoreCase(relativePath.substr(relativePath.size() - suffix.size()), suffix))
      found.push_back(relativePath);
    return true;
  }
  std::vector<std::string> found;
};

}  // namespace

PatchCache::PatchCache() = default;

PatchCache::~PatchCache() = default;

void PatchCache::setSerial(TextArgument serial) {
  serial_ = serial.present() ? std::optional<std::string>(serial.str()) : std::nullopt;
}

bool PatchCache::open(TextArgument fileName, TextArgument folder) {
  if (!folder.present()) return false;
  clear();
  onDisk_.reset();
  fileName_ = fileName.present() ? fileName.str() : std::string(kDefaultFileName);
  folder_ = folder.str();

  const bool newExists = platform::pathExists(*folder_ + "\\" + fileName_);
  const std::string oldPath = *folder_ + "\\" + kOldFileName;
  if (platform::pathExists(oldPath)) {
    if (newExists)
      platform::deleteFile(oldPath);
    else
      migrateOldCaches();
  }
  return load(fileName_, nullptr);
}

bool PatchCache::open(TextArgument fileName, TextArgument folder, DirectorySnapshot& snapshot) {
  snapshot_ = &snapshot;
  const bool opened = open(fileName, folder);
  snapshot_ = nullptr;
  return opened;
}

void PatchCache::migrateOldCaches() {
  OldCacheFinder finder;
  FolderWalker walker(&finder);
  walker.walk(*folder_);
  for (const std::string& relativePath : finder.found) {
    const std::size_t separator = relativePath.rfind('\\');
    if (separator == std::string::npos)
      load(relativePath, nullptr);
    else
      load(relativePath.substr(separator + 1), relativePath.substr(0, separator));
  }
  save();
  clear();
}

bool PatchCache::load(TextArgument name, TextArgument subfolder) {
  if (!folder_ || !name.present()) return false;
  // Only a document read on its own into an empty cache, every element of it taken as it stands, is
  // known to hold what memory holds afterwards.
  const bool startedEmpty = std::none_of(entries_.begin(), entries_.end(), [](const auto& slot) { return slot.second != nullptr; });
  bool tookAll = true;
  onDisk_.reset();
  std::string path = *folder_ + "\\";
  if (subfolder.present()) path += subfolder.str() + "\\";
  path += name.str();

  // Parse quietly and never fetch anything from the network: a missing or broken cache just starts empty.
  // The document is read as a stream, one element at a time, so that a cache of many thousand files
  // never stands in memory as a whole tree; one that goes wrong anywhere leaves the cache as it was.
  std::unique_ptr<xmlTextReader, ReaderFree> reader(
      xmlReaderForFile(platform::nativePath(path).c_str(), nullptr,
                       kXmlReadOptions | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET));
  if (!reader) return false;
  int status = 1;
  while ((status = xmlTextReaderRead(reader.get())) == 1 && xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) {
  }
  if (status != 1) return false;
  const xmlNode* root = xmlTextReaderCurrentNode(reader.get());
  if (!root) return false;

  const std::optional<std::string> version = property(root, "version");
  const bool oldLayout = !version || !equalsIgnoreCase(*version, kCurrentVersion);
  // The serial as a save writes it: one above 0, or none at all in the document and in memory.
  const std::optional<std::string> documentSerial = property(root, "serial");
  const bool rootAsSaved = xmlStrEqual(root->name, xml(kRootElement));

  // A document read into a cache without any entry or slot is taken as it is read (a failure empties
  // the cache again); into one that holds some, only once it has parsed whole.
  const auto take = [&](PendingEntry& read) {
    std::string& key = read.key;
    // A saved document lists its files in the cache's own order, so each one usually goes last.
    const bool last = entries_.empty() || entries_.key_comp()(std::prev(entries_.end())->first, key);
    auto existing = last ? entries_.end() : entries_.lower_bound(key);
    const bool known = existing != entries_.end() && !entries_.key_comp()(key, existing->first);
    if (dropMissing_ && !fileExists(key)) {
      tookAll = false;
      if (known) {
        if (lastSlot_ == existing) lastSlot_.reset();
        entries_.erase(existing);
      }
      return;
    }
    if (!known) existing = entries_.emplace_hint(existing, std::move(key), nullptr);
    if (!existing->second) existing->second = std::make_unique<PatchCacheEntry>();
    existing->second->set(read.crc, read.timeStamp, read.size);
  };
  const bool direct = entries_.empty();
  std::vector<PendingEntry> pending;
  status = xmlTextReaderRead(reader.get());
  while (status == 1) {
    if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT || xmlTextReaderDepth(reader.get()) != 1) {
      status = xmlTextReaderRead(reader.get());
      continue;
    }
    const xmlNode* element = xmlTextReaderExpand(reader.get());
    if (!element) {
      status = -1;
      break;
    }
    const XmlProperty timeText(element, "TimeStamp"), sizeText(element, "Size"), crcText(element, "CRC");
    PendingEntry entry;
    entry.timeStamp = numberOf(timeText);
    entry.size = sizeOf(sizeText);
    entry.crc = numberOf(crcText);
    if (!xmlStrEqual(element->name, xml(kFileElement)) || !writtenAsSaved(timeText, entry.timeStamp) ||
        !writtenAsSaved(sizeText, entry.size) || !writtenAsSaved(crcText, entry.crc))
      tookAll = false;

    bool keyed = true;
    if (oldLayout) {
      const std::string elementName = reinterpret_cast<const char*>(element->name);
      entry.key = subfolder.present() ? subfolder.str() + "\\" + elementName : elementName;
    } else {
      const XmlProperty fileName(element, "Filename");
      keyed = fileName.present();
      if (keyed) entry.key = fileName.c_str();
    }
    if (keyed && entry.key.size() > kMaxKeyChars) keyed = false;
    if (!keyed)
      tookAll = false;
    else if (direct)
      take(entry);
    else
      pending.push_back(std::move(entry));
    // The element just read is freed as the reader moves past it.
    status = xmlTextReaderNext(reader.get());
  }
  // A document that breaks off or goes wrong anywhere is not read at all.
  if (status != 0) {
    if (direct) clear();
    return false;
  }
  if (documentSerial) serial_ = documentSerial;
  for (PendingEntry& read : pending) take(read);
  pending = {};

  const bool serialAsSaved = documentSerial ? decimalToInt32(documentSerial->c_str()) > 0
                                            : !(serial_ && decimalToInt32(serial_->c_str()) > 0);
  const bool savedForm = rootAsSaved && version == std::string(kCurrentVersion) && serialAsSaved;
  // The reader lets go of the file first: Windows does not delete a file that is open.
  reader.reset();
  if (oldLayout) platform::deleteFile(path);
  if (startedEmpty && tookAll && savedForm && !subfolder.present() && name.str() == fileName_)
    onDisk_ = stateDigest();
  return true;
}

std::uint64_t PatchCache::stateDigest() const {
  // The text a save would write in short: the serial, then each entry's key and numbers. Two
  // checksums of it together (64 bits) tell whether it is the text on disk without keeping that text.
  // The text is summed in blocks of some kilobytes; the checksums do not depend on how it is cut.
  constexpr std::size_t kBlockBytes = 64 * 1024;
  uLong crc = crc32(0L, Z_NULL, 0);
  uLong adler = adler32(0L, Z_NULL, 0);
  std::string block;
  block.reserve(kBlockBytes + kMaxKeyChars + 64);
  const auto flush = [&] {
    const auto* bytes = reinterpret_cast<const Bytef*>(block.data());
    crc = crc32(crc, bytes, static_cast<uInt>(block.size()));
    adler = adler32(adler, bytes, static_cast<uInt>(block.size()));
    block.clear();
  };
  const auto number = [&](std::int64_t value) {
    char digits[24] = {'\t'};
    block.append(digits, static_cast<std::size_t>(std::to_chars(digits + 1, digits + sizeof digits, value).ptr - digits));
  };
  if (serial_ && decimalToInt32(serial_->c_str()) > 0) block += *serial_;
  block += '\n';
  for (const auto& [key, entry] : entries_) {
    if (!entry) continue;
    block += key;
    number(entry->timeStamp());
    number(entry->size());
    number(entry->crc());
    block += '\n';
    if (block.size() >= kBlockBytes) flush();
  }
  flush();
  return (static_cast<std::uint64_t>(crc & 0xFFFFFFFFu) << 32) | (adler & 0xFFFFFFFFu);
}

bool PatchCache::save() {
  if (!folder_) return false;
  // A run that found everything as the cache said leaves the document (and its file's times) alone.
  const std::uint64_t state = stateDigest();
  if (onDisk_ && *onDisk_ == state && platform::pathExists(*folder_ + "\\" + fileName_)) return true;
  XmlDocument document(xmlNewDoc(xml("1.0")));
  xmlNode* root = xmlNewDocNode(document.get(), nullptr, xml(kRootElement), nullptr);
  xmlDocSetRootElement(document.get(), root);
  xmlSetProp(root, xml("version"), xml(kCurrentVersion));
  if (serial_ && decimalToInt32(serial_->c_str()) > 0) xmlSetProp(root, xml("serial"), xml(serial_->c_str()));

  for (const auto& [key, entry] : entries_) {
    if (!entry) continue;
    xmlNode* file = xmlNewDocNode(document.get(), nullptr, xml(kFileElement), nullptr);
    xmlAddChild(root, file);
    xmlSetProp(file, xml("Filename"), xml(key.c_str()));
    setNumberProperty(file, "TimeStamp", entry->timeStamp());
    setNumberProperty(file, "Size", entry->size());
    setNumberProperty(file, "CRC", entry->crc());
  }

  const std::string path = *folder_ + "\\" + fileName_;
  // A hidden file cannot be opened for writing on Windows.
  platform::setFileAttributes(path, platform::kAttributeNormal);
  const int written = xmlSaveFile(platform::nativePath(path).c_str(), document.get());
  document.reset();
  platform::setFileAttributes(path, platform::kAttributeHidden);
  if (written >= 0)
    onDisk_ = state;
  else
    onDisk_.reset();
  return written >= 0;
}

void PatchCache::clear() {
  lastSlot_.reset();
  entries_.clear();
}

std::unique_ptr<PatchCacheEntry>& PatchCache::slot(const std::string& key) {
  // A verification asks for one file's key several times in a row: the last slot answers without a
  // search of the map. It is taken only for the key in the same spelling.
  // A scan goes through the files in the manifest's order, which is mostly the map's own: the slot
  // after the last one is tried first (a wrong guess costs a search, as without it).
  if (!lastSlot_) {
    lastSlot_ = entries_.try_emplace(key).first;
  } else if ((*lastSlot_)->first != key) {
    lastSlot_ = entries_.try_emplace(std::next(*lastSlot_), key);
  }
  return (*lastSlot_)->second;
}

PatchCacheEntry* PatchCache::lookup(const std::string& key) { return slot(key).get(); }

std::int32_t PatchCache::cachedCrc(const std::string& key) {
  const PatchCacheEntry* found = lookup(key);
  return found ? found->crc() : 0;
}

void PatchCache::remember(const std::string& key, std::int32_t crc, std::int32_t timeStamp, std::int64_t size) {
  std::unique_ptr<PatchCacheEntry>& entry = slot(key);
  if (!entry) entry = std::make_unique<PatchCacheEntry>();
  entry->set(crc, timeStamp, size);
}

void PatchCache::forget(const std::string& key) {
  lastSlot_.reset();
  entries_.erase(key);
}

const PatchCacheEntry* PatchCache::entry(const std::string& key) const {
  auto found = entries_.find(key);
  return found == entries_.end() ? nullptr : found->second.get();
}

bool PatchCache::fileExists(const std::string& key) const {
  if (platform::isAbsolutePath(key)) return platform::pathExists(key);
  // The walk saw what is there; only what it did not see is asked of the disk.
  if (snapshot_ && snapshot_->find(key, nullptr, nullptr, nullptr)) return true;
  return platform::pathExists(*folder_ + "\\" + key);
}

}  // namespace korvel
