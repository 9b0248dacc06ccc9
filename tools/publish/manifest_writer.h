// Renders the manifest document of a patch tree.
//
// Paths reach the updater as follows: a distribution hands no paths to its children, a directory
// with a "RemotePath" takes that text as its whole server-side path (its name is not appended), a
// directory without one appends its name to its parent's path, and a file appends its "Name" to its
// own "RemotePath" or else to its parent's path. The remote root therefore goes on every top-level
// "Directory" and "File"; deeper elements inherit it. Names that need percent-encoding in a URL are
// carried as an encoded "Name" with the real "LocalName" for files, and as an explicit encoded
// "RemotePath" for directories (whose server-side path is composed from the local name).
//
// A product too large for one manifest is published in two documents: the manifest, whose "Product"
// names an external document with its "RemotePath" and has no content at all, and that external
// document, whose root's only element is re-read by the updater as the same product element before
// its children are read. The external element carries what that re-read takes from it, so that the
// updater ends with the tree the single manifest would have given: no "RemotePath" and no "Port"
// (the re-read replaces both, absent gives none, as in the single manifest), and "UseCRC" (the re-read
// takes an absent one as false, where the manifest's product leaves it unset, which means checks on).
// Attributes the re-read takes again whatever the first read found ("Optional", "Restricted", "Live",
// "Delete", "Root", the distribution types and limits) would have to be repeated there; neither
// element carries any of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel::publish {

struct ManifestDelta {
  std::string fileName;        // name of the delta data next to the file on the server
  std::uint32_t oldCrc = 0;    // CRC-32 of the old file it applies to
  std::uint64_t downloadSize = 0;
  std::uint64_t totalSize = 0;
  std::string sha256;          // of the delta data, uncompressed; written when not empty
};

struct ManifestItem {
  std::string name;  // as on disk
  bool directory = false;
  std::uint64_t totalSize = 0;
  std::uint64_t downloadSize = 0;
  std::uint32_t crc = 0;
  std::string sha256;  // of the file, uncompressed; written when not empty
  std::optional<std::string> timeStamp;
  std::vector<ManifestDelta> deltas;
  std::vector<ManifestItem> children;
};

struct ManifestSettings {
  std::string productName;
  int productVersion = 1;
  std::string distributionName;
  // Segments of the folder that holds the files on the server (plain names; may be empty).
  std::vector<std::string> remoteRoot;
};

class ManifestWriter {
 public:
  // The document as UTF-8 XML text; `indent` lays it out one element per line.
  static std::string render(const ManifestSettings& settings, const std::vector<ManifestItem>& top, bool indent);
  // The manifest of a product published in an external document: its "Product" names the document
  // (a server-side path, '\' separated) and has no child nodes, not even white space.
  static std::string renderPointer(const ManifestSettings& settings, const std::string& externalPath, bool indent);
  // The external document of that product: the same distribution and items as render() writes.
  static std::string renderContents(const ManifestSettings& settings, const std::vector<ManifestItem>& top,
                                    bool indent);

  // The "%d" form of a CRC as the updater reads it back with atol: the signed 32-bit value.
  static std::string crcText(std::uint32_t crc);

  // The server-side path of the remote root as the updater composes it (encoded, '\' separated).
  static std::string remoteRootPath(const std::vector<std::string>& segments);
};

}  // namespace korvel::publish
