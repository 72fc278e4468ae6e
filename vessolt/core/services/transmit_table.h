#pragma once
// The periodic transmission table: frames the PC sends every so many milliseconds (a 1 ms timer) or
// in answer to a received identifier. The receive fan-out hands it every received frame before the
// trace records it.
#include <drennic/drennic.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "services/receive_fanout.h"
#include "services/timed_mutex.h"

namespace ostrel::platform {
class PeriodicTimer;
}

namespace ostrel::vessolt {

class CanopenApi;
class UserPrompt;

struct TransmitEntry {
    uint8_t inUse = 0;
    uint32_t identifier = 1;  // above 0x7FF sent with an extended identifier
    uint8_t triggerOnReceive = 0;
    uint32_t triggerIdentifier = 0x80;
    uint8_t dlc = 8;
    uint8_t data[8] = {};
    uint32_t rtr = 0;       // non-zero: remote request
    uint32_t lastSend = 0;  // tick (ms) of the last periodic sending
    uint32_t period = 1000; // ms
    uint8_t periodic = 0;
};

class TTransmit final : public ReceiveStage {
public:
    static constexpr uint32_t kTimerPeriodUs = 1000;
    static constexpr auto kReceiveLockWait = std::chrono::milliseconds(1000);
    static constexpr auto kClearLockWait = std::chrono::milliseconds(10000);
    static constexpr uint32_t kMaxIdentifier = 0x1FFFFFFF;

    // n entries with their defaults, none in use; the timer is not started. Attaches the transmit
    // stage to the fan-out.
    TTransmit(int n, CanopenApi& api, ReceiveFanout& fanout, UserPrompt& prompt);
    // Detaches the stage (waiting for a running call) and stops the timer.
    ~TTransmit() override;
    TTransmit(const TTransmit&) = delete;
    TTransmit& operator=(const TTransmit&) = delete;

    // The transmit stage of the receive fan-out (engine thread).
    void onReceive(const CANFrame& frame, bool answersRequest) override;

    // Sends every entry in use that triggers on this identifier, in table order.
    void OnReceive(uint32_t identifier);
    // Sends entry `index` when it is in use.
    void Send(int index);
    // The 1 ms timer; Start does nothing while it runs.
    void Start();
    void Stop();
    [[nodiscard]] bool IsRunning() const;
    // Puts every entry out of use; the timer runs afterwards.
    void Clear();

    // Fills entry `index` from `entry` (its lastSend is ignored: a periodic entry goes out at the next
    // tick). Refused (false): a bad index, dlc above 8, period 0, an identifier beyond 29 bits, a table
    // that could not be allocated, or a lock that could not be had.
    [[nodiscard]] bool SetEntry(int index, const TransmitEntry& entry);
    [[nodiscard]] std::optional<TransmitEntry> GetEntry(int index) const;
    [[nodiscard]] int GetEntryCount() const noexcept { return static_cast<int>(entries_.size()); }

    // What the timer runs every millisecond.
    void TransmitTimerProc();

private:
    [[nodiscard]] static CANFrame frameOf(const TransmitEntry& entry);
    void sendFrames(const std::vector<CANFrame>& frames);

    CanopenApi& api_;
    ReceiveFanout& fanout_;
    UserPrompt& prompt_;
    bool usable_ = false;

    mutable TimedMutex mutex_;  // guards entries_
    std::vector<TransmitEntry> entries_;

    mutable std::mutex timerMutex_;  // guards timer_; never taken by the timer's own thread
    std::unique_ptr<platform::PeriodicTimer> timer_;
};

} // namespace ostrel::vessolt
