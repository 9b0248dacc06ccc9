// Win32 user interface: the message pumps, message boxes, the splash bitmap resource, the hidden
// message window and the borderless splash progress window with its status line and two bars.
#include "platform/ui.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/progress_layout.h"
#include "platform/win32/instance.h"
#include "platform/win32/windows_prelude.h"

namespace korvel::platform {

namespace {

constexpr int kSplashBitmapResource = 112;

constexpr char kMessageWindowClass[] = "LauncherMsgHWND";
constexpr char kMessageWindowTitle[] = "SCMsgHWND";
constexpr char kMessageWindowMenu[] = "Win32SkinWindowMenu2";

constexpr char kProgressWindowClass[] = "PreLoadWindow";
constexpr char kProgressWindowTitle[] = "Scanning for Updates...";
constexpr char kProgressWindowMenu[] = "ProgressWindowMenu";
constexpr char kInitialStatus[] = "Preparing Files...";

constexpr int kMainBarId = 2;
constexpr int kFileBarId = 3;
constexpr int kStatusTextId = 0;

constexpr COLORREF kBarBackground = RGB(200, 209, 212);
constexpr COLORREF kBarColour = RGB(46, 69, 120);
constexpr COLORREF kControlText = RGB(255, 255, 255);
constexpr COLORREF kControlBackground = RGB(129, 134, 131);

// Progress bar messages by number: the common controls header of some toolchains lacks a few.
constexpr UINT kSetRange = 0x401;      // PBM_SETRANGE
constexpr UINT kSetPos = 0x402;        // PBM_SETPOS
constexpr UINT kSetStep = 0x404;       // PBM_SETSTEP
constexpr UINT kSetBarColour = 0x409;  // PBM_SETBARCOLOR
constexpr UINT kSetBkColour = 0x2001;  // CCM_SETBKCOLOR / PBM_SETBKCOLOR

constexpr DWORD kBarStyle = WS_CHILD | WS_VISIBLE | PBS_SMOOTH;                 // 0x50000001
constexpr DWORD kStatusStyle = WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP;       // 0x5000000C
constexpr DWORD kProgressWindowStyle = WS_POPUP | WS_BORDER;                    // 0x80800000
static_assert(kBarStyle == 0x50000001 && kStatusStyle == 0x5000000C && kProgressWindowStyle == 0x80800000);

class Win32SplashBitmap final : public SplashBitmap {
 public:
  Win32SplashBitmap(HBITMAP bitmap, const BITMAP& info) : bitmap_(bitmap), info_(info) {}
  int width() const override { return info_.bmWidth; }
  int height() const override { return info_.bmHeight; }
  HBITMAP handle() const { return bitmap_.get(); }

 private:
  win32::ScopedBitmap bitmap_;
  BITMAP info_;
};

class Win32MessageWindow final : public MessageWindow {
 public:
  explicit Win32MessageWindow(HWND window) : window_(window) {}

 private:
  win32::ScopedHandle<win32::WindowTraits> window_;
};

LayoutRect toLayout(const RECT& rect) { return LayoutRect{rect.left, rect.top, rect.right, rect.bottom}; }

class Win32ProgressWindow;
// The progress window the UI thread's pumps reach: set and cleared on that thread. Other threads'
// pumps compare their thread with the owner first and never touch the window.
std::atomic<Win32ProgressWindow*> activeProgressWindow{nullptr};
std::atomic<DWORD> activeProgressOwner{0};

class Win32ProgressWindow final : public ProgressWindow {
 public:
  Win32ProgressWindow(const SplashBitmap& bitmap, Events events)
      : events_(std::move(events)),
        width_(bitmap.width()),
        height_(bitmap.height()),
        bitmap_(dynamic_cast<const Win32SplashBitmap*>(&bitmap) ? static_cast<const Win32SplashBitmap&>(bitmap).handle()
                                                                 : nullptr) {}

  ~Win32ProgressWindow() override {
    Win32ProgressWindow* self = this;
    if (activeProgressWindow.compare_exchange_strong(self, nullptr)) activeProgressOwner.store(0);
    HWND window = window_.load();
    if (window) {
      ::ShowWindow(window, SW_HIDE);
      ::DestroyWindow(window);
    }
  }

  // Creates the window and its children; false when the window itself cannot be made.
  bool build(const RECT& workArea) {
    const LayoutPoint origin = centredWindowOrigin(toLayout(workArea), width_, height_);
    HWND window = ::CreateWindowExA(0, kProgressWindowClass, kProgressWindowTitle, kProgressWindowStyle, origin.x,
                                    origin.y, width_, height_, nullptr, nullptr, win32::storedModuleInstance(), this);
    if (!window) return false;
    window_.store(window);
    ::GetClientRect(window, &clientRect_);

    const ProgressLayout layout = progressControlLayout(toLayout(clientRect_), ::GetSystemMetrics(SM_CYVSCROLL));
    mainBar_.store(makeBar(window, layout.mainBar, kMainBarId));
    fileBar_.store(makeBar(window, layout.fileBar, kFileBarId));
    HWND status = ::CreateWindowExA(WS_EX_TRANSPARENT, "STATIC", "", kStatusStyle, layout.statusText.x,
                                    layout.statusText.y, layout.statusText.width, layout.statusText.height, window,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusTextId)),
                                    win32::storedModuleInstance(), nullptr);
    statusText_.store(status);
    if (status) ::SetWindowTextA(status, kInitialStatus);
    for (HWND bar : {mainBar_.load(), fileBar_.load()}) {
      if (!bar) continue;
      ::SendMessageA(bar, kSetRange, 0, MAKELPARAM(0, 100));
      ::SendMessageA(bar, kSetStep, 1, 0);
      ::SendMessageA(bar, kSetBkColour, 0, static_cast<LPARAM>(kBarBackground));
      ::SendMessageA(bar, kSetBarColour, 0, static_cast<LPARAM>(kBarColour));
    }
    ::ShowWindow(window, SW_SHOW);
    activeProgressOwner.store(::GetCurrentThreadId());
    activeProgressWindow.store(this);
    return true;
  }

  // The pumps' hook, callable from any thread; does something only on the thread that made the window.
  static void pollActive() {
    if (activeProgressOwner.load() != ::GetCurrentThreadId()) return;
    Win32ProgressWindow* window = activeProgressWindow.load();
    if (window && window->events_.pumped) window->events_.pumped();
  }

  void setStatus(const std::string& text) override {
    if (HWND status = statusText_.load()) ::SetWindowTextA(status, text.c_str());
  }

  void setBarPosition(int bar, int position) override {
    HWND control = bar == 0 ? mainBar_.load() : fileBar_.load();
    if (control) ::SendMessageA(control, kSetPos, static_cast<WPARAM>(position), 0);
  }

  static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32ProgressWindow*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self) return ::DefWindowProcA(window, message, wParam, lParam);
    return self->handle(window, message, wParam, lParam);
  }

 private:
  static HWND makeBar(HWND parent, const ControlBox& box, int id) {
    return ::CreateWindowExA(0, PROGRESS_CLASSA, "", kBarStyle, box.x, box.y, box.width, box.height, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), win32::storedModuleInstance(), nullptr);
  }

  LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case WM_PAINT:
        paint(window);
        return ::DefWindowProcA(window, message, wParam, lParam);
      case WM_CLOSE:
        requestStop();
        return ::DefWindowProcA(window, message, wParam, lParam);
      case WM_LBUTTONDOWN: {
        const int x = static_cast<short>(LOWORD(lParam));
        const int y = static_cast<short>(HIWORD(lParam));
        if (inCloseHotSpot(toLayout(clientRect_), x, y)) requestStop();
        return 1;
      }
      case WM_CTLCOLORMSGBOX:
      case WM_CTLCOLOREDIT:
      case WM_CTLCOLORBTN:
      case WM_CTLCOLORDLG:
      case WM_CTLCOLORSTATIC:
        return colourControl(reinterpret_cast<HDC>(wParam));
      case WM_NCDESTROY:
        // Children are gone by now; later notifications from the worker must not reach stale handles.
        statusText_.store(nullptr);
        mainBar_.store(nullptr);
        fileBar_.store(nullptr);
        window_.store(nullptr);
        ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        return ::DefWindowProcA(window, message, wParam, lParam);
      default:
        return ::DefWindowProcA(window, message, wParam, lParam);
    }
  }

  void requestStop() {
    if (events_.stopRequested) events_.stopRequested();
  }

  void paint(HWND window) {
    PAINTSTRUCT paint{};
    HDC target = ::BeginPaint(window, &paint);
    if (target && bitmap_) {
      win32::ScopedMemoryDc memory(::CreateCompatibleDC(target));
      if (memory) {
        HGDIOBJ previous = ::SelectObject(memory.get(), bitmap_);
        ::SetMapMode(memory.get(), ::GetMapMode(target));
        ::BitBlt(target, 0, 0, width_, height_, memory.get(), 0, 0, SRCCOPY);
        // The bitmap must leave the DC before the DC goes, or it could not be deleted later.
        ::SelectObject(memory.get(), previous);
      }
    }
    ::EndPaint(window, &paint);
  }

  LRESULT colourControl(HDC dc) {
    if (dc) {
      ::SetTextColor(dc, kControlText);
      ::SetBkMode(dc, TRANSPARENT);
    }
    if (!textBrush_) textBrush_.reset(::CreateSolidBrush(kControlBackground));
    return reinterpret_cast<LRESULT>(textBrush_.get());
  }

  Events events_;
  int width_;
  int height_;
  HBITMAP bitmap_;  // owned by the SplashBitmap, which outlives the window
  RECT clientRect_{};
  // Read by the worker thread's notifications, cleared on the UI thread when the window goes.
  std::atomic<HWND> window_{nullptr};
  std::atomic<HWND> statusText_{nullptr};
  std::atomic<HWND> mainBar_{nullptr};
  std::atomic<HWND> fileBar_{nullptr};
  win32::ScopedBrush textBrush_;  // created on the first colour message
};

}  // namespace

bool messageWaiting() {
  Win32ProgressWindow::pollActive();
  MSG message;
  return ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE) != 0;
}

int getAndDispatchMessage() {
  MSG message;
  const BOOL result = ::GetMessageA(&message, nullptr, 0, 0);
  if (result > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  return result;
}

bool dispatchWaitingMessage() {
  Win32ProgressWindow::pollActive();
  MSG message;
  if (!::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return false;
  ::TranslateMessage(&message);
  ::DispatchMessageA(&message);
  return true;
}

void messageBox(const std::string& text, const std::string& caption) {
  const char* mode = std::getenv("KORVEL_MESSAGE_BOXES");
  if (mode && std::strcmp(mode, "stderr") == 0) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return;
  }
  ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

std::unique_ptr<SplashBitmap> SplashBitmap::load() {
  HANDLE image = ::LoadImageA(win32::storedModuleInstance(), MAKEINTRESOURCEA(kSplashBitmapResource), IMAGE_BITMAP,
                              0, 0, LR_DEFAULTCOLOR);
  if (!image) return nullptr;
  HBITMAP bitmap = static_cast<HBITMAP>(image);
  BITMAP info{};
  if (::GetObjectA(bitmap, sizeof(info), &info) == 0) {
    ::DeleteObject(bitmap);
    return nullptr;
  }
  return std::make_unique<Win32SplashBitmap>(bitmap, info);
}

std::unique_ptr<MessageWindow> MessageWindow::create() {
  WNDCLASSA windowClass{};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = ::DefWindowProcA;
  windowClass.hInstance = win32::storedModuleInstance();
  windowClass.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.lpszMenuName = kMessageWindowMenu;
  windowClass.lpszClassName = kMessageWindowClass;
  // A second registration in the same process fails harmlessly: the class is already there.
  ::RegisterClassA(&windowClass);
  HWND window = ::CreateWindowExA(0, kMessageWindowClass, kMessageWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 20, 20, nullptr, nullptr, win32::storedModuleInstance(), nullptr);
  if (!window) return nullptr;
  return std::make_unique<Win32MessageWindow>(window);
}

std::unique_ptr<ProgressWindow> ProgressWindow::create(const SplashBitmap* bitmap, Events events) {
  RECT workArea{};
  ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
  ::InitCommonControls();

  WNDCLASSA windowClass{};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = &Win32ProgressWindow::windowProcedure;
  windowClass.hInstance = win32::storedModuleInstance();
  windowClass.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENU + 1));
  windowClass.lpszMenuName = kProgressWindowMenu;
  windowClass.lpszClassName = kProgressWindowClass;
  ::RegisterClassA(&windowClass);

  if (!bitmap) return nullptr;
  auto window = std::make_unique<Win32ProgressWindow>(*bitmap, std::move(events));
  if (!window->build(workArea)) return nullptr;
  return window;
}

}  // namespace korvel::platform
