#pragma once
// Where a dialog opens: over the window it was opened from, and wholly on that window's screen, so
// that its buttons are never out of reach.
#include <optional>

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace ostrel::vessolt {

// The top-left corner of a dialog of `dialog` size over `owner`: centred when the owner is larger,
// else at the owner's left or top edge; with a `screen` area the dialog is then brought onto it by
// the rule of every window (at its left or top edge when the dialog is the larger).
[[nodiscard]] QPoint placeOverOwner(const QRect& owner, const QSize& dialog,
                                    std::optional<QRect> screen = std::nullopt);

// Moves `dialog` so over the window of `owner`, inside the available area of that window's screen.
// A dialog that was never sized first takes the size its layout asks for, one sized smaller than
// its layout's minimum grows to it, one larger than that screen shrinks to it as far as its least
// size allows. No owner: it stays. Call it once the dialog's contents are set.
void PlaceOverOwner(QWidget& dialog, const QWidget* owner);

} // namespace ostrel::vessolt
