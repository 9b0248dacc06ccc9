// The launcher: option accumulation, the patch server setting, the progress window's notifications
// and the run sequence with and without a splash bitmap.
#include "launcher/launcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/files.h"
#include "session/patcher.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_current_directory.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

Launcher& withDefaults(Launcher& launcher) {
  launcher.addOptions("/game:ryx");
  launcher.addOptions("/env:testserver");
  return launcher;
}

TEST(LauncherOptionsTest, GivenGameOptionNeverReplacesTheDefault) {
  Launcher launcher;
  withDefaults(launcher).addOptions("/game:abc /foo");
  ASSERT_NE(launcher.gameCode(), nullptr);
  EXPECT_STREQ(launcher.gameCode(), "ryx");
  EXPECT_EQ(launcher.passThroughArguments(), "/game:ryx /env:testserver /foo ");
}

TEST(LauncherOptionsTest, GamePatchPathIsDroppedWhateverItsCase) {
  Launcher launcher;
  withDefaults(launcher).addOptions("/GamePatchPath:C:\\x \\GAMEPATCHPATH:y /keep");
  EXPECT_EQ(launcher.passThroughArguments(), "/game:ryx /env:testserver /keep ");
}

TEST(LauncherOptionsTest, QuotedTokenKeepsItsQuotesOnlyWhenItHasABlank) {
  Launcher launcher;
  launcher.addOptions("\"/path:C:\\My Games\" \"/plain\" '/single quoted'");
  EXPECT_EQ(launcher.passThroughArguments(), "\"/path:C:\\My Games\" /plain \"/single quoted\" ");
}

TEST(LauncherOptionsTest, GameCodeRules) {
  Launcher launcher;
  EXPECT_TRUE(launcher.addOptions(nullptr));
  launcher.addOptions("/game:");  // exactly six characters: dropped, no game code
  EXPECT_EQ(launcher.gameCode(), nullptr);
  EXPECT_EQ(launcher.passThroughArguments(), "");
  // Backslashes count as slashes and the letter case of the code is kept.
  launcher.addOptions("\\GAME:AbC");
  ASSERT_NE(launcher.gameCode(), nullptr);
  EXPECT_STREQ(launcher.gameCode(), "AbC");
  EXPECT_EQ(launcher.passThroughArguments(), "\\GAME:AbC ");
}

TEST(LauncherOptionsTest, LongOptionListsAreCutBetweenWholeOptions) {
  Launcher launcher;
  withDefaults(launcher);
  const std::string option = "/option" + std::string(93, 'x');  // 100 characters
  for (int i = 0; i < 12; ++i) launcher.addOptions(option.c_str());
  launcher.addOptions("/z");
  const std::string& text = launcher.passThroughArguments();
  // 26 characters of defaults, then nine options of 101 characters fit; the tenth would pass 1023.
  EXPECT_EQ(text.size(), 26u + 9u * 101u);
  EXPECT_EQ(text.substr(text.size() - 101), option + " ");
  EXPECT_EQ(text.find("/z"), std::string::npos);
}

TEST(PatchServerTest, TheEnvironmentsListOverridesTheBuiltInHost) {
  {
    test::ScopedEnvironment env("KORVEL_PATCH_SERVER", "10.1.2.3:9000, bad:port ,https://cdn.example");
    const PatchServers servers = defaultPatchServers();
    EXPECT_EQ(serverListText(servers.servers), "10.1.2.3:9000,https://cdn.example:443");
    EXPECT_EQ(servers.refused, std::vector<std::string>{"bad:port"});
  }
  {
    test::ScopedEnvironment env("KORVEL_PATCH_SERVER", "bad:port");
    const PatchServers servers = defaultPatchServers();
    ASSERT_EQ(servers.servers.size(), 1u) << "nothing parses: the built-in host";
    EXPECT_EQ(servers.servers[0].host, KORVEL_DEFAULT_PATCH_HOST);
    EXPECT_EQ(servers.servers[0].port, 7000);
  }
  test::ScopedEnvironment env("KORVEL_PATCH_SERVER", std::nullopt);
  EXPECT_EQ(defaultPatchServers().servers.at(0).host, KORVEL_DEFAULT_PATCH_HOST);
}

// What the fake progress window was told, kept beyond the window's life.
struct WindowLog {
  std::vector<std::string> status;
  std::vector<std::pair<int, int>> bars;  // (bar, position)
  bool destroyed = false;
  platform::ProgressWindow::Events events;
};

class FakeWindow : public platform::ProgressWindow {
 public:
  explicit FakeWindow(std::shared_ptr<WindowLog> log) : log_(std::move(log)) {}
  ~FakeWindow() override { log_->destroyed = true; }
  void setStatus(const std::string& text) override { log_->status.push_back(text); }
  void setBarPosition(int bar, int position) override { log_->bars.emplace_back(bar, position); }

 private:
  std::shared_ptr<WindowLog> log_;
};

class FakeBitmap : public platform::SplashBitmap {
 public:
  int width() const override { return 300; }
  int height() const override { return 234; }
};

class WindowedLauncher : public Launcher {
 public:
  std::shared_ptr<WindowLog> window = std::make_shared<WindowLog>();

 protected:
  std::unique_ptr<platform::ProgressWindow> makeProgressWindow(const platform::SplashBitmap* bitmap,
                                                               platform::ProgressWindow::Events events) override {
    if (!bitmap) return nullptr;
    window->events = std::move(events);
    return std::make_unique<FakeWindow>(window);
  }
};

TEST(LauncherWindowTest, NotificationsReachTheRightControls) {
  WindowedLauncher launcher;
  launcher.setSplashBitmap(std::make_unique<FakeBitmap>());
  ASSERT_TRUE(launcher.createProgressWindow());
  // Each value reaches the window when the pump hands it over; one it shows already is not sent again.
  for (int bar : {0, 3, 1, 2, 7, 7}) {
    launcher.progressPosition(10 + bar, bar);
    launcher.showLatest();
  }
  EXPECT_TRUE(launcher.progressRange(500, 0));
  launcher.fileStarted(nullptr);
  launcher.fileStarted("data.pak");
  launcher.showLatest();
  launcher.reportFile("patch\\ryx\\music.ogg", kNoticeDownloadStarts);
  launcher.showLatest();
  EXPECT_THAT(launcher.window->bars, ElementsAre(std::make_pair(0, 10), std::make_pair(0, 13), std::make_pair(1, 11),
                                                 std::make_pair(1, 12), std::make_pair(1, 17)));
  EXPECT_THAT(launcher.window->status, ElementsAre("data.pak", "music.ogg"));
}

TEST(LauncherWindowTest, ManyFilesReachTheWindowAtAReadersPace) {
  WindowedLauncher launcher;
  launcher.setSplashBitmap(std::make_unique<FakeBitmap>());
  ASSERT_TRUE(launcher.createProgressWindow());
  constexpr int kFiles = 20000;
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> done{false};
  std::thread session([&] {
    for (int file = 1; file <= kFiles; ++file) {
      const std::string name = "data\\file_" + std::to_string(file) + ".pak";
      launcher.fileStarted(name.c_str());
      launcher.progressPosition(file * 100 / kFiles, kBarOverall);
      launcher.progressPosition(100, 1);
    }
    done.store(true);
  });
  // The UI thread's pumps, as the platform calls them.
  ASSERT_TRUE(launcher.window->events.pumped);
  while (!done.load()) launcher.window->events.pumped();
  session.join();
  launcher.showLatest();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  // One delivery per interval at most, and the last file and the full bar are never lost.
  const std::size_t deliveries = static_cast<std::size_t>(elapsed.count() / WindowFeed::kIntervalMs) + 2;
  EXPECT_LE(launcher.window->status.size(), deliveries);
  ASSERT_FALSE(launcher.window->status.empty());
  EXPECT_EQ(launcher.window->status.back(), "data\\file_20000.pak");
  EXPECT_LE(launcher.window->bars.size(), 2 * deliveries);
  const auto lastLower = std::find_if(launcher.window->bars.rbegin(), launcher.window->bars.rend(),
                                      [](const std::pair<int, int>& entry) { return entry.first == 0; });
  ASSERT_NE(lastLower, launcher.window->bars.rend());
  EXPECT_EQ(lastLower->second, 100);
  EXPECT_EQ(std::count(launcher.window->bars.begin(), launcher.window->bars.end(), std::make_pair(1, 100)), 1);
}

TEST(LauncherRunTest, WithoutSplashBitmapTheSequenceIsSkipped) {
  WindowedLauncher launcher;
  test::LogCapture log(launcher.patcher());
  EXPECT_EQ(launcher.runSequence(), -1);
  EXPECT_THAT(log.lines(), IsEmpty());
  EXPECT_FALSE(launcher.isBusy());
  // Without a window the notifications change nothing.
  EXPECT_TRUE(launcher.progressPosition(50, 0));
  EXPECT_TRUE(launcher.fileStarted("x"));
  EXPECT_THAT(launcher.window->bars, IsEmpty());
  EXPECT_THAT(launcher.window->status, IsEmpty());
}

TEST(LauncherRunTest, SequenceLoadsTheManifestAndClosesTheWindow) {
  test::ScopedEnvironment env("KORVEL_PATCH_SERVER", "127.0.0.1:1");
  // The sequence locks the installation it runs in: a scratch folder, not the test's.
  test::TempDir installation;
  test::ScopedCurrentDirectory inInstallation(installation.path());
  WindowedLauncher launcher;
  EXPECT_EQ(Launcher::instance(), &launcher);
  test::LogCapture log(launcher.patcher());
  launcher.setSplashBitmap(std::make_unique<FakeBitmap>());
  EXPECT_EQ(launcher.runSequence(), 0);
  EXPECT_TRUE(log.logged("Creating Thread...\n"));
  EXPECT_FALSE(launcher.isBusy());
  EXPECT_TRUE(launcher.window->destroyed);
  EXPECT_EQ(launcher.siblingDirectory(), platform::currentDirectory());
}

TEST(LauncherRunTest, WindowStopRequestStopsTheSession) {
  WindowedLauncher launcher;
  launcher.setSplashBitmap(std::make_unique<FakeBitmap>());
  ASSERT_TRUE(launcher.createProgressWindow());
  ASSERT_TRUE(launcher.window->events.stopRequested);
  launcher.window->events.stopRequested();
  EXPECT_TRUE(launcher.sessionHasFailed());
  EXPECT_TRUE(launcher.patcher()->stopRequested());
}

}  // namespace
}  // namespace korvel
