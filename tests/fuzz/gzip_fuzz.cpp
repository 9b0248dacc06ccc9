// libFuzzer target for the gzip decoders: the in-memory decoding of a body (gunzipMemory) and the
// streaming expansion of a body into a file (GzipStream).
//
// Input: the first byte chooses the mode and the feeding, the second the room of the memory buffer,
// the rest is the body.
// - Round trip (mode bit set): the rest is plain data, compressed here as one gzip member; both
//   decoders must give it back exactly, and the memory decoder must stop at a buffer too small.
// - Arbitrary body: the streaming expansion must give the same result and bytes however the body is
//   cut into pieces; a member it expands must have the size and CRC its trailer claims; and where it
//   expanded a first member, the memory decoder (given the room) must produce the same bytes.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "transfer/gzip_memory.h"
#include "transfer/gzip_stream.h"

namespace {

using korvel::GzipStream;
using korvel::fuzz::fail;

// Expanded output beyond this is refused by the sink (the target is about parsing, not about volume).
constexpr std::size_t kOutputLimit = 1 << 20;

struct Expansion {
  GzipStream::Result result = GzipStream::Result::kOk;
  bool complete = false;
  std::uint64_t produced = 0;
  std::string out;
};

// Feeds the body in pieces of `piece` bytes (0: all at once).
Expansion expand(const std::uint8_t* body, std::size_t size, std::size_t piece) {
  Expansion expansion;
  GzipStream stream;
  const GzipStream::Sink sink = [&](const char* data, std::size_t length) {
    if (expansion.out.size() + length > kOutputLimit) return false;
    expansion.out.append(data, length);
    return true;
  };
  std::size_t at = 0;
  do {
    const std::size_t length = piece == 0 ? size - at : std::min(piece, size - at);
    expansion.result = stream.feed(reinterpret_cast<const char*>(body + at), length, sink);
    at += length;
  } while (at < size && expansion.result == GzipStream::Result::kOk);
  expansion.complete = stream.complete();
  expansion.produced = stream.produced();
  return expansion;
}

// The memory decoder into a buffer of exactly `room` bytes (the sanitizers watch its end).
int gunzip(const std::uint8_t* body, std::size_t size, std::uint32_t room, std::string& out) {
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[room]);
  std::uint32_t capacity = room;
  const int status = korvel::gunzipMemory(buffer.get(), capacity, body, static_cast<std::uint32_t>(size));
  if (capacity > room) fail("gunzipMemory produced more than its room");
  out.assign(reinterpret_cast<const char*>(buffer.get()), capacity);
  return status;
}

std::string compress(const std::uint8_t* data, std::size_t size, int level) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) fail("deflateInit2");
  std::string out(deflateBound(&zs, static_cast<uLong>(size)) + 32, '\0');
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) fail("deflate");
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// zlib's own reading of the first member: its length in the body, and its expanded size (nothing
// when the member is not complete and sound, or expands beyond the limit).
struct Member {
  std::size_t length;
  std::size_t expanded;
};
std::optional<Member> firstMember(const std::uint8_t* body, std::size_t size) {
  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) fail("inflateInit2");
  std::vector<unsigned char> sink(64 * 1024);
  zs.next_in = const_cast<Bytef*>(body);
  zs.avail_in = static_cast<uInt>(size);
  int status = Z_OK;
  while (status == Z_OK && zs.total_out <= kOutputLimit) {
    zs.next_out = sink.data();
    zs.avail_out = static_cast<uInt>(sink.size());
    status = inflate(&zs, Z_NO_FLUSH);
    if (status == Z_BUF_ERROR && zs.avail_in == 0) break;
  }
  std::optional<Member> member;
  if (status == Z_STREAM_END && zs.total_out <= kOutputLimit) member = Member{size - zs.avail_in, zs.total_out};
  inflateEnd(&zs);
  return member;
}

std::uint32_t little32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24;
}

void roundTrip(const std::uint8_t* data, std::size_t size, std::size_t piece, int level, std::uint32_t shortRoom) {
  const std::string packed = compress(data, size, level);
  const auto* body = reinterpret_cast<const std::uint8_t*>(packed.data());
  const Expansion expansion = expand(body, packed.size(), piece);
  if (expansion.result != GzipStream::Result::kOk || !expansion.complete) fail("a sound member did not expand");
  if (expansion.out != std::string(reinterpret_cast<const char*>(data), size)) fail("the expansion is not the data");
  if (expansion.produced != size) fail("produced() is not the expanded size");

  std::string out;
  const auto room = static_cast<std::uint32_t>(size + 1);
  if (gunzip(body, packed.size(), room, out) != Z_OK || out != expansion.out) fail("gunzipMemory lost the data");
  if (size > 0) {
    const std::uint32_t smaller = shortRoom % static_cast<std::uint32_t>(size);
    const int status = gunzip(body, packed.size(), smaller, out);
    if (status != Z_BUF_ERROR || out.size() != smaller || expansion.out.compare(0, smaller, out) != 0)
      fail("gunzipMemory did not stop at a buffer too small");
  }
}

void arbitraryBody(const std::uint8_t* body, std::size_t size, std::size_t piece, std::uint32_t room) {
  const Expansion whole = expand(body, size, 0);
  const Expansion pieces = expand(body, size, piece);
  const bool refused = whole.result == GzipStream::Result::kSinkFailed || pieces.result == GzipStream::Result::kSinkFailed;
  if (!refused) {
    if (whole.result != pieces.result || whole.complete != pieces.complete)
      fail("the expansion depends on how the body was cut");
    // A piece is written once it is expanded, before the trailer behind it is checked: of a corrupt
    // body, smaller pieces may have written more of the bad member, never other bytes.
    const std::string& shorter = whole.out.size() < pieces.out.size() ? whole.out : pieces.out;
    const std::string& longer = whole.out.size() < pieces.out.size() ? pieces.out : whole.out;
    if (whole.result == GzipStream::Result::kOk ? whole.out != pieces.out : longer.compare(0, shorter.size(), shorter) != 0)
      fail("the expansion wrote other bytes when the body was cut otherwise");
    if (whole.result == GzipStream::Result::kOk && whole.produced != whole.out.size())
      fail("produced() differs from what was written");
  }

  std::string memory;
  const int status = gunzip(body, size, room, memory);
  const std::optional<Member> member = firstMember(body, size);
  if (!member) return;
  // zlib read a sound first member: the expansion must hold it, as its trailer describes it.
  if (whole.result == GzipStream::Result::kCorrupt && whole.produced < member->expanded)
    fail("the expansion refused a sound first member");
  if (whole.result != GzipStream::Result::kOk && !refused) return;
  if (whole.out.size() < member->expanded) return;
  const std::uint8_t* trailer = body + member->length - 8;
  const auto first = reinterpret_cast<const Bytef*>(whole.out.data());
  if (crc32(0, first, static_cast<uInt>(member->expanded)) != little32(trailer) ||
      static_cast<std::uint32_t>(member->expanded) != little32(trailer + 4))
    fail("an expanded member differs from its trailer");
  if (room > member->expanded) {
    if (status != Z_OK || memory != whole.out.substr(0, member->expanded))
      fail("gunzipMemory differs from the expansion of the first member");
  } else if (memory.size() != room || whole.out.compare(0, room, memory) != 0) {
    fail("gunzipMemory filled its room with other bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t mode = data[0];
  const std::size_t piece = mode >> 4;  // 0: the whole body at once
  const std::uint32_t room = std::uint32_t{data[1]} * 67;
  if (mode & 1)
    roundTrip(data + 2, size - 2, piece, (mode >> 1) & 7, data[1]);
  else
    arbitraryBody(data + 2, size - 2, piece, room);
  return 0;
}
