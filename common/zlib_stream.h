// Owners of a zlib stream's state: an inflate or deflate stream that was started is ended
// (inflateEnd / deflateEnd) when its owner goes, whatever way the code leaves.
#pragma once

#include <zlib.h>

namespace korvel {

// zlib keeps a pointer back to the z_stream it was started on, so neither owner can move or be copied.
class InflateStream {
 public:
  InflateStream() = default;
  ~InflateStream() { end(); }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;

  // inflateInit2 with `windowBits` (fill in the input and output fields before or after); zlib's status.
  int start(int windowBits) {
    end();
    const int status = inflateInit2(&stream_, windowBits);
    started_ = status == Z_OK;
    return status;
  }
  void end() {
    if (started_) inflateEnd(&stream_);
    started_ = false;
  }
  bool started() const { return started_; }

  z_stream* get() { return &stream_; }
  z_stream* operator->() { return &stream_; }

 private:
  z_stream stream_{};
  bool started_ = false;
};

class DeflateStream {
 public:
  DeflateStream() = default;
  ~DeflateStream() { end(); }
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  // deflateInit2 with these parameters (method Z_DEFLATED); zlib's status.
  int start(int level, int windowBits, int memLevel, int strategy) {
    end();
    const int status = deflateInit2(&stream_, level, Z_DEFLATED, windowBits, memLevel, strategy);
    started_ = status == Z_OK;
    return status;
  }
  void end() {
    if (started_) deflateEnd(&stream_);
    started_ = false;
  }
  bool started() const { return started_; }

  z_stream* get() { return &stream_; }
  z_stream* operator->() { return &stream_; }

 private:
  z_stream stream_{};
  bool started_ = false;
};

}  // namespace korvel
