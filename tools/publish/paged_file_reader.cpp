// Random access to a file through a small page cache.
#include "tools/publish/paged_file_reader.h"

#include <algorithm>

namespace korvel::publish {

PagedFileReader::PagedFileReader(std::size_t pageSize, std::size_t pageCount)
    : pageSize_(std::max<std::size_t>(pageSize, 4096)), slots_(std::max<std::size_t>(pageCount, 2)) {}

bool PagedFileReader::open(const std::filesystem::path& path) {
  path_ = path;
  std::error_code ec;
  size_ = std::filesystem::file_size(path, ec);
  if (ec) {
    failed_ = true;
    error_ = "cannot read " + path.string() + ": " + ec.message();
    return false;
  }
  file_.open(path, std::ios::binary);
  if (!file_) {
    failed_ = true;
    error_ = "cannot open " + path.string();
    return false;
  }
  return true;
}

PagedFileReader::Slot* PagedFileReader::load(std::uint64_t page) {
  Slot* victim = &slots_[0];
  for (auto& slot : slots_) {
    if (slot.page == page) return &slot;
    if (slot.lastUse < victim->lastUse) victim = &slot;
  }
  std::uint64_t start = page * pageSize_;
  std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(pageSize_, size_ - start));
  victim->data.resize(pageSize_);
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(start));
  file_.read(reinterpret_cast<char*>(victim->data.data()), static_cast<std::streamsize>(length));
  if (static_cast<std::size_t>(file_.gcount()) != length) {
    failed_ = true;
    error_ = "cannot read " + path_.string() + " (did it change while being read?)";
    victim->page = UINT64_MAX;
    return nullptr;
  }
  victim->page = page;
  victim->length = length;
  return victim;
}

const std::uint8_t* PagedFileReader::at(std::uint64_t offset, std::size_t& available) {
  available = 0;
  if (offset >= size_ || failed_) return nullptr;
  std::uint64_t page = offset / pageSize_;
  Slot* slot = &slots_[recent_];
  if (slot->page != page) {
    slot = load(page);
    if (!slot) return nullptr;
    recent_ = static_cast<std::size_t>(slot - slots_.data());
  }
  slot->lastUse = ++clock_;
  std::size_t within = static_cast<std::size_t>(offset - page * pageSize_);
  available = slot->length - within;
  return slot->data.data() + within;
}

}  // namespace korvel::publish
