// Win32 installation lock: LockFileEx on the first byte of a hidden file, on a handle that is not
// inherited; Windows releases the lock when the handle is closed or the process ends.
#include "platform/installation_lock.h"

#include "platform/win32/windows_prelude.h"

namespace korvel::platform {

namespace {

class FileRegionInstallationLock final : public InstallationLock {
 public:
  explicit FileRegionInstallationLock(HANDLE file) : file_(file) {}
  ~FileRegionInstallationLock() override {
    if (held_) {
      OVERLAPPED region{};
      ::UnlockFileEx(file_.get(), 0, 1, 0, &region);
    }
  }

  bool tryAcquire() override {
    if (held_) return true;
    OVERLAPPED region{};
    held_ = ::LockFileEx(file_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region) != 0;
    return held_;
  }

 private:
  win32::ScopedFileHandle file_;
  bool held_ = false;
};

}  // namespace

std::unique_ptr<InstallationLock> InstallationLock::open(const std::string& path) {
  // Other updaters open the same file to wait for it; nobody may delete or replace it meanwhile.
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<FileRegionInstallationLock>(file);
}

}  // namespace korvel::platform
