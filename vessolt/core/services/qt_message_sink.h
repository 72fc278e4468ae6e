#pragma once
// Delivers service messages to a QObject as posted events, from any thread.
#include <QEvent>
#include <QObject>
#include <mutex>

#include "services/message_sink.h"

namespace ostrel::vessolt {

class ServiceEvent : public QEvent {
public:
    ServiceEvent(uint32_t message, uintptr_t wParam, intptr_t lParam)
        : QEvent(type()), message(message), wParam(wParam), lParam(lParam) {}
    static QEvent::Type type();

    const uint32_t message;
    const uintptr_t wParam;
    const intptr_t lParam;
};

class QtMessageSink : public MessageSink {
public:
    explicit QtMessageSink(QObject* target) : target_(target) {}
    void post(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
    // Called from the target's destructor: afterwards nothing reaches it. Events already queued are
    // dropped by Qt together with the object.
    void detach();

private:
    std::mutex mutex_;
    QObject* target_;
};

} // namespace ostrel::vessolt
