// A device test's surroundings over the real library on its test bus: the device under test at
// 0x10, the simulated support module at 0x7F (unless left out), a maximum boot-up time of 100 ms,
// and the test manager. Each test's fixture adds its engine.
#pragma once

#include <string>

#include "../core/common_test_support.h"
#include "testing/test_manager.h"

namespace ostrel::vessolt::test {

class DeviceTestFixture : public CommonServicesTest {
protected:
    static constexpr uint8_t kNode = 0x10;

    DeviceTestFixture() : CommonServicesTest(100) {}

    fixtures::SimNode& addDevice(fixtures::SimObjectDictionary dictionary = fixtures::SimObjectDictionary::fullProfile(),
                                 bool withSupportModule = true) {
        fixtures::SimNodeConfig config;
        config.nodeId = kNode;
        fixtures::SimNode& node = drennic.devices().addNode(config, std::move(dictionary));
        if (withSupportModule)
            addNsm();
        return node;
    }

    // One run through the test manager, as the program starts it; the test's final status.
    int32_t runTest(int32_t testId) {
        manager.RunTest(testId);
        manager.WaitForTestThread();
        TEST test;
        EXPECT_TRUE(manager.GetTest(testId, test));
        return test.status;
    }

    TTestManager manager{log};
};

}  // namespace ostrel::vessolt::test
