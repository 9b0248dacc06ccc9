// The default answers of the folder tree walker's visitor.
#include "patchcache/tree_walk_visitor.h"

namespace korvel {

TreeWalkVisitor::~TreeWalkVisitor() = default;

bool TreeWalkVisitor::beginWalk(const std::string&) { return true; }

bool TreeWalkVisitor::endWalk(const std::string&) { return true; }

bool TreeWalkVisitor::enterFolder(const std::string&, const std::string&, std::uint32_t) { return true; }

bool TreeWalkVisitor::leaveFolder(const std::string&, const std::string&) { return true; }

bool TreeWalkVisitor::visitFile(const std::string&, const std::string&, std::uint32_t, std::uint64_t) { return true; }

bool TreeWalkVisitor::visitFileWithTime(const std::string& relativePath, const std::string& root,
                                        std::uint32_t attributes, std::uint64_t size, std::int64_t) {
  return visitFile(relativePath, root, attributes, size);
}

}  // namespace korvel
