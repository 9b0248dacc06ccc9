// The worker thread on kept system threads: each start runs its own work and reports its own code,
// however the threads behind it are handed round.
#include "common/worker_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace korvel {
namespace {

TEST(WorkerThreadTest, EveryStartReportsItsOwnCodeWhileThreadsAreTakenAgain) {
  WorkerThread first, second;
  std::atomic<int> ran{0};
  for (int round = 0; round < 40; ++round) {
    ASSERT_TRUE(first.start([&, round] { ++ran; return round; }));
    EXPECT_FALSE(first.start([] { return -7; })) << "one thread at a time";
    ASSERT_TRUE(second.start([&, round] { ++ran; return 1000 + round; }));
    EXPECT_EQ(first.wait(), round);
    EXPECT_EQ(second.wait(), 1000 + round);
    EXPECT_EQ(first.wait(), round) << "a finished thread keeps its code until it is forgotten";
    first.closeHandle();
    second.closeHandle();
    EXPECT_EQ(first.wait(), -1);
  }
  EXPECT_EQ(ran.load(), 80);

  // Work forgotten while it runs goes on, and its result never reaches the next start.
  std::atomic<bool> release{false}, forgottenEnded{false};
  ASSERT_TRUE(first.start([&] {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    forgottenEnded.store(true);
    return 5;
  }));
  first.closeHandle();
  ASSERT_TRUE(first.start([] { return 6; }));
  EXPECT_EQ(first.wait(), 6);
  release.store(true);
  for (int i = 0; i < 2000 && !forgottenEnded.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(forgottenEnded.load());
}

TEST(WorkerThreadTest, AThreadCannotWaitForItself) {
  WorkerThread worker;
  std::atomic<bool> started{false};
  std::atomic<int> inside{0};
  ASSERT_TRUE(worker.start([&] {
    while (!started.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    inside.store(worker.wait());
    return 3;
  }));
  started.store(true);  // the worker holds its thread from here
  EXPECT_EQ(worker.wait(), 3);
  EXPECT_EQ(inside.load(), -1);
}

}  // namespace
}  // namespace korvel
