// The owner of one POSIX file descriptor, used by every file of the POSIX backend that opens one.
#pragma once

#include <unistd.h>

#include <utility>

namespace korvel::platform::posix {

// Closes its descriptor when it goes. A close whose result matters (the last write of a file reaches
// it only then) is made explicitly with close(), which says whether it worked; errno then tells why.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { close(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  explicit operator bool() const { return fd_ >= 0; }
  int get() const { return fd_; }

  // Closes now (nothing to do when none is held); false when the close reports a failure.
  bool close() {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
  }
  // Closes the one held, if any, and takes `fd`.
  void reset(int fd = -1) {
    close();
    fd_ = fd;
  }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

}  // namespace korvel::platform::posix
