// How closely the timing tests measure on the in-process bus: one cycle of "TPDO Event" at 10 and
// 100 ms and of "TPDO Sync" at 10 ms, through the real library, a simulated device and support
// module. Counters in µs: the largest |interval - period| of the device's TPDO, |average - period|,
// and the largest SYNC-to-TPDO delay (the simulated device answers at once: true delay 0).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "testing/common_test.h"
#include "services/device_summary.h"
#include "drennic_test_bus.h"
#include "expressions/expressions.h"
#include "services/log.h"
#include "nsm/nsm.h"
#include "nsm_playback.h"
#include "services/receive_fanout.h"
#include "testing/test_manager.h"
#include "timing_cycle.h"
#include "services/trace_buffer.h"
#include "services/user_prompt.h"

namespace {

using namespace ostrel::vessolt;

struct Bench {
    Bench() {
        registryDir = std::filesystem::temp_directory_path() / ("timing_bench_" + std::to_string(::getpid()));
        ::setenv("OSTREL_REGISTRY_DIR", registryDir.c_str(), 1);
        drennic.bus().setSelfReceive(true);
        common.SetNSM(&nsm);
        ostrel::fixtures::SimNodeConfig node;
        node.nodeId = 5;
        drennic.devices().addNode(node, ostrel::fixtures::SimObjectDictionary::fullProfile());
        ostrel::fixtures::SimNsmConfig module;
        module.nodeId = 0x7F;
        playback.module = &drennic.devices().addNsm(module);
        opened = drennic.open();
    }
    ~Bench() {
        manager.reset();
        drennic.close();
        std::filesystem::remove_all(registryDir);
    }

    static CommonTestLinks links() {
        CommonTestLinks l;
        l.maxBootupTimeMs = [] { return 200u; };
        l.bitRateKbit = [] { return 500u; };
        return l;
    }

    // One cycle at `period`; the record afterwards.
    TimingTestConfig runOnce(TimingTestKind kind, uint32_t period) {
        TimingTestEngine engine(kind, {*manager, log, expressions}, cycle);
        TestRegistration reg;
        reg.name = timingVariant(kind).displayName;
        reg.Run = [&engine] { engine.RunTest(); };
        manager->AddTest(timingVariant(kind).testNumber, reg);
        TimingTestConfig c;
        engine.GetConfig(c);
        c.manualtestcycles = 1;
        c.manualtime[0] = period;
        engine.SetConfig(c);
        manager->RunTest(timingVariant(kind).testNumber);
        manager->WaitForTestThread();
        engine.GetConfig(c);
        return c;
    }

    // The largest |interval - period| of the TPDO in the last recording, µs.
    double largestIntervalError(uint32_t period) {
        TraceFilter f{};
        TTraceBuffer::ClearFilter(f);
        f.idMask = 0x7FF;
        f.idValue = 0x185;
        double worst = 0;
        auto previous = trace.FindFirst(&f, 1);
        while (previous) {
            auto next = trace.FindNext(&f, 1);
            if (!next)
                break;
            const CANTimeStamp d = TTraceBuffer::TimestampDiff(next->time, previous->time);
            worst = std::max(worst, std::fabs(d.timeMs * 1000.0 + d.timeUs - period * 1000.0));
            previous = next;
        }
        return worst;
    }

    std::filesystem::path registryDir;
    test::DrennicTestBus drennic;
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TDeviceSummary summary;
    TTraceBuffer trace{drennic.api(), fanout, log, prompt};
    TCommonTest common{drennic.api(), trace, summary, log, links()};
    TNSM nsm{common};
    test::NsmPlayback playback{common, nsm};
    TExpressions expressions;
    std::unique_ptr<TTestManager> manager = std::make_unique<TTestManager>(log);
    TimingCycle cycle{{common, trace, summary, log, playback, [] { return 500u; }}};
    bool opened = false;
};

void BM_EventTPDOIntervals(benchmark::State& state) {
    const auto period = static_cast<uint32_t>(state.range(0));
    Bench bench;
    if (!bench.opened) {
        state.SkipWithError("test bus did not open");
        return;
    }
    TimingTestConfig c;
    for (auto _ : state)
        c = bench.runOnce(TimingTestKind::TPDOEvent, period);
    state.counters["max_interval_error_us"] = bench.largestIntervalError(period);
    state.counters["ave_error_us"] = std::fabs(c.tpdo[0].ave - static_cast<float>(period)) * 1000.0;
    state.counters["samples"] = c.tpdo[0].count;
}
BENCHMARK(BM_EventTPDOIntervals)->Arg(10)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SyncToTPDODelay(benchmark::State& state) {
    Bench bench;
    if (!bench.opened) {
        state.SkipWithError("test bus did not open");
        return;
    }
    TimingTestConfig c;
    for (auto _ : state)
        c = bench.runOnce(TimingTestKind::TPDOSync, 10);
    state.counters["max_sync_to_tpdo_us"] = c.tpdo[0].max * 1000.0;
    state.counters["max_sync_interval_error_us"] =
        std::max(std::fabs(c.sync[0].max - 10.0f), std::fabs(c.sync[0].min - 10.0f)) * 1000.0;
    state.counters["samples"] = c.tpdo[0].count;
}
BENCHMARK(BM_SyncToTPDODelay)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
