// Decoding a gzip body held in memory: the member header is skipped by hand and the deflate data
// behind it is inflated raw in one call; the trailer is not checked.
#pragma once

#include <cstdint>

namespace korvel {

// Decodes the gzip data `in` (inLength bytes) into `out`, which has room for `capacity` bytes. Data that
// does not start with the gzip identification bytes is inflated from its first byte. On return
// `capacity` holds the number of bytes produced. Returns 0 when the end of the deflate data was reached,
// otherwise the negative zlib status (-5 when the output was full or the input ended early, -3 for
// corrupt data). The CRC and length of the trailer are not verified.
int gunzipMemory(unsigned char* out, std::uint32_t& capacity, const unsigned char* in, std::uint32_t inLength);

}  // namespace korvel
