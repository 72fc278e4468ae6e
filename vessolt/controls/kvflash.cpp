#include "kvflash.h"

#include "kvproc.h"

#include <platform/clock.h>

#include <QCoreApplication>

#include <atomic>

namespace ostrel::vessolt::controls {

namespace {

constexpr int64_t kSlowPassStepMs = 1000;
// A client served later than this falls back into step with now instead of catching up.
constexpr int64_t kMaxCatchUpMs = 1000;

struct FlashState {
    std::vector<TFlashRecord> list;
    std::unique_ptr<TKvFlashTimer> timer;
    uint32_t counter = 0;
    int32_t timerCount = 0;
    int64_t nextSlowPass = 0;
    bool shutdownHooked = false;
    // Index of the record being served during a tick, -1 outside a tick; removals before it move
    // it back so that no client is skipped.
    std::ptrdiff_t walkIndex = -1;
};

FlashState& flashState() {
    static FlashState state;
    return state;
}

int64_t monotonicMs() { return static_cast<int64_t>(platform::monotonicUs() / 1000); }

std::atomic<KvClockFn> clockFn{nullptr};

void onApplicationShutdown() {
    auto& s = flashState();
    s.shutdownHooked = false;
    FreeFlashTimer();
    ClearFlashList();
}

void reserveSlots(std::vector<TFlashRecord>& list) {
    if (list.capacity() - list.size() < 2)
        list.reserve(list.size() + 10);
}

void serve(std::size_t index, int64_t now, bool slowPass) {
    auto& s = flashState();
    TFlashRecord& record = s.list[index];
    if (!record.Control && !record.Proc)
        return;
    const auto code = static_cast<int32_t>(static_cast<uint64_t>(record.Period) & 0xFFFFFFFFu);
    int32_t arg = 0;
    if (code >= ff8Hz && code <= ff05Hz) {
        const bool state = (s.counter >> code) & 1u;
        if (state == record.LastState)
            return;
        record.LastState = state;
        arg = state ? 1 : 0;
    } else if (code == kFlashSlowPass) {
        if (!slowPass)
            return;
    } else {
        if (now < record.Due)
            return;
        const int64_t late = now - record.Due;
        const int64_t gap = late > kMaxCatchUpMs ? 0 : late;
        record.Due = now + record.Period - gap;
        arg = static_cast<int32_t>(gap);
    }
    // The client may add or remove records: nothing of the record is used after the call.
    const TFlashProc proc = record.Proc;
    const QPointer<QObject> control = record.Control;
    KvFlashClient* const client = record.client;
    if (proc)
        proc(s.counter, arg);
    else if (control)
        client->flashTick(s.counter, arg);
}

} // namespace

int64_t KvTickMs() {
    const auto fn = clockFn.load();
    return fn ? fn() : monotonicMs();
}

KvClockFn KvSetClock(KvClockFn clock) { return clockFn.exchange(clock); }

TKvFlash::TKvFlash(QObject* owner) : QObject(owner) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &TKvFlash::Timer);
}

TKvFlash::~TKvFlash() {
    enabled_ = false;
    onTimer_ = nullptr;
    timer_.stop();
}

void TKvFlash::SetEnabled(bool enabled) {
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    UpdateTimer();
}

void TKvFlash::SetInterval(uint32_t interval) {
    if (interval == interval_)
        return;
    interval_ = interval;
    UpdateTimer();
}

void TKvFlash::SetOnTimer(std::function<void()> onTimer) {
    const bool changed = static_cast<bool>(onTimer) != static_cast<bool>(onTimer_);
    onTimer_ = std::move(onTimer);
    if (changed)
        UpdateTimer();
}

void TKvFlash::UpdateTimer() {
    timer_.stop();
    if (interval_ != 0 && enabled_ && onTimer_)
        timer_.start(static_cast<int>(interval_));
}

void TKvFlash::Timer() {
    if (enabled_ && onTimer_)
        onTimer_();
}

TKvFlashTimer::TKvFlashTimer(QObject* owner) : TKvFlash(owner) {
    auto& s = flashState();
    if (++s.timerCount == 1)
        SetOnTimer(&TKvFlashTimer::flash);
    else
        KvShowError(QStringLiteral("Only one TKvFlashTimer per Application!\rRemove it..."),
                    QStringLiteral("Error Message"));
}

TKvFlashTimer::~TKvFlashTimer() { --flashState().timerCount; }

void TKvFlashTimer::flash() {
    auto& s = flashState();
    ++s.counter;
    const int64_t now = KvTickMs();
    bool slowPass = false;
    if (now >= s.nextSlowPass) {
        s.nextSlowPass += kSlowPassStepMs;
        slowPass = true;
    }
    const std::size_t count = s.list.size();
    std::size_t served = 0;
    for (s.walkIndex = 0; served < count && s.walkIndex < static_cast<std::ptrdiff_t>(s.list.size()) &&
                          !QCoreApplication::closingDown();
         ++s.walkIndex, ++served) {
        try {
            serve(static_cast<std::size_t>(s.walkIndex), now, slowPass);
        } catch (...) {
            // one faulty client must not starve the others
        }
    }
    s.walkIndex = -1;
}

void AddControl(QObject* control, int64_t period) {
    auto* client = dynamic_cast<KvFlashClient*>(control);
    if (!client)
        return;
    auto& s = flashState();
    const int64_t due = KvTickMs() + period;
    bool found = false;
    for (auto& record : s.list) {
        if (record.Control.data() == control) {
            record.Period = period;
            record.Due = due;
            found = true;
        }
    }
    if (!found) {
        reserveSlots(s.list);
        TFlashRecord record;
        record.Control = control;
        record.client = client;
        record.Period = period;
        record.Due = due;
        s.list.push_back(std::move(record));
    }
    if (!s.list.empty())
        CreateFlashTimer();
}

void AddProc(TFlashProc proc, int64_t period) {
    if (!proc)
        return;
    auto& s = flashState();
    const int64_t due = KvTickMs() + period;
    bool found = false;
    for (auto& record : s.list) {
        if (record.Proc == proc) {
            record.Period = period;
            record.Due = due;
            found = true;
        }
    }
    if (!found) {
        reserveSlots(s.list);
        TFlashRecord record;
        record.Proc = proc;
        record.Period = period;
        record.Due = due;
        s.list.push_back(std::move(record));
    }
    if (!s.list.empty())
        CreateFlashTimer();
}

void DelControl(const QObject* control) {
    auto& s = flashState();
    if (control) {
        for (std::size_t i = 0; i < s.list.size(); ++i) {
            if (s.list[i].Control.data() == control) {
                DelControlNo(static_cast<int>(i));
                break;
            }
        }
    }
    if (QCoreApplication::closingDown() && s.list.empty())
        FreeFlashTimer();
}

void DelProc(TFlashProc proc) {
    auto& s = flashState();
    if (proc) {
        for (auto i = static_cast<int>(s.list.size()) - 1; i >= 0; --i) {
            if (s.list[i].Proc == proc) {
                DelProcNo(i);
                break;
            }
        }
    }
    if (QCoreApplication::closingDown() && s.list.empty())
        FreeFlashTimer();
}

void DelControlNo(int index) {
    auto& s = flashState();
    if (index < 0 || static_cast<std::size_t>(index) >= s.list.size())
        return;
    s.list.erase(s.list.begin() + index);
    if (s.walkIndex >= 0 && index <= s.walkIndex)
        --s.walkIndex;
}

void DelProcNo(int index) { DelControlNo(index); }

void ClearFlashList() {
    auto& s = flashState();
    s.list.clear();
    if (s.walkIndex >= 0)
        s.walkIndex = -1;
}

void CreateFlashTimer() {
    auto& s = flashState();
    if (s.timer)
        return;
    s.nextSlowPass = KvTickMs() + kSlowPassStepMs;
    s.timer = std::make_unique<TKvFlashTimer>();
    if (!s.shutdownHooked) {
        // The timer must go while the application still has its event dispatcher.
        qAddPostRoutine(&onApplicationShutdown);
        s.shutdownHooked = true;
    }
}

void FreeFlashTimer() { flashState().timer.reset(); }

const std::vector<TFlashRecord>& FlashList() { return flashState().list; }

TKvFlashTimer* FlashTimer() { return flashState().timer.get(); }

uint32_t FlashCounter() { return flashState().counter; }

void KvResetFlash(uint32_t counter) {
    auto& s = flashState();
    FreeFlashTimer();
    s.list.clear();
    s.counter = counter;
    s.nextSlowPass = KvTickMs() + kSlowPassStepMs;
}

} // namespace ostrel::vessolt::controls
