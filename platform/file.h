// An open file: binary reads and writes through the C runtime, closed when the object goes.
//
// Writes and reads go through the fault seams of faults.h, so tests can make a write come up short
// or an open fail without a full disk or a locked file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace korvel::platform {

class File {
 public:
  File() = default;
  File(File&&) noexcept = default;
  File& operator=(File&&) noexcept = default;
  ~File();

  // fopen with the given C mode ("rb", "wb", "ab", "r+b"...). An unopened File is returned on failure;
  // test it with isOpen().
  static File open(const std::string& path, const char* mode);
  // The same for a path the user gave rather than one made from the manifest (the session log's file):
  // a ".." component is allowed.
  static File openUserPath(const std::string& path, const char* mode);

  bool isOpen() const { return stream_ != nullptr; }
  explicit operator bool() const { return isOpen(); }

  // Bytes actually read or written; a short count means end of file or an error (see hadError()).
  std::size_t read(void* buffer, std::size_t size);
  std::size_t write(const void* buffer, std::size_t size);
  bool seek(std::int64_t offset);  // from the start of the file
  std::int64_t tell();
  // Size of the open file (GetFileSize); -1 when it cannot be read.
  std::int64_t size();
  bool hadError() const;
  bool flush();
  // Flushes and asks the system to put the data on the disk (before a rename makes it current).
  bool flushToDisk();
  // Closes now; false when the close (the final flush) failed.
  bool close();

 private:
  struct Closer {
    void operator()(std::FILE* f) const;
  };
  static File openChecked(const std::string& path, const char* mode);
  std::unique_ptr<std::FILE, Closer> stream_;
  std::string path_;
  bool injectedError_ = false;
};

}  // namespace korvel::platform
