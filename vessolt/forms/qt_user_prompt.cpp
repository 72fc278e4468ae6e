#include "qt_user_prompt.h"

#include "dialog_placement.h"

#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace ostrel::vessolt {
namespace {

// How often a waiting thread looks whether the shut-down has begun.
constexpr auto kShutdownLook = std::chrono::milliseconds(100);

QMessageBox::Icon toIcon(PromptIcon icon) {
    switch (icon) {
    case PromptIcon::Information: return QMessageBox::Information;
    case PromptIcon::Warning: return QMessageBox::Warning;
    case PromptIcon::Error: return QMessageBox::Critical;
    case PromptIcon::Question: return QMessageBox::Question;
    case PromptIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons toButtons(PromptButtons buttons) {
    switch (buttons) {
    case PromptButtons::Ok: return QMessageBox::Ok;
    case PromptButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case PromptButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case PromptButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case PromptButtons::RetryCancel: return QMessageBox::Retry | QMessageBox::Cancel;
    case PromptButtons::AbortRetryIgnore: return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    }
    return QMessageBox::Ok;
}

PromptAnswer toAnswer(int button, PromptButtons buttons) {
    switch (button) {
    case QMessageBox::Ok: return PromptAnswer::Ok;
    case QMessageBox::Cancel: return PromptAnswer::Cancel;
    case QMessageBox::Yes: return PromptAnswer::Yes;
    case QMessageBox::No: return PromptAnswer::No;
    case QMessageBox::Retry: return PromptAnswer::Retry;
    case QMessageBox::Abort: return PromptAnswer::Abort;
    case QMessageBox::Ignore: return PromptAnswer::Ignore;
    default: break;
    }
    // Closed with Escape or the title bar: the cancelling answer where there is one.
    switch (buttons) {
    case PromptButtons::OkCancel:
    case PromptButtons::YesNoCancel:
    case PromptButtons::RetryCancel: return PromptAnswer::Cancel;
    case PromptButtons::YesNo: return PromptAnswer::No;
    case PromptButtons::AbortRetryIgnore: return PromptAnswer::Abort;
    case PromptButtons::Ok: break;
    }
    return PromptAnswer::Ok;
}

// The window a box belongs over: the dialog that waits for it, else the active window, else the
// main window (no window is active, for one, once another box has closed and nothing took focus).
QWidget* boxOwner() {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    if (QWidget* active = QApplication::activeWindow())
        return active;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<QMainWindow*>(widget) != nullptr && widget->isVisible())
            return widget;
    return nullptr;
}

// A message box sizes itself as it shows: it is placed as every dialog is, from then on.
class PlacedMessageBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        PlaceOverOwner(*this, parentWidget());
    }
};

PromptAnswer showBox(PromptIcon icon, const std::string& text, const std::string& caption, PromptButtons buttons) {
    PlacedMessageBox box(toIcon(icon), QString::fromStdString(caption), QString::fromStdString(text),
                         toButtons(buttons), boxOwner());
    return toAnswer(box.exec(), buttons);
}

struct PendingQuestion {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    bool abandoned = false;  // the asker took the default answer: nothing to show any more
    PromptAnswer answer = PromptAnswer::Ok;
};

} // namespace

PromptAnswer QtUserPrompt::ask(PromptIcon icon, const std::string& text, const std::string& caption,
                               PromptButtons buttons) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr)
        return defaultAnswer(buttons);
    if (QThread::currentThread() == app->thread())
        return showBox(icon, text, caption, buttons);
    if (shuttingDown_)
        return defaultAnswer(buttons);

    auto pending = std::make_shared<PendingQuestion>();
    QMetaObject::invokeMethod(
        app,
        [pending, icon, text, caption, buttons] {
            {
                std::lock_guard lock(pending->mutex);
                if (pending->abandoned)
                    return;
            }
            const PromptAnswer answer = showBox(icon, text, caption, buttons);
            std::lock_guard lock(pending->mutex);
            pending->answer = answer;
            pending->done = true;
            pending->answered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(pending->mutex);
    while (!pending->done) {
        if (shuttingDown_) {
            pending->abandoned = true;
            return defaultAnswer(buttons);
        }
        pending->answered.wait_for(lock, kShutdownLook);
    }
    return pending->answer;
}

} // namespace ostrel::vessolt
