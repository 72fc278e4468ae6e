#include "window_geometry.h"

#include <algorithm>

#include <QEvent>
#include <QGuiApplication>
#include <QMargins>
#include <QScreen>
#include <QTimer>
#include <QWidget>

namespace ostrel::vessolt {

namespace {

// A length of at least `minimum` where `room` allows, at most `room`.
int64_t boundedLength(int64_t length, int64_t minimum, int64_t room) {
    return std::clamp(length, std::min(minimum, room), std::max<int64_t>(room, 1));
}

// The start of a length on [first, first + room): on it wholly, or at its start when longer.
int64_t boundedStart(int64_t start, int64_t length, int64_t first, int64_t room) {
    return std::max(first, std::min(start, first + room - length));
}

// What the frame adds around the window's inside; none before a window system frames it.
QMargins frameMargins(const QWidget& window) {
    const QRect inside = window.geometry();
    const QRect frame = window.frameGeometry();
    return {inside.left() - frame.left(), inside.top() - frame.top(), frame.right() - inside.right(),
            frame.bottom() - inside.bottom()};
}

void keepFrameOnScreen(QWidget& window, QSize minimum) {
    if (window.isMaximized() || window.isFullScreen())
        return;
    const QRect area = availableArea(window);
    if (!area.contains(window.frameGeometry()))
        window.setGeometry(keptOnScreen(window.geometry(), {}, area.marginsRemoved(frameMargins(window)), minimum));
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

QRect keptOnScreen(const QRect& current, const StoredGeometry& stored, const QRect& area, QSize minimum) {
    const auto positive = [](const std::optional<int64_t>& v, int64_t otherwise) {
        return v && *v > 0 ? *v : otherwise;
    };
    const int64_t width = boundedLength(positive(stored.width, current.width()), minimum.width(), area.width());
    const int64_t height = boundedLength(positive(stored.height, current.height()), minimum.height(), area.height());
    const int64_t left = boundedStart(stored.left.value_or(current.left()), width, area.left(), area.width());
    const int64_t top = boundedStart(stored.top.value_or(current.top()), height, area.top(), area.height());
    return {static_cast<int>(left), static_cast<int>(top), static_cast<int>(width), static_cast<int>(height)};
}

QRect availableArea(const QWidget& window) {
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
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
    const QRect inside = keptOnScreen(window.geometry(), given, availableArea(window).marginsRemoved(margins), minimum);
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
    window.resize(keptOnScreen(window.geometry(), {std::nullopt, std::nullopt, width, height}, area, minimum).size());
}

QList<int> splitterSizes(int total, int64_t second, int minimum) {
    total = std::max(total, 0);
    const int floor = std::min(minimum, total / 2);
    const auto kept = static_cast<int>(std::clamp<int64_t>(second, floor, total - floor));
    return {total - kept, kept};
}

} // namespace ostrel::vessolt
