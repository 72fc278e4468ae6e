// The process-wide tick that drives blinking and auto-repeat. One timer on the GUI thread walks a
// list of clients every 16 ms: flash-frequency clients get a blink state when it changes, slow-pass
// clients about once a second, interval clients when their period is due. Everything here runs on
// the GUI thread.
#pragma once

#include "kvcontrols_export.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace ostrel::vessolt::controls {

// A control served by the tick: `counter` is the tick counter, `arg` the blink state, the lateness
// in ms that was corrected, or 0 in a slow pass.
class KVCONTROLS_EXPORT KvFlashClient {
public:
    virtual ~KvFlashClient() = default;
    virtual void flashTick(uint32_t counter, int32_t arg) = 0;
};

using TFlashProc = void (*)(uint32_t counter, int32_t arg);

// Period codes; any other period is an interval in ms.
enum TFlashFreq : int64_t { ff8Hz = 2, ff4Hz = 3, ff2Hz = 4, ff1Hz = 5, ff05Hz = 6 };
inline constexpr int64_t kFlashSlowPass = 32;

struct TFlashRecord {
    QPointer<QObject> Control;   // the client as an object, so that a deleted one is noticed
    KvFlashClient* client = nullptr;
    TFlashProc Proc = nullptr;
    int64_t Period = 0;
    int64_t Due = 0;  // clock ms
    bool LastState = false;
};

// The library's ms clock (monotonic, 64-bit). Tests install their own; nullptr restores it.
using KvClockFn = int64_t (*)();
KVCONTROLS_EXPORT int64_t KvTickMs();
KVCONTROLS_EXPORT KvClockFn KvSetClock(KvClockFn clock);

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A tick component: calls OnTimer every Interval ms while Enabled.
class KVCONTROLS_EXPORT TKvFlash : public QObject {
    Q_OBJECT
public:
    explicit TKvFlash(QObject* owner = nullptr);
    ~TKvFlash() override;

    [[nodiscard]] bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    [[nodiscard]] uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t interval);
    [[nodiscard]] TThreadPriority ThreadPriority() const { return priority_; }
    void SetThreadPriority(TThreadPriority priority) { priority_ = priority; }  // no thread: kept only
    void SetOnTimer(std::function<void()> onTimer);
    [[nodiscard]] bool isTicking() const { return timer_.isActive(); }
    // One tick, as the timer delivers it.
    void Timer();

private:
    void UpdateTimer();
    bool enabled_ = true;
    uint32_t interval_ = 16;
    TThreadPriority priority_ = tpNormal;
    std::function<void()> onTimer_;
    QTimer timer_;
};

// The one tick timer of the process. A second one reports the mistake and never ticks.
class KVCONTROLS_EXPORT TKvFlashTimer : public TKvFlash {
    Q_OBJECT
public:
    explicit TKvFlashTimer(QObject* owner = nullptr);
    ~TKvFlashTimer() override;
    // The tick: advances the counter and serves every client.
    static void flash();
};

// Registration. Registering again changes the period and restarts the due time.
KVCONTROLS_EXPORT void AddControl(QObject* control, int64_t period);
KVCONTROLS_EXPORT void AddProc(TFlashProc proc, int64_t period);
KVCONTROLS_EXPORT void DelControl(const QObject* control);
KVCONTROLS_EXPORT void DelProc(TFlashProc proc);
KVCONTROLS_EXPORT void DelControlNo(int index);
KVCONTROLS_EXPORT void DelProcNo(int index);
KVCONTROLS_EXPORT void ClearFlashList();
KVCONTROLS_EXPORT void CreateFlashTimer();
KVCONTROLS_EXPORT void FreeFlashTimer();

// Inspection and reset, for tests and diagnostics.
KVCONTROLS_EXPORT const std::vector<TFlashRecord>& FlashList();
KVCONTROLS_EXPORT TKvFlashTimer* FlashTimer();
KVCONTROLS_EXPORT uint32_t FlashCounter();
KVCONTROLS_EXPORT void KvResetFlash(uint32_t counter = 0);

} // namespace ostrel::vessolt::controls
