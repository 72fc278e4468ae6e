#include "services/qt_message_sink.h"

#include <QCoreApplication>
#include <memory>

namespace ostrel::vessolt {

QEvent::Type ServiceEvent::type() {
    static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
    return registered;
}

void QtMessageSink::post(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard lock(mutex_);
    if (!target_)
        return;
    // Qt takes ownership of a posted event.
    QCoreApplication::postEvent(target_, std::make_unique<ServiceEvent>(message, wParam, lParam).release());
}

void QtMessageSink::detach() {
    std::lock_guard lock(mutex_);
    target_ = nullptr;
}

} // namespace ostrel::vessolt
