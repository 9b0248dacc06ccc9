// The current directory moved for a test and restored afterwards.
#include "tests/support/scoped_current_directory.h"

#include "platform/files.h"

namespace korvel::test {

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::string& folder) : previous_(platform::currentDirectory()) {
  platform::setCurrentDirectory(folder);
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() { platform::setCurrentDirectory(previous_); }

}  // namespace korvel::test
