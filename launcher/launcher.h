// The launcher: the concrete client of the patch session with the option list handed to the sibling
// launcher program, the hidden message window, the splash progress window and the fixed run sequence.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "launcher/patch_client.h"
#include "launcher/window_feed.h"
#include "transfer/server_address.h"
#include "platform/installation_lock.h"
#include "platform/ui.h"

namespace korvel {

// Where the manifest is fetched from.
// The patch servers of the run sequence: the list KORVEL_PATCH_SERVER gives
// ("cdn1.example:7000,https://cdn2.example", transfer/server_address.h) when any entry of it parses,
// else the compile-time KORVEL_DEFAULT_PATCH_HOST (a list of the same form), an entry without a port
// on 7000 (443 for https). `refused` holds the entries that do not parse, each to be named once.
struct PatchServers {
  static constexpr int kDefaultPort = 7000;
  std::vector<ServerAddress> servers;
  std::vector<std::string> refused;
};
PatchServers defaultPatchServers();

class Launcher : public PatchClient {
 public:
  // passThroughArguments holds at most kPassThroughCapacity - 1 characters.
  static constexpr std::size_t kPassThroughCapacity = 1024;
  static constexpr const char* kSiblingProgram = "Wendrel.exe";
  static constexpr const char* kSiblingDistribution = "Wendrel Distribution";
  static constexpr const char* kManifestPath = "patch/wendrel/wendrelonly.xml.gz";

  // Stores the process-wide instance pointer and creates the hidden message window (on failure a
  // "CreateWindow Failed" message box, and the launcher goes on without it). UI thread only.
  Launcher();
  // Waits (10 ms steps) for a session job still running, so its notifications never reach a
  // half-destroyed launcher, then destroys the launcher and the session.
  ~Launcher() override;

  // The one launcher of the process, or null.
  static Launcher* instance();

  // Splits `text` (quote mode, on blanks) and accumulates its options:
  // - a token whose lower-cased form (backslashes read as slashes) contains "/game:" is kept only
  //   when it is longer than 6 characters and no game code is set yet; the game code is then the
  //   token from its seventh character on;
  // - otherwise a token containing "/gamepatchpath:" is dropped;
  // - every other token is kept, in double quotes when it contains a blank.
  // Kept tokens are appended in order, each followed by one blank. The list is cut between whole
  // options: the first option that would take it beyond 1023 characters is left out, and so is
  // every later one. A null text does nothing. Always true.
  bool addOptions(const char* text);

  // The splash bitmap that sizes the progress window (null: no window, the run sequence is skipped).
  void setSplashBitmap(std::unique_ptr<platform::SplashBitmap> bitmap);
  // Creates and shows the progress window; false when there is no splash bitmap or creation fails.
  bool createProgressWindow();

  // The fixed sequence: progress window, manifest load, test of the sibling distribution and its
  // update when needed, all while pumping messages; the window is given the run's summary before it
  // goes. Once the window has asked to stop, no update is started. -1 when the progress window
  // cannot be made, else the sibling distribution's update amount (0 when it is current). UI thread
  // only.
  std::int64_t runSequence();

  // Starts the sibling launcher program from its folder with its own path, "/gamepatchpath:" naming the
  // folder the updater ran in, the accumulated options (the given command line's added by the same
  // rules) and "/restarted", then waits four seconds. When the program is missing or cannot be started,
  // a message box says so (no wait when it is missing). True when it was started or not found.
  bool handOff(const char* commandLine);
  // The text of the message box shown when the sibling program cannot be run.
  static std::string siblingMissingMessage();
  // The wait after starting the sibling (4000 ms); tests shorten it.
  void setHandOffWait(std::uint32_t milliseconds) { handOffWaitMs_ = milliseconds; }

  // One pass of the message pump: up to five waiting messages, then a 10 ms sleep. Never blocks on
  // an empty queue. Returns the number of messages handled. Like every pump of the UI thread it hands
  // the progress window the status and bars the session asked for (WindowFeed).
  int pumpMessages();
  // UI thread: the progress window shows the latest status line and bar positions now.
  void showLatest();

  // Slot 29.
  bool readyToRun() override;

  const std::string& passThroughArguments() const { return passThroughArguments_; }
  // The game code, or null when none was accepted.
  const char* gameCode() const { return gameCode_ ? gameCode_->c_str() : nullptr; }
  const std::string& siblingDirectory() const { return siblingDirectory_; }
  // Where handOff looks for the sibling program (the run sequence sets it from the install location).
  void setSiblingDirectory(std::string directory) { siblingDirectory_ = std::move(directory); }
  // Whether a new copy of the program was started to take over (restartRequested): that instance
  // goes on to the hand-off, so this one must not start the sibling too.
  bool handedOverToNewCopy() const { return handedOverToNewCopy_.load(); }
  // The installation's lock, which the run sequence took before loading the manifest (null when it
  // took none). The caller keeps it until the launcher and its session are gone, so that no other
  // updater works on the installation while this process may still write to it.
  std::unique_ptr<platform::InstallationLock> takeInstallationLock() { return std::move(installationLock_); }
  // How long the run sequence waits for another updater to let go of the installation:
  // KORVEL_LOCK_WAIT seconds when it is set to a number, else five minutes.
  static std::uint32_t installationWaitMs();

  // Overrides of the session's notifications.
  // Watches for files brought up to date (kind 100, a finished tracked download) and tells the
  // window; not handled, so the usual notifications follow.
  bool fileNotice(const char* name, int kind) override;
  bool scanStarted() override;
  // Shows the name in the status line (a null name changes nothing). The status line and the bars
  // reach the window through the UI thread's pumps (WindowFeed), the other figures straight away.
  bool fileStarted(const char* fileName) override;
  bool downloadFinished() override;
  bool stopped() override;
  // A new copy of the running program is in place under its temporary name: it is started, and this
  // instance closes its window at the end of its run and leaves the hand-off to it.
  bool restartRequested(const char* fileName, bool isOwnProgram) override;
  // Errors are not shown.
  bool error(int code, const char* message) override;
  bool reservedSlot12(int first, int second) override;
  // Passes the finish estimate to the window with the download's figures.
  bool timeEstimate(std::int64_t expectedFinish, std::int64_t secondsLeft) override;
  // Both bars keep the range 0..100.
  bool progressRange(int maximum, int bar) override;
  // Channels 0 and 3 move the lower bar, every other channel the upper bar; channel 3 also passes
  // the download's figures (bytes done and expected, measured rate) from the rate table.
  bool progressPosition(int position, int bar) override;

 protected:
  // Makes the progress window (platform::ProgressWindow unless a test supplies another).
  virtual std::unique_ptr<platform::ProgressWindow> makeProgressWindow(const platform::SplashBitmap* bitmap,
                                                                       platform::ProgressWindow::Events events);
  // Starts a program (platform::startProcess unless a test supplies another).
  virtual bool startProgram(const std::string& program, const std::string& commandLine,
                            const std::string& currentDirectory);
  // Shows a message box with an OK button (platform::messageBox unless a test supplies another).
  virtual void showMessage(const std::string& text, const std::string& caption);

 private:
  void appendPassThrough(const std::string& option);
  // The sibling launcher's folder: the application paths entry of the sibling program (value "Path"),
  // else the current directory; the current directory when the folder fails the access test.
  std::string findSiblingDirectory() const;
  platform::ProgressWindow::Transfer transferFigures() const;
  // Takes the lock of the installation in `folder`, waiting (status line, message pump) while another
  // updater holds it, up to installationWaitMs(). False when the run must not touch the installation:
  // the window asked to stop meanwhile, or the wait's bound passed (installationBusy_ is then set).
  // True as well when the lock file cannot be opened: a folder nobody can write to has nothing to
  // guard.
  bool awaitInstallation(const std::string& folder);

  std::string passThroughArguments_;
  bool passThroughCut_ = false;
  std::unique_ptr<platform::MessageWindow> messageWindow_;
  std::unique_ptr<platform::ProgressWindow> progressWindow_;
  WindowFeed windowFeed_;
  std::optional<std::string> gameCode_;
  std::string siblingDirectory_;
  std::unique_ptr<platform::SplashBitmap> splashBitmap_;
  std::uint32_t handOffWaitMs_ = 4000;
  std::atomic<bool> handedOverToNewCopy_{false};
  std::unique_ptr<platform::InstallationLock> installationLock_;
  bool installationBusy_ = false;
  // The window asked to stop (UI thread); the counters below are written by the session's
  // notifications, on whichever thread raises them.
  std::atomic<bool> stopAsked_{false};
  std::atomic<int> filesUpdated_{0};
  std::atomic<std::int64_t> expectedFinish_{0};
};

}  // namespace korvel
