// A device test's surroundings over the real library on its test bus: the device under test at
// 0x10, the simulated support module at 0x7F (unless left out), a maximum boot-up time of 100 ms,
// and the services a test engine takes. Each test's fixture adds its engine.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common_test.h"
#include "device_summary.h"
#include "drennic_test_bus.h"
#include "log.h"
#include "nsm.h"
#include "receive_fanout.h"
#include "sim_od.h"
#include "test_manager.h"
#include "trace_buffer.h"
#include "user_prompt.h"

namespace ostrel::vessolt::test {

class DeviceTestFixture : public ::testing::Test {
protected:
    static constexpr uint8_t kNode = 0x10;

    DeviceTestFixture() {
        drennic.bus().setSelfReceive(true);
        common.SetNSM(&nsm);
    }
    ~DeviceTestFixture() override { drennic.close(); }

    static CommonTestLinks commonLinks() {
        CommonTestLinks l;
        l.maxBootupTimeMs = [] { return 100u; };
        l.bitRateKbit = [] { return 500u; };
        l.resultToText = [](const ResultBlock& r) { return "result " + std::to_string(r.code); };
        l.errorCodeName = [](uint32_t code) { return code == 0x8130 ? std::string("Life guard error") : std::string(); };
        return l;
    }

    fixtures::SimNode& addDevice(fixtures::SimObjectDictionary dictionary = fixtures::SimObjectDictionary::fullProfile(),
                                 bool withSupportModule = true) {
        fixtures::SimNodeConfig config;
        config.nodeId = kNode;
        fixtures::SimNode& node = drennic.devices().addNode(config, std::move(dictionary));
        if (withSupportModule) {
            fixtures::SimNsmConfig nsmConfig;
            nsmConfig.nodeId = 0x7F;
            drennic.devices().addNsm(nsmConfig);
        }
        return node;
    }
    void open() { ASSERT_TRUE(drennic.open()); }

    // One run through the test manager, as the program starts it; the test's final status.
    int32_t runTest(int32_t testId) {
        manager.RunTest(testId);
        manager.WaitForTestThread();
        TEST test;
        EXPECT_TRUE(manager.GetTest(testId, test));
        return test.status;
    }
    [[nodiscard]] bool logHas(const std::string& line) const {
        for (int i = 0; i < log.GetLineCount(); ++i)
            if (log.GetLine(i) == line)
                return true;
        return false;
    }

    DrennicTestBus drennic;
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TDeviceSummary summary;
    TTraceBuffer trace{drennic.api(), fanout, log, prompt};
    TCommonTest common{drennic.api(), trace, summary, log, commonLinks()};
    TNSM nsm{common};
    TTestManager manager{log};
};

}  // namespace ostrel::vessolt::test
