// The object dictionary scan over the real library on its test bus: one simulated device at 0x10,
// the simulated support module at 0x7F, a maximum boot-up time of 100 ms.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common_test.h"
#include "device_summary.h"
#include "drennic_test_bus.h"
#include "log.h"
#include "nsm.h"
#include "od_scan.h"
#include "od_scan_registration.h"
#include "receive_fanout.h"
#include "sim_od.h"
#include "test_manager.h"
#include "trace_buffer.h"
#include "user_prompt.h"

namespace ostrel::vessolt::test {

class ODScanFixture : public ::testing::Test {
protected:
    static constexpr uint8_t kNode = 0x10;

    ODScanFixture() {
        drennic.bus().setSelfReceive(true);
        common.SetNSM(&nsm);
        RegisterODScanTest(manager, scan, {});
    }
    ~ODScanFixture() override { drennic.close(); }

    CommonTestLinks commonLinks() {
        CommonTestLinks l;
        l.maxBootupTimeMs = [] { return 100u; };
        l.bitRateKbit = [] { return 500u; };
        l.resultToText = [](const ResultBlock& r) { return "result " + std::to_string(r.code); };
        l.errorCodeName = [](uint32_t code) { return code == 0x8130 ? std::string("Life guard error") : std::string(); };
        return l;
    }
    ODScanLinks scanLinks() {
        ODScanLinks l;
        l.bitRateKbit = [] { return 500u; };
        l.entryName = [this](uint32_t index, uint8_t sub, uint8_t) {
            if (!namePrefix.empty())
                return namePrefix + std::to_string(index);
            return index == 0x1000 && sub == 0 ? std::string("Device Type") : std::string("<unknown>");
        };
        l.entryType = [](uint32_t index, uint8_t, uint8_t) { return index == 0x1000 ? 13 : 0; };  // UNSIGNED32
        return l;
    }

    fixtures::SimNode& addDevice(fixtures::SimObjectDictionary dictionary = fixtures::SimObjectDictionary::fullProfile()) {
        fixtures::SimNodeConfig config;
        config.nodeId = kNode;
        fixtures::SimNode& node = drennic.devices().addNode(config, std::move(dictionary));
        fixtures::SimNsmConfig nsmConfig;
        nsmConfig.nodeId = 0x7F;
        drennic.devices().addNsm(nsmConfig);
        return node;
    }
    void open() { ASSERT_TRUE(drennic.open()); }

    // One run through the test manager, as the program starts it.
    int32_t run() {
        manager.RunTest(TODScan::kTestId);
        manager.WaitForTestThread();
        TEST test;
        EXPECT_TRUE(manager.GetTest(TODScan::kTestId, test));
        return test.status;
    }
    [[nodiscard]] size_t resultCount() const {
        auto results = scan.CopyResults();
        return results ? results->size() : 0;
    }
    [[nodiscard]] DeviceSummaryRecord summaryRecord() {
        DeviceSummaryRecord r{};
        EXPECT_TRUE(summary.GetSummary(r));
        return r;
    }
    [[nodiscard]] bool isSet(const char* field) {
        const DeviceSummaryRecord r = summaryRecord();
        const SummaryField* f = findSummaryField(field);
        return f != nullptr && isFieldSet(r, *f);
    }
    [[nodiscard]] int countLines(const std::string& prefix) const {
        int n = 0;
        for (int i = 0; i < log.GetLineCount(); ++i)
            if (log.GetLine(i).rfind(prefix, 0) == 0)
                ++n;
        return n;
    }
    [[nodiscard]] bool logHas(const std::string& line) const {
        for (int i = 0; i < log.GetLineCount(); ++i)
            if (log.GetLine(i) == line)
                return true;
        return false;
    }

    // Set by a test to stand for a newly loaded network description (read on the GUI thread).
    std::string namePrefix;
    DrennicTestBus drennic;
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TDeviceSummary summary;
    TTraceBuffer trace{drennic.api(), fanout, log, prompt};
    TCommonTest common{drennic.api(), trace, summary, log, commonLinks()};
    TNSM nsm{common};
    TTestManager manager{log};
    TODScan scan{manager, common, trace, summary, log, scanLinks()};
};

}  // namespace ostrel::vessolt::test
