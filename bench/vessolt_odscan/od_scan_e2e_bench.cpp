// ScanObjectDictionary alone through the CAN server against a full-profile device process.
#include <benchmark/benchmark.h>

#include "e2e_support.h"
#include "od_scan.h"
#include "od_scan_registration.h"
#include "server_services.h"
#include "testing/test_manager.h"
#include "test_support.h"

namespace {

using namespace ostrel::vessolt;

void ScanThroughServer(benchmark::State& state) {
    drennic::e2e::ProcessGuard guard;
    drennic::e2e::IsolatedEnvironment environment{"odscan-bench"};
    test::ServerServices services(500);
    auto& api = services.api;
    auto& log = services.log;
    auto& common = services.common;
    TTestManager manager(log);
    ODScanLinks scanLinks;
    scanLinks.bitRateKbit = [] { return 500u; };
    TODScan scan(manager, common, services.trace, services.summary, log, scanLinks);
    RegisterODScanTest(manager, scan, {});
    ResultBlock result{};
    api.initialize(1, u"odscan bench", &result);
    ostrel::halvorn::test::ChildProcess device(drennic::e2e::binDir() + "/simnode_process",
                                               {"--network", "1", "--node", "16", "--profile", "full", "--nsm", "0x7F"});
    if (result.code != DRN_OK || !device.started() ||
        device.readLine(60'000) != std::optional<std::string>("ready")) {
        state.SkipWithError("the server or the device process did not start");
        return;
    }
    if (common.FindTestNode(nullptr) != 16) {
        state.SkipWithError("the device did not boot");
        return;
    }
    scan.SetNodeId(16);
    scan.PrepareErrorControl();  // as a run does: the device's heartbeat is what the server sees
    for (auto _ : state) {
        scan.ClearResults();
        benchmark::DoNotOptimize(scan.ScanObjectDictionary());
    }
    auto results = scan.CopyResults();
    state.counters["results"] = results ? static_cast<double>(results->size()) : 0.0;
    for (int i = 0; i < log.GetLineCount(); ++i)
        if (log.GetLine(i).rfind("Warning", 0) == 0 || log.GetLine(i).rfind("Error", 0) == 0 ||
            log.GetLine(i).rfind("Note", 0) == 0)
            state.SetLabel(log.GetLine(i));
    api.close();
    api.shutdown();
}

}  // namespace

BENCHMARK(ScanThroughServer)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK_MAIN();
