// Signature files from the server, and the expansion of verified documents.
#include "transfer/signed_document.h"

#include <zlib.h>

#include "common/result_codes.h"
#include "transfer/download_requests.h"
#include "transfer/http_transfer.h"
#include "trust/document_signature.h"

namespace korvel {

namespace {

constexpr std::size_t kExpansionChunk = 65536;
// zlib's window bits for a gzip wrapper (16 added to the largest window).
constexpr int kGzipWindowBits = 16 + MAX_WBITS;

}  // namespace

bool successStatus(int status) { return status == 0 || (status >= 200 && status < 300); }

std::optional<std::string> fetchSignatureText(DownloadRequests& requests, const RemoteFile& document) {
  std::string text;
  int status = 0;
  RemoteFile signature = document;
  signature.path = trust::signatureFileName(document.path);
  if (requests.toBytes(signature, kSignatureCapacity, text, status) != result::kOk || !successStatus(status))
    return std::nullopt;
  return text;
}

std::optional<std::string> documentText(const std::string& bytes, std::size_t limit) {
  const bool gzip = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f &&
                    static_cast<unsigned char>(bytes[1]) == 0x8b;
  if (!gzip) {
    if (bytes.size() > limit) return std::nullopt;
    return bytes;
  }
  z_stream stream{};
  if (inflateInit2(&stream, kGzipWindowBits) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  std::string text;
  int status = Z_OK;
  while (status == Z_OK) {
    const std::size_t before = text.size();
    text.resize(before + kExpansionChunk);
    stream.next_out = reinterpret_cast<Bytef*>(text.data() + before);
    stream.avail_out = static_cast<uInt>(kExpansionChunk);
    status = inflate(&stream, Z_NO_FLUSH);
    text.resize(before + (kExpansionChunk - stream.avail_out));
    if (text.size() > limit) status = Z_BUF_ERROR;
    // No input left and no end of stream: the data ends early.
    if (status == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) status = Z_BUF_ERROR;
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  return text;
}

}  // namespace korvel
