// What the driver tests share: a library in its start state and a bus without devices before and
// after each test, and a listener for the frames and statuses the engine hands to the application.
#pragma once

#include "../drennic/engine_listener.h"
#include "../drennic/library_fixture.h"
#include "card_libraries.h"
#include "engine.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace drennic::test {

inline constexpr auto kGenerousWait = std::chrono::seconds(10);

// The completion of one engine request.
class Completion {
public:
    static void onComplete(ResultBlock* result, void* user) {
        auto* self = static_cast<Completion*>(user);
        {
            std::lock_guard lock(self->mutex_);
            self->result_ = *result;
            self->done_ = true;
        }
        self->changed_.notify_all();
    }
    [[nodiscard]] bool wait(ResultBlock& result) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kGenerousWait, [&] { return done_; })) {
            return false;
        }
        result = result_;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    ResultBlock result_{};
};

// Frames the application was told were sent.
class SentLog {
public:
    void install() {
        Event_Transmit(
            [](const CANFrame* frame, void* user) {
                auto* self = static_cast<SentLog*>(user);
                std::lock_guard lock(self->mutex_);
                self->frames_.push_back(*frame);
            },
            this);
    }
    [[nodiscard]] std::vector<CANFrame> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }

private:
    std::mutex mutex_;
    std::vector<CANFrame> frames_;
};

class CardDriverTest : public DrennicLibrary {
protected:
    void SetUp() override {
        DrennicLibrary::SetUp();
        ostrel::simbus::reset();
    }
    void TearDown() override {
        DrennicLibrary::TearDown();
        ostrel::simbus::reset();
    }
    static ResultBlock initialize(uint32_t network) {
        ResultBlock result = patternedResult();
        Hardware_Initialize(network, u"Tester", 0x77, 0x1234, &result);
        return result;
    }
    static ResultBlock switchNetworks(int32_t connect, uint32_t network) {
        ResultBlock result = patternedResult();
        Hardware_SwitchNetworks(connect, network, &result);
        return result;
    }
    static ResultBlock transmit(const CANFrame& frame) {
        ResultBlock result = patternedResult();
        ops().Transmit(frame.id, frame.length, frame.data, (frame.flags & DRN_FLAG_EXTENDED) != 0 ? 1 : 0,
                       (frame.flags & DRN_FLAG_REMOTE) != 0 ? 1 : 0, (frame.flags & DRN_FLAG_ERROR) != 0 ? 1 : 0,
                       &result);
        return result;
    }
    static DriverOps ops() { return currentDriver()->ops; }

    // Outlive TearDown, which stops the engine that calls them.
    Listener listener;
    SentLog sentLog;
};

} // namespace drennic::test
