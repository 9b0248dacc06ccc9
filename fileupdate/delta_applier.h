// Delta patching of one file of the manifest: choosing the delta data that fits the local copy, and
// combining it with that copy into the manifest's file. Runs on the session's worker thread, like the
// node it belongs to.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/text_argument.h"

namespace korvel {

class FileDeltaInput;
class FileNode;
struct CombineOutput;
struct DeltaSource;

class DeltaApplier {
 public:
  // Patches `file`, which owns the applier and outlives it.
  explicit DeltaApplier(FileNode& file);
  DeltaApplier(const DeltaApplier&) = delete;
  DeltaApplier& operator=(const DeltaApplier&) = delete;

  // FileNode::findDelta: chooses the first delta whose source CRC is the local file's CRC; false
  // when the file was not found locally, its CRC is unknown, no delta matches, or the file is too large
  // for delta data.
  bool choose(TextArgument basePath);
  // The chosen delta, or null.
  const DeltaSource* chosen() const;
  // Forgets the choice (the file's deltas are read anew).
  void forget() { chosen_.reset(); }
  // FileNode::applyDelta: fetches the chosen delta's data and combines it with the local file (for the
  // running program, with a copy under the temporary name, whose result the caller measures). The result
  // replaces the file only when it is the manifest's (size, CRC, SHA-256). result::kOk done;
  // result::kDeltaFailed no delta chosen, data unreadable, the combine failed or its result is not the
  // manifest's file (the old file is kept); result::kStopped stopped during the combine; otherwise the
  // fetch's code. Blocks.
  int apply(bool isRunningProgram, TextArgument basePath);

 private:
  // Copies the local file to its temporary name for the running program's patch; false when the
  // program has no temporary name of its own (nothing is patched then). Sets `target` to the copy.
  bool duplicateRunningProgram(const std::string& file, TextArgument basePath, std::string& target);
  // Combines `input` (read from the file `data`, removed once the combine is over) with `target` into
  // a new file beside it, which takes the place of `target` only when it is the manifest's file.
  int combineInto(const std::string& target, const std::string& data, FileDeltaInput& input);
  // Whether what a combine wrote for `target` is the manifest's file: its size, CRC and SHA-256
  // (`digest`, taken only when the manifest names one). Logs or warns about the first that differs.
  bool isManifestFile(const std::string& target, const CombineOutput& written,
                      const std::optional<std::string>& digest) const;

  FileNode& file_;
  std::optional<std::size_t> chosen_;
};

}  // namespace korvel
