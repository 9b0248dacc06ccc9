// The visitor of the folder tree walker: told about every folder and file below a root, it decides
// whether to descend and whether to go on. Every default answers true.
#pragma once

#include <cstdint>
#include <string>

namespace korvel {

// Arguments: relativePath is the path below root with '\' separators (empty for the root itself);
// root is the walked folder exactly as passed to the walker; attributes are the Win32 attribute bits;
// size is the full 64-bit file size; time is the last-write time in seconds since 1970-01-01 UTC.
// The virtual operations are declared in their fixed slot order.
class TreeWalkVisitor {
 public:
  virtual ~TreeWalkVisitor();
  virtual bool beginWalk(const std::string& root);
  virtual bool endWalk(const std::string& root);
  // true descends into the folder; false skips it and also ends the walk of the folder containing it.
  virtual bool enterFolder(const std::string& relativePath, const std::string& root, std::uint32_t attributes);
  // Called for every folder whose enterFolder was called, whatever that answered.
  virtual bool leaveFolder(const std::string& relativePath, const std::string& root);
  virtual bool visitFile(const std::string& relativePath, const std::string& root, std::uint32_t attributes,
                         std::uint64_t size);
  // The call the walker makes for each file; by default visitFile without the time. false ends the
  // walk of the folder holding the file and of the folders above it.
  virtual bool visitFileWithTime(const std::string& relativePath, const std::string& root, std::uint32_t attributes,
                                 std::uint64_t size, std::int64_t time);
};

}  // namespace korvel
