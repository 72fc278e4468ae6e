#include "timing_cycle.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "testing/common_test.h"
#include "services/device_summary.h"
#include "services/log.h"
#include "services/trace_buffer.h"
#include "testing/trace_filters.h"
#include "test_common.h"

namespace ostrel::vessolt {

namespace {

constexpr uint32_t kInvalid = 0x80000000u;
constexpr uint32_t kExtended = 0x20000000u;
constexpr uint64_t kMaxWaitSliceMs = 100;

template <class... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

uint32_t identifierOf(uint32_t cobId) {
    return (cobId & kExtended) ? (cobId & 0x1FFFFFFFu) : (cobId & 0x7FFu);
}

TraceFilter filterFor(uint32_t id, uint8_t dlc) {
    TraceFilter f{};
    TTraceBuffer::ClearFilter(f);
    f.idMask = 0x7FF;
    f.idValue = id;
    f.dlcMask = 0xFF;
    f.dlcValue = dlc;
    return f;
}

} // namespace

struct TimingCycle::Cycle {
    TimingCycleHost& host;
    const TimingVariant& variant;
    int index;
    uint8_t node = 0;
    uint32_t mode = 0;
    uint32_t period = 0;
    uint64_t duration = 0;
    uint8_t warn = 0;
    uint32_t tpdoIds[kTimingMaxPdos]{};
    uint32_t tpdoCount = 0;
    uint32_t rpdoCount = 0;
    TimingTestConfig settings{};  // a copy of the settings taken at the cycle's start
};

int TimingCycle::RunCycle(int cycle, TimingCycleHost& host) {
    Cycle c{host, host.Variant(), cycle};
    host.WithRecord([&](TimingTestConfig& r) { c.settings = r; });
    c.period = c.settings.time[static_cast<size_t>(cycle)];

    // Set-up: the device under test, its configuration and error control.
    c.node = s_.common.FindTestNode(host.CancelFlag());
    if (host.Cancelled())
        return kCycleCancelled;
    if (c.node == 0)
        return kCycleFailed;
    host.SetNodeId(c.node);
    if (s_.configureNode)
        s_.configureNode(c.node, host.CancelRequested());
    if (host.Cancelled())
        return kCycleCancelled;
    c.mode = static_cast<uint32_t>(s_.common.SetupErrorControl(c.node, host.CancelFlag()));
    if (host.Cancelled())
        return kCycleCancelled;
    s_.common.CheckSDOTraffic(c.node, &c.warn, nullptr);
    host.SetErrorControlMode(c.mode);

    c.duration = host.GetCycleDuration(c.period);
    restartTrace();
    if (!setUpTPDOs(c))
        return kCycleFailed;
    if ((c.variant.hasRpdo || c.variant.isTurnaround) && !setUpRPDOs(c))
        return kCycleFailed;
    host.SetPdoCounts(c.tpdoCount, c.rpdoCount);
    s_.common.CheckSDOTraffic(c.node, &c.warn, nullptr);
    s_.common.CheckEmergencies(c.node, &c.warn);

    const int result = c.variant.isTurnaround ? measureTurnaround(c) : measure(c);
    if (result != kCycleOk)
        return result;
    return c.warn ? kCycleWarning : kCycleOk;
}

bool TimingCycle::upload(Cycle& c, uint16_t index, uint8_t sub, uint32_t size, uint32_t* value) {
    uint8_t data[4]{};
    uint32_t got = sizeof data;
    SDORequest request{c.node, index, sub, &got, data};
    if (!s_.common.SDOUpload(&request, c.host.CancelFlag()))
        return false;
    // Fewer bytes than the object holds is a failed read: the rest would be stale.
    if (got < size)
        return false;
    *value = 0;
    for (uint32_t i = 0; i < size; ++i)
        *value |= uint32_t{data[i]} << (8 * i);
    return true;
}

bool TimingCycle::download(Cycle& c, uint16_t index, uint8_t sub, uint32_t size, uint32_t value) {
    uint8_t data[4];
    for (uint32_t i = 0; i < 4; ++i)
        data[i] = static_cast<uint8_t>(value >> (8 * i));
    uint32_t length = size;
    SDORequest request{c.node, index, sub, &length, data};
    return s_.common.SDODownload(&request, c.host.CancelFlag());
}

void TimingCycle::restartTrace() {
    s_.trace.Stop();
    s_.trace.Reset();
    s_.trace.Start(s_.bitRateKbit ? s_.bitRateKbit() : 0);
}

void TimingCycle::cleanUp(uint64_t* resetMark) {
    s_.module.StopTransmission();
    if (resetMark != nullptr)
        *resetMark = s_.trace.GetRecordedCount();
    s_.common.ResetAllNodes();
    s_.common.WaitBootupTime();
}

int TimingCycle::fail(Cycle&, const std::string& message, bool traceFirst) {
    if (!message.empty())
        s_.log.Add(message);
    if (traceFirst)
        s_.trace.Stop();
    cleanUp();
    if (!traceFirst)
        s_.trace.Stop();
    return kCycleFailed;
}

bool TimingCycle::setUpTPDOs(Cycle& c) {
    const bool event = c.variant.isEvent;
    const bool sync = c.variant.hasSync;
    for (uint32_t t = 0; t < kTimingMaxPdos; ++t) {
        const uint16_t index = static_cast<uint16_t>(0x1800 + t);
        uint32_t type = 0, eventTime = 0, cobId = 0;
        if (!upload(c, index, 2, 1, &type))
            continue;
        if (event && !upload(c, index, 5, 2, &eventTime))
            continue;
        // The turnaround counts answers only: a TPDO without an event timer has none to switch off.
        if (c.variant.isTurnaround && !upload(c, index, 5, 2, &eventTime))
            eventTime = 0;
        if (!upload(c, index, 1, 4, &cobId))
            continue;
        if (cobId & kInvalid)
            continue;
        c.tpdoIds[c.tpdoCount] = identifierOf(cobId);
        const int number = static_cast<int>(t + 1);
        bool disabled = false;
        auto disable = [&] {
            if (disabled)
                return true;
            if (!download(c, index, 1, 4, cobId | kInvalid))
                return fail(c, format("Error: Failed to disable TPDO %d", number)), false;
            disabled = true;
            return true;
        };
        if (sync) {
            if (type != 1) {
                if (!disable())
                    return false;
                if (!download(c, index, 2, 1, 1))
                    return fail(c, format("Error: Failed to set TPDO transmission type to 0x01 at [%4.4X,02]", index)), false;
            }
        } else {
            const uint32_t wanted = c.settings.tpdotransmissiontype;
            if (wanted != 0 && wanted != type) {
                if (!disable())
                    return false;
                if (!download(c, index, 2, 1, wanted))
                    return fail(c, format("Error: Failed to set TPDO transmission type to %u at [%4.4X,02]", wanted, index)),
                           false;
            }
            if (event) {
                // The event time is 16 bits; a longer period cannot be written.
                if (c.period > 0xFFFF)
                    return fail(c, format("Error: Event time %u ms exceeds 65535 ms", c.period)), false;
                if (c.period != eventTime) {
                    if (!disable())
                        return false;
                    if (!download(c, index, 5, 2, c.period))
                        return fail(c, format("Error: Failed to set TPDO event time to %u ms at [%4.4X,05]", c.period, index)),
                               false;
                }
            } else if (c.variant.isTurnaround && eventTime != 0) {
                if (!disable())
                    return false;
                if (!download(c, index, 5, 2, 0))
                    return fail(c, format("Error: Failed to set TPDO event time to 0 ms at [%4.4X,05]", index)), false;
            }
        }
        if (disabled && !download(c, index, 1, 4, cobId & ~kInvalid))
            return fail(c, format("Error: Failed to enable TPDO %d", number)), false;
        ++c.tpdoCount;
    }
    return true;
}

bool TimingCycle::setUpRPDOs(Cycle& c) {
    const bool turnaround = c.variant.isTurnaround;
    const uint32_t wanted = turnaround ? 0xFF : 0x01;
    std::array<uint32_t, kTimingMaxPdos> ids{};
    for (uint32_t r = 0; r < kTimingMaxPdos; ++r) {
        const uint16_t index = static_cast<uint16_t>(0x1400 + r);
        uint32_t type = 0, cobId = 0;
        if (!upload(c, index, 2, 1, &type) || !upload(c, index, 1, 4, &cobId))
            continue;
        if (cobId & kInvalid)
            continue;
        ids[c.rpdoCount] = identifierOf(cobId);
        const bool change = turnaround ? type < 0xFF : type != 1;
        const int number = static_cast<int>(r + 1);
        if (change) {
            if (!download(c, index, 1, 4, cobId | kInvalid))
                return fail(c, format("Error: Failed to disable RPDO %d", number)), false;
            if (!download(c, index, 2, 1, wanted))
                return fail(c, format("Error: Failed to set RPDO transmission type to 0x%2.2X at [%4.4X,02]", wanted, index)),
                       false;
            if (!download(c, index, 1, 4, cobId & ~kInvalid))
                return fail(c, format("Error: Failed to enable RPDO %d", number)), false;
        }
        ++c.rpdoCount;
    }
    c.host.WithRecord([&](TimingTestConfig& rec) {
        for (uint32_t k = 0; k < c.rpdoCount; ++k) {
            if (turnaround) {
                rec.phase1rpdo[k].id = ids[k];
                rec.phase2rpdo[k].id = ids[k];
            } else {
                rec.rpdo[k].id = ids[k];
            }
        }
        c.settings.rpdo = rec.rpdo;
        c.settings.phase1rpdo = rec.phase1rpdo;
        c.settings.phase2rpdo = rec.phase2rpdo;
    });
    return true;
}

bool TimingCycle::timedWait(Cycle& c, uint64_t ms) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(ms);
    const auto slice = std::chrono::milliseconds(std::clamp<uint64_t>(ms / 20, 1, kMaxWaitSliceMs));
    for (auto now = start; now < deadline; now = Clock::now()) {
        std::this_thread::sleep_until(std::min(now + slice, deadline));
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        c.host.ReportProgress(static_cast<uint64_t>(spent));
        if (c.host.Cancelled())
            return false;
    }
    return true;
}

void TimingCycle::GetBusStatistics(float* maxBusLoad, float* maxBurstLength) {
    *maxBusLoad = 0;
    *maxBurstLength = 0;
    const TraceFilter nmt = filterFor(0x000, 2);
    if (!s_.trace.FindFirst(&nmt, 1))
        return;
    const TraceFilter statistics = filterFor(0x002, 8);
    const auto frame = s_.trace.FindNext(&statistics, 1);
    if (!frame)
        return;
    *maxBusLoad = static_cast<float>(frame->data[0] + 256 * frame->data[1]) * 0.01f;
    *maxBurstLength = static_cast<float>(frame->data[2] + 256 * frame->data[3]) * 0.1f;
}

void TimingCycle::logBusStatistics(float load, float burst) {
    s_.log.Add(format("Bus Statistics: maximum bus load was %.2f%%, maximum burst length was %.1fms",
                      static_cast<double>(load), static_cast<double>(burst)));
    OfferBusStatistics(s_.summary, {load, burst});
}

int TimingCycle::measure(Cycle& c) {
    TimingStimulus stimulus;
    stimulus.kind = c.variant.kind;
    stimulus.syncId = c.settings.syncid;
    stimulus.periodMs = c.period;
    stimulus.node = c.node;
    stimulus.ciatr308options = c.settings.ciatr308options;
    stimulus.errorControlMode = c.mode;
    if (c.variant.hasRpdo) {
        stimulus.rpdo = c.settings.rpdo.data();
        stimulus.rpdoCount = c.rpdoCount;
    }
    if (!s_.module.WriteLists(stimulus))
        return fail(c, "Error: Failed to write transmission table to Norbix Support Module", false);
    s_.common.StartAllNodes();
    restartTrace();
    if (!s_.module.StartTransmission())
        return fail(c, "Error: Failed to start Norbix Support Module transmission");
    if (!timedWait(c, c.duration)) {
        s_.trace.Stop();
        cleanUp();
        return kCycleCancelled;
    }
    c.host.AddElapsed(c.duration);
    uint64_t resetMark = 0;
    cleanUp(&resetMark);  // the module's statistics frame follows the reset and is still recorded
    s_.trace.Stop();

    float load = 0, burst = 0;
    GetBusStatistics(&load, &burst);
    logBusStatistics(load, burst);

    SDOTimeStats sdo{};
    ErrorControlStats ec{};
    TimingStatistics tpdo{};
    PeriodStats sync{};
    const int count = static_cast<int>(c.tpdoCount);
    {
        // After the reset the device runs on its power-on settings: not what this cycle measures.
        const TraceSearchLimit untilReset(s_.trace, resetMark, trace_filters::resetAllNodes());
        s_.common.CheckSDOTraffic(c.node, &c.warn, &sdo);
        s_.common.CheckErrorControl(c.node, static_cast<int>(c.mode), &c.warn, &ec);
        if (c.variant.hasSync) {
            s_.common.CheckSyncTPDOs(&tpdo, c.tpdoIds, count, c.period, c.settings.syncid, &c.warn);
            s_.common.MeasureMessagePeriod(&sync, c.settings.syncid, c.period);
        } else {
            s_.common.CheckEventTPDOs(&tpdo, c.tpdoIds, count, c.period);
        }
        s_.common.CheckEmergencies(c.node, &c.warn);
    }
    const float peak = s_.trace.GetPeakMessageRate();
    s_.summary.UpdatePeakMessageRate(peak);
    c.host.WithRecord([&](TimingTestConfig& r) {
        const size_t k = static_cast<size_t>(c.index);
        r.maxbusload[k] = load;
        r.maxburstlen[k] = burst;
        r.sdo[k] = sdo;
        r.ec[k] = ec;
        r.tpdo[k] = tpdo;
        r.sync[k] = sync;
        r.peakmsgrate[k] = peak;
    });
    return kCycleOk;
}

int TimingCycle::measureTurnaround(Cycle& c) {
    if (c.rpdoCount == 0)
        return fail(c, "Error: No valid RPDOs found");
    const uint64_t share = c.duration / c.rpdoCount;
    float load = 0, burst = 0;
    // The cycle's figures cover all its sub-runs; only the bus statistics are the last sub-run's.
    TimingStatistics tpdo{};
    SDOTimeStats sdo{};
    ErrorControlStats ec{};
    c.host.WithRecord([&](TimingTestConfig& r) { r.tpdocount[static_cast<size_t>(c.index)] = {}; });
    for (uint32_t j = 1; j <= c.rpdoCount; ++j) {
        int counters[kTimingMaxPdos]{};
        if (j > 1) {
            // The reset between sub-runs brings the device back to its power-on settings.
            const int mode = s_.common.SetupErrorControl(c.node, c.host.CancelFlag());
            if (mode != 0)
                c.mode = static_cast<uint32_t>(mode);
            if (c.host.Cancelled())
                return s_.trace.Stop(), cleanUp(), kCycleCancelled;
            restartTrace();
            const uint32_t before = c.rpdoCount;
            c.tpdoCount = 0;
            c.rpdoCount = 0;
            if (!setUpTPDOs(c) || !setUpRPDOs(c))
                return kCycleFailed;
            if (c.rpdoCount != before)
                return fail(c, "Error: No valid RPDOs found");
        }
        TimingStimulus stimulus;
        stimulus.kind = c.variant.kind;
        stimulus.periodMs = c.period;
        stimulus.node = c.node;
        stimulus.ciatr308options = c.settings.ciatr308options;
        stimulus.errorControlMode = c.mode;
        stimulus.phase1rpdo = c.settings.phase1rpdo.data();
        stimulus.phase2rpdo = c.settings.phase2rpdo.data();
        stimulus.rpdoCount = c.rpdoCount;
        stimulus.subRun = j;
        if (!s_.module.WriteLists(stimulus))
            return fail(c, "Error: Failed to write transmission table to Norbix Support Module");
        s_.common.StartAllNodes();
        restartTrace();
        if (!s_.module.StartTransmission())
            return fail(c, "Error: Failed to start Norbix Support Module transmission");
        if (!timedWait(c, share)) {
            s_.trace.Stop();
            cleanUp();
            return kCycleCancelled;
        }
        c.host.AddElapsed(share);
        uint64_t resetMark = 0;
        cleanUp(&resetMark);
        s_.trace.Stop();
        GetBusStatistics(&load, &burst);

        {
            const TraceSearchLimit untilReset(s_.trace, resetMark, trace_filters::resetAllNodes());
            s_.common.CheckSDOTraffic(c.node, &c.warn, &sdo);
            s_.common.CheckErrorControl(c.node, static_cast<int>(c.mode), &c.warn, &ec);
            s_.common.CheckTurnaround(&tpdo, counters, c.tpdoIds, static_cast<int>(c.tpdoCount),
                                      c.settings.phase1rpdo.data(), static_cast<int>(c.rpdoCount));
            s_.common.CheckEmergencies(c.node, &c.warn);
        }
        const float peak = s_.trace.GetPeakMessageRate();
        s_.summary.UpdatePeakMessageRate(peak);
        c.host.WithRecord([&](TimingTestConfig& r) {
            const size_t k = static_cast<size_t>(c.index);
            r.maxbusload[k] = load;
            r.maxburstlen[k] = burst;
            r.sdo[k] = sdo;
            r.ec[k] = ec;
            r.tpdo[k] = tpdo;
            r.peakmsgrate[k] = peak;
            // Only RPDO j is sent in sub-run j: its count is this sub-run's.
            r.tpdocount[k][j - 1] = static_cast<uint32_t>(std::max(counters[j - 1], 0));
        });
    }
    logBusStatistics(load, burst);
    return kCycleOk;
}

} // namespace ostrel::vessolt
