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

    test::ServerServices services(kBitRate);
    auto& [bitRate, api, started, fanout, log, prompt, summary, trace, common, nsm] = services;

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

    // Nine heartbeats, however long a busy machine holds the device process up.
    TraceFilter heartbeat{};
    heartbeat.idMask = 0x7FF;
    heartbeat.idValue = 0x705;
    heartbeat.dlcMask = 0xFF;
    heartbeat.dlcValue = 1;
    const auto heartbeats = [&trace, &heartbeat] {
        std::size_t n = 0;
        for (auto frame = trace.FindFirst(&heartbeat, 1); frame; frame = trace.FindNext(&heartbeat, 1))
            ++n;
        return n;
    };
    trace.Stop();
    trace.Reset();
    trace.Start(kBitRate);
    for (int waited = 0; heartbeats() < 9 && waited < 30'000; waited += 100)
        ostrel::platform::sleepMs(100);
    trace.Stop();
    uint8_t warn = 0;
    ErrorControlStats stats;
    common.CheckErrorControl(5, 1, &warn, &stats);
    EXPECT_EQ(warn, 0);
    EXPECT_GE(stats.count, 8u);

    // The server stamps frames as they arrive from the device process, which a busy machine may
    // delay: the period is judged on average, and roughly.
    auto last = trace.FindFirst(&heartbeat, 1);
    ASSERT_TRUE(last);
    const auto first = *last;
    uint32_t intervals = 0;
    for (auto frame = trace.FindNext(&heartbeat, 1); frame; frame = trace.FindNext(&heartbeat, 1), ++intervals)
        last = frame;
    ASSERT_EQ(intervals, stats.count);
    const CANTimeStamp span = TTraceBuffer::TimestampDiff(last->time, first.time);
    const float mean = static_cast<float>(span.timeMs) / static_cast<float>(intervals);
    EXPECT_GE(mean, 80.0f);
    EXPECT_LE(mean, 150.0f);
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
