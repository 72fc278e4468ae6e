// Where dialogs open: over their owner's window and on its screen.
#include "dialog_edges.h"
#include "dialog_placement.h"
#include "qt_user_prompt.h"
#include "win_about.h"

#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QMainWindow>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <functional>

#include <gtest/gtest.h>

#include "services/user_prompt.h"

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

TEST(DialogEdges, ADialogDrawsItsOwnEdgeWhereTheSystemDrawsNoFrame) {
    DialogEdges edges;
    QApplication::instance()->installEventFilter(&edges);
    QDialog dialog;
    dialog.resize(200, 100);
    dialog.show();  // offscreen, as on an X server without a window manager: no system frame
    const QImage image = dialog.grab().toImage();
    const QColor background = dialog.palette().color(QPalette::Window);
    EXPECT_NE(image.pixelColor(0, 50), background);
    EXPECT_EQ(image.pixelColor(100, 50), background);
}

// Calls `seen` with the first visible top-level window of type T, then closes it.
template <typename T>
void onceShown(const std::function<void(T&)>& seen) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, seen] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* shown = qobject_cast<T*>(widget); shown && shown->isVisible()) {
                seen(*shown);
                shown->reject();
                poll->deleteLater();
                return;
            }
    });
    poll->start();
}

TEST(DialogPlacement, TheAboutWindowOverAWindowAtTheScreensEdgeStaysOnTheScreen) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget owner;
    owner.setGeometry(area.right() - 150, area.bottom() - 100, 300, 200);
    owner.show();
    RecordingPrompt prompt;
    TWin_About about(prompt);
    QRect shown;
    onceShown<TWin_About>([&](TWin_About& dialog) { shown = dialog.frameGeometry(); });
    about.Execute(&owner);
    EXPECT_TRUE(area.contains(shown)) << shown.left() << "," << shown.top() << " " << shown.width() << "x" << shown.height() << " in " << area.width() << "x" << area.height();
}

// A box placed as every dialog is: over a main window smaller than the box, at its top left corner
// (centred over it, the box would reach past the screen's left edge).
TEST(DialogPlacement, AMessageBoxWithNoActiveWindowBelongsOverTheMainWindow) {
    QMainWindow main;
    main.setGeometry(40, 60, 120, 60);
    main.show();
    QApplication::processEvents();
    QApplication::setActiveWindow(nullptr);  // as once another box has closed and nothing took focus
    QWidget* owner = nullptr;
    QRect shown;
    onceShown<QMessageBox>([&](QMessageBox& box) {
        owner = box.parentWidget();
        shown = box.frameGeometry();
    });
    QtUserPrompt prompt;
    (void)prompt.ask(PromptIcon::Warning, "Over the main window, whose left edge it shares", kProductName,
                     PromptButtons::Ok);
    EXPECT_EQ(owner, &main);
    ASSERT_GT(shown.width(), main.frameGeometry().width());
    EXPECT_EQ(shown.topLeft(), main.frameGeometry().topLeft()) << shown.left() << "," << shown.top();
}

} // namespace
} // namespace ostrel::vessolt
