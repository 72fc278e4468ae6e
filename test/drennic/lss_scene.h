// The scene of the LSS tests: the library on the in-process test bus with simulated devices, the
// engine running, and a recorder for what the library calls back.
#pragma once

#include "library_fixture.h"

#include "testbus.h"
#include "testbus_devices.h"

#include <platform/clock.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace drennic::test {

inline constexpr auto kGenerousWait = std::chrono::seconds(60);

// Completions, progress reports and received frames, in the order they came.
struct Recorder {
    struct Completion {
        int32_t code = 0;
        std::u16string message;
        uint64_t atUs = 0;
        std::vector<CANFrame> sentSoFar;  // what the bus had carried when the completion came
    };

    void addCompletion(const ResultBlock& result) {
        Completion completion{result.code, messageOf(result), ostrel::platform::monotonicUs(), {}};
        if (bus != nullptr) {
            completion.sentSoFar = bus->sent();
        }
        {
            std::lock_guard lock(mutex);
            completions.push_back(std::move(completion));
        }
        changed.notify_all();
    }
    void addProgress(float percent) {
        std::lock_guard lock(mutex);
        progress.push_back(percent);
    }
    void addReceived(const CANFrame& frame) {
        std::lock_guard lock(mutex);
        received.push_back(frame);
    }

    [[nodiscard]] bool waitForCompletions(std::size_t count, std::chrono::milliseconds timeout = kGenerousWait) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return completions.size() >= count; });
    }
    [[nodiscard]] std::vector<Completion> completionsSoFar() {
        std::lock_guard lock(mutex);
        return completions;
    }
    [[nodiscard]] Completion only() {
        std::lock_guard lock(mutex);
        return completions.empty() ? Completion{} : completions.front();
    }
    [[nodiscard]] std::vector<float> progressSoFar() {
        std::lock_guard lock(mutex);
        return progress;
    }
    [[nodiscard]] std::vector<CANFrame> receivedSoFar() {
        std::lock_guard lock(mutex);
        return received;
    }

    TestBus* bus = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Completion> completions;
    std::vector<float> progress;
    std::vector<CANFrame> received;
};

inline void recordCompletion(ResultBlock* result, void* user) { static_cast<Recorder*>(user)->addCompletion(*result); }
inline void recordProgress(float percent, void* user) { static_cast<Recorder*>(user)->addProgress(percent); }
inline void recordReceived(const CANFrame* frame, int32_t, void* user) {
    static_cast<Recorder*>(user)->addReceived(*frame);
}

class LssScene : public DrennicLibrary {
protected:
    void SetUp() override {
        DrennicLibrary::SetUp();
        bus_ = std::make_unique<TestBus>();
        CANopenDLL_Startup(1, u"");
        CANopen_SetPostTransmitDelay(0);
        devices_ = std::make_unique<ostrel::fixtures::TestBusDevices>(*bus_);
        recorder_.bus = bus_.get();
    }
    void TearDown() override {
        Hardware_Close();
        CANopenDLL_Shutdown();
        devices_.reset();
        bus_.reset();
        DrennicLibrary::TearDown();
    }

    // Powers the devices on and starts the engine.
    void start() {
        devices_->start();
        ResultBlock result = patternedResult();
        Hardware_Initialize(1, u"lss test", 0, 0, &result);
        ASSERT_EQ(result.code, DRN_OK);
        Event_Receive(recordReceived, &recorder_);
    }

    ostrel::fixtures::SimNode& addNode(uint8_t nodeId, ostrel::fixtures::LssIdentity identity,
                                       uint64_t responseLatencyUs = 0) {
        ostrel::fixtures::SimNodeConfig config;
        config.nodeId = nodeId;
        config.identity = identity;
        config.responseLatencyUs = responseLatencyUs;
        return devices_->bus().addNode(config, ostrel::fixtures::SimObjectDictionary::builtin("minimal"));
    }

    // The LSS master frames sent so far (identifier 0x7E5), oldest first.
    [[nodiscard]] std::vector<CANFrame> lssFramesSent() const { return lssFrames(bus_->sent()); }
    [[nodiscard]] static std::vector<CANFrame> lssFrames(const std::vector<CANFrame>& frames) {
        std::vector<CANFrame> out;
        std::copy_if(frames.begin(), frames.end(), std::back_inserter(out),
                     [](const CANFrame& f) { return f.id == 0x7E5; });
        return out;
    }
    // Microseconds from a frame's transmit stamp (32-bit ms of the monotonic clock) to `laterUs`.
    [[nodiscard]] static int64_t usAfter(const CANFrame& frame, uint64_t laterUs) {
        const uint32_t ms = static_cast<uint32_t>(laterUs / 1000) - frame.timeMs;
        return int64_t{ms} * 1000 + static_cast<int64_t>(laterUs % 1000) - int64_t{frame.timeUs};
    }
    [[nodiscard]] static int64_t usBetween(const CANFrame& earlier, const CANFrame& later) {
        return usAfter(earlier, uint64_t{later.timeMs} * 1000 + later.timeUs);
    }

    TestBus& bus() { return *bus_; }

    Recorder recorder_;

private:
    std::unique_ptr<TestBus> bus_;
    std::unique_ptr<ostrel::fixtures::TestBusDevices> devices_;
};

// The command bytes of a list of frames, to compare sequences at a glance.
inline std::vector<uint8_t> commandsOf(const std::vector<CANFrame>& frames) {
    std::vector<uint8_t> out;
    for (const CANFrame& f : frames) {
        out.push_back(f.data[0]);
    }
    return out;
}

} // namespace drennic::test
