// Asks the updater's progress window to close, as the system does when the user closes a window:
// posts WM_CLOSE to the window of class "PreLoadWindow". Exit code 0 when the window was found.
#include "platform/win32/windows_prelude.h"

int main() {
  HWND window = ::FindWindowA("PreLoadWindow", nullptr);
  if (!window) return 1;
  return ::PostMessageA(window, WM_CLOSE, 0, 0) ? 0 : 2;
}
