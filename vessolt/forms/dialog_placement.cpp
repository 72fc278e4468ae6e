#include "dialog_placement.h"

#include "on_screen.h"
#include "window_geometry.h"

#include <QWidget>

namespace ostrel::vessolt {

QPoint placeOverOwner(const QRect& owner, const QSize& dialog, std::optional<QRect> screen) {
    const int left = owner.width() > dialog.width() ? owner.left() + (owner.width() - dialog.width()) / 2 : owner.left();
    const int top = owner.height() > dialog.height() ? owner.top() + (owner.height() - dialog.height()) / 2 : owner.top();
    const QRect over(QPoint(left, top), dialog);
    return screen ? controls::keptOnScreen(over, *screen).topLeft() : over.topLeft();
}

void PlaceOverOwner(QWidget& dialog, const QWidget* owner) {
    if (owner == nullptr)
        return;
    // An unshown dialog has no size of its own yet; one restored or shown before keeps its size,
    // grown to what its layout needs, as showing it would grow it.
    if (!dialog.testAttribute(Qt::WA_Resized))
        dialog.adjustSize();
    const QSize minimum = realMinimum(dialog);
    const QWidget* window = owner->window();
    const QRect area = availableArea(*window);
    // No larger than the owner's screen, as far as the dialog's least size allows.
    const QMargins margins = frameMargins(dialog);
    const QSize inside = controls::keptOnScreen(dialog.geometry(), area.marginsRemoved(margins), minimum).size();
    if (inside != dialog.size())
        dialog.resize(inside);
    dialog.move(placeOverOwner(window->frameGeometry(), dialog.frameGeometry().size(), area));
    KeepFrameOnScreenWhenShown(dialog);
}

} // namespace ostrel::vessolt
