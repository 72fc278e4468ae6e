// The trace checks over frames recorded with microsecond stamps.
#include <initializer_list>

#include "common_test_support.h"
#include "testing/trace_filters.h"

using namespace ostrel::vessolt;
using ostrel::vessolt::test::CommonServicesTest;

namespace {

class TraceChecks : public CommonServicesTest {
protected:
    TraceChecks() { trace.Start(500); }

    // A frame at `us` microseconds.
    void add(uint32_t id, std::initializer_list<uint8_t> data, uint64_t us, bool remote = false, int dlc = -1) {
        uint8_t bytes[8] = {};
        size_t n = 0;
        for (uint8_t b : data)
            bytes[n++] = b;
        trace.Add(id, static_cast<uint8_t>(dlc >= 0 ? dlc : static_cast<int>(n)), kTraceKindOther,
                  static_cast<uint32_t>(us / 1000), 0, static_cast<uint32_t>(us % 1000), remote, false, bytes);
    }
    void add8(uint32_t id, uint64_t us) { add(id, {0, 0, 0, 0, 0, 0, 0, 0}, us); }
    [[nodiscard]] int lines() const { return log.GetLineCount(); }
    [[nodiscard]] std::string lastLine() const { return log.GetLine(log.GetLineCount() - 1); }
};

}  // namespace

TEST_F(TraceChecks, HeartbeatIntervalsDeviationAndBootupRestart) {
    add(0x705, {0x7F}, 0);
    add(0x705, {0x7F}, 99'500);
    add(0x705, {0x7F}, 200'250);
    add(0x705, {0x00}, 250'000);  // boot-up: the interval restarts
    add(0x705, {0x7F}, 350'000);
    add(0x705, {0x7F}, 350'000, true);  // a remote request is no heartbeat
    uint8_t warn = 0;
    ErrorControlStats stats;
    common.CheckErrorControl(5, 1, &warn, &stats);
    EXPECT_EQ(warn, 0);
    EXPECT_EQ(stats.count, 3u);
    EXPECT_FLOAT_EQ(stats.min, 99.5f);
    EXPECT_FLOAT_EQ(stats.max, 100.75f);
    EXPECT_NEAR(stats.dev, 0.75f, 1e-4);
    EXPECT_NEAR(stats.diff, 1.25f, 1e-4);
    EXPECT_FLOAT_EQ(summaryRecord().heartbeat100ms_max, 100.75f);

    common.CheckErrorControl(6, 1, &warn, &stats);
    EXPECT_EQ(lastLine(), "Warning: no heartbeats found");
    EXPECT_EQ(warn, 1);
}

TEST_F(TraceChecks, NodeGuardingToggleMissingResponseAndRemoteRequests) {
    // Responses alternate 0x05 / 0x85: fine; then the toggle repeats.
    add(0x705, {}, 0, true, 1);
    add(0x705, {0x05}, 2'000);
    add(0x705, {}, 100'000, true, 1);
    add(0x705, {0x85}, 101'500);
    add(0x705, {}, 200'000, true, 1);
    add(0x705, {0x85}, 201'000);
    uint8_t warn = 0;
    ErrorControlStats stats;
    common.CheckErrorControl(5, 2, &warn, &stats);
    EXPECT_EQ(lastLine(), "Warning: node guarding response toggle error");
    EXPECT_EQ(warn, 1);
    EXPECT_EQ(stats.count, 2u);
    EXPECT_FLOAT_EQ(stats.min, 1.5f);
    EXPECT_FLOAT_EQ(stats.max, 2.0f);

    // Requests only (each of length 1, like a response): never taken for a response.
    trace.Reset();
    add(0x706, {}, 0, true, 1);
    add(0x706, {}, 100'000, true, 1);
    warn = 0;
    ErrorControlStats none;
    common.CheckErrorControl(6, 2, &warn, &none);
    EXPECT_EQ(lastLine(), "Warning: no response to node guarding request");
    EXPECT_EQ(none.count, 0u);

    trace.Reset();
    const int before = lines();
    common.CheckErrorControl(6, 2, &warn, &none);
    EXPECT_EQ(lastLine(), "Warning: no node guarding requests found");
    common.CheckErrorControl(6, 0, &warn, &none);
    EXPECT_EQ(lines(), before + 1);
}

TEST_F(TraceChecks, SdoTrafficMissingResponseAndSilentWithoutStatistics) {
    add8(0x605, 0);
    add8(0x585, 0);  // a measured 0 ms: a value, and the minimum
    add8(0x605, 10'000);
    add8(0x585, 12'000);
    add8(0x605, 20'000);
    add8(0x605, 30'000);
    add8(0x585, 31'000);
    uint8_t warn = 0;
    SDOTimeStats stats;
    common.CheckSDOTraffic(5, &warn, &stats);
    EXPECT_EQ(lastLine(), "Warning: Missing SDO response during test cycle");
    EXPECT_EQ(warn, 1);
    EXPECT_EQ(stats.count, 2u);
    EXPECT_FLOAT_EQ(stats.min, 0.0f);
    EXPECT_FLOAT_EQ(stats.max, 2.0f);
    EXPECT_EQ(summaryRecord().sdoresponse_numtries, 2u);

    // Without statistics: no warning, every response feeds the summary.
    summary.Clear();
    warn = 0;
    const int before = lines();
    common.CheckSDOTraffic(5, &warn, nullptr);
    EXPECT_EQ(lines(), before);
    EXPECT_EQ(warn, 0);
    EXPECT_EQ(summaryRecord().sdoresponse_numtries, 3u);

    common.CheckSDOTraffic(6, &warn, nullptr);
    EXPECT_EQ(lines(), before);
    common.CheckSDOTraffic(6, &warn, &stats);
    EXPECT_EQ(lastLine(), "Warning: No SDO requests found during test cycle");
}

TEST_F(TraceChecks, SyncTPDOsFewerMoreAndIncompleteLast) {
    const uint32_t tpdos[2] = {0x181, 0x281};
    auto cycle = [&](uint64_t at, int tpdoCount) {
        add(0x80, {}, at);
        for (int i = 0; i < tpdoCount; ++i)
            add(tpdos[i % 2], {1, 2}, at + 1'000 * static_cast<uint64_t>(i + 1));
    };
    cycle(0, 2);
    cycle(10'000, 2);
    cycle(20'000, 1);  // the trace ends here: no warning for the last SYNC
    uint8_t warn = 0;
    TPDOTimingStats stats;
    common.CheckSyncTPDOs(&stats, tpdos, 2, 10, 0x80, &warn);
    EXPECT_EQ(warn, 0);
    EXPECT_EQ(stats.count, 5u);
    EXPECT_FLOAT_EQ(stats.min, 1.0f);
    EXPECT_FLOAT_EQ(stats.max, 2.0f);
    EXPECT_FLOAT_EQ(stats.ave, 7.0f / 5.0f);
    EXPECT_EQ(summaryRecord().synctpdo10ms_count, 5u);

    cycle(30'000, 0);
    TPDOTimingStats fewer;
    common.CheckSyncTPDOs(&fewer, tpdos, 2, 100, 0x80, &warn);
    EXPECT_EQ(lastLine(), "Warning: not all the enabled synchronous TPDOs were transmitted after the SYNC");
    EXPECT_EQ(warn, 1);

    trace.Reset();
    cycle(0, 3);
    cycle(10'000, 2);
    common.CheckSyncTPDOs(&fewer, tpdos, 2, 100, 0x80, &warn);
    EXPECT_EQ(lastLine(), "Warning: too many synchronous TPDOs were transmitted after the SYNC");

    // More than eight TPDOs are refused.
    const uint32_t many[9] = {};
    TPDOTimingStats untouched;
    const int before = lines();
    common.CheckSyncTPDOs(&untouched, many, 9, 10, 0x80, &warn);
    EXPECT_EQ(untouched.count, 0u);
    EXPECT_EQ(lines(), before);
}

TEST_F(TraceChecks, MessagePeriodAndEventTPDOs) {
    add(0x80, {}, 0);
    add(0x80, {}, 9'500);
    add(0x80, {}, 20'300);
    add(0x80, {1}, 25'000);  // not zero-length: not the SYNC
    PeriodStats period;
    common.MeasureMessagePeriod(&period, 0x80, 10);
    EXPECT_EQ(period.count, 2u);
    EXPECT_NEAR(period.dev, 8.0f, 1e-3);

    trace.Reset();
    const uint32_t tpdos[2] = {0x181, 0x182};
    add(0x181, {1}, 0);
    add(0x182, {1}, 1'000);
    add(0x183, {1}, 2'000);
    add(0x181, {1}, 50'000);
    add(0x182, {1}, 52'000);
    add(0x181, {1}, 100'000);
    TPDOTimingStats stats;
    common.CheckEventTPDOs(&stats, tpdos, 2, 50);
    EXPECT_EQ(stats.count, 3u);
    EXPECT_FLOAT_EQ(stats.min, 50.0f);
    EXPECT_FLOAT_EQ(stats.max, 51.0f);
    EXPECT_NEAR(stats.dev, 2.0f, 1e-4);
    const DeviceSummaryRecord r = summaryRecord();
    EXPECT_EQ(r.eventtpdo100ms_count, 0u);
    EXPECT_EQ(r.eventtpdo10ms_count, 0u);

    common.CheckEventTPDOs(&stats, tpdos, 2, 100);
    EXPECT_EQ(summaryRecord().eventtpdo100ms_count, 3u);
}

TEST_F(TraceChecks, TurnaroundCountsTPDOsPerRPDO) {
    struct RpdoEntry {
        uint32_t id;
        uint8_t data[8];
        uint32_t length;
    };
    const RpdoEntry rpdos[2] = {{0x201, {}, 1}, {0x202, {}, 1}};
    const uint32_t tpdos[1] = {0x181};
    add(0x181, {1}, 0);  // before the first RPDO: not counted
    add(0x201, {1}, 1'000);
    add(0x181, {1}, 3'000);
    add(0x181, {1}, 4'000);
    add(0x202, {1}, 10'000);
    add(0x181, {1}, 11'500);
    int counters[2] = {-1, -1};
    TPDOTimingStats stats;
    common.CheckTurnaround(&stats, counters, tpdos, 1, rpdos, 2);
    EXPECT_EQ(counters[0], 2);
    EXPECT_EQ(counters[1], 1);
    EXPECT_EQ(stats.count, 3u);
    EXPECT_FLOAT_EQ(stats.min, 1.5f);
    EXPECT_FLOAT_EQ(stats.max, 3.0f);
    EXPECT_FLOAT_EQ(stats.dev, 0.0f);
}

TEST_F(TraceChecks, AnalysisEndsAtTheClosingResetWithoutLosingTheLastAnswer) {
    const uint32_t rpdos[1] = {0x205}, tpdos[1] = {0x185};
    add(0x205, {1}, 1'000);
    add(0x185, {1}, 2'000);
    add(0x205, {1}, 101'000);  // its answer comes after the reset
    const uint64_t mark = trace.GetRecordedCount();
    add(0x000, {0x81, 0x00}, 101'500);
    add(0x185, {1}, 102'000);
    add(0x205, {1}, 103'000);  // sent as the reset came: no reception of this measurement
    {
        const TraceSearchLimit limit(trace, mark, ostrel::vessolt::trace_filters::data(0x000, 2, {0x81, 0x00}));
        int counters[1] = {};
        TPDOTimingStats turnaround;
        common.CheckTurnaround(&turnaround, counters, tpdos, 1, rpdos, 1);
        EXPECT_EQ(counters[0], 1);
        EXPECT_EQ(turnaround.count, 1u);
    }
    const TraceFilter rpdo = ostrel::vessolt::trace_filters::data(0x205);
    EXPECT_EQ(trace.FindFirst(&rpdo, 1)->time.timeMs, 1u);
    EXPECT_EQ(trace.FindNext(&rpdo, 1)->time.timeMs, 101u);
    EXPECT_EQ(trace.FindNext(&rpdo, 1)->time.timeMs, 103u);  // the limit ended with its scope
}

TEST_F(TraceChecks, AnUnansweredLastRPDOCountsZeroUnlessTheResetCutItOff) {
    const uint32_t rpdos[1] = {0x205}, tpdos[1] = {0x185};
    struct Case {
        uint64_t answerUs;      // after the first RPDO
        uint64_t ownTpdoUs;     // a TPDO the device sends on its own, 0 for none
        uint64_t beforeResetUs; // of the last RPDO
        int count;
    };
    for (const Case& c : {Case{1'000, 0, 50'000, 0}, Case{1'000, 0, 0, 2}, Case{1'000, 91'000, 50'000, 0},
                          Case{30'000, 0, 40'000, 2}}) {
        trace.Reset();
        add(0x205, {1}, 1'000);
        add(0x185, {1}, 1'000 + c.answerUs);
        add(0x185, {1}, 2'000 + c.answerUs);
        if (c.ownTpdoUs != 0)
            add(0x185, {1}, c.ownTpdoUs);
        add(0x205, {1}, 200'000 - c.beforeResetUs);
        const uint64_t mark = trace.GetRecordedCount();
        add(0x000, {0x81, 0x00}, 200'000);
        const TraceSearchLimit limit(trace, mark, ostrel::vessolt::trace_filters::resetAllNodes());
        int counters[1] = {};
        common.CheckTurnaround(nullptr, counters, tpdos, 1, rpdos, 1);
        EXPECT_EQ(counters[0], c.count) << c.answerUs << " " << c.ownTpdoUs << " " << c.beforeResetUs;
    }
}

TEST_F(TraceChecks, EmergenciesNamedUnnamedAndIgnored) {
    add(0x85, {0x00, 0x00, 0, 0, 0, 0, 0, 0}, 0);
    add(0x85, {0x30, 0x81, 0x11, 0, 0, 0, 0, 0}, 1'000);
    add(0x85, {0x00, 0x50, 0x01, 0, 0, 0, 0, 0}, 2'000);
    add(0x86, {0x00, 0x50, 0x01, 0, 0, 0, 0, 0}, 3'000);
    uint8_t warn = 0;
    const int before = lines();
    common.CheckEmergencies(5, &warn);
    ASSERT_EQ(lines(), before + 2);
    EXPECT_EQ(log.GetLine(before), "Warning: Emergency transmitted by node - Life guard error [0x8130]");
    EXPECT_EQ(log.GetLine(before + 1), "Warning: Emergency transmitted by node - 0x5000");
    EXPECT_EQ(warn, 1);
}

TEST(TimingStats, AMeasuredZeroStaysTheMinimum) {
    ErrorControlStats ec;
    timing::update(ec, 0.0f);
    timing::update(ec, 3.0f);
    EXPECT_EQ(ec.count, 2u);
    EXPECT_FLOAT_EQ(ec.min, 0.0f);
    EXPECT_FLOAT_EQ(ec.max, 3.0f);
    EXPECT_FLOAT_EQ(ec.dev, 100.0f);
    PeriodStats p;
    timing::update(p, 0.0f, 10);
    timing::update(p, 12.0f, 10);
    EXPECT_FLOAT_EQ(p.min, 0.0f);
    EXPECT_FLOAT_EQ(p.dev, 100.0f);
    TPDOTimingStats t;
    timing::update(t, 0.0f);
    timing::update(t, 4.0f);
    EXPECT_FLOAT_EQ(t.min, 0.0f);
    EXPECT_FLOAT_EQ(t.ave, 2.0f);
    EXPECT_DOUBLE_EQ(t.sum, 4.0);
}
