// Bringing one file of the manifest up to date on disk: by its delta, by a staged copy or by a full
// download into a temporary file renamed over the old one once it is the manifest's file; the running
// program's new copy under its temporary name; the stamp of the manifest's time; and the removal of a
// file marked "Delete". Runs on the session's worker thread, like the node it belongs to.
#pragma once

#include <cstdint>
#include <string>

#include "common/text_argument.h"
#include "manifest/scan_flags.h"
#include "transfer/remote_file.h"

namespace korvel {

class FileNode;
class ProductHandle;

class FileInstaller {
 public:
  // Installs `file`, which owns the installer and outlives it.
  explicit FileInstaller(FileNode& file);
  FileInstaller(const FileInstaller&) = delete;
  FileInstaller& operator=(const FileInstaller&) = delete;

  // FileNode::download: brings a file that needs an update up to date: by its chosen delta, else by a staged
  // copy or a full download (the running program's own entry under its temporary name), then checks the size,
  // stamps the manifest's time and asks for a restart when the file wants one. While the session plans the
  // walk, only plans (planDownload). result::kOk done or nothing to do; result::kComponentInvalid bad file;
  // result::kStopped stopped during the transfer; otherwise the transfer's code. Blocks.
  int download(ScanFlags flags, ProductHandle* product, TextArgument basePath);
  // While the session plans the walk: hands the full download that download() would make, if any, to
  // the session's planDownload, and nothing else.
  void planDownload(ScanFlags flags, ProductHandle* product, TextArgument basePath);
  // The full download of this file into `target`, checked against its size, CRC and SHA-256.
  FileDownload fullDownload(const std::string& target) const;
  // FileNode::removeDeleted: a delete-marked file that is writable is deleted, logged, forgotten by the
  // patch cache and no longer marked. Returns true.
  bool removeDeleted(TextArgument basePath);
  // Stamps the local file (or the temporary one) with the manifest's time: creation, access and
  // write time. False when TimeStamp is 0 or the file cannot be opened for writing.
  bool setFileTime(TextArgument basePath, bool useTemp);

 private:
  // Where the new bytes go: the local file, or for the running program its temporary name; registers
  // the self-replacement with the session. `isSelf` tells whether the file is the running program.
  std::string targetOf(TextArgument basePath, bool& isSelf);
  // Patches the file by its chosen delta into `target`: true when the result is in place with the
  // manifest's size. A partial patch outside a stop sets `failure` (result::kComponentInvalid, reported).
  bool patched(const std::string& target, bool isSelf, TextArgument basePath, int& failure);
  // Downloads the whole file into `target`. 0, or the transfer's code (a stop reported, any other
  // failure logged).
  int fetched(const std::string& target);
  // After the new bytes are in `target`: checks their size, stamps the time, marks the file current
  // and asks for the restart the file wants. result::kOk, or result::kComponentInvalid (reported).
  int finished(const std::string& target, bool targetIsTemp, bool isSelf, TextArgument basePath);

  FileNode& file_;
};

}  // namespace korvel
