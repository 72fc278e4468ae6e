#pragma once
// Where a window or dialog that restores a stored size, position or splitter opens: its size bounded
// by the available area of the screen, its position moved so that it lies wholly on that area, every
// splitter pane left a usable size. A window last shown on a screen that has gone, or sized by hand
// in the registry, comes back whole onto this one, and only such a size is stored again.
#include <cstdint>
#include <optional>

#include <QList>
#include <QMargins>
#include <QRect>
#include <QSize>

class QWidget;

namespace ostrel::vessolt {

// Stored values, each absent when not stored; a width or height of 0 or below counts as absent.
struct StoredGeometry {
    std::optional<int64_t> left, top, width, height;
};

// The geometry `stored` gives over `current` (what is absent keeps current's), each value within
// what a window can have. Brought onto a screen with controls::keptOnScreen (on_screen.h), the one
// rule of every window and dialog.
[[nodiscard]] QRect storedOver(const QRect& current, const StoredGeometry& stored);

// The available area of the screen `window` is on; the primary screen's when it has none yet.
[[nodiscard]] QRect availableArea(const QWidget& window);

// What the frame adds around the window's inside; none before a window system frames it.
[[nodiscard]] QMargins frameMargins(const QWidget& window);

// The least size `window` will really be shown with: `minimum`, grown to the window's own least
// size and to what its layout needs. Qt grows a smaller window to it as it shows, so a place is
// chosen for this size, not for a smaller one stored.
[[nodiscard]] QSize realMinimum(QWidget& window, QSize minimum = {});

// Centres `window` on the primary screen's available area by the same rule: on a screen smaller than
// the window, it is brought to the screen's size rather than past its edges.
void CentreOnScreen(QWidget& window);

// Sets `window` to the geometry `stored` gives over its own, brought by the rule onto the screen that
// holds the most of it (else the window's), at least realMinimum, frame included where the window
// has one. A stored left and top name the corner of the frame when `framePosition` (as pos() gives
// it), else of the window's inside (as geometry() gives it).
void RestoreGeometry(QWidget& window, const StoredGeometry& stored, QSize minimum = {}, bool framePosition = false);

// Once `window` shows and the window system has framed it, its frame too is brought onto the screen
// (before then the frame's size is not known). RestoreGeometry and the dialogs' placement call it.
void KeepFrameOnScreenWhenShown(QWidget& window, QSize minimum = {});

// Resizes `window` to the size of the same rule; its position is left to the caller (a dialog is
// placed over its owner when it opens).
void RestoreSize(QWidget& window, std::optional<int64_t> width, std::optional<int64_t> height, QSize minimum = {});

// The sizes of two splitter panes sharing `total` when the second is stored as `second`: each pane
// keeps at least `minimum` (half of `total` each when that is less).
[[nodiscard]] QList<int> splitterSizes(int total, int64_t second, int minimum);

} // namespace ostrel::vessolt
