#include "kvnumspin.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QResizeEvent>

namespace ostrel::vessolt::controls {

namespace {
constexpr int kFrame = 2;  // the edit's frame inside which the buttons sit
}

TKvNumSpin::TKvNumSpin(QWidget* owner) : TKvNumEdit(owner) {
    button_ = new TKvSpinButton(this);  // owned by this widget
    button_->SetFocusControl(this);
    connect(button_, &TKvSpinButton::OnUpClick, this, &TKvNumSpin::UpClick);
    connect(button_, &TKvSpinButton::OnDownClick, this, &TKvNumSpin::DownClick);
    button_->show();
    resize(width(), std::max(height(), minHeight()));
    SetEditRect();
    updateButtons();
}

TKvNumSpin::~TKvNumSpin() = default;

// Enabled follows the state and the limits; a disabled control disables its children anyway.
void TKvNumSpin::updateButtons() {
    const bool normal = State() == esNormal;
    button_->UpButton()->setEnabled(normal && !LimitUp());
    button_->DownButton()->setEnabled(normal && !LimitLo());
}

void TKvNumSpin::StateChanged(TNumEditState s) {
    TKvNumEdit::StateChanged(s);
    if (button_)
        updateButtons();
}

void TKvNumSpin::Limit() {
    if (button_)
        updateButtons();
    TKvNumEdit::Limit();
}

void TKvNumSpin::changeEvent(QEvent* e) {
    TKvNumEdit::changeEvent(e);
    if (e->type() == QEvent::EnabledChange && button_)
        updateButtons();
}

// A button held while the focus goes elsewhere (another window) would never see its release.
void TKvNumSpin::focusOutEvent(QFocusEvent* e) {
    TKvNumEdit::focusOutEvent(e);
    for (TKvTimerSpeedBtn* b : {button_->UpButton(), button_->DownButton()}) {
        DelControl(b);
        b->setDown(false);
    }
}

int TKvNumSpin::minHeight() const {
    const int own = QFontMetrics(font()).height();
    const int system = QFontMetrics(QApplication::font()).height();
    return own + std::min(own, system) / 4 + 4 + 2;
}

QSize TKvNumSpin::minimumSizeHint() const {
    QSize hint = TKvNumEdit::minimumSizeHint();
    hint.setHeight(std::max(hint.height(), minHeight()));
    hint.setWidth(std::max(hint.width(), TKvSpinButton::kMinWidth + 2 * kFrame + 8));
    return hint;
}

void TKvNumSpin::resizeEvent(QResizeEvent* e) {
    TKvNumEdit::resizeEvent(e);
    if (!button_)
        return;
    const int w = TKvSpinButton::kMinWidth;
    button_->setGeometry(width() - w - kFrame, kFrame, w, std::max(height() - 2 * kFrame, 2));
    SetEditRect();
}

// Keeps typed text from running under the buttons.
void TKvNumSpin::SetEditRect() {
    setTextMargins(0, 0, button_->width() + 2, 0);
}

} // namespace ostrel::vessolt::controls
