// The object dictionary scan against simulated devices on the library's test bus.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include "od_scan_fixture.h"
#include "testing/summary_text.h"

namespace ostrel::vessolt::test {
namespace {

using fixtures::SdoFault;
using fixtures::SimAccess;
using fixtures::SimDataType;
using fixtures::SimObjectDictionary;

// The values written to an entry, refused ones too unless onlyTaken.
std::vector<uint32_t> writesTo(const fixtures::SimNode& node, uint16_t index, uint8_t sub, bool onlyTaken = true) {
    std::vector<uint32_t> values;
    for (const auto& w : node.writeLog())
        if (w.index == index && w.subIndex == sub && (w.abortCode == 0 || !onlyTaken))
            values.push_back(static_cast<uint32_t>(fixtures::decodeUnsigned(w.data)));
    return values;
}

TEST_F(ODScanFixture, FullProfilePassesAndFillsTheSummary) {
    fixtures::SimNode& node = addDevice();
    open();
    const SimObjectDictionary before = node.dictionary();

    EXPECT_EQ(run(), PASSED);
    EXPECT_EQ(resultCount(), 158u);
    // The PDO communication records have no sub-index 4: the walk goes on to their event timers.
    EXPECT_FALSE(scan.FindResult(0x1400, 4));
    EXPECT_TRUE(scan.FindResult(0x1400, 5));
    EXPECT_TRUE(scan.FindResult(0x1803, 6));
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

TEST_F(ODScanFixture, OnlyAnArraysOrARecordsSubIndexZeroIsACount) {
    SimObjectDictionary d = SimObjectDictionary::minimalProfile();
    d.addNumber(0x1001, 0, "Error register", SimDataType::Unsigned8, SimAccess::ReadOnly, 0xFF);
    // Highest sub-index 2, then a gap at 3 before 4: the walk ends at that gap.
    d.addNumber(0x1018, 0, "Highest sub-index", SimDataType::Unsigned8, SimAccess::ReadOnly, 2);
    d.addIndex(0x1018, "Identity", fixtures::SimObjectType::Record).subs.erase(3);
    for (const uint16_t index : {0x1F50, 0x1F51})  // the same array, the first one described as one
        for (const uint8_t sub : {0, 1, 3})
            d.addNumber(index, sub, "Entry", SimDataType::Unsigned8, SimAccess::ReadOnly, 3);
    symbols.AddEntry(kNode, ODEntry{0x1F50, 3, "Array", "Entry", ODT_UNSIGNED8});
    addDevice(std::move(d));
    open();
    EXPECT_EQ(run(), PASSED);
    const auto sent = drennic.bus().sent();
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const CANFrame& f) {
                  return f.id == 0x600u + kNode && f.data[0] == 0x40 && f.data[1] == 0x01 && f.data[2] == 0x10;
              }), 2);  // [1001] sub-index 0 and the gap at 1
    EXPECT_TRUE(scan.FindResult(0x1018, 2) && !scan.FindResult(0x1018, 4));
    EXPECT_TRUE(scan.FindResult(0x1F50, 3));
    EXPECT_TRUE(scan.FindResult(0x1F51, 1) && !scan.FindResult(0x1F51, 3));
}

TEST_F(ODScanFixture, BusStatisticsOfAModuleThatMeasuresNothingShowAsNotMeasured) {
    addDevice(SimObjectDictionary::minimalProfile(), false);
    fixtures::SimNsmConfig module;
    module.statisticsOnReset = std::array<uint16_t, 2>{0, 0};  // as the software module reports
    drennic.devices().addNsm(module);
    open();
    EXPECT_EQ(run(), PASSED);
    EXPECT_TRUE(logHas("Bus Statistics: maximum bus load was 0.00%, maximum burst length was 0.0ms"));
    const SummaryTexts shown = FormatSummary(summaryRecord());
    EXPECT_EQ(shown.maxbusload + shown.maxburstlength, "--");
}

SimObjectDictionary tailored(const std::function<void(SimObjectDictionary&)>& change) {
    SimObjectDictionary d = SimObjectDictionary::fullProfile();
    change(d);
    return d;
}

struct WarningCase {
    const char* what;
    std::function<void(SimObjectDictionary&)> change;
    std::string warning;
};

class ODScanWarningTest : public ODScanFixture, public ::testing::WithParamInterface<int> {};

TEST_P(ODScanWarningTest, WarnsOnce) {
    const WarningCase cases[] = {
        {"no [1018,00]", [](SimObjectDictionary& d) { d.addIndex(0x1018, "Identity", fixtures::SimObjectType::Record).subs.erase(0); },
         "Warning: Failed to read mandatory Identity entry [1018,00]"},
        {"no [1018,01]", [](SimObjectDictionary& d) { d.addIndex(0x1018, "Identity", fixtures::SimObjectType::Record).subs.erase(1); },
         "Warning: Failed to read mandatory Identity entry [1018,01]"},
        {"2-byte [1000]", [](SimObjectDictionary& d) {
             d.addNumber(0x1000, 0, "Device type", SimDataType::Unsigned16, SimAccess::ReadOnly, 0x191);
         }, "Warning: Device Type size was not four bytes"},
    };
    const WarningCase& c = cases[GetParam()];
    addDevice(tailored(c.change));
    open();
    EXPECT_EQ(run(), WARNING) << c.what;
    EXPECT_EQ(countLines("Warning:"), 1) << c.what;
    EXPECT_TRUE(logHas(c.warning)) << c.what;
    if (GetParam() == 2) {
        EXPECT_FALSE(isSet("devicetype"));
    }
}
INSTANTIATE_TEST_SUITE_P(Cases, ODScanWarningTest, ::testing::Values(0, 1, 2));

TEST_F(ODScanFixture, WritabilityTestsWriteBackWhatTheyChange) {
    fixtures::SimNode& node = addDevice(tailored([](SimObjectDictionary& d) {
        d.addNumber(0x1F80, 0, "NMT startup", SimDataType::Unsigned32, SimAccess::ReadWrite, 4);
        d.addNumber(0x1400, 1, "COB-ID", SimDataType::Unsigned32, SimAccess::ReadWrite, 0x7FF);
    }));
    open();
    EXPECT_EQ(run(), PASSED);
    EXPECT_EQ(writesTo(node, 0x1F80, 0), (std::vector<uint32_t>{5, 4, 0, 4}));
    // 0x7FF lies in the restricted range: the device takes the invalid forms but refuses it back,
    // and a refused write-back counts as not writable.
    auto cobids = writesTo(node, 0x1400, 1, false);
    cobids.resize(std::min<size_t>(cobids.size(), 3));
    EXPECT_EQ(cobids, (std::vector<uint32_t>{0x800007FF, 0x800007FE, 0x7FF}));
    const DeviceSummaryRecord r = summaryRecord();
    EXPECT_EQ(r.nmtmaster, 1u);
    EXPECT_EQ(r.autostart, 1u);
    EXPECT_EQ(r.pdolinking, 1u);
}

TEST_F(ODScanFixture, NmtMasterBitAlreadySetNeedsNoWrite) {
    fixtures::SimNode& node = addDevice(tailored([](SimObjectDictionary& d) {
        d.addNumber(0x1F80, 0, "NMT startup", SimDataType::Unsigned32, SimAccess::ReadWrite, 1);
    }));
    open();
    EXPECT_EQ(run(), PASSED);
    EXPECT_TRUE(writesTo(node, 0x1F80, 0).empty());
}

TEST_F(ODScanFixture, NodeGuardingWhenThereIsNoHeartbeat) {
    fixtures::SimNode& node = addDevice(tailored([](SimObjectDictionary& d) {
        d.addIndex(0x1017, "Producer heartbeat time", fixtures::SimObjectType::Var).subs.erase(0);
    }));
    open();
    EXPECT_EQ(run(), PASSED);
    EXPECT_EQ(writesTo(node, 0x100C, 0), std::vector<uint32_t>{100});
    EXPECT_EQ(writesTo(node, 0x100D, 0), std::vector<uint32_t>{5});
    EXPECT_EQ(nsm.GetErrorControlMode(), 2u);
}

TEST_F(ODScanFixture, EmergenciesDuringTheScan) {
    fixtures::SimNode& node = addDevice();
    open();
    for (uint16_t code : {uint16_t(0x0FFF), uint16_t(0x8130)}) {
        // Sent by the scan's own thread at its first step, inside the first block however loaded
        // the machine is; the reset of the last run's progress comes before.
        std::atomic<bool> sent{false};
        ProgressRecorder sender(manager, TODScan::kTestId);
        sender.onChange = [&](const TEST& t) {
            if (!sent && t.status == RUNNING && t.progress > 0 && t.progress < 100)
                sent = node.sendEmcy(code, 1, {}, node.nowUs());
        };
        manager.AddTestListListener(&sender);
        const int32_t status = run();
        manager.RemoveTestListListener(&sender);
        EXPECT_TRUE(sent);
        if (code < 0x1000) {
            EXPECT_EQ(status, PASSED);
        } else {
            EXPECT_EQ(status, WARNING);
            EXPECT_TRUE(logHas("Warning: Emergency transmitted by node - Life guard error [0x8130]"));
        }
    }
}

TEST_F(ODScanFixture, ANodeThatStopsAnsweringEndsTheScanOneThatAbortsDoesNot) {
    fixtures::SimNode& node = addDevice();
    open();
    SdoFault fault;  // from the 51st transfer on: no answer at all
    fault.after = 50;
    node.addSdoFault(fault);
    EXPECT_EQ(run(), FAILED);
    EXPECT_GT(resultCount(), 0u);
    EXPECT_EQ(countLines("Error: the node stopped answering at index 10"), 1);

    node.clearSdoFaults();
    fault.kind = fixtures::SdoFaultKind::AbortRead;
    fault.value = fixtures::abort_code::kNoObject;
    node.addSdoFault(fault);
    EXPECT_NE(run(), FAILED);
    EXPECT_EQ(countLines("Error:"), 1);
    EXPECT_TRUE(isSet("rpdonum"));
}

TEST_F(ODScanFixture, AnEntryThatDoesNotAnswerIsLeftOut) {
    fixtures::SimNode& node = addDevice();
    node.addSdoFault(SdoFault::noAnswer(0x1005, 0));
    open();
    EXPECT_EQ(run(), PASSED);
    EXPECT_EQ(resultCount(), 157u);
    EXPECT_FALSE(scan.FindResult(0x1005, 0));
    EXPECT_EQ(summaryRecord().syncconsumer, 0u);
    EXPECT_TRUE(isSet("syncconsumer"));
}

TEST_F(ODScanFixture, CancelDuringAWaitThenRunAgain) {
    fixtures::SimNode& node = addDevice();
    node.addSdoFault(SdoFault::delay(0x1100, 0, 250'000, 1));
    open();
    std::thread canceller([&] {
        TEST test;
        for (int i = 0; i < 4000 && !(manager.GetTest(TODScan::kTestId, test) && test.progress >= 6); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        manager.CancelTests();
    });
    EXPECT_EQ(run(), CANCELLED);
    canceller.join();
    EXPECT_FALSE(isSet("rpdonum"));
    EXPECT_EQ(node.readUnsigned(0x1017, 0), 0u);  // the reset undid the heartbeat set-up

    // A completion left over from the cancelled wait must not answer the next run's first request.
    EXPECT_EQ(run(), PASSED);
    EXPECT_EQ(resultCount(), 158u);
    EXPECT_EQ(summaryRecord().rpdonum, 4u);
}

}  // namespace
}  // namespace ostrel::vessolt::test
