// Makes a folder the current directory for the length of a test (temporary files of the session are
// made there, and a session made meanwhile takes it as its installation folder).
#pragma once

#include <string>

namespace korvel::test {

class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::string& folder);
  ~ScopedCurrentDirectory();
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  std::string previous_;
};

}  // namespace korvel::test
