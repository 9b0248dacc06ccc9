// POSIX installation lock: flock on a descriptor of its own, closed on exec, so that the lock belongs
// to this process's open file alone and goes with it.
#include "platform/installation_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"

namespace korvel::platform {

namespace {

class FlockInstallationLock final : public InstallationLock {
 public:
  explicit FlockInstallationLock(int fd) : fd_(fd) {}
  ~FlockInstallationLock() override { ::close(fd_); }  // closing the only descriptor drops the lock

  bool tryAcquire() override {
    if (held_) return true;
    int result;
    do {
      result = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    held_ = result == 0;
    return held_;
  }

 private:
  int fd_;
  bool held_ = false;
};

}  // namespace

std::unique_ptr<InstallationLock> InstallationLock::open(const std::string& path) {
  // flock needs no write access: reading is enough, and the file's times never change.
  const int fd = ::open(nativePath(path).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return std::make_unique<FlockInstallationLock>(fd);
}

}  // namespace korvel::platform
