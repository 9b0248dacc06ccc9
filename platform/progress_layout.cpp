// Geometry of the splash progress window: placement, control boxes and the close hot spot.
#include "platform/progress_layout.h"

namespace korvel::platform {

LayoutPoint centredWindowOrigin(const LayoutRect& workArea, int width, int height) {
  return LayoutPoint{(workArea.right - workArea.left) / 2 - width / 2,
                     (workArea.bottom - workArea.top) / 2 - height / 2};
}

ProgressLayout progressControlLayout(const LayoutRect& client, int scrollBarHeight) {
  const int width = client.right - client.left;
  const int bottom = client.bottom;
  const int half = scrollBarHeight / 2;
  ProgressLayout layout;
  layout.mainBar = ControlBox{12, bottom - 22, width - 22, scrollBarHeight};
  layout.fileBar = ControlBox{12, bottom - half - 24, width - 22, half};
  // The status line's width is measured from the client's right edge, not from its width.
  layout.statusText = ControlBox{12, bottom - half - 46, client.right - 22, 22};
  return layout;
}

bool inCloseHotSpot(const LayoutRect& client, int x, int y) {
  return x >= client.right - 23 && x <= client.right - 5 && y >= 3 && y <= 21;
}

}  // namespace korvel::platform
