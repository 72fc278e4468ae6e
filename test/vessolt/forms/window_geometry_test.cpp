// Stored geometries, however far off or large, open on this screen and bounded by it.
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
        EXPECT_EQ(keptOnScreen(current, c.stored, area, {300, 200}), c.expected) << c.expected.left();
    EXPECT_EQ(splitterSizes(1000, INT_MAX, 100), QList<int>({100, 900}));
    EXPECT_EQ(splitterSizes(150, 1, 100), QList<int>({75, 75}));
}

TEST_F(WindowTest, AMainWindowStoredOffScreenAndHugeOpensOnTheScreenWithEveryPaneShown) {
    const std::string path = std::string(kProductKey) + "\\main";
    {
        auto key = ostrel::platform::RegistryKey::create(ostrel::platform::RegistryRoot::CurrentUser, path);
        ASSERT_TRUE(key);
        for (const char* name : {"width", "height", "testboxwidth", "messageboxheight"})
            key->writeInteger(name, INT_MAX);
        key->writeInteger("left", 2500);
        key->writeInteger("top", -4000);
        ASSERT_TRUE(key->flush());
    }
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    {
        TWin_Main window(*services_);
        window.show();
        QApplication::processEvents();
        EXPECT_TRUE(area.contains(window.frameGeometry())) << window.frameGeometry().width();
        for (auto* splitter : window.findChildren<QSplitter*>())
            for (int size : splitter->sizes())
                EXPECT_GE(size, 50) << splitter->orientation();
        EXPECT_TRUE(window.close());
    }
    // Only a size that fits goes back into the registry.
    auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser, path);
    ASSERT_TRUE(key);
    EXPECT_LE(key->readInteger("width").value_or(INT_MAX), area.width());
    EXPECT_LE(key->readInteger("testboxwidth").value_or(INT_MAX), area.width());
}
