// Stored geometries, however far off or large, open on this screen and bounded by it.
#include "on_screen.h"
#include "win_main.h"
#include "window_geometry.h"

#include <QScreen>
#include <QSplitter>
#include <climits>

#include <platform/registry.h>

#include "services/product_key.h"
#include "window_fixture.h"

using namespace ostrel::vessolt;
using namespace ostrel::vessolt::test;

TEST(WindowGeometry, AStoredGeometryIsBoundedByTheAreaAndMovedOntoIt) {
    const QRect area(0, 0, 1600, 1000);
    const QRect current(100, 100, 800, 600);
    struct Case {
        StoredGeometry stored;
        QRect expected;
    } cases[] = {
        {{2500, 0, 796, 500}, {804, 0, 796, 500}},       // a screen that has gone
        {{INT_MIN, 0, INT_MAX, INT_MAX}, {0, 0, 1600, 1000}},  // sized by hand
        {{10, 20, 0, 5}, {10, 20, 800, 200}},            // no size of 0; the least a window keeps
        {{}, current},
    };
    for (const Case& c : cases)
        EXPECT_EQ(controls::keptOnScreen(storedOver(current, c.stored), area, {300, 200}), c.expected) << c.expected.left();
    EXPECT_EQ(splitterSizes(1000, INT_MAX, 100), QList<int>({100, 900}));
    EXPECT_EQ(splitterSizes(150, 1, 100), QList<int>({75, 75}));
}

// Each row stored, then the window opened and closed on two screens side by side: it lies wholly on
// the screen it was stored on, or on the first where that is gone, and only such a place is stored
// again.
TEST_F(WindowTest, AMainWindowOpensWhollyOnTheScreenItWasStoredOnWithEveryPaneShown) {
    if (!onTwoScreens())
        return;
    const QRect first = QGuiApplication::screens().at(0)->availableGeometry();
    const QRect second = QGuiApplication::screens().at(1)->availableGeometry();
    const struct {
        int left, top, width, height;
        QRect area;
    } rows[] = {
        {5000, -4000, INT_MAX, INT_MAX, first},                           // a screen that has gone, sized by hand
        {first.right() - 20, first.bottom() - 20, 1, 1, first},           // below the least size, at the edge
        {second.left() + 30, second.top() + 40, 500, 300, second},        // a second screen that is still there
    };
    const std::string path = std::string(kProductKey) + "\\main";
    for (const auto& row : rows) {
        {
            auto key = ostrel::platform::RegistryKey::create(ostrel::platform::RegistryRoot::CurrentUser, path);
            ASSERT_TRUE(key);
            for (const auto& [name, value] : {std::pair{"left", row.left}, {"top", row.top}, {"width", row.width},
                                              {"height", row.height}, {"testboxwidth", INT_MAX}, {"messageboxheight", INT_MAX}})
                key->writeInteger(name, value);
            ASSERT_TRUE(key->flush());
        }
        {
            TWin_Main window(*services_);
            window.show();
            QApplication::processEvents();
            EXPECT_TRUE(row.area.contains(window.frameGeometry())) << row.left << " " << window.frameGeometry().left();
            if (row.width == 500) {
                EXPECT_EQ(window.geometry(), QRect(row.left, row.top, 500, 300));
            }
            for (auto* splitter : window.findChildren<QSplitter*>())
                for (int size : splitter->sizes())
                    EXPECT_GE(size, 50) << splitter->orientation();
            EXPECT_TRUE(window.close());
        }
        auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser, path);
        ASSERT_TRUE(key);
        const QRect stored(*key->readInteger("left"), *key->readInteger("top"), *key->readInteger("width"),
                           *key->readInteger("height"));
        EXPECT_TRUE(row.area.contains(stored)) << row.left << " " << stored.left() << "," << stored.top();
        EXPECT_LE(key->readInteger("testboxwidth").value_or(INT_MAX), row.area.width());
    }
}
