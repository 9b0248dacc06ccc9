// The verdict on a document and the text of its detached signature under the configured manifest key.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "trust/manifest_key.h"

namespace korvel::trust {

// The name of a document's signature file: the document's name followed by ".minisig".
std::string signatureFileName(const std::string& document);

// result::kOk when `signatureText` is a minisign signature made with the configured key over exactly
// these bytes; result::kSignatureMissing when there is no signature text; result::kSignatureInvalid
// when it is no minisign signature, was made with another key or over other bytes, or the configured
// key could not be read. When given, `trustedComment` receives the
// trusted comment a valid signature vouches for (trust/trusted_comment.h), and is emptied otherwise.
int signatureVerdict(const ManifestKey& key, const std::optional<std::string>& signatureText, const void* data,
                     std::size_t size, std::string* trustedComment = nullptr);

// The text a refused document is reported with: "Manifest signature missing\n" for
// result::kSignatureMissing, "Manifest signature invalid\n" for any other code.
const char* signatureFailureText(int code);

}  // namespace korvel::trust
