// POSIX installation lock: flock on a descriptor of its own, closed on exec, so that the lock belongs
// to this process's open file alone and goes with it.
#include "platform/installation_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/files.h"
#include "platform/posix/unique_fd.h"

namespace korvel::platform {

namespace {

class FlockInstallationLock final : public InstallationLock {
 public:
  // Closing the only descriptor (fd_ goes with the object) drops the lock.
  explicit FlockInstallationLock(posix::UniqueFd fd) : fd_(std::move(fd)) {}

  bool tryAcquire() override {
    if (held_) return true;
    int result;
    do {
      result = ::flock(fd_.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    held_ = result == 0;
    return held_;
  }

 private:
  posix::UniqueFd fd_;
  bool held_ = false;
};

}  // namespace

std::unique_ptr<InstallationLock> InstallationLock::open(const std::string& path) {
  // flock needs no write access: reading is enough, and the file's times never change.
  posix::UniqueFd fd(::open(nativePath(path).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return nullptr;
  return std::make_unique<FlockInstallationLock>(std::move(fd));
}

}  // namespace korvel::platform
