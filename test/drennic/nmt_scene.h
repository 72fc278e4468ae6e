// Shared scene for the NMT, scan, mass-write and monitor tests: the library on the in-process test
// bus with simulated CANopen devices, the engine running, and a recorder for completions and
// received frames.
#pragma once

#include "library_fixture.h"

#include "testbus.h"
#include "testbus_devices.h"

#include <platform/clock.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace drennic::test {

// What the library called back, from the engine thread.
class CallbackRecorder {
public:
    struct Completion {
        int32_t code = 0;
        std::u16string message;
        uint32_t atMs = 0;  // engine clock when it came
    };
    struct Received {
        CANFrame frame{};
        uint32_t atMs = 0;
    };

    static void onCompletion(ResultBlock* result, void* user) {
        auto* self = static_cast<CallbackRecorder*>(user);
        Completion c{result->code, std::u16string(resultMessage(*result)), ostrel::platform::tickMs()};
        std::lock_guard lock(self->mutex_);
        self->completions_.push_back(std::move(c));
        self->changed_.notify_all();
    }
    static void onReceive(const CANFrame* frame, int32_t, void* user) {
        auto* self = static_cast<CallbackRecorder*>(user);
        std::lock_guard lock(self->mutex_);
        self->received_.push_back({*frame, ostrel::platform::tickMs()});
        self->changed_.notify_all();
    }

    [[nodiscard]] bool waitForCompletions(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return completions_.size() >= count; });
    }
    // Waits until a received frame satisfies `match`; returns it.
    [[nodiscard]] std::optional<Received> waitForReceived(const std::function<bool(const CANFrame&)>& match,
                                                          std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        std::optional<Received> found;
        changed_.wait_for(lock, timeout, [&] {
            for (const Received& r : received_) {
                if (match(r.frame)) {
                    found = r;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    [[nodiscard]] std::vector<Completion> completions() {
        std::lock_guard lock(mutex_);
        return completions_;
    }
    [[nodiscard]] std::vector<Received> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    void clearReceived() {
        std::lock_guard lock(mutex_);
        received_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Completion> completions_;
    std::vector<Received> received_;
};

class NmtScene : public DrennicLibrary {
protected:
    static constexpr auto kGenerousWait = std::chrono::seconds(20);

    void SetUp() override {
        DrennicLibrary::SetUp();
        testBus_ = std::make_unique<TestBus>();
        CANopenDLL_Startup(1, u"");
        CANopen_SetPostTransmitDelay(0);
        devices_ = std::make_unique<ostrel::fixtures::TestBusDevices>(*testBus_);
    }
    void TearDown() override {
        Hardware_Close();
        devices_.reset();
        testBus_.reset();
        DrennicLibrary::TearDown();
    }

    ostrel::fixtures::SimNode& addNode(uint8_t nodeId, std::optional<ostrel::fixtures::SimObjectDictionary> dictionary =
                                                           ostrel::fixtures::SimObjectDictionary::builtin("minimal")) {
        ostrel::fixtures::SimNodeConfig config;
        config.nodeId = nodeId;
        return devices_->bus().addNode(config, std::move(dictionary));
    }

    // Powers the nodes on, starts the engine and waits for every node's boot-up.
    void startBus(std::initializer_list<uint8_t> bootingNodes) {
        Event_Receive(&CallbackRecorder::onReceive, &recorder_);
        ResultBlock result{};
        Hardware_Initialize(1, u"nmt test", 0, 0, &result);
        ASSERT_EQ(result.code, DRN_OK);
        devices_->start();
        for (uint8_t node : bootingNodes) {
            ASSERT_TRUE(recorder_.waitForReceived([node](const CANFrame& f) { return f.id == 0x700u + node; },
                                                  kGenerousWait))
                << "no boot-up of node " << int{node};
        }
    }

    TestBus& testBus() { return *testBus_; }
    ostrel::fixtures::SimBus& devices() { return devices_->bus(); }
    CallbackRecorder& recorder() { return recorder_; }

private:
    std::unique_ptr<TestBus> testBus_;
    std::unique_ptr<ostrel::fixtures::TestBusDevices> devices_;
    CallbackRecorder recorder_;
};

} // namespace drennic::test
