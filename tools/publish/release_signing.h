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
// published). False with `problem` set when the file cannot be read or the signature not written.
bool writeSignatureFile(const trust::MinisignSecretKey& key, const std::filesystem::path& file,
                        const std::filesystem::path& signatureFile, const std::string& name, std::int64_t timestamp,
                        std::string& problem);

}  // namespace korvel::publish
