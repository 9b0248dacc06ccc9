// Writes one gzip member to a file, byte for byte the same for the same input: no file name, a zero
// modification time and a fixed operating-system byte in the header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

#include "common/zlib_stream.h"
#include "trust/sha256.h"

namespace korvel::publish {

class GzipFileWriter {
 public:
  // level: zlib compression level 1 to 9.
  explicit GzipFileWriter(int level);
  ~GzipFileWriter();
  GzipFileWriter(const GzipFileWriter&) = delete;
  GzipFileWriter& operator=(const GzipFileWriter&) = delete;

  // Creates (or truncates) the file. False with error() set when it cannot be created.
  bool open(const std::filesystem::path& path);
  // Compresses the bytes into the file. False with error() set on a write or zlib failure; every
  // later call then fails too.
  bool write(const void* data, std::size_t length);
  // Writes the trailer and closes the file. False with error() set when anything failed, in which
  // case the file is incomplete and the caller removes it.
  bool finish();

  std::uint64_t rawSize() const { return rawSize_; }
  std::uint64_t compressedSize() const { return compressedSize_; }
  // CRC-32 of the raw bytes written so far (the value zlib's crc32 gives).
  std::uint32_t crc() const { return crc_; }
  // SHA-256 of the raw bytes (lowercase hexadecimal), once finish() succeeded.
  const std::string& sha256() const { return sha256_; }
  const std::string& error() const { return error_; }

 private:
  bool deflateSome(int flush);
  bool fail(const std::string& text);

  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  int level_;
  DeflateStream stream_;
  gz_header header_{};
  bool failed_ = false;
  std::unique_ptr<std::FILE, FileCloser> file_;
  std::filesystem::path path_;
  std::vector<unsigned char> out_;
  std::uint64_t rawSize_ = 0;
  std::uint64_t compressedSize_ = 0;
  std::uint32_t crc_ = 0;
  trust::Sha256 rawDigest_;
  std::string sha256_;
  std::string error_;
};

}  // namespace korvel::publish
