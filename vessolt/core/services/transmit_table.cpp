#include "services/transmit_table.h"

#include <platform/clock.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>

#include "services/canopen_api.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {

TTransmit::TTransmit(int n, CanopenApi& api, ReceiveFanout& fanout, UserPrompt& prompt)
    : api_(api), fanout_(fanout), prompt_(prompt) {
    try {
        entries_.resize(static_cast<size_t>(std::max(n, 0)));
        usable_ = true;
    } catch (const std::bad_alloc&) {
        (void)prompt_.ask(PromptIcon::Warning, "Unable to allocate memory for transmit messages", kProductName,
                          PromptButtons::Ok);
    }
    fanout_.attach(ReceiveStageSlot::Transmit, *this);
}

TTransmit::~TTransmit() {
    fanout_.detach(ReceiveStageSlot::Transmit);
    Stop();
}

void TTransmit::onReceive(const CANFrame& frame, bool) { OnReceive(frame.id); }

CANFrame TTransmit::frameOf(const TransmitEntry& entry) {
    CANFrame frame{};
    frame.id = entry.identifier;
    frame.length = entry.dlc;
    std::memcpy(frame.data, entry.data, sizeof frame.data);
    frame.flags = static_cast<uint8_t>((entry.identifier > 0x7FF ? DRN_FLAG_EXTENDED : 0) |
                                       (entry.rtr != 0 ? DRN_FLAG_REMOTE : 0));
    return frame;
}

void TTransmit::sendFrames(const std::vector<CANFrame>& frames) {
    for (const CANFrame& frame : frames) {
        ResultBlock result{};
        api_.canTransmit(frame, &result);  // a frame that does not go out is not retried
    }
}

void TTransmit::OnReceive(uint32_t identifier) {
    if (!usable_)
        return;
    std::vector<CANFrame> frames;
    {
        std::unique_lock lock(mutex_, kReceiveLockWait);
        if (!lock.owns_lock())
            return;
        for (const TransmitEntry& e : entries_)
            if (e.inUse && e.triggerOnReceive && e.triggerIdentifier == identifier)
                frames.push_back(frameOf(e));
    }
    // Sent after the lock is released: a transmission may take a while, and others wait for the table.
    sendFrames(frames);
}

void TTransmit::Send(int index) {
    if (!usable_ || index < 0)
        return;
    std::optional<CANFrame> frame;
    {
        std::unique_lock lock(mutex_, kReceiveLockWait);
        if (!lock.owns_lock() || static_cast<size_t>(index) >= entries_.size())
            return;
        if (entries_[static_cast<size_t>(index)].inUse)
            frame = frameOf(entries_[static_cast<size_t>(index)]);
    }
    if (frame)
        sendFrames({*frame});
}

void TTransmit::TransmitTimerProc() {
    std::vector<CANFrame> frames;
    {
        // Never waits: a busy table (SetEntry, Clear) just skips this tick.
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock())
            return;
        const uint32_t now = platform::tickMs();
        for (TransmitEntry& e : entries_) {
            // Unsigned subtraction: the wrap of the tick count is harmless.
            if (e.inUse && e.periodic && now - e.lastSend >= e.period) {
                frames.push_back(frameOf(e));
                e.lastSend = now;
            }
        }
    }
    sendFrames(frames);
}

void TTransmit::Start() {
    std::lock_guard lock(timerMutex_);
    if (timer_)
        return;
    try {
        timer_ = std::make_unique<platform::PeriodicTimer>(kTimerPeriodUs, std::function<void()>([this] {
                                                               TransmitTimerProc();
                                                           }));
    } catch (const std::system_error&) {
        (void)prompt_.ask(PromptIcon::Warning, "Failed to configure transmit timers", kProductName,
                          PromptButtons::Ok);
    }
}

void TTransmit::Stop() {
    std::unique_ptr<platform::PeriodicTimer> timer;
    {
        std::lock_guard lock(timerMutex_);
        timer = std::move(timer_);
    }
    // Joined outside the timer lock; the tick never waits for the table, so this cannot hang on it.
    timer.reset();
}

bool TTransmit::IsRunning() const {
    std::lock_guard lock(timerMutex_);
    return timer_ != nullptr;
}

void TTransmit::Clear() {
    if (!usable_)
        return;
    std::unique_lock lock(mutex_, kClearLockWait);
    if (!lock.owns_lock())
        return;
    Stop();
    for (TransmitEntry& e : entries_)
        e.inUse = 0;
    Start();
}

bool TTransmit::SetEntry(int index, const TransmitEntry& entry) {
    if (!usable_ || index < 0 || entry.dlc > 8 || entry.period == 0 || entry.identifier > kMaxIdentifier)
        return false;
    std::unique_lock lock(mutex_, kReceiveLockWait);
    if (!lock.owns_lock() || static_cast<size_t>(index) >= entries_.size())
        return false;
    TransmitEntry& e = entries_[static_cast<size_t>(index)];
    e = entry;
    e.lastSend = platform::tickMs() - entry.period;
    return true;
}

std::optional<TransmitEntry> TTransmit::GetEntry(int index) const {
    if (index < 0)
        return std::nullopt;
    std::unique_lock lock(mutex_, kReceiveLockWait);
    if (!lock.owns_lock() || static_cast<size_t>(index) >= entries_.size())
        return std::nullopt;
    return entries_[static_cast<size_t>(index)];
}

} // namespace ostrel::vessolt
