#include "on_screen.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cstdint>

namespace ostrel::vessolt::controls {

namespace {

// The farthest place a stored window may have: with the largest size still inside an int.
constexpr int64_t kFarthest = int64_t{1} << 28;

// A length of at least `minimum` where `room` allows, at most `room`.
int64_t boundedLength(int64_t length, int64_t minimum, int64_t room) {
    return std::clamp(length, std::min(minimum, room), std::max<int64_t>(room, 1));
}

// The start of a length on [first, first + room): on it wholly, or at its start when longer.
int64_t boundedStart(int64_t start, int64_t length, int64_t first, int64_t room) {
    return std::max(first, std::min(start, first + room - length));
}

int64_t overlap(int64_t start, int64_t length, int64_t otherStart, int64_t otherLength) {
    return std::max<int64_t>(0, std::min(start + length, otherStart + otherLength) - std::max(start, otherStart));
}

} // namespace

QRect keptOnScreen(const QRect& wanted, const QRect& area, QSize minimum) {
    const int64_t width = boundedLength(wanted.width(), minimum.width(), area.width());
    const int64_t height = boundedLength(wanted.height(), minimum.height(), area.height());
    const int64_t left = boundedStart(wanted.left(), width, area.left(), area.width());
    const int64_t top = boundedStart(wanted.top(), height, area.top(), area.height());
    return {static_cast<int>(left), static_cast<int>(top), static_cast<int>(width), static_cast<int>(height)};
}

QRect storedRect(int64_t left, int64_t top, int64_t width, int64_t height) {
    const auto place = [](int64_t v) { return static_cast<int>(std::clamp(v, -kFarthest, kFarthest)); };
    const auto length = [](int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, 1, QWIDGETSIZE_MAX)); };
    return {place(left), place(top), length(width), length(height)};
}

QRect screenAreaOf(const QRect& rect, const QWidget* window) {
    const QScreen* best = nullptr;
    int64_t most = 0;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect g = screen->geometry();
        const int64_t held = overlap(rect.left(), rect.width(), g.left(), g.width()) *
                             overlap(rect.top(), rect.height(), g.top(), g.height());
        if (held > most) {
            most = held;
            best = screen;
        }
    }
    if (best == nullptr && window != nullptr)
        best = window->screen();
    if (best == nullptr)
        best = QGuiApplication::primaryScreen();
    return best != nullptr ? best->availableGeometry() : QRect(0, 0, 800, 600);
}

} // namespace ostrel::vessolt::controls
