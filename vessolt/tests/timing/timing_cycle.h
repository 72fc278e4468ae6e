#pragma once
// One measurement cycle of a timing test: find and set up the device, force its PDO parameters over
// SDO, load the support module with the stimulus, record the bus for the cycle's duration, reset the
// nodes and analyse the recording into the cycle's row.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "timing_engine.h"

namespace ostrel::vessolt {

class TCommonTest;
class TDeviceSummary;
class TLog;
class TTraceBuffer;

// What the support module is asked to send during a cycle.
struct TimingStimulus {
    TimingTestKind kind = TimingTestKind::TPDOSync;
    uint32_t syncId = 0;  // the whole identifier: 0x100 is a SYNC, not an NMT frame
    uint32_t periodMs = 0;
    uint8_t node = 0;
    uint32_t ciatr308options = 0;
    uint32_t errorControlMode = 0;
    const RPDOFrame* rpdo = nullptr;  // tests with RPDOs: rpdoCount frames
    const RPDOFrame* phase1rpdo = nullptr;  // turnaround: both phases, rpdoCount frames each
    const RPDOFrame* phase2rpdo = nullptr;
    uint32_t rpdoCount = 0;
    uint32_t subRun = 0;  // turnaround: the RPDO (1-based) of this sub-run
};

// The support module as a cycle uses it. An NMT reset stops the module's lists; Stop is for a
// stimulus that the reset does not reach.
class TimingSupportModule {
public:
    virtual ~TimingSupportModule() = default;
    [[nodiscard]] virtual bool WriteLists(const TimingStimulus& stimulus) = 0;
    [[nodiscard]] virtual bool StartTransmission() = 0;
    virtual void StopTransmission() = 0;
};

struct TimingCycleServices {
    TCommonTest& common;
    TTraceBuffer& trace;
    TDeviceSummary& summary;
    TLog& log;
    TimingSupportModule& module;
    std::function<uint32_t()> bitRateKbit;
    // Writes the device configuration file when so configured (TSetNodeConfig::Configure).
    std::function<void(uint8_t node, const std::atomic<bool>* cancel)> configureNode{};
};

class TimingCycle final : public TimingCycleDriver {
public:
    explicit TimingCycle(TimingCycleServices services) : s_(std::move(services)) {}
    [[nodiscard]] int RunCycle(int cycle, TimingCycleHost& host) override;

    // Bus load (%) and burst length (ms) from the support module's statistics frame after the
    // first NMT command of the recording; both 0 without one.
    void GetBusStatistics(float* maxBusLoad, float* maxBurstLength);

private:
    struct Cycle;
    class Failure;

    [[nodiscard]] int measure(Cycle& c);
    [[nodiscard]] int measureTurnaround(Cycle& c);
    [[nodiscard]] bool setUpTPDOs(Cycle& c);
    [[nodiscard]] bool setUpRPDOs(Cycle& c);
    [[nodiscard]] bool upload(Cycle& c, uint16_t index, uint8_t sub, uint32_t size, uint32_t* value);
    [[nodiscard]] bool download(Cycle& c, uint16_t index, uint8_t sub, uint32_t size, uint32_t value);
    // Waits `ms` in slices; false when cancelled.
    [[nodiscard]] bool timedWait(Cycle& c, uint64_t ms);
    // Resets all nodes and waits their boot-up; resetMark, when given, gets the trace's frame count
    // before the reset.
    void cleanUp(uint64_t* resetMark = nullptr);
    void restartTrace();
    int fail(Cycle& c, const std::string& message, bool traceFirst = true);
    void logBusStatistics(float load, float burst);

    TimingCycleServices s_;
};

} // namespace ostrel::vessolt
