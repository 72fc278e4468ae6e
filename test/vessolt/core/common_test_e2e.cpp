// The common test services in a program on the CAN server, against a simulated device and support
// module in another client process: find, heartbeat set-up, one second recorded.
#include <gtest/gtest.h>

#include <platform/clock.h>

#include "canopen_api.h"
#include "common_test.h"
#include "device_summary.h"
#include "e2e_support.h"
#include "log.h"
#include "nsm.h"
#include "test_support.h"
#include "trace_buffer.h"
#include "user_prompt.h"

using namespace ostrel::vessolt;

namespace {

constexpr int kReadyWaitMs = 60'000;
constexpr uint32_t kBitRate = 500;

TEST(CommonTestE2E, FindsNodeAndModuleAndMeasuresHeartbeatThroughTheServer) {
    drennic::e2e::ProcessGuard guard;
    drennic::e2e::IsolatedEnvironment environment{"vessolt-common"};

    DrennicApi api;
    api.startup(1, u"");  // starts the server's simulated bus
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TDeviceSummary summary;
    TTraceBuffer trace(api, fanout, log, prompt);
    CommonTestLinks links;
    links.maxBootupTimeMs = [] { return 500u; };
    links.bitRateKbit = [] { return kBitRate; };
    TCommonTest common(api, trace, summary, log, links);
    TNSM nsm(common);
    common.SetNSM(&nsm);

    ResultBlock result{};
    api.initialize(1, u"vessolt e2e", &result);
    ASSERT_EQ(result.code, DRN_OK);

    ostrel::halvorn::test::ChildProcess devices(drennic::e2e::binDir() + "/simnode_process",
                                                {"--network", "1", "--node", "5", "--nsm", "0x7F"});
    ASSERT_TRUE(devices.started());
    ASSERT_EQ(devices.readLine(kReadyWaitMs), std::optional<std::string>("ready"));

    EXPECT_EQ(common.FindTestNode(nullptr), 5);
    EXPECT_EQ(nsm.GetNodeId(), 0x7F);
    std::vector<std::string> lines = log.GetLinesFrom(0);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Norbix Support Module version 1.0 found at node ID 0x7F"),
              lines.end());
    ASSERT_EQ(common.SetupErrorControl(5), 1);

    trace.Stop();
    trace.Reset();
    trace.Start(kBitRate);
    ostrel::platform::sleepMs(1000);
    trace.Stop();
    uint8_t warn = 0;
    ErrorControlStats stats;
    common.CheckErrorControl(5, 1, &warn, &stats);
    EXPECT_EQ(warn, 0);
    EXPECT_GE(stats.count, 8u);
    EXPECT_GE(stats.min, 98.0f);
    EXPECT_LE(stats.max, 102.0f);

    api.close();  // no receive call after this
    api.shutdown();
}

}  // namespace
