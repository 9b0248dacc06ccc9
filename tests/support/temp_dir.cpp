// Scratch folders and small file helpers for the tests.
#include "tests/support/temp_dir.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/faults.h"
#include "platform/files.h"

namespace korvel::test {

namespace fs = std::filesystem;

static std::string toCore(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path candidate = base / ("korvel-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = toCore(candidate.string());
      break;
    }
  }
}

TempDir::~TempDir() {
  std::error_code error;
  // Undo read-only marks a test left behind so that removal succeeds.
  for (auto it = fs::recursive_directory_iterator(native(), error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(native(), error);
}

std::string TempDir::native() const { return platform::nativePath(path_); }

std::string TempDir::file(const std::string& relative) const { return path_ + "\\" + toCore(relative); }

bool writeFile(const std::string& path, const std::string& content) {
  fs::path native = platform::nativePath(toCore(path));
  std::error_code error;
  if (native.has_parent_path()) fs::create_directories(native.parent_path(), error);
  std::ofstream out(native, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

std::string readFile(const std::string& path) {
  std::ifstream in(platform::nativePath(toCore(path)), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) { return platform::pathExists(toCore(path)); }

bool setModified(const std::string& path, std::int64_t seconds) { return platform::setFileTime(toCore(path), seconds); }

void TempDirTest::TearDown() { platform::faults::reset(); }

}  // namespace korvel::test
