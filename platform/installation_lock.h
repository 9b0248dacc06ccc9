// One updater per installation: an exclusive lock on a file of the installation folder, taken with
// the system's own file locking (LockFileEx on Win32, flock on POSIX), so that the system lets go of
// it when the process that holds it ends, however it ends.
//
// Locks are per open handle, not per process: two InstallationLock objects on the same file exclude
// each other within one process as well. The handle is never inherited by a started program, so a
// program this process starts (the sibling, a new copy of the updater) does not keep the lock.
#pragma once

#include <memory>
#include <string>

namespace korvel::platform {

class InstallationLock {
 public:
  // Opens the lock file at `path`, creating it when missing (hidden on Win32) and never writing to
  // it. Null when it can be neither opened nor created (a read-only folder). Does not take the lock.
  static std::unique_ptr<InstallationLock> open(const std::string& path);

  // Lets go of the lock when held, and closes the file (which stays in place for the next taker).
  virtual ~InstallationLock() = default;
  InstallationLock(const InstallationLock&) = delete;
  InstallationLock& operator=(const InstallationLock&) = delete;

  // Takes the lock when nobody holds it; never waits. True when this object holds it now (also when
  // it held it already). Any thread, but one object is used by one thread at a time.
  virtual bool tryAcquire() = 0;

 protected:
  InstallationLock() = default;
};

}  // namespace korvel::platform
