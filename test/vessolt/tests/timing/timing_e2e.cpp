// A timing test in a program on the CAN server: the stimulus lists go over SDO into the software
// support module, which plays them to a device in another client process.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "expressions/expressions.h"
#include "server_services.h"
#include "nsm/soft_nsm.h"
#include "testing/test_manager.h"
#include "test_support.h"
#include "timing_cycle.h"
#include "timing_engine.h"
#include "timing_nsm_module.h"

using namespace ostrel::vessolt;

namespace {

constexpr int kReadyWaitMs = 60'000;
constexpr uint32_t kBitRate = 500;

// Frames with `id` in the recording.
int recorded(TTraceBuffer& trace, uint32_t id) {
    TraceFilter filter{};
    filter.idMask = 0x7FF;
    filter.idValue = id;
    int n = 0;
    for (auto frame = trace.FindFirst(&filter, 1); frame; frame = trace.FindNext(&filter, 1))
        ++n;
    return n;
}

// Runs one test of one manual cycle at `period` against devices in a simnode_process started with
// `deviceArguments`, then hands the engine, the final status and the cycle's recording to `check`.
void runOnServer(TimingTestKind kind, uint32_t period, std::vector<std::string> deviceArguments,
                 const std::function<void(TimingTestEngine&, int32_t, TTraceBuffer&)>& check) {
    drennic::e2e::ProcessGuard guard;
    drennic::e2e::IsolatedEnvironment environment{"vessolt-timing"};

    test::ServerServices services(kBitRate);
    auto& [bitRate, api, started, fanout, log, prompt, summary, trace, common, nsm] = services;
    TSoftNSM soft(api, log, prompt, [] { return SoftNSMSettings{true, 0x40}; });
    fanout.attach(ReceiveStageSlot::SoftwareSupport, soft);
    TTestManager manager(log);
    TExpressions expressions;
    TimingNSMModule module(nsm);
    TimingCycle cycle({common, trace, summary, log, module, [] { return kBitRate; }});
    TimingTestEngine engine(kind, {manager, log, expressions}, cycle);
    const int32_t number = engine.Variant().testNumber;
    TestRegistration record;
    record.name = engine.Variant().displayName;
    record.Run = [&engine] { engine.RunTest(); };
    manager.AddTest(number, record);
    TimingTestConfig c;
    engine.GetConfig(c);
    c.manualtestcycles = 1;
    c.manualtime[0] = period;
    engine.SetConfig(c);

    ResultBlock result{};
    api.initialize(1, u"vessolt e2e", &result);
    ASSERT_EQ(result.code, DRN_OK);
    deviceArguments.insert(deviceArguments.begin(), {"--network", "1", "--node", "5", "--profile", "full"});
    ostrel::halvorn::test::ChildProcess devices(drennic::e2e::binDir() + "/simnode_process", deviceArguments);
    ASSERT_TRUE(devices.started());
    ASSERT_EQ(devices.readLine(kReadyWaitMs), std::optional<std::string>("ready"));
    soft.Start();

    manager.RunTest(number);
    manager.WaitForTestThread();
    TEST test;
    ASSERT_TRUE(manager.GetTest(number, test));
    const std::vector<std::string> lines = log.GetLinesFrom(0);
    check(engine, test.status, trace);
    if (::testing::Test::HasFailure())
        for (const std::string& line : lines)
            std::printf("log: %s\n", line.c_str());

    soft.Stop();
    api.close();  // no receive call after this
    fanout.detach(ReceiveStageSlot::SoftwareSupport);
    api.shutdown();
}

TEST(TimingE2E, SyncListsReachTheSoftwareModuleAndTheDeviceAnswers) {
    runOnServer(TimingTestKind::TPDOSync, 20, {}, [](TimingTestEngine& engine, int32_t status, TTraceBuffer& trace) {
        EXPECT_TRUE(status == PASSED || status == WARNING) << status;
        TimingTestConfig c;
        engine.GetConfig(c);
        // 4 s of SYNC every 20 ms from the module's list 1, and the device's answers to them,
        // counted: a busy machine delays single frames or the device process, and the test stops
        // timing the answers at the first one that comes after the next SYNC.
        EXPECT_GT(c.sync[0].count, 100u);
        EXPECT_LT(c.sync[0].count, 250u);
        const int syncs = recorded(trace, 0x80);
        const int answers = recorded(trace, 0x185);
        EXPECT_LE(answers, syncs);
        EXPECT_GE(answers * 2, syncs);
        if (status == PASSED) {
            EXPECT_GT(c.tpdo[0].count, 0u);
            EXPECT_NE(engine.Results().Cell(3, 1), "-");
        }
    });
}

TEST(TimingE2E, LoopbackDeviceAnswersEachRPDOWithATPDO) {
    // The module's default frames carry the same data in both phases: the answer must not depend
    // on a changed value. Answers are counted: a busy machine may bunch them, or leave the last
    // ones for after the recording.
    runOnServer(TimingTestKind::PDOTurnaround, 50, {"--loopback"},
                [](TimingTestEngine& engine, int32_t, TTraceBuffer& trace) {
                    TimingTestConfig c;
                    engine.GetConfig(c);
                    const int rpdos = recorded(trace, 0x205);
                    EXPECT_GT(rpdos, 40);
                    EXPECT_LE(recorded(trace, 0x185), rpdos + 1);  // and one on entering operational
                    EXPECT_GE(static_cast<int>(c.tpdo[0].count) * 2, rpdos);
                });
}

}  // namespace
