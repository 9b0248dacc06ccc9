// The clean-up of the staging folder.
#include "staging/staging_tree_visitor.h"

#include "common/text_format.h"
#include "patchcache/patch_cache.h"
#include "platform/environment.h"
#include "platform/files.h"

namespace korvel {

StagingTreeVisitor::StagingTreeVisitor(const PatchCache* transferCache) : transferCache_(transferCache) {}

bool StagingTreeVisitor::visitFile(const std::string& relativePath, const std::string& root, std::uint32_t,
                                   std::uint64_t) {
  if (relativePath.find(".tmp") != std::string::npos || relativePath.find(".xml") != std::string::npos) return true;
  const std::string path = root + "\\" + relativePath;
  if (transferCache_ && transferCache_->entry(path)) return true;
  platform::debugOutput(boundedFormat(1024, "StagingTreeVisitor::ProcessFile(): removing '%s'\n", path.c_str()));
  platform::deleteFile(path);
  return true;
}

}  // namespace korvel
