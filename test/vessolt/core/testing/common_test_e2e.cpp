// The common test services in a program on the CAN server, against a simulated device and support
// module in another client process: find, heartbeat set-up, one second recorded.
#include <gtest/gtest.h>

#include <platform/clock.h>

#include <algorithm>

#include "services/canopen_api.h"
#include "testing/common_test.h"
#include "services/device_summary.h"
#include "e2e_support.h"
#include "server_services.h"
#include "services/log.h"
#include "nsm/nsm.h"
#include "nsm/soft_nsm.h"
#include "test_support.h"
#include "services/trace_buffer.h"
#include "services/user_prompt.h"

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

    // The server stamps frames as they arrive from the device process, so a loaded machine may
    // delay one heartbeat; the period holds on average and for most intervals.
    TraceFilter heartbeat{};
    heartbeat.idMask = 0x7FF;
    heartbeat.idValue = 0x705;
    heartbeat.dlcMask = 0xFF;
    heartbeat.dlcValue = 1;
    std::vector<float> intervals;
    auto previous = trace.FindFirst(&heartbeat, 1);
    ASSERT_TRUE(previous);
    const auto first = *previous;
    for (auto frame = trace.FindNext(&heartbeat, 1); frame; previous = frame, frame = trace.FindNext(&heartbeat, 1)) {
        const CANTimeStamp d = TTraceBuffer::TimestampDiff(frame->time, previous->time);
        intervals.push_back(static_cast<float>(d.timeMs) + static_cast<float>(d.timeUs) * 0.001f);
    }
    ASSERT_EQ(intervals.size(), stats.count);
    const CANTimeStamp span = TTraceBuffer::TimestampDiff(previous->time, first.time);
    EXPECT_NEAR(static_cast<float>(span.timeMs) / static_cast<float>(intervals.size()), 100.0f, 2.0f);
    const auto close = std::count_if(intervals.begin(), intervals.end(), [](float ms) { return ms >= 98 && ms <= 102; });
    EXPECT_GE(close * 4, static_cast<long>(intervals.size()) * 3);
    EXPECT_LE(stats.min, stats.max);

    api.close();  // no receive call after this
    api.shutdown();
}

TEST(CommonTestE2E, FindsTheSoftwareModuleThroughTheServer) {
    drennic::e2e::ProcessGuard guard;
    drennic::e2e::IsolatedEnvironment environment{"vessolt-softnsm"};

    test::ServerServices services(kBitRate);
    auto& [bitRate, api, started, fanout, log, prompt, summary, trace, common, nsm] = services;
    TSoftNSM soft(api, log, prompt, [] { return SoftNSMSettings{true, 0x40}; });
    fanout.attach(ReceiveStageSlot::SoftwareSupport, soft);

    ResultBlock result{};
    api.initialize(1, u"vessolt e2e", &result);
    ASSERT_EQ(result.code, DRN_OK);

    ostrel::halvorn::test::ChildProcess devices(drennic::e2e::binDir() + "/simnode_process",
                                                {"--network", "1", "--node", "5"});
    ASSERT_TRUE(devices.started());
    ASSERT_EQ(devices.readLine(kReadyWaitMs), std::optional<std::string>("ready"));
    soft.Start();
    ASSERT_EQ(soft.WorkerState(), 1u);

    EXPECT_EQ(common.FindTestNode(nullptr), 5);
    EXPECT_EQ(nsm.GetNodeId(), 0x40);
    const std::vector<std::string> lines = log.GetLinesFrom(0);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Norbix Support Module version 1.0 found at node ID 0x40"),
              lines.end());
    soft.Stop();
    api.close();  // no receive call after this
    fanout.detach(ReceiveStageSlot::SoftwareSupport);
    api.shutdown();
}

}  // namespace
