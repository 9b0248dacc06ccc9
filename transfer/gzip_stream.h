// A gzip body expanded as it arrives: zlib's inflate on the stream, the trailer's CRC and length
// checked by zlib, members that follow one another expanded one after the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace korvel {

class GzipStream {
 public:
  enum class Result { kOk, kCorrupt, kSinkFailed };
  // Receives each piece of expanded data; false stops the expansion (a write failed).
  using Sink = std::function<bool(const char* data, std::size_t size)>;

  GzipStream();
  ~GzipStream();
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;

  // Expands the next `size` bytes of the body. kCorrupt when the data is not gzip, or its CRC or
  // length does not match; kSinkFailed when the sink refused a piece. After either, feed does nothing.
  Result feed(const char* data, std::size_t size, const Sink& sink);
  // Whether the body so far ends exactly at the end of a gzip member (a body cut short does not).
  bool complete() const;
  std::uint64_t produced() const;
  // The CRC-32 of everything produced so far, as inflate computed it for the trailers' check (so the
  // caller need not compute it a second time).
  std::uint32_t crc() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvel
