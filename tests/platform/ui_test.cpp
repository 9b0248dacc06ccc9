// The user interface backend: splash bitmap resource, hidden message window and a real progress window.
#include "platform/ui.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/support/scoped_environment.h"

namespace korvel::platform {
namespace {

// Handles what the windows queued, bounded so a chatty window cannot hold the test.
int drainMessages() {
  int handled = 0;
  while (handled < 1000 && dispatchWaitingMessage()) ++handled;
  return handled;
}

TEST(UiTest, UnattendedMessageBoxGoesToStandardError) {
  test::ScopedEnvironment unattended("KORVEL_MESSAGE_BOXES", "stderr");
  ::testing::internal::CaptureStderr();
  messageBox("Could not run it.", "Error");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Could not run it.\n");
}

TEST(UiTest, SplashBitmapIsTheCompiledInResource) {
  const auto bitmap = SplashBitmap::load();
  ASSERT_NE(bitmap, nullptr);
  EXPECT_EQ(bitmap->width(), 300);
  EXPECT_EQ(bitmap->height(), 234);
}

TEST(UiTest, MessageWindowIsCreated) {
  auto window = MessageWindow::create();
  EXPECT_NE(window, nullptr);
  drainMessages();
}

TEST(UiTest, ProgressWindowNeedsABitmap) {
  EXPECT_EQ(ProgressWindow::create(nullptr, {}), nullptr);
}

TEST(UiTest, ProgressWindowShowsMovesBarsAndGoes) {
  const auto bitmap = SplashBitmap::load();
  ASSERT_NE(bitmap, nullptr);
  int stops = 0;
  auto window = ProgressWindow::create(bitmap.get(), ProgressWindow::Events{[&stops] { ++stops; }, nullptr});
  ASSERT_NE(window, nullptr);
  drainMessages();
  window->setStatus("wendrel.pak");
  window->setBarPosition(0, 40);
  window->setBarPosition(1, 100);
  window->setBarPosition(1, 0);
  drainMessages();
  window.reset();
  drainMessages();
  // Nothing asked the window to close.
  EXPECT_EQ(stops, 0);
  EXPECT_FALSE(messageWaiting());
}

// The worker's notifications wait for the windows' thread (Win32 sends them), and that thread spends
// most of a run in the launcher's short sleeps between pumps: the sleeps must let them through.
TEST(UiTest, NotificationsFromAnotherThreadGetThroughWhileTheWindowsThreadSleeps) {
  const auto bitmap = SplashBitmap::load();
  ASSERT_NE(bitmap, nullptr);
  auto window = ProgressWindow::create(bitmap.get(), {});
  ASSERT_NE(window, nullptr);
  drainMessages();
  std::atomic<bool> delivered{false};
  std::thread worker([&] {
    window->setStatus("wendrel.pak");
    window->setBarPosition(1, 50);
    delivered.store(true);
  });
  // Nothing is pumped here but by the sleeps themselves.
  for (int slept = 0; slept < 200 && !delivered.load(); ++slept) sleepMs(50);
  const bool deliveredWhileSleeping = delivered.load();
  while (!delivered.load()) {
    drainMessages();
    std::this_thread::yield();
  }
  worker.join();
  EXPECT_TRUE(deliveredWhileSleeping);
  window.reset();
  drainMessages();
}

}  // namespace
}  // namespace korvel::platform
