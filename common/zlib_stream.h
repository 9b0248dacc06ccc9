// Owners of a zlib stream's state: an inflate or deflate stream that was started is ended
// (inflateEnd / deflateEnd) when its owner goes, whatever way the code leaves.
#pragma once

#include <zlib.h>

namespace korvel {

// zlib keeps a pointer back to the z_stream it was started on, so no owner can move or be copied.
template <int (*End)(z_streamp)>
class ZlibStream {
 public:
  ZlibStream() = default;
  ~ZlibStream() { end(); }
  ZlibStream(const ZlibStream&) = delete;
  ZlibStream& operator=(const ZlibStream&) = delete;

  void end() {
    if (started_) End(&stream_);
    started_ = false;
  }
  bool started() const { return started_; }

  z_stream* get() { return &stream_; }
  z_stream* operator->() { return &stream_; }

 protected:
  // Records the status of the stream's init call and passes it on.
  int began(int status) {
    started_ = status == Z_OK;
    return status;
  }

  z_stream stream_{};

 private:
  bool started_ = false;
};

class InflateStream : public ZlibStream<inflateEnd> {
 public:
  // inflateInit2 with `windowBits` (fill in the input and output fields before or after); zlib's status.
  int start(int windowBits) {
    end();
    return began(inflateInit2(&stream_, windowBits));
  }
};

class DeflateStream : public ZlibStream<deflateEnd> {
 public:
  // deflateInit2 with these parameters (method Z_DEFLATED); zlib's status.
  int start(int level, int windowBits, int memLevel, int strategy) {
    end();
    return began(deflateInit2(&stream_, level, Z_DEFLATED, windowBits, memLevel, strategy));
  }
};

}  // namespace korvel
