// The clean-up of the staging folder: a visitor of the folder walker that deletes every staged file
// the transfer cache does not know. Partial files of the transfer service (".tmp") and the cache
// documents (".xml") are kept, as is anything whose path merely contains one of those two texts.
#pragma once

#include <cstdint>
#include <string>

#include "patchcache/tree_walk_visitor.h"

namespace korvel {

class PatchCache;

class StagingTreeVisitor : public TreeWalkVisitor {
 public:
  // `transferCache` is not owned; its keys are full paths (root + "\" + path below it).
  explicit StagingTreeVisitor(const PatchCache* transferCache);

  // Deletes root\relativePath unless it is kept (see above) or the transfer cache has its entry; the
  // removal is written to the debugger output channel. Always true: the walk goes on.
  bool visitFile(const std::string& relativePath, const std::string& root, std::uint32_t attributes,
                 std::uint64_t size) override;

 private:
  const PatchCache* transferCache_;
};

}  // namespace korvel
