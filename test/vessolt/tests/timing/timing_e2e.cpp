// A timing test in a program on the CAN server: the stimulus lists go over SDO into the software
// support module, which plays them to a device in another client process.
#include <gtest/gtest.h>

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

TEST(TimingE2E, SyncListsReachTheSoftwareModuleAndTheDeviceAnswers) {
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
    TimingTestEngine engine(TimingTestKind::TPDOSync, {manager, log, expressions}, cycle);
    TestRegistration record;
    record.name = "TPDO Sync";
    record.Run = [&engine] { engine.RunTest(); };
    manager.AddTest(1, record);
    TimingTestConfig c;
    engine.GetConfig(c);
    c.manualtestcycles = 1;
    c.manualtime[0] = 20;
    engine.SetConfig(c);

    ResultBlock result{};
    api.initialize(1, u"vessolt e2e", &result);
    ASSERT_EQ(result.code, DRN_OK);
    ostrel::halvorn::test::ChildProcess devices(drennic::e2e::binDir() + "/simnode_process",
                                                {"--network", "1", "--node", "5", "--profile", "full"});
    ASSERT_TRUE(devices.started());
    ASSERT_EQ(devices.readLine(kReadyWaitMs), std::optional<std::string>("ready"));
    soft.Start();

    manager.RunTest(1);
    manager.WaitForTestThread();
    TEST test;
    ASSERT_TRUE(manager.GetTest(1, test));
    const std::vector<std::string> lines = log.GetLinesFrom(0);
    EXPECT_TRUE(test.status == PASSED || test.status == WARNING) << test.status;
    engine.GetConfig(c);
    // 4 s of SYNC every 20 ms from the module's list 1, and the device's answers to them.
    // (the count, not min and max: a loaded machine delays single frames)
    EXPECT_GT(c.sync[0].count, 150u);
    EXPECT_LT(c.sync[0].count, 250u);
    // The device process answers at all; how often depends on how busy the machine is.
    EXPECT_GT(c.tpdo[0].count, 0u);
    EXPECT_NE(engine.Results().Cell(3, 1), "-");
    if (HasFailure())
        for (const std::string& line : lines)
            std::printf("log: %s\n", line.c_str());

    soft.Stop();
    api.close();  // no receive call after this
    fanout.detach(ReceiveStageSlot::SoftwareSupport);
    api.shutdown();
}

}  // namespace
