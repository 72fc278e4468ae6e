#include "dialog_edges.h"

#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QWindow>

namespace ostrel::vessolt {
namespace {

constexpr const char* kEdgeName = "dialogedge";

// A line around the dialog's rectangle, above its contents, deaf to the mouse.
class Edge : public QWidget {
public:
    explicit Edge(QWidget& dialog) : QWidget(&dialog) {
        setObjectName(QString::fromLatin1(kEdgeName));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        dialog.installEventFilter(this);
        follow();
        show();
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize || event->type() == QEvent::ChildAdded)
            follow();
        return false;
    }
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::Dark));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }

private:
    void follow() {
        setGeometry(parentWidget()->rect());
        raise();
    }
};

// True once any shown window has a frame that the system drew.
bool systemFramesWindows() {
    for (const QWindow* window : QGuiApplication::topLevelWindows())
        if (window->isVisible() && !window->frameMargins().isNull())
            return true;
    return false;
}

} // namespace

bool DialogEdges::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Show)
        return false;
    auto* dialog = qobject_cast<QDialog*>(watched);
    // A frameless dialog (the splash) draws its own border.
    if (dialog == nullptr || !dialog->isWindow() || dialog->windowFlags().testFlag(Qt::FramelessWindowHint) ||
        dialog->findChild<QWidget*>(QString::fromLatin1(kEdgeName), Qt::FindDirectChildrenOnly) != nullptr ||
        systemFramesWindows())
        return false;
    new Edge(*dialog);  // the dialog owns it
    return false;
}

} // namespace ostrel::vessolt
