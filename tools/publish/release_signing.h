// Signing a release: the secret key read from its file, and the detached signature written beside a
// published document.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "trust/minisign_secret_key.h"

namespace korvel::publish {

// Reads an unencrypted minisign secret key file; nothing with `problem` set (naming the file) when it
// cannot be read or is no such key.
std::optional<trust::MinisignSecretKey> loadSecretKey(const std::filesystem::path& path, std::string& problem);

// Signs the bytes of `file` with `key` into `signatureFile`, with the trusted comment
// "timestamp:<timestamp>\tfile:<name>\thashed" as minisign writes it (`name`: the document's name as
// published), followed by "\texpires:<expiresAt>" when an expiry is given (trust/trusted_comment.h).
// False with `problem` set when the file cannot be read or the signature not written.
bool writeSignatureFile(const trust::MinisignSecretKey& key, const std::filesystem::path& file,
                        const std::filesystem::path& signatureFile, const std::string& name, std::int64_t timestamp,
                        std::optional<std::int64_t> expiresAt, std::string& problem);

// The Product Version of the manifest published at `manifestFile` (gzip-compressed XML). Nothing with
// `problem` empty when no file is there; nothing with `problem` set (naming the file) when it cannot
// be read, is no manifest or its Product has no whole-number Version.
std::optional<int> publishedVersion(const std::filesystem::path& manifestFile, std::string& problem);

}  // namespace korvel::publish
