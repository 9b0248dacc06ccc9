// Signing a release's documents.
#include "tools/publish/release_signing.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zlib.h>

#include "common/xml_property.h"
#include "trust/trusted_comment.h"

namespace korvel::publish {

namespace {

// The updater reads at most 4,999,999 bytes of manifest; a little more shows a file that is no manifest.
constexpr std::size_t kManifestReadLimit = 5000000;

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
                        std::optional<std::int64_t> expiresAt, std::string& problem) {
  std::string data;
  if (!readWhole(file, data)) {
    problem = file.string() + ": cannot be read for signing";
    return false;
  }
  std::string comment = "timestamp:" + std::to_string(timestamp) + "\tfile:" + name + "\thashed";
  if (expiresAt) comment = trust::withExpiry(comment, *expiresAt);
  std::ofstream out(signatureFile, std::ios::binary | std::ios::trunc);
  out << key.sign(data.data(), data.size(), comment);
  out.close();
  if (!out) {
    problem = signatureFile.string() + ": cannot be written";
    return false;
  }
  return true;
}

std::optional<int> publishedVersion(const std::filesystem::path& manifestFile, std::string& problem) {
  problem.clear();
  std::error_code ec;
  if (!std::filesystem::exists(manifestFile, ec)) return std::nullopt;
  problem = manifestFile.string() + ": the release published there has no readable Product Version";

  std::string text;
  if (gzFile in = gzopen(manifestFile.string().c_str(), "rb")) {
    char chunk[65536];
    int got = 0;
    while (text.size() <= kManifestReadLimit && (got = gzread(in, chunk, sizeof chunk)) > 0) text.append(chunk, got);
    if (gzclose(in) != Z_OK || got < 0 || text.size() > kManifestReadLimit) return std::nullopt;
  } else {
    return std::nullopt;
  }
  const XmlDocument document(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                           XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!document) return std::nullopt;
  std::optional<int> version;
  const xmlNode* root = xmlDocGetRootElement(document.get());
  const xmlNode* product = root ? xmlFirstElementChild(const_cast<xmlNode*>(root)) : nullptr;
  if (product && std::strcmp(reinterpret_cast<const char*>(product->name), "Product") == 0) {
    if (xmlChar* value = xmlGetProp(product, reinterpret_cast<const xmlChar*>("Version"))) {
      const char* digits = reinterpret_cast<const char*>(value);
      char* end = nullptr;
      errno = 0;
      const long long number = std::strtoll(digits, &end, 10);
      if (*digits != '\0' && *end == '\0' && errno == 0 && number >= INT_MIN && number <= INT_MAX)
        version = static_cast<int>(number);
      xmlFree(value);
    }
  }
  if (version) problem.clear();
  return version;
}

}  // namespace korvel::publish
