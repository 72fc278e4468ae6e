// The one rule for where a window, a dialog or a stored form position lies on a screen. The forms
// and the controls' own form positions all go through it, so that a place one of them restores is
// a place every other would have chosen.
#pragma once

#include "kvcontrols_export.h"

#include <QRect>
#include <QSize>

#include <cstdint>

class QWidget;

namespace ostrel::vessolt::controls {

// `wanted` with each side at least `minimum` where `area` allows and at most `area`, then moved the
// least that puts it wholly on `area`; a side as long as the area starts at the area's edge.
[[nodiscard]] KVCONTROLS_EXPORT QRect keptOnScreen(const QRect& wanted, const QRect& area, QSize minimum = {});

// A stored place and size as a rectangle, each value brought into what a window can have (sizes of
// 1 up to Qt's largest, places far beyond any desktop at most), so that no edge overflows.
[[nodiscard]] KVCONTROLS_EXPORT QRect storedRect(int64_t left, int64_t top, int64_t width, int64_t height);

// The available area of the screen that holds the most of `rect` (a window stored on a second
// screen that is still there opens there); when no screen holds any of it (one that has gone), that
// of `window`'s screen, else the primary screen's.
[[nodiscard]] KVCONTROLS_EXPORT QRect screenAreaOf(const QRect& rect, const QWidget* window = nullptr);

} // namespace ostrel::vessolt::controls
