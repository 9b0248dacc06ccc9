// Renders the manifest document of a patch tree with libxml2.
#include "tools/publish/manifest_writer.h"

#include <memory>

#include <libxml/tree.h>

#include "common/xml_property.h"
#include "tools/publish/name_rules.h"

namespace korvel::publish {

namespace {

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

void attribute(xmlNodePtr node, const char* name, const std::string& value) {
  xmlSetProp(node, xml(name), xml(value.c_str()));
}

xmlNodePtr child(xmlNodePtr parent, const char* name) { return xmlNewChild(parent, nullptr, xml(name), nullptr); }

// Adds the elements of `items`; parentRemote is the server-side path the updater composes for their
// parent (nullopt at the top of the distribution, where nothing is inherited).
void addItems(xmlNodePtr parent, const std::vector<ManifestItem>& items, const std::optional<std::string>& parentRemote,
              const std::string& rootPath) {
  for (const auto& item : items) {
    const std::string encoded = encodeUrlSegment(item.name);
    if (item.directory) {
      xmlNodePtr node = child(parent, "Directory");
      attribute(node, "Name", item.name);
      // Without a RemotePath the updater composes parent\name from the plain local name.
      std::string composed;
      bool explicitPath = false;
      if (parentRemote) {
        composed = *parentRemote + "\\" + encoded;
        explicitPath = encoded != item.name;
      } else {
        composed = rootPath.empty() ? encoded : rootPath + "\\" + encoded;
        explicitPath = !rootPath.empty() || encoded != item.name;
      }
      if (explicitPath) attribute(node, "RemotePath", composed);
      addItems(node, item.children, composed, rootPath);
      continue;
    }
    xmlNodePtr node = child(parent, "File");
    attribute(node, "Name", encoded);
    if (encoded != item.name) attribute(node, "LocalName", item.name);
    if (!parentRemote && !rootPath.empty()) attribute(node, "RemotePath", rootPath);
    attribute(node, "TotalSize", std::to_string(item.totalSize));
    attribute(node, "DownloadSize", std::to_string(item.downloadSize));
    attribute(node, "CRC", ManifestWriter::crcText(item.crc));
    if (!item.sha256.empty()) attribute(node, "SHA256", item.sha256);
    if (item.timeStamp) attribute(node, "TimeStamp", *item.timeStamp);
    attribute(node, "Compressed", "true");
    for (const auto& delta : item.deltas) {
      xmlNodePtr deltaNode = child(node, "DeltaFile");
      attribute(deltaNode, "FilePath", encodeUrlSegment(delta.fileName));
      attribute(deltaNode, "CRC", ManifestWriter::crcText(delta.oldCrc));
      attribute(deltaNode, "DownloadSize", std::to_string(delta.downloadSize));
      attribute(deltaNode, "TotalSize", std::to_string(delta.totalSize));
      if (!delta.sha256.empty()) attribute(deltaNode, "SHA256", delta.sha256);
    }
  }
}

}  // namespace

std::string ManifestWriter::crcText(std::uint32_t crc) { return std::to_string(static_cast<std::int32_t>(crc)); }

std::string ManifestWriter::remoteRootPath(const std::vector<std::string>& segments) {
  std::string path;
  for (const auto& segment : segments) {
    if (!path.empty()) path += "\\";
    path += encodeUrlSegment(segment);
  }
  return path;
}

namespace {

// A document with the "KorvelPatcher" root and its "Product" element with name and version.
XmlDocument productDocument(const ManifestSettings& settings, xmlNodePtr& product) {
  XmlDocument doc(xmlNewDoc(xml("1.0")));
  xmlNodePtr root = xmlNewDocNode(doc.get(), nullptr, xml("KorvelPatcher"), nullptr);
  xmlDocSetRootElement(doc.get(), root);
  attribute(root, "Version", "1");
  product = child(root, "Product");
  attribute(product, "Name", settings.productName);
  attribute(product, "Version", std::to_string(settings.productVersion));
  return doc;
}

void addDistribution(xmlNodePtr product, const ManifestSettings& settings, const std::vector<ManifestItem>& top) {
  xmlNodePtr distribution = child(product, "Distribution");
  attribute(distribution, "Name", settings.distributionName);
  addItems(distribution, top, std::nullopt, ManifestWriter::remoteRootPath(settings.remoteRoot));
}

std::string text(xmlDocPtr doc, bool indent) {
  xmlChar* bytes = nullptr;
  int length = 0;
  xmlDocDumpFormatMemoryEnc(doc, &bytes, &length, "UTF-8", indent ? 1 : 0);
  std::string out(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
  xmlFree(bytes);
  return out;
}

}  // namespace

std::string ManifestWriter::render(const ManifestSettings& settings, const std::vector<ManifestItem>& top, bool indent) {
  xmlNodePtr product = nullptr;
  XmlDocument doc = productDocument(settings, product);
  addDistribution(product, settings, top);
  return text(doc.get(), indent);
}

std::string ManifestWriter::renderPointer(const ManifestSettings& settings, const std::string& externalPath,
                                          bool indent) {
  xmlNodePtr product = nullptr;
  XmlDocument doc = productDocument(settings, product);
  attribute(product, "RemotePath", externalPath);
  return text(doc.get(), indent);
}

std::string ManifestWriter::renderContents(const ManifestSettings& settings, const std::vector<ManifestItem>& top,
                                           bool indent) {
  xmlNodePtr product = nullptr;
  XmlDocument doc = productDocument(settings, product);
  attribute(product, "UseCRC", "true");
  addDistribution(product, settings, top);
  return text(doc.get(), indent);
}

}  // namespace korvel::publish
