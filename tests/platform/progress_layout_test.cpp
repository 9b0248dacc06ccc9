// Placement, control boxes and close hot spot of the splash progress window.
#include "platform/progress_layout.h"

#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

TEST(ProgressLayoutTest, CentresOnTheWorkAreaWithIntegerDivisions) {
  LayoutPoint origin = centredWindowOrigin(LayoutRect{0, 0, 1024, 738}, 400, 300);
  EXPECT_EQ(origin.x, 312);
  EXPECT_EQ(origin.y, 219);

  // Odd sizes: each half is rounded toward zero on its own.
  origin = centredWindowOrigin(LayoutRect{0, 0, 1023, 737}, 301, 233);
  EXPECT_EQ(origin.x, 511 - 150);
  EXPECT_EQ(origin.y, 368 - 116);
}

TEST(ProgressLayoutTest, UsesTheWorkAreaSizeNotItsOffset) {
  // A task bar on the left moves the work area, but only its size enters the formula.
  const LayoutPoint origin = centredWindowOrigin(LayoutRect{100, 40, 1124, 778}, 400, 300);
  EXPECT_EQ(origin.x, 312);
  EXPECT_EQ(origin.y, 219);
}

TEST(ProgressLayoutTest, WindowLargerThanTheWorkAreaStartsLeftOfIt) {
  const LayoutPoint origin = centredWindowOrigin(LayoutRect{0, 0, 200, 100}, 301, 151);
  EXPECT_EQ(origin.x, 100 - 150);
  EXPECT_EQ(origin.y, 50 - 75);
}

TEST(ProgressLayoutTest, PlacesBarsAndStatusLineFromTheClientBottom) {
  // The client area of the 300x234 splash inside its one-pixel border.
  const ProgressLayout layout = progressControlLayout(LayoutRect{0, 0, 298, 232}, 17);
  EXPECT_EQ(layout.mainBar.x, 12);
  EXPECT_EQ(layout.mainBar.y, 210);
  EXPECT_EQ(layout.mainBar.width, 276);
  EXPECT_EQ(layout.mainBar.height, 17);

  EXPECT_EQ(layout.fileBar.x, 12);
  EXPECT_EQ(layout.fileBar.y, 232 - 8 - 24);
  EXPECT_EQ(layout.fileBar.width, 276);
  EXPECT_EQ(layout.fileBar.height, 8);

  EXPECT_EQ(layout.statusText.x, 12);
  EXPECT_EQ(layout.statusText.y, 232 - 8 - 46);
  EXPECT_EQ(layout.statusText.width, 276);
  EXPECT_EQ(layout.statusText.height, 22);

  // The upper bar sits above the lower one and the status line above both.
  EXPECT_LE(layout.fileBar.y + layout.fileBar.height, layout.mainBar.y);
  EXPECT_LE(layout.statusText.y + layout.statusText.height, layout.fileBar.y);
}

TEST(ProgressLayoutTest, BarWidthFollowsTheClientWidthAndStatusWidthItsRightEdge) {
  const ProgressLayout layout = progressControlLayout(LayoutRect{10, 0, 308, 232}, 16);
  EXPECT_EQ(layout.mainBar.width, 298 - 22);
  EXPECT_EQ(layout.fileBar.width, 298 - 22);
  EXPECT_EQ(layout.statusText.width, 308 - 22);
}

TEST(ProgressLayoutTest, HotSpotCoversItsCornersInclusively) {
  const LayoutRect client{0, 0, 298, 232};
  EXPECT_TRUE(inCloseHotSpot(client, 298 - 23, 3));
  EXPECT_TRUE(inCloseHotSpot(client, 298 - 5, 21));
  EXPECT_TRUE(inCloseHotSpot(client, 298 - 23, 21));
  EXPECT_TRUE(inCloseHotSpot(client, 298 - 5, 3));
}

TEST(ProgressLayoutTest, HotSpotIgnoresClicksJustOutside) {
  const LayoutRect client{0, 0, 298, 232};
  EXPECT_FALSE(inCloseHotSpot(client, 298 - 24, 10));
  EXPECT_FALSE(inCloseHotSpot(client, 298 - 10, 22));
  EXPECT_FALSE(inCloseHotSpot(client, 298 - 4, 10));
  EXPECT_FALSE(inCloseHotSpot(client, 298 - 10, 2));
  EXPECT_FALSE(inCloseHotSpot(client, 298 - 10, -1));
}

}  // namespace
}  // namespace korvel::platform
