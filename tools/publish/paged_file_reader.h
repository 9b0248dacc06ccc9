// Random access to a file through a small cache of fixed-size pages, so that a file of any size can be
// read at scattered offsets with bounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace korvel::publish {

class PagedFileReader {
 public:
  PagedFileReader(std::size_t pageSize, std::size_t pageCount);

  // False with error() set when the file cannot be opened or measured.
  bool open(const std::filesystem::path& path);

  std::uint64_t size() const { return size_; }
  std::size_t pageSize() const { return pageSize_; }
  std::uint64_t memoryBytes() const { return static_cast<std::uint64_t>(pageSize_) * slots_.size(); }

  // The byte at `offset` and those after it in the same page: returns a pointer valid until the next
  // call and sets `available` (at least 1). nullptr at or past the end of the file, or when reading
  // failed (failed() and error() tell which).
  const std::uint8_t* at(std::uint64_t offset, std::size_t& available);

  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

 private:
  struct Slot {
    std::uint64_t page = UINT64_MAX;
    std::uint64_t lastUse = 0;
    std::size_t length = 0;
    std::vector<std::uint8_t> data;
  };

  Slot* load(std::uint64_t page);

  std::size_t pageSize_;
  std::vector<Slot> slots_;
  std::size_t recent_ = 0;
  std::uint64_t clock_ = 0;
  std::ifstream file_;
  std::filesystem::path path_;
  std::uint64_t size_ = 0;
  bool failed_ = false;
  std::string error_;
};

}  // namespace korvel::publish
