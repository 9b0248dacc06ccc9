// UniqueFd: a moved descriptor stays open for its new owner, and an explicit close reports failure.
#include "platform/posix/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <gtest/gtest.h>

namespace korvel::platform::posix {
namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFdTest, MovedDescriptorClosesOnceAndACloseThatFailsSaysSo) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  UniqueFd taken(std::move(writeEnd));
  EXPECT_FALSE(writeEnd);
  EXPECT_TRUE(writeEnd.close());  // nothing held, nothing to report
  EXPECT_TRUE(isOpen(ends[1]));
  EXPECT_TRUE(taken.close());
  EXPECT_FALSE(isOpen(ends[1]));

  // A descriptor that is no longer open: the owner's close reports it, errno says why.
  UniqueFd stale(ends[1]);
  errno = 0;
  EXPECT_FALSE(stale.close());
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(stale);
}

}  // namespace
}  // namespace korvel::platform::posix
