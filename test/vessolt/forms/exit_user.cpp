// Loaded into the test program (LD_PRELOAD) to act as its user: OK on the hardware dialog, the first
// test's window opened from its row, then File -> Exit while that window is still on screen.
#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

namespace {

void act(QTimer* timer) {
    if (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* ok = modal->findChild<QPushButton*>(QStringLiteral("ok")))
            ok->click();
        return;
    }
    QWidget* main = nullptr;
    bool testWindow = false;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->findChild<QAction*>(QStringLiteral("exit")))
            main = w;
        else
            testWindow = testWindow || (w->isVisible() && w->windowType() == Qt::Window);
    }
    if (!main || !main->isVisible())
        return;
    if (testWindow) {
        timer->stop();
        main->findChild<QAction*>(QStringLiteral("exit"))->trigger();
        return;
    }
    for (QToolButton* b : main->findChildren<QToolButton*>())
        if (b->toolTip() == QStringLiteral("Click to open the window for this test")) {
            b->click();
            return;
        }
}

void start() {
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [timer] { act(timer); });
    timer->start(50);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
