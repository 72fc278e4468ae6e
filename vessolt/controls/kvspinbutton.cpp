#include "kvspinbutton.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace ostrel::vessolt::controls {

namespace {

constexpr int32_t kMinIntervalMs = 50;

// The resource holds the normal and the disabled image side by side.
QIcon glyphIcon(const QPixmap& strip, int images) {
    QIcon icon;
    const int w = strip.width() / std::max(images, 1);
    icon.addPixmap(strip.copy(0, 0, w, strip.height()), QIcon::Normal);
    if (images > 1)
        icon.addPixmap(strip.copy(w, 0, w, strip.height()), QIcon::Disabled);
    return icon;
}

} // namespace

TKvTimerSpeedBtn::TKvTimerSpeedBtn(QWidget* owner) : QToolButton(owner) {
    setFocusPolicy(Qt::NoFocus);
    setAutoRaise(false);
}

TKvTimerSpeedBtn::~TKvTimerSpeedBtn() { DelControl(this); }

void TKvTimerSpeedBtn::SetInterval(int32_t v) {
    if (v >= kMinIntervalMs)
        interval_ = v;
}

void TKvTimerSpeedBtn::mousePressEvent(QMouseEvent* e) {
    QToolButton::mousePressEvent(e);
    if (e->button() == Qt::LeftButton)
        emit pressedLeft();
    if (timerEnabled_ && e->button() == Qt::LeftButton && isDown()) {
        repeatStart_ = KvTickMs() + startDelay_;
        AddControl(this, interval_);
    }
}

void TKvTimerSpeedBtn::mouseReleaseEvent(QMouseEvent* e) {
    DelControl(this);
    QToolButton::mouseReleaseEvent(e);
}

// A held button that is disabled or hidden never sees its release.
void TKvTimerSpeedBtn::changeEvent(QEvent* e) {
    if (e->type() == QEvent::EnabledChange && !isEnabled())
        DelControl(this);
    QToolButton::changeEvent(e);
}

void TKvTimerSpeedBtn::hideEvent(QHideEvent* e) {
    DelControl(this);
    QToolButton::hideEvent(e);
}

// Emits the click directly: click() would end the press, and the release would then not step.
void TKvTimerSpeedBtn::flashTick(uint32_t, int32_t) {
    if (isEnabled() && KvTickMs() >= repeatStart_)
        emit clicked(isChecked());
}

TKvSpinButton::TKvSpinButton(QWidget* owner) : QWidget(owner) {
    setFocusPolicy(Qt::NoFocus);
    up_ = CreateButton();
    down_ = CreateButton();
    SetUpGlyph();
    SetDownGlyph();
    setMinimumWidth(kMinWidth);
    resize(15, 24);
    layoutButtons();
}

TKvSpinButton::~TKvSpinButton() = default;

TKvTimerSpeedBtn* TKvSpinButton::CreateButton() {
    auto* button = new TKvTimerSpeedBtn(this);  // owned by this widget
    connect(button, &QAbstractButton::clicked, this, [this, button] {
        if (button == up_)
            emit OnUpClick();
        else
            emit OnDownClick();
    });
    connect(button, &TKvTimerSpeedBtn::pressedLeft, this, &TKvSpinButton::BtnMouseDown);
    button->show();
    return button;
}

void TKvSpinButton::SetUpGlyph(const QPixmap& glyph) {
    const QPixmap strip = glyph.isNull() ? QPixmap(QStringLiteral(":/kvcontrols/KvSpinUp")) : glyph;
    up_->setIcon(glyphIcon(strip, glyph.isNull() ? 2 : 1));
    up_->setIconSize(QSize(9, 6));
}

void TKvSpinButton::SetDownGlyph(const QPixmap& glyph) {
    const QPixmap strip = glyph.isNull() ? QPixmap(QStringLiteral(":/kvcontrols/KvSpinDown")) : glyph;
    down_->setIcon(glyphIcon(strip, glyph.isNull() ? 2 : 1));
    down_->setIconSize(QSize(9, 6));
}

void TKvSpinButton::SetInterval(int32_t v) {
    up_->SetInterval(v);
    down_->SetInterval(v);
}

void TKvSpinButton::SetStartDelay(uint32_t v) {
    up_->SetStartDelay(v);
    down_->SetStartDelay(v);
}

void TKvSpinButton::BtnMouseDown() {
    QWidget* target = focusControl_;
    if (target && (target->focusPolicy() & Qt::TabFocus) && target->isEnabled() && target->isVisible()) {
        if (!target->hasFocus())
            target->setFocus(Qt::MouseFocusReason);
        return;
    }
    if ((focusPolicy() & Qt::TabFocus) && !hasFocus() && isEnabled())
        setFocus(Qt::MouseFocusReason);
}

void TKvSpinButton::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Up)
        up_->click();
    else if (e->key() == Qt::Key_Down)
        down_->click();
    else
        QWidget::keyPressEvent(e);
}

void TKvSpinButton::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    layoutButtons();
}

// An odd height gives the extra pixel to the lower button.
void TKvSpinButton::layoutButtons() {
    const int w = std::max(width(), kMinWidth);
    const int upHeight = height() / 2;
    up_->setGeometry(0, 0, w, upHeight);
    down_->setGeometry(0, upHeight, w, height() - upHeight);
}

} // namespace ostrel::vessolt::controls
