// Streaming gzip expansion over zlib's inflate.
#include "transfer/gzip_stream.h"

#include <algorithm>
#include <memory>
#include <vector>

#include <zlib.h>

namespace korvel {

namespace {

// Expanded data is handed on in pieces of this size.
constexpr std::size_t kOutputBlock = 256 * 1024;
// inflate's window bits for gzip data only: a body without a gzip header is an error.
constexpr int kGzipOnly = 16 + MAX_WBITS;

}  // namespace

struct GzipStream::State {
  z_stream zs{};
  bool initialised = false;
  bool failed = false;
  // Between members: a finished member, and the bytes of what follows that were seen so far.
  bool memberEnded = false;
  bool ignoringRest = false;
  std::vector<unsigned char> pendingMagic;
  std::uint64_t produced = 0;
  // The CRC and length of the members that ended before the current one.
  std::uint32_t earlierCrc = 0;
  std::uint64_t earlierLength = 0;
  // Not cleared: inflate writes what is handed on. A stream is made for every gzip body.
  std::unique_ptr<char[]> out = std::make_unique_for_overwrite<char[]>(kOutputBlock);

  ~State() {
    if (initialised) inflateEnd(&zs);
  }
};

GzipStream::GzipStream() : state_(std::make_unique<State>()) {
  state_->initialised = inflateInit2(&state_->zs, kGzipOnly) == Z_OK;
  state_->failed = !state_->initialised;
}

GzipStream::~GzipStream() = default;

GzipStream::Result GzipStream::feed(const char* data, std::size_t size, const Sink& sink) {
  State& s = *state_;
  if (s.failed) return Result::kCorrupt;
  const auto* input = reinterpret_cast<const unsigned char*>(data);
  std::size_t left = size;
  while (left > 0 && !s.ignoringRest) {
    if (s.memberEnded) {
      // Another member may follow; anything else after a complete member is left unread, as zlib's
      // own file reader leaves it.
      while (left > 0 && s.pendingMagic.size() < 2) {
        s.pendingMagic.push_back(*input++);
        --left;
      }
      if (s.pendingMagic.size() < 2) break;
      if (s.pendingMagic[0] != 0x1f || s.pendingMagic[1] != 0x8b) {
        s.ignoringRest = true;
        break;
      }
      s.earlierCrc = static_cast<std::uint32_t>(
          crc32_combine(s.earlierCrc, s.zs.adler, static_cast<z_off_t>(s.produced - s.earlierLength)));
      s.earlierLength = s.produced;
      inflateReset(&s.zs);
      s.memberEnded = false;
      // The two header bytes held back go in first.
      std::vector<unsigned char> magic;
      magic.swap(s.pendingMagic);
      const Result first = feed(reinterpret_cast<const char*>(magic.data()), magic.size(), sink);
      if (first != Result::kOk) return first;
      continue;
    }
    s.zs.next_in = const_cast<unsigned char*>(input);
    s.zs.avail_in = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
    const uInt offered = s.zs.avail_in;
    int status = Z_OK;
    do {
      s.zs.next_out = reinterpret_cast<unsigned char*>(s.out.get());
      s.zs.avail_out = static_cast<uInt>(kOutputBlock);
      status = inflate(&s.zs, Z_NO_FLUSH);
      const std::size_t have = kOutputBlock - s.zs.avail_out;
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
        // What was expanded before the fault was found still counts as produced (the failure's log
        // line names it), but it is not written: the data is not the file.
        s.produced += have;
        s.failed = true;
        return Result::kCorrupt;
      }
      if (have > 0) {
        s.produced += have;
        if (!sink(s.out.get(), have)) {
          s.failed = true;
          return Result::kSinkFailed;
        }
      }
    } while (status != Z_STREAM_END && (s.zs.avail_in > 0 || s.zs.avail_out == 0));
    const std::size_t used = offered - s.zs.avail_in;
    input += used;
    left -= used;
    if (status == Z_STREAM_END) s.memberEnded = true;
  }
  return Result::kOk;
}

bool GzipStream::complete() const {
  // A member ended, and what follows it (if anything) is not the start of another.
  return !state_->failed && (state_->memberEnded || state_->ignoringRest);
}

std::uint64_t GzipStream::produced() const { return state_->produced; }

std::uint32_t GzipStream::crc() const {
  const State& s = *state_;
  const std::uint64_t current = s.produced - s.earlierLength;
  if (current == 0) return s.earlierCrc;
  return static_cast<std::uint32_t>(crc32_combine(s.earlierCrc, s.zs.adler, static_cast<z_off_t>(current)));
}

}  // namespace korvel
