// The installation lock, against either backend: one holder at a time, even within one process; the
// next taker gets it once the holder goes; the file is made once and never written.
#include "platform/installation_lock.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace korvel::platform {
namespace {

using InstallationLockTest = test::TempDirTest;

TEST_F(InstallationLockTest, OneHolderAtATimeAndTheNextTakerGetsItWhenTheHolderGoes) {
  const std::string path = dir.file("lock");
  auto holder = InstallationLock::open(path);
  ASSERT_TRUE(holder);
  ASSERT_TRUE(holder->tryAcquire());
  EXPECT_TRUE(holder->tryAcquire()) << "a holder asking again still holds it";

  auto taker = InstallationLock::open(path);
  ASSERT_TRUE(taker) << "a second updater can open the file it waits for";
  EXPECT_FALSE(taker->tryAcquire());
  EXPECT_FALSE(taker->tryAcquire()) << "asking again while the holder is there changes nothing";

  holder.reset();
  EXPECT_TRUE(taker->tryAcquire());
  auto third = InstallationLock::open(path);
  ASSERT_TRUE(third);
  EXPECT_FALSE(third->tryAcquire());

  FileInfo info;
  ASSERT_TRUE(fileInfo(path, info));
  EXPECT_EQ(info.size, 0u);
}

TEST_F(InstallationLockTest, AFolderThatDoesNotExistGivesNoLock) {
  EXPECT_FALSE(InstallationLock::open(dir.file("missing\\lock")));
  EXPECT_FALSE(pathExists(dir.file("missing")));
}

}  // namespace
}  // namespace korvel::platform
