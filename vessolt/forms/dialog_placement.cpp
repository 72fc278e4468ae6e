#include "dialog_placement.h"

#include "window_geometry.h"

#include <algorithm>

#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QWidget>

namespace ostrel::vessolt {

QPoint placeOverOwner(const QRect& owner, const QSize& dialog, std::optional<QRect> screen) {
    int left = owner.width() > dialog.width() ? owner.left() + (owner.width() - dialog.width()) / 2 : owner.left();
    int top = owner.height() > dialog.height() ? owner.top() + (owner.height() - dialog.height()) / 2 : owner.top();
    if (screen) {
        left = std::max(screen->left(), std::min(left, screen->right() + 1 - dialog.width()));
        top = std::max(screen->top(), std::min(top, screen->bottom() + 1 - dialog.height()));
    }
    return {left, top};
}

void PlaceOverOwner(QWidget& dialog, const QWidget* owner) {
    if (owner == nullptr)
        return;
    // An unshown dialog has no size of its own yet; one restored or shown before keeps its size,
    // grown to what its layout needs, as showing it would grow it.
    if (!dialog.testAttribute(Qt::WA_Resized))
        dialog.adjustSize();
    else if (QLayout* layout = dialog.layout())
        layout->activate();
    const QWidget* window = owner->window();
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    dialog.move(placeOverOwner(window->frameGeometry(), dialog.frameGeometry().size(),
                               screen ? std::optional<QRect>(screen->availableGeometry()) : std::nullopt));
    KeepFrameOnScreenWhenShown(dialog);
}

} // namespace ostrel::vessolt
