// A scratch folder per test, removed at teardown, and small file helpers for fixtures.
#pragma once

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace korvel::test {

// Makes a fresh folder under the system's temporary folder and removes it (with all it holds) when
// destroyed. path() uses the core's '\' separators; native() the operating system's.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string native() const;
  // path() + '\' + relative (relative may use either separator).
  std::string file(const std::string& relative) const;

 private:
  std::string path_;
};

// Writes `content` to the file (creating parent folders); false on failure.
bool writeFile(const std::string& path, const std::string& content);
// The whole file, or an empty text when it cannot be read (check exists() where that matters).
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// Sets the last-write time of a file (seconds since 1970).
bool setModified(const std::string& path, std::int64_t seconds);

// A test fixture with a scratch folder in `dir` and the fault seams reset after each test.
class TempDirTest : public ::testing::Test {
 protected:
  void TearDown() override;
  TempDir dir;
};

}  // namespace korvel::test
