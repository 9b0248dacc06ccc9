// A std::streambuf that hands everything written through it to a GzipFileWriter, so code that writes
// to a std::ostream can produce a gzip file directly.
#pragma once

#include <streambuf>
#include <vector>

#include "tools/publish/gzip_file_writer.h"

namespace korvel::publish {

class GzipStreamBuffer : public std::streambuf {
 public:
  // The writer must be open and outlive the buffer. Call pubsync() before finishing the writer.
  explicit GzipStreamBuffer(GzipFileWriter& writer);
  ~GzipStreamBuffer() override;

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char_type* data, std::streamsize count) override;
  int sync() override;

 private:
  bool drain();

  GzipFileWriter& writer_;
  std::vector<char> buffer_;
};

}  // namespace korvel::publish
