#pragma once
// The support module in software: while the tests run, a CANopen node that answers the module's
// command protocol as an SDO server, stores the six transmission lists and replays them on the bus.
// The program's own frames come back through the receive path, so the driver finds it like a module
// on the bus.
//
// Threads: the library's engine thread hands frames to onReceive (into a ring under the ring lock);
// the worker handles them and transmits the lists; the test worker calls Start and Stop.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "nsm/nsm.h"
#include "services/receive_fanout.h"
#include "services/timed_mutex.h"

namespace ostrel::vessolt {

class CanopenApi;
class TLog;
class UserPrompt;

// The global test configuration's part for the software module.
struct SoftNSMSettings {
    bool enabled = false;  // "softnsm"
    uint8_t nodeId = 0;    // "softnsmnodeid"
};

class TSoftNSM final : public ReceiveStage {
public:
    static constexpr uint32_t kRingSize = 64;
    static constexpr uint32_t kListCount = 6;
    static constexpr uint8_t kListCapacity[kListCount] = {50, 50, 22, 2, 44, 8};
    static constexpr uint32_t kLockWaitMs = 500;
    static constexpr uint32_t kStartStopWaitMs = 1000;

    TSoftNSM(CanopenApi& api, TLog& log, UserPrompt& prompt, std::function<SoftNSMSettings()> settings);
    ~TSoftNSM() override;
    TSoftNSM(const TSoftNSM&) = delete;
    TSoftNSM& operator=(const TSoftNSM&) = delete;

    // Before the first test of a run: starts the worker when the configuration asks for the module.
    void Start();
    // After the last test: stops and joins the worker.
    void Stop();
    // No multimedia timer here: they only keep their state.
    void StartTimer();
    void StopTimer();

    void onReceive(const CANFrame& frame, bool answersRequest) override;
    void OnCANReceive(uint32_t identifier, uint8_t dlc, uint32_t time0, uint32_t time1, uint32_t time2, uint8_t flags,
                      const uint8_t* data);

    [[nodiscard]] uint32_t WorkerState() const { return workerState_.load(); }
    [[nodiscard]] uint8_t NodeId() const { return nodeId_.load(); }
    // Monotonic microseconds at which the lists last started; 0 before. List entries fall due at
    // this time plus whole cycles plus their entry time.
    [[nodiscard]] uint64_t TransmissionStartUs() const { return transmissionStartUs_.load(); }

private:
    struct RingRecord {
        uint32_t identifier;
        uint8_t dlc;
        uint8_t data[8];
        uint8_t flags;  // bit 0 extended, bit 1 remote
        uint32_t time[3];
    };

    struct ListState {
        std::array<NSMListEntry, 50> entries{};
        uint8_t count = 0;
        uint8_t next = 0;       // next entry to send in this cycle
        uint64_t baseUs = 0;    // start of the current cycle
    };

    void run();
    [[nodiscard]] bool popFrame(RingRecord& record);
    void HandleFrame(const RingRecord& record);
    void handleSdo(const RingRecord& record);
    void TransmitScheduler();
    // Earliest due time of a transmitting list, or UINT64_MAX.
    [[nodiscard]] uint64_t nextDueUs() const;
    [[nodiscard]] bool AppendListData(bool last, uint8_t count, const uint8_t* bytes);
    void SendResetFrame();
    void SendBootup();
    void SendAbort(uint8_t* answer, uint32_t code);
    void transmit(uint32_t identifier, uint8_t dlc, const uint8_t* data, bool remote);
    void answer(const uint8_t* data);

    CanopenApi& api_;
    TLog& log_;
    UserPrompt& prompt_;
    std::function<SoftNSMSettings()> settings_;

    std::atomic<uint32_t> workerState_{0};  // 0 stopped, 1 running, 2 stop requested
    std::unique_ptr<RingRecord[]> ring_;
    TimedMutex ringLock_;
    uint32_t writeIndex_ = 0;
    uint32_t readIndex_ = 0;

    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool frameQueued_ = false;
    std::mutex controlMutex_;  // Start and Stop
    std::thread worker_;

    std::atomic<uint8_t> nodeId_{0};
    // Owned by the worker from here on.
    uint32_t versionReply_ = 0;
    uint32_t selectedList_ = 0;  // 0 none
    uint8_t bytePosition_ = 0;
    uint32_t transmissionState_ = 0;  // 0 off, 1 start requested, 2 transmitting
    std::array<ListState, kListCount> lists_{};
    std::atomic<uint64_t> transmissionStartUs_{0};

    bool timerRunning_ = false;
    bool timerPeriodSet_ = false;
};

} // namespace ostrel::vessolt
