// Where dialogs open: over their owner's window and on its screen.
#include "dialog_placement.h"

#include <gtest/gtest.h>

namespace ostrel::vessolt {
namespace {

TEST(DialogPlacement, CentresOverTheOwnerAndStaysOnTheScreen) {
    EXPECT_EQ(placeOverOwner({100, 100, 800, 600}, {400, 200}), QPoint(300, 300));
    EXPECT_EQ(placeOverOwner({100, 100, 300, 100}, {400, 200}), QPoint(100, 100));
    EXPECT_EQ(placeOverOwner({900, 700, 800, 600}, {400, 200}, QRect(0, 0, 1280, 1024)), QPoint(880, 824));
    EXPECT_EQ(placeOverOwner({-500, -300, 300, 100}, {400, 200}, QRect(0, 0, 1280, 1024)), QPoint(0, 0));
    EXPECT_EQ(placeOverOwner({0, 0, 300, 100}, {2000, 200}, QRect(0, 0, 1280, 1024)), QPoint(0, 0));
    EXPECT_EQ(placeOverOwner({0, 0, 300, 100}, {400, 200}, QRect(1280, 24, 1024, 768)), QPoint(1280, 24));
}

} // namespace
} // namespace ostrel::vessolt
