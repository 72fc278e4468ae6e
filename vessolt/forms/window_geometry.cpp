#include "window_geometry.h"

#include "on_screen.h"

#include <algorithm>

#include <QEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QMargins>
#include <QScreen>
#include <QTimer>
#include <QWidget>

namespace ostrel::vessolt {

namespace {

void keepFrameOnScreen(QWidget& window, QSize minimum) {
    if (window.isMaximized() || window.isFullScreen())
        return;
    const QRect area = availableArea(window);
    if (!area.contains(window.frameGeometry()))
        window.setGeometry(controls::keptOnScreen(window.geometry(), area.marginsRemoved(frameMargins(window)),
                                                  realMinimum(window, minimum)));
}

constexpr auto kFrameOnScreen = "frameOnScreen";
// How long after its showing a window may still be given its frame (a window manager frames it when
// it gets to it, and Qt learns of the frame later still); a window without a frame by then has none.
constexpr int kFramedWithinMs = 3000;
constexpr int kFrameLookMs = 50;

// A window is framed only once it shows: then its frame too is brought onto the screen, once.
class FrameOnScreen : public QObject {
public:
    FrameOnScreen(QWidget& window, QSize minimum) : QObject(&window), window_(window), minimum_(minimum) {
        setObjectName(kFrameOnScreen);
        window.installEventFilter(this);
        look_.setInterval(kFrameLookMs);
        connect(&look_, &QTimer::timeout, this, [this] { check(); });
    }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show && !look_.isActive()) {
            look_.start();
            QTimer::singleShot(0, this, [this] { check(); });  // the platform may know the frame at once
            QTimer::singleShot(kFramedWithinMs, this, [this] { finish(); });
        }
        return false;
    }

private:
    void check() {
        if (!window_.isVisible() || frameMargins(window_).isNull())
            return;
        keepFrameOnScreen(window_, minimum_);
        finish();
    }
    void finish() {
        look_.stop();
        window_.removeEventFilter(this);
        deleteLater();
    }

    QWidget& window_;
    QSize minimum_;
    QTimer look_;
};

} // namespace

QRect storedOver(const QRect& current, const StoredGeometry& stored) {
    const auto positive = [](const std::optional<int64_t>& v, int64_t otherwise) {
        return v && *v > 0 ? *v : otherwise;
    };
    return controls::storedRect(stored.left.value_or(current.left()), stored.top.value_or(current.top()),
                                positive(stored.width, current.width()), positive(stored.height, current.height()));
}

QMargins frameMargins(const QWidget& window) {
    const QRect inside = window.geometry();
    const QRect frame = window.frameGeometry();
    return {inside.left() - frame.left(), inside.top() - frame.top(), frame.right() - inside.right(),
            frame.bottom() - inside.bottom()};
}

QSize realMinimum(QWidget& window, QSize minimum) {
    window.ensurePolished();
    if (QLayout* layout = window.layout())
        layout->activate();  // a window's layout sets its least size as it activates
    return minimum.expandedTo(window.minimumSize());
}

QRect availableArea(const QWidget& window) {
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
}

void CentreOnScreen(QWidget& window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
    QRect centred(QPoint(0, 0), window.size());
    centred.moveCenter(area.center());
    window.setGeometry(controls::keptOnScreen(centred, area, realMinimum(window)));
}

void RestoreGeometry(QWidget& window, const StoredGeometry& stored, QSize minimum, bool framePosition) {
    const QMargins margins = frameMargins(window);
    StoredGeometry given = stored;
    if (framePosition) {
        if (given.left)
            *given.left += margins.left();
        if (given.top)
            *given.top += margins.top();
    }
    const QRect wanted = storedOver(window.geometry(), given);
    const QRect area = controls::screenAreaOf(wanted.marginsAdded(margins), &window).marginsRemoved(margins);
    const QRect inside = controls::keptOnScreen(wanted, area, realMinimum(window, minimum));
    if (framePosition) {
        // Where the window system puts the frame: before the first showing its size is not known.
        window.move(inside.topLeft() - QPoint(margins.left(), margins.top()));
        window.resize(inside.size());
    } else {
        window.setGeometry(inside);
    }
    KeepFrameOnScreenWhenShown(window, minimum);
}

void KeepFrameOnScreenWhenShown(QWidget& window, QSize minimum) {
    if (!window.isVisible() && window.findChild<QObject*>(kFrameOnScreen, Qt::FindDirectChildrenOnly) == nullptr)
        new FrameOnScreen(window, minimum);  // owned by the window
}

void RestoreSize(QWidget& window, std::optional<int64_t> width, std::optional<int64_t> height, QSize minimum) {
    const QRect area = availableArea(window).marginsRemoved(frameMargins(window));
    const QRect wanted = storedOver(window.geometry(), {std::nullopt, std::nullopt, width, height});
    window.resize(controls::keptOnScreen(wanted, area, realMinimum(window, minimum)).size());
}

QList<int> splitterSizes(int total, int64_t second, int minimum) {
    total = std::max(total, 0);
    const int floor = std::min(minimum, total / 2);
    const auto kept = static_cast<int>(std::clamp<int64_t>(second, floor, total - floor));
    return {total - kept, kept};
}

} // namespace ostrel::vessolt
