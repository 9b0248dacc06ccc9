// Signing a release's documents.
#include "tools/publish/release_signing.h"

#include <fstream>
#include <iterator>

namespace korvel::publish {

namespace {

// Reads a whole file; false when it cannot be opened or read.
bool readWhole(const std::filesystem::path& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

std::optional<trust::MinisignSecretKey> loadSecretKey(const std::filesystem::path& path, std::string& problem) {
  std::string text;
  if (!readWhole(path, text)) {
    problem = path.string() + ": cannot be read";
    return std::nullopt;
  }
  std::optional<trust::MinisignSecretKey> key = trust::MinisignSecretKey::parse(text, problem);
  if (!key) problem = path.string() + ": " + problem;
  return key;
}

bool writeSignatureFile(const trust::MinisignSecretKey& key, const std::filesystem::path& file,
                        const std::filesystem::path& signatureFile, const std::string& name, std::int64_t timestamp,
                        std::string& problem) {
  std::string data;
  if (!readWhole(file, data)) {
    problem = file.string() + ": cannot be read for signing";
    return false;
  }
  const std::string comment = "timestamp:" + std::to_string(timestamp) + "\tfile:" + name + "\thashed";
  std::ofstream out(signatureFile, std::ios::binary | std::ios::trunc);
  out << key.sign(data.data(), data.size(), comment);
  out.close();
  if (!out) {
    problem = signatureFile.string() + ": cannot be written";
    return false;
  }
  return true;
}

}  // namespace korvel::publish
