// Shared helpers of the publishing tests.
#include "tests/tools/publish_fixture.h"

#include <chrono>
#include <fstream>
#include <random>

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zlib.h>

#include "common/number_text.h"
#include "common/path_tokens.h"
#include "common/text_format.h"
#include "common/xml_property.h"

namespace korvel::test {

namespace fs = std::filesystem;

Bytes readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const Bytes& data) {
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void writeText(const fs::path& path, const std::string& text) { writeBytes(path, Bytes(text.begin(), text.end())); }

void setModifiedTime(const fs::path& path, std::int64_t seconds) {
  auto system = std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
  std::error_code ec;
  fs::last_write_time(path, std::chrono::file_clock::from_sys(system), ec);
  ASSERT_FALSE(ec) << "cannot set the time of " << path;
}

Bytes randomBytes(std::size_t count, std::uint64_t seed, unsigned alphabet) {
  std::mt19937_64 random(seed);
  Bytes data(count);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(random() % alphabet);
  return data;
}

std::optional<Bytes> gunzipFile(const fs::path& path) {
  gzFile file = gzopen(path.string().c_str(), "rb");
  if (!file) return std::nullopt;
  Bytes out;
  std::vector<char> buffer(16384);
  for (;;) {
    int n = gzread(file, buffer.data(), static_cast<unsigned>(buffer.size()));
    if (n < 0) {
      gzclose(file);
      return std::nullopt;
    }
    if (n == 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + n);
  }
  if (gzclose(file) != Z_OK) return std::nullopt;
  return out;
}

std::optional<std::string> inflateLikeUpdater(const std::string& body) {
  const auto* in = reinterpret_cast<const unsigned char*>(body.data());
  std::size_t at = 0;
  const std::size_t size = body.size();
  if (size >= 2 && in[0] == 0x1f && in[1] == 0x8b) {
    at = 2;
    int method = at < size ? in[at++] : 0;
    int flags = at < size ? in[at++] : 0;
    if (method == 8) {
      at = std::min(size, at + 6);
      if (flags & 0x04) {
        std::size_t length = at + 1 < size ? in[at] | in[at + 1] << 8 : 0;
        at = std::min(size, at + 2 + length);
      }
      for (int bit : {0x08, 0x10}) {
        if (flags & bit) {
          while (at < size && in[at] != 0) ++at;
          at = std::min(size, at + 1);
        }
      }
      if (flags & 0x02) at = std::min(size, at + 2);
    }
  }
  // The updater's buffer holds 5,000,000 bytes.
  std::string out(5000000, '\0');
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return std::nullopt;
  stream.next_in = const_cast<Bytef*>(in + at);
  stream.avail_in = static_cast<uInt>(size - at);
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  int status = inflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  return out;
}

namespace {

std::map<std::string, std::string> attributesOf(xmlNodePtr node) {
  std::map<std::string, std::string> result;
  for (xmlAttrPtr attr = node->properties; attr; attr = attr->next) {
    xmlChar* value = xmlGetProp(node, attr->name);
    result[reinterpret_cast<const char*>(attr->name)] = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
  }
  return result;
}

std::optional<std::string> attribute(const std::map<std::string, std::string>& attributes, const char* name) {
  auto it = attributes.find(name);
  if (it == attributes.end()) return std::nullopt;
  return it->second;
}

bool named(xmlNodePtr node, const char* name) {
  return node->type == XML_ELEMENT_NODE && equalsIgnoreCase(reinterpret_cast<const char*>(node->name), name);
}

// The updater's composition: directories through resolvePathToken, files and their delta data through
// resolveFilePath; a distribution passes no parent paths.
void resolveChildren(xmlNodePtr parent, const std::optional<std::string>& parentLocal,
                     const std::optional<std::string>& parentRemote, ResolvedManifest& manifest) {
  for (xmlNodePtr node = parent->children; node; node = node->next) {
    if (named(node, "Directory")) {
      auto attributes = attributesOf(node);
      auto name = attribute(attributes, "Name");
      auto localName = attribute(attributes, "LocalName");
      if (!localName) localName = name;
      auto local = resolvePathToken(localName, attribute(attributes, "LocalPath"), parentLocal);
      auto remote = resolvePathToken(localName, attribute(attributes, "RemotePath"), parentRemote);
      manifest.directoryLocalPaths.push_back(local.value_or(""));
      resolveChildren(node, local, remote, manifest);
    } else if (named(node, "File")) {
      ResolvedFile file;
      file.attributes = attributesOf(node);
      auto name = attribute(file.attributes, "Name");
      auto localName = attribute(file.attributes, "LocalName");
      if (!localName) localName = name;
      auto remoteAttribute = attribute(file.attributes, "RemotePath");
      file.localPath = resolveFilePath(localName, attribute(file.attributes, "LocalPath"), parentLocal).value_or("");
      file.remotePath = resolveFilePath(name, remoteAttribute, parentRemote).value_or("");
      file.crc = crcFromAttribute(attribute(file.attributes, "CRC").value_or("0").c_str());
      for (xmlNodePtr child = node->children; child; child = child->next) {
        if (!named(child, "DeltaFile")) continue;
        auto deltaAttributes = attributesOf(child);
        ResolvedDelta delta;
        delta.remotePath =
            resolveFilePath(attribute(deltaAttributes, "FilePath"), remoteAttribute, parentRemote).value_or("");
        delta.crc = crcFromAttribute(attribute(deltaAttributes, "CRC").value_or("0").c_str());
        delta.downloadSize = decimalToInt32(attribute(deltaAttributes, "DownloadSize").value_or("0").c_str());
        delta.totalSize = decimalToInt32(attribute(deltaAttributes, "TotalSize").value_or("0").c_str());
        file.deltas.push_back(delta);
      }
      manifest.files.push_back(std::move(file));
    }
  }
}

}  // namespace

ResolvedManifest resolveManifest(const fs::path& manifestFile, const std::string& distribution) {
  ResolvedManifest manifest;
  Bytes body = readBytes(manifestFile);
  auto text = inflateLikeUpdater(std::string(body.begin(), body.end()));
  if (!text) {
    manifest.error = "the manifest does not inflate";
    return manifest;
  }
  const XmlDocument doc(xmlParseMemory(text->data(), static_cast<int>(text->size())));
  if (!doc) {
    manifest.error = "the manifest does not parse";
    return manifest;
  }
  xmlNodePtr root = xmlDocGetRootElement(doc.get());
  xmlNodePtr product = nullptr;
  if (root && named(root, "KorvelPatcher")) {
    manifest.rootAttributes = attributesOf(root);
    for (xmlNodePtr node = root->children; node && !product; node = node->next) {
      if (node->type == XML_ELEMENT_NODE) product = node;
    }
  }
  if (!product || !named(product, "Product")) {
    manifest.error = "no KorvelPatcher root with a Product first";
  } else {
    manifest.productAttributes = attributesOf(product);
    manifest.productHasChildren = product->children != nullptr;
    for (xmlNodePtr node = product->children; node; node = node->next) {
      if (!named(node, "Distribution")) continue;
      auto attributes = attributesOf(node);
      if (attribute(attributes, "Name") != distribution) continue;
      manifest.distributionAttributes = attributes;
      manifest.distributionHasChildren = node->children != nullptr;
      resolveChildren(node, std::nullopt, std::nullopt, manifest);
      manifest.ok = true;
    }
    if (!manifest.ok) manifest.error = "no distribution named " + distribution;
  }
  return manifest;
}

std::string updaterUrlPath(const std::string& remotePath) {
  std::string path = remotePath;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path.empty() || path.front() != '/' ? "/" + path : path;
}

std::map<std::string, Bytes> snapshotTree(const fs::path& folder) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), folder).generic_string()] = readBytes(entry.path());
  }
  return files;
}

}  // namespace korvel::test
