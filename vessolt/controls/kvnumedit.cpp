#include "kvnumedit.h"

#include "kvproc.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>

namespace ostrel::vessolt::controls {

TKvNumEdit::TKvNumEdit(QWidget* owner) : QLineEdit(owner), model_(this) {
    resize(65, sizeHint().height());
    {
        const QSignalBlocker block(this);
        QLineEdit::setText(model_.text());
    }
    applyBackground(colorDefault_);
    connect(this, &QLineEdit::textChanged, this, &TKvNumEdit::userTextChanged);
}

TKvNumEdit::~TKvNumEdit() = default;

void TKvNumEdit::loaded() { model_.loaded(); }

bool TKvNumEdit::event(QEvent* e) {
    if (e->type() == QEvent::Polish)
        loaded();
    return QLineEdit::event(e);
}

void TKvNumEdit::userTextChanged(const QString& text) {
    // Our own rewrites of the text are not user input.
    if (settingText_)
        return;
    model_.edited(text);
}

void TKvNumEdit::showText(const QString& text) {
    if (QLineEdit::text() == text)
        return;
    settingText_ = true;
    QLineEdit::setText(text);
    settingText_ = false;
}

void TKvNumEdit::applyBackground(TColor c) {
    QPalette p = palette();
    p.setColor(QPalette::Base, kvColor(c));
    setPalette(p);
}

void TKvNumEdit::SetColorDefault(TColor c) {
    colorDefault_ = c;
    applyBackground(c);
}

void TKvNumEdit::SetColorError(TColor c) {
    colorError_ = c;
    if (State() == esError)
        applyBackground(c);
}

void TKvNumEdit::SetColorEditing(TColor c) {
    colorEditing_ = c;
    if (State() == esEditing)
        applyBackground(c);
}

void TKvNumEdit::StateChanged(TNumEditState s) {
    applyBackground(s == esNormal ? colorDefault_ : s == esEditing ? colorEditing_ : colorError_);
}

void TKvNumEdit::Limit() { emit OnLimit(); }

void TKvNumEdit::stateChanged(TNumEditState state) { StateChanged(state); }
void TKvNumEdit::limitChanged() { Limit(); }
void TKvNumEdit::valueChanged() { emit OnValueChanged(); }
void TKvNumEdit::stepped() { emit OnChange(); }
void TKvNumEdit::beep() { KvBeep(); }
bool TKvNumEdit::readOnly() const { return isReadOnly(); }

void TKvNumEdit::markError(int start, int length) {
    // Taking the focus back while it leaves would bounce it between two bad controls.
    if (!leaving_ && isEnabled() && isVisible())
        setFocus(Qt::OtherFocusReason);
    setSelection(start, length);
}

void TKvNumEdit::keyPressEvent(QKeyEvent* e) {
    const int key = e->key();
    if (key == Qt::Key_Up && !LimitUp()) {
        UpClick();
        e->accept();
        return;
    }
    if (key == Qt::Key_Down && !LimitLo()) {
        DownClick();
        e->accept();
        return;
    }
    if (key == Qt::Key_Escape) {
        // Undo the edit; with nothing to undo the dialog may close.
        if (model_.restore()) {
            emit OnChange();
            e->accept();
        } else {
            e->ignore();
        }
        return;
    }
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        // Commit first, so that a default button reads the new value; bad text keeps the dialog open.
        if (model_.commit())
            e->ignore();
        else
            e->accept();
        return;
    }
    if (!editorEnabled_ && !e->text().isEmpty()) {
        KvBeep();
        e->accept();
        return;
    }
    QLineEdit::keyPressEvent(e);
}

void TKvNumEdit::focusInEvent(QFocusEvent* e) {
    QLineEdit::focusInEvent(e);
    if (e->reason() != Qt::MouseFocusReason && e->reason() != Qt::PopupFocusReason)
        selectAll();
}

void TKvNumEdit::focusOutEvent(QFocusEvent* e) {
    QLineEdit::focusOutEvent(e);
    // A context menu or another window taking over is no leaving: the edit goes on when it is back.
    if (e->reason() == Qt::PopupFocusReason || e->reason() == Qt::ActiveWindowFocusReason)
        return;
    leaving_ = true;
    const bool wasError = State() == esError;
    if (!model_.commit() && wasError)
        KvBeep();
    leaving_ = false;
}

} // namespace ostrel::vessolt::controls
