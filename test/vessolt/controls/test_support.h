// Shared helpers of the control library tests: a settable clock and counted beeps and messages.
#pragma once

#include "kvflash.h"
#include "kvformat.h"
#include "kvproc.h"

#include <QString>

namespace ostrel::vessolt::controls::testing {

inline int64_t& fakeNow() {
    static int64_t now = 0;
    return now;
}
inline int64_t fakeClock() { return fakeNow(); }

inline int& beepCount() {
    static int count = 0;
    return count;
}
inline void countBeep() { ++beepCount(); }

inline int& messageCount() {
    static int count = 0;
    return count;
}
inline QString& lastMessage() {
    static QString text;
    return text;
}
inline void recordMessage(const QString& text, const QString& caption) {
    ++messageCount();
    lastMessage() = caption + u'|' + text;
}

// Installs the fake clock, counts beeps and messages, and starts from an empty tick list.
struct ControlsScene {
    ControlsScene() {
        fakeNow() = 0;
        beepCount() = 0;
        messageCount() = 0;
        KvSetClock(&fakeClock);
        KvSetBeepHook(&countBeep);
        KvSetMessageHook(&recordMessage);
        kvSetSeparators({u'.', u','});
        KvResetFlash();
    }
    ~ControlsScene() {
        KvResetFlash();
        KvSetClock(nullptr);
        KvSetBeepHook(nullptr);
        KvSetMessageHook(nullptr);
    }
    // Runs ticks 16 ms apart until the fake clock reaches `until`.
    static void tickUntil(int64_t until) {
        while (fakeNow() + 16 <= until) {
            fakeNow() += 16;
            TKvFlashTimer::flash();
        }
    }
};

} // namespace ostrel::vessolt::controls::testing
