// Geometry of the splash progress window: where it is placed on the work area, where its status line
// and two bars sit, and the hot spot in its top right corner that closes it. Pure arithmetic, the same
// on every system, so both backends and the tests share it.
#pragma once

namespace korvel::platform {

// A rectangle as Win32 spells it: right and bottom are exclusive.
struct LayoutRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

struct LayoutPoint {
  int x = 0;
  int y = 0;
};

// A child control's position and size in the client area.
struct ControlBox {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The three children of the progress window.
struct ProgressLayout {
  ControlBox mainBar;     // lower bar, full scroll-bar height
  ControlBox fileBar;     // upper bar, half height
  ControlBox statusText;  // status line above the bars
};

// Top left corner of a window of width x height centred on the work area:
// x = (right - left) / 2 - width / 2, y = (bottom - top) / 2 - height / 2, integer divisions rounding
// toward zero (the work area's own offset is not added).
LayoutPoint centredWindowOrigin(const LayoutRect& workArea, int width, int height);

// The controls' boxes for the window's client rectangle and the system's vertical scroll bar width
// (GetSystemMetrics(SM_CYVSCROLL)), which sets the bars' heights.
ProgressLayout progressControlLayout(const LayoutRect& client, int scrollBarHeight);

// Whether a click at client coordinates (x, y) hits the close hot spot:
// client.right - 23 <= x <= client.right - 5 and 3 <= y <= 21.
bool inCloseHotSpot(const LayoutRect& client, int x, int y);

}  // namespace korvel::platform
