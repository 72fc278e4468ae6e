// The common test services over the real library on its test bus, with simulated devices and a
// simulated support module; the maximum boot-up time is 250 ms.
#pragma once

#include <atomic>

#include <gtest/gtest.h>

#include <platform/clock.h>

#include <memory>
#include <string>

#include "testing/common_test.h"
#include "services/device_summary.h"
#include "drennic_test_bus.h"
#include "services/log.h"
#include "nsm/nsm.h"
#include "services/trace_buffer.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt::test {

class CommonServicesTest : public ::testing::Test {
protected:
    static constexpr uint32_t kMaxBootupMs = 250;

    // The device tests' fixtures wait a shorter boot-up time.
    explicit CommonServicesTest(uint32_t maxBootupMs = kMaxBootupMs) : maxBootupMs_(maxBootupMs) {
        drennic.bus().setSelfReceive(true);
        common.SetNSM(&nsm);
    }
    ~CommonServicesTest() override { drennic.close(); }

    CommonTestLinks links() {
        CommonTestLinks l;
        l.maxBootupTimeMs = [this] { return maxBootupMs_; };
        l.bitRateKbit = [] { return 500u; };
        l.resultToText = [](const ResultBlock& r) { return "result " + std::to_string(r.code); };
        l.errorCodeName = [](uint32_t code) { return code == 0x8130 ? std::string("Life guard error") : std::string(); };
        l.cancelling = [this] { return cancelling.load(); };
        return l;
    }

    // A node on the bus with the full dictionary (add before open()).
    fixtures::SimNode& addNode(uint8_t nodeId, uint64_t bootDelayUs = 0) {
        fixtures::SimNodeConfig config;
        config.nodeId = nodeId;
        config.bootDelayUs = bootDelayUs;
        return drennic.devices().addNode(config, fixtures::SimObjectDictionary::fullProfile());
    }
    fixtures::SimNsm& addNsm(uint8_t nodeId = 0x7F) {
        fixtures::SimNsmConfig config;
        config.nodeId = nodeId;
        return drennic.devices().addNsm(config);
    }
    void open() { ASSERT_TRUE(drennic.open()); }

    [[nodiscard]] DeviceSummaryRecord summaryRecord() {
        DeviceSummaryRecord r{};
        EXPECT_TRUE(summary.GetSummary(r));
        return r;
    }
    [[nodiscard]] bool logHas(const std::string& line) const {
        for (int i = 0; i < log.GetLineCount(); ++i)
            if (log.GetLine(i) == line)
                return true;
        return false;
    }

    const uint32_t maxBootupMs_;
    std::atomic<bool> cancelling{false};  // the test manager's cancel state
    DrennicTestBus drennic;
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TDeviceSummary summary;
    TTraceBuffer trace{drennic.api(), fanout, log, prompt};
    TCommonTest common{drennic.api(), trace, summary, log, links()};
    TNSM nsm{common};
};

} // namespace ostrel::vessolt::test
