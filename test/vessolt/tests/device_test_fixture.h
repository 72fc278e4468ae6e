// A device test's surroundings over the real library on its test bus: the device under test at
// 0x10, the simulated support module at 0x7F (unless left out), a maximum boot-up time of 100 ms,
// and the test manager. Each test's fixture adds its engine.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "../core/common_test_support.h"
#include "services/message_sink.h"
#include "testing/test_manager.h"

namespace ostrel::vessolt::test {

// Keeps every progress value the manager reports while a run goes on, and hands each change of
// the test's record to onChange on the thread that made it.
class ProgressRecorder : public MessageSink {
public:
    explicit ProgressRecorder(TTestManager& manager, int32_t testId) : manager_(manager), testId_(testId) {}
    void post(uint32_t, uintptr_t, intptr_t) override {
        TEST test;
        if (manager_.GetTest(testId_, test)) {
            std::lock_guard lock(mutex_);
            values_.push_back(test.progress);
        }
        if (onChange)
            onChange(test);
    }
    [[nodiscard]] std::vector<int32_t> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }
    std::function<void(const TEST&)> onChange;

private:
    TTestManager& manager_;
    int32_t testId_;
    mutable std::mutex mutex_;
    std::vector<int32_t> values_;
};

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

    [[nodiscard]] int countLines(const std::string& prefix) const {
        int n = 0;
        for (int i = 0; i < log.GetLineCount(); ++i)
            if (log.GetLine(i).rfind(prefix, 0) == 0)
                ++n;
        return n;
    }

    TTestManager manager{log};
};

}  // namespace ostrel::vessolt::test
