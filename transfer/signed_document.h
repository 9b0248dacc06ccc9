// What a document fetched together with its signature needs from the transfer floor: the signature
// file's text from the server, and the document's text once its bytes are verified.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "transfer/remote_file.h"

namespace korvel {

class DownloadRequests;

// A detached signature is a few hundred bytes; a longer answer is not one.
inline constexpr int kSignatureCapacity = 16384;

// Whether an HTTP status stands for a delivered body: 2xx, or 0 when none is known.
bool successStatus(int status);

// The text of <document>.minisig where `document` is; nothing when the request fails or is answered
// with a status other than 2xx. Blocks like every download request.
std::optional<std::string> fetchSignatureText(DownloadRequests& requests, const RemoteFile& document);

// The text of a document's bytes: gzip data expanded (at most `limit` bytes, its trailer checked),
// anything else as it stands. Nothing when gzip data is corrupt, ends early or expands beyond limit.
std::optional<std::string> documentText(const std::string& bytes, std::size_t limit);

}  // namespace korvel
