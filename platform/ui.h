// The user interface the launcher needs: its thread's message queue, message boxes, the hidden
// message window and the splash progress window.
//
// Win32: USER32, GDI32 and the common controls' progress bars. POSIX: there is no message queue;
// message boxes and the progress window are written to standard error (redrawn in place on a
// terminal, plain lines otherwise), and the pumps are where the UI thread acts on Ctrl-C / SIGTERM,
// which the progress window treats as its close box.
// Every call except the progress window's notifications must be made on the UI thread; the progress
// window's setStatus, setBarPosition, setTransfer and fileUpdated may be called from any thread
// (Win32 marshals them to the UI thread through SendMessage / SetWindowText, which is why the UI
// thread keeps pumping).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace korvel::platform {

// Both pumps below first let the progress window made on this thread take what its owner has for it
// (Events::pumped).
// PeekMessage(PM_NOREMOVE): whether a message is waiting in this thread's queue. POSIX: always false;
// on the thread that made the progress window it first delivers a pending interrupt as the window's
// stop request and redraws the window when it is due.
bool messageWaiting();
// GetMessage, and when it returns a positive value TranslateMessage and DispatchMessage. Returns the
// GetMessage result (0 for WM_QUIT, -1 on error, 1 otherwise); call only when messageWaiting().
int getAndDispatchMessage();
// PeekMessage(PM_REMOVE), TranslateMessage, DispatchMessage: false when the queue was empty. POSIX:
// as messageWaiting.
bool dispatchWaitingMessage();

// Stores the module instance handle WinMain was given (the program's resources live there); the
// entry point calls it before anything else. POSIX has no such handle and ignores it.
void setModuleInstance(void* instance);

// MessageBox(no owner, text, caption, MB_OK). With KORVEL_MESSAGE_BOXES=stderr in the environment
// Win32 writes "caption: text" to standard error instead, as POSIX always does: runs nobody watches
// (the test programs under Wine) would otherwise wait forever for the OK button.
void messageBox(const std::string& text, const std::string& caption);

// The splash bitmap (bitmap resource 112). Win32 loads it with LoadImage; POSIX decodes the copy that
// is compiled into the program. isLoaded() is false when the resource is missing.
class SplashBitmap {
 public:
  static std::unique_ptr<SplashBitmap> load();
  virtual ~SplashBitmap() = default;
  virtual int width() const = 0;
  virtual int height() const = 0;
};

// The hidden message window of the launcher (class "LauncherMsgHWND", title "SCMsgHWND"). Never shown.
class MessageWindow {
 public:
  // Null when the window cannot be created.
  static std::unique_ptr<MessageWindow> create();
  virtual ~MessageWindow() = default;
};

// The borderless splash window with the status line and the two progress bars.
//
// POSIX: on a terminal (standard error a TTY, TERM neither unset nor "dumb") the status line and the
// bars are redrawn in place at most ten times a second, fitted to the terminal's width, and replaced
// by a one-line summary at the end; NO_COLOR drops the colour. Otherwise plain lines for a log: one
// per file brought up to date, the download's progress in 10% steps, the summary. While the window
// exists the first Ctrl-C or SIGTERM is its close box; a second one ends the process at once with
// 128 + the signal's number (130 for Ctrl-C).
class ProgressWindow {
 public:
  struct Events {
    // The user asked to close the window (close box, the hot spot in the top right corner, or on
    // POSIX Ctrl-C / SIGTERM). Called on the UI thread.
    std::function<void()> stopRequested;
    // The UI thread's message pumps pass by (messageWaiting, dispatchWaitingMessage): the owner may
    // hand the window what it is to show now. Called on the UI thread, never from inside the window's
    // own calls.
    std::function<void()> pumped;
  };
  // The figures of the download pass that a text front end shows beside the bars.
  struct Transfer {
    std::int64_t bytesDone = 0;
    std::int64_t bytesTotal = 0;      // 0 while there is nothing to download
    std::int64_t bytesPerSecond = 0;  // 0 until a rate has been measured
    std::int64_t expectedFinish = 0;  // seconds since 1970; 0 while there is no estimate
  };
  // What the run came to, for the closing line of a text front end.
  struct Summary {
    bool manifestLoaded = false;
    bool stopped = false;
    bool upToDate = false;  // nothing is left to update at the end
    bool installationBusy = false;  // another updater kept the installation for longer than the wait
    int filesChecked = 0;
    int filesUpdated = 0;
    std::int64_t bytesDownloaded = 0;
  };
  // Creates and shows the window sized by the bitmap; null when there is no bitmap or creation fails.
  static std::unique_ptr<ProgressWindow> create(const SplashBitmap* bitmap, Events events);
  virtual ~ProgressWindow() = default;  // hides and destroys the window

  virtual void setStatus(const std::string& text) = 0;
  // bar: 0 the lower (main) bar, 1 the upper (file) bar; position 0..100.
  virtual void setBarPosition(int bar, int position) = 0;

  // Text front ends only; the splash window has no room for them and ignores them.
  virtual void setTransfer(const Transfer& figures) {}
  // A file was brought up to date: downloaded whole, or `patched` from delta data.
  virtual void fileUpdated(const std::string& name, bool patched) {}
  // The run is over (UI thread, before the window is destroyed): the summary line is left behind.
  virtual void finish(const Summary& summary) {}
};

}  // namespace korvel::platform
