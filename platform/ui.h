// The user interface the launcher needs: its thread's message queue, message boxes, the hidden
// message window and the splash progress window.
//
// Win32: USER32, GDI32 and the common controls' progress bars. POSIX: there is no message queue (the
// pumps find nothing to do), message boxes and the progress window are written to standard error.
// Every call except the progress window's notifications must be made on the UI thread; the progress
// window's setStatus and setBarPosition may be called from any thread (Win32 marshals them to the
// UI thread through SendMessage / SetWindowText, which is why the UI thread keeps pumping).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace korvel::platform {

// PeekMessage(PM_NOREMOVE): whether a message is waiting in this thread's queue.
bool messageWaiting();
// GetMessage, and when it returns a positive value TranslateMessage and DispatchMessage. Returns the
// GetMessage result (0 for WM_QUIT, -1 on error, 1 otherwise); call only when messageWaiting().
int getAndDispatchMessage();
// PeekMessage(PM_REMOVE), TranslateMessage, DispatchMessage: false when the queue was empty.
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
class ProgressWindow {
 public:
  struct Events {
    // The user asked to close the window (close box or the hot spot in the top right corner).
    // Called on the UI thread.
    std::function<void()> stopRequested;
  };
  // Creates and shows the window sized by the bitmap; null when there is no bitmap or creation fails.
  static std::unique_ptr<ProgressWindow> create(const SplashBitmap* bitmap, Events events);
  virtual ~ProgressWindow() = default;  // hides and destroys the window

  virtual void setStatus(const std::string& text) = 0;
  // bar: 0 the lower (main) bar, 1 the upper (file) bar; position 0..100.
  virtual void setBarPosition(int bar, int position) = 0;
};

}  // namespace korvel::platform
