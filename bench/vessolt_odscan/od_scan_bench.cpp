// ScanObjectDictionary alone against a simulated full-profile device on the library's test bus:
// wall time, SDO uploads and time per 1,000 uploads, with the library's default post-transmit delay
// and with none. Every probe of a missing index waits out that delay, so the default dominates.
#include <benchmark/benchmark.h>

#include <atomic>

#include "testing/common_test.h"
#include "services/device_summary.h"
#include "drennic_test_bus.h"
#include "services/log.h"
#include "nsm/nsm.h"
#include "od_scan.h"
#include "od_scan_registration.h"
#include "services/receive_fanout.h"
#include "sim_od.h"
#include "testing/test_manager.h"
#include "testbus.h"
#include "services/trace_buffer.h"
#include "services/user_prompt.h"

namespace {

using namespace ostrel::vessolt;

void ScanObjectDictionary(benchmark::State& state, bool noDelay) {
    test::DrennicTestBus drennic;
    drennic.bus().setSelfReceive(true);
    ostrel::fixtures::SimNodeConfig config;
    config.nodeId = 0x10;
    drennic.devices().addNode(config, ostrel::fixtures::SimObjectDictionary::fullProfile());
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TDeviceSummary summary;
    TTraceBuffer trace(drennic.api(), fanout, log, prompt);
    CommonTestLinks links;
    links.maxBootupTimeMs = [] { return 100u; };
    links.bitRateKbit = [] { return 500u; };
    TCommonTest common(drennic.api(), trace, summary, log, links);
    TTestManager manager(log);
    ODScanLinks scanLinks;
    scanLinks.bitRateKbit = [] { return 500u; };
    TODScan scan(manager, common, trace, summary, log, scanLinks);
    RegisterODScanTest(manager, scan, {});
    if (!drennic.open()) {
        state.SkipWithError("the test bus did not open");
        return;
    }
    if (noDelay)
        CANopen_SetPostTransmitDelay(0);
    std::atomic<uint64_t> uploads{0};
    const auto listener = drennic.bus().attach([&uploads](const CANFrame& frame) {
        if (frame.id == 0x610 && frame.length == 8 && frame.data[0] == 0x40)
            uploads.fetch_add(1, std::memory_order_relaxed);
    });
    scan.SetNodeId(0x10);
    uint64_t runs = 0;
    for (auto _ : state) {
        scan.ClearResults();
        benchmark::DoNotOptimize(scan.ScanObjectDictionary());
        ++runs;
    }
    drennic.bus().detach(listener);
    const double perRun = static_cast<double>(uploads.load()) / static_cast<double>(runs);
    state.counters["uploads"] = perRun;
    // Seconds per 1,000 uploads over the measured time.
    state.counters["s_per_1000"] = benchmark::Counter(static_cast<double>(uploads.load()) / 1000.0,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK_CAPTURE(ScanObjectDictionary, default_delay, false)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(ScanObjectDictionary, no_delay, true)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK_MAIN();
