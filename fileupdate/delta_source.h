// One "DeltaFile" of a file element: delta data that turns one known old version of the file
// (identified by its CRC) into the current one, and where to fetch it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/text_argument.h"
#include "transfer/remote_file.h"

namespace korvel {

class FileNodeServices;

struct DeltaSource {
  // Fetches the data next to the file: deltaName when it is absolute, else basePath\deltaName (at most 255
  // characters), from the stager of the session's product when it holds a copy (asked with stagingBase, see
  // FileNode::stagingBase), else from `remote`. Sets localFile. Returns 0 when the data is there with the
  // expected size (any size when totalSize is 0); -1 without a delta name; the transfer's code when the
  // download fails (result::kFileMismatch when the downloaded data is not the SHA-256 named);
  // result::kComponentInvalid when the data cannot be opened or has the wrong size (it is then deleted).
  int fetch(FileNodeServices* services, TextArgument basePath, TextArgument stagingBase);

  // Where the data comes from: the "FilePath" resolved against the file's remote path attribute or its
  // parent's remote path, on the DeltaFile element's "Server" and "Port", else where the file's own
  // data comes from (ManifestNode::remoteFile).
  RemoteFile remote;
  // "FilePath" as the element gives it: the name the data is staged under.
  std::string fileName;
  // Where the data goes locally: the file's localName + "_delta" resolved against its LocalPath.
  std::optional<std::string> deltaPath;
  // The file's localName followed by "_delta".
  std::optional<std::string> deltaName;
  // Where the data was downloaded to (set when it is fetched).
  std::optional<std::string> localFile;
  // "DownloadSize": bytes on the wire.
  std::int64_t downloadSize = 0;
  // "TotalSize": size of the delta data after the transfer.
  std::int64_t totalSize = 0;
  // "CRC": CRC of the old file this delta applies to.
  std::uint32_t sourceCrc = 0;
  // "SHA256": lowercase hexadecimal SHA-256 of the delta data after the transfer; when present, data
  // with another digest is never kept.
  std::optional<std::string> sha256;
  // Delta data is always transferred compressed.
  bool compressed = true;
};

}  // namespace korvel
