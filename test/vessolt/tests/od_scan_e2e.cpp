// The object dictionary scan in a program on the CAN server, against a device with the full
// dictionary and the support module in another client process.
#include <gtest/gtest.h>

#include <algorithm>

#include "services/canopen_api.h"
#include "testing/common_test.h"
#include "services/device_summary.h"
#include "e2e_support.h"
#include "server_services.h"
#include "services/log.h"
#include "nsm/nsm.h"
#include "od_scan.h"
#include "od_scan_registration.h"
#include "testing/test_manager.h"
#include "test_support.h"
#include "services/trace_buffer.h"
#include "services/user_prompt.h"

using namespace ostrel::vessolt;

namespace {

constexpr int kReadyWaitMs = 60'000;
constexpr uint32_t kBitRate = 500;

TEST(ODScanE2E, FullDictionaryThroughTheServer) {
    drennic::e2e::ProcessGuard guard;
    drennic::e2e::IsolatedEnvironment environment{"vessolt-odscan"};

    test::ServerServices services(kBitRate);
    auto& [bitRate, api, started, fanout, log, prompt, summary, trace, common, nsm] = services;
    TTestManager manager(log);
    ODScanLinks scanLinks;
    scanLinks.bitRateKbit = [] { return kBitRate; };
    TODScan scan(manager, common, trace, summary, log, scanLinks);
    RegisterODScanTest(manager, scan, {});

    ResultBlock result{};
    api.initialize(1, u"vessolt e2e", &result);
    ASSERT_EQ(result.code, DRN_OK);
    ostrel::halvorn::test::ChildProcess devices(
        drennic::e2e::binDir() + "/simnode_process",
        {"--network", "1", "--node", "16", "--profile", "full", "--nsm", "0x7F"});
    ASSERT_TRUE(devices.started());
    ASSERT_EQ(devices.readLine(kReadyWaitMs), std::optional<std::string>("ready"));

    manager.RunTest(TODScan::kTestId);
    manager.WaitForTestThread();
    TEST test;
    ASSERT_TRUE(manager.GetTest(TODScan::kTestId, test));
    EXPECT_EQ(test.status, PASSED);
    auto results = scan.CopyResults();
    ASSERT_TRUE(results);
    EXPECT_EQ(results->size(), 158u);
    DeviceSummaryRecord r{};
    ASSERT_TRUE(summary.GetSummary(r));
    EXPECT_EQ(r.devicetype, 0x000F0191u);
    EXPECT_EQ(r.vendor, 0x319u);
    EXPECT_EQ(r.rpdonum, 4u);
    EXPECT_EQ(r.tpdonum, 4u);
    EXPECT_EQ(r.sdoservernum, 1u);
    EXPECT_EQ(r.pdolinking, 2u);
    EXPECT_EQ(r.pdomapping, 2u);
    const auto lines = log.GetLinesFrom(0);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[Object Dictionary Scan] Test passed"), lines.end());
    api.close();  // no receive call after this
    api.shutdown();
}

}  // namespace
