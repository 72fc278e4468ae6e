// The object dictionary scan against simulated devices on the library's test bus.
#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "od_scan_fixture.h"

namespace ostrel::vessolt::test {
namespace {

using fixtures::SdoFault;
using fixtures::SimAccess;
using fixtures::SimDataType;
using fixtures::SimObjectDictionary;

std::vector<uint32_t> writesTo(const fixtures::SimNode& node, uint16_t index, uint8_t sub) {
    std::vector<uint32_t> values;
    for (const auto& w : node.writeLog())
        if (w.index == index && w.subIndex == sub && w.abortCode == 0)
            values.push_back(static_cast<uint32_t>(fixtures::decodeUnsigned(w.data)));
    return values;
}

TEST_F(ODScanFixture, FullProfilePassesAndFillsTheSummary) {
    fixtures::SimNode& node = addDevice();
    open();
    const SimObjectDictionary before = node.dictionary();

    EXPECT_EQ(run(), PASSED);
    EXPECT_EQ(resultCount(), 146u);
    const DeviceSummaryRecord r = summaryRecord();
    EXPECT_EQ(r.devicetype, 0x000F0191u);
    EXPECT_EQ(r.vendor, 0x319u);
    EXPECT_EQ(r.rpdonum, 4u);
    EXPECT_EQ(r.tpdonum, 4u);
    EXPECT_EQ(r.sdoservernum, 1u);
    EXPECT_EQ(r.pdolinking, 2u);
    EXPECT_EQ(r.pdomapping, 2u);
    EXPECT_EQ(r.nmtmaster, 1u);
    EXPECT_EQ(r.autostart, 1u);
    EXPECT_EQ(r.emcyconsumer, 0u);
    EXPECT_TRUE(isSet("emcyconsumer"));
    EXPECT_EQ(writesTo(node, 0x1017, 0), std::vector<uint32_t>{100});

    auto results = scan.CopyResults();
    ASSERT_TRUE(results);
    for (const auto& result : *results)
        EXPECT_GE(result.accessTime, 0.0f) << std::hex << result.index << "," << int(result.subindex);
    EXPECT_TRUE(logHas("Bus Statistics: maximum bus load was 0.00%, maximum burst length was 0.0ms"));
    EXPECT_TRUE(logHas("[Object Dictionary Scan] Test passed")) << log.GetLine(log.GetLineCount() - 1);

    // Whatever the writability tests changed went back; only error control keeps its new values.
    std::map<uint32_t, std::vector<uint8_t>> last;
    for (const auto& w : node.writeLog())
        if (w.abortCode == 0)
            last[(uint32_t(w.index) << 8) | w.subIndex] = w.data;
    for (const auto& [key, data] : last) {
        const auto index = static_cast<uint16_t>(key >> 8);
        if (index == 0x1017 || index == 0x100C || index == 0x100D)
            continue;
        const auto* old = before.find(index, static_cast<uint8_t>(key));
        ASSERT_NE(old, nullptr);
        EXPECT_EQ(data, old->value) << std::hex << key;
    }
    TEST test;
    ASSERT_TRUE(manager.GetTest(TODScan::kTestId, test));
    EXPECT_EQ(test.progress, 100);
}

TEST_F(ODScanFixture, MinimalProfileNeedsNoWrites) {
    fixtures::SimNode& node = addDevice(SimObjectDictionary::minimalProfile());
    open();
    EXPECT_EQ(run(), PASSED);
    EXPECT_EQ(resultCount(), 7u);
    EXPECT_TRUE(node.writeLog().empty());
    const DeviceSummaryRecord r = summaryRecord();
    EXPECT_EQ(r.sdoservernum, 1u);
    EXPECT_EQ(r.rpdonum, 0u);
    EXPECT_EQ(r.tpdonum, 0u);
    EXPECT_EQ(r.sdoclientnum, 0u);
    EXPECT_EQ(countLines("Warning:"), 0);
}

}  // namespace
}  // namespace ostrel::vessolt::test
