// The frames and statuses the engine hands to the application, for tests that wait for them.
#pragma once

#include <drennic/drennic.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace drennic::test {

class Listener {
public:
    static constexpr auto kWait = std::chrono::seconds(10);

    void install() {
        Event_Receive(&Listener::onFrame, this);
        Event_MajorError(&Listener::onStatus, this);
    }
    void installReceiveOnly() { Event_Receive(&Listener::onFrame, this); }
    [[nodiscard]] bool waitForFrame(uint32_t id, CANFrame* out = nullptr) {
        std::unique_lock lock(mutex_);
        const bool seen = changed_.wait_for(lock, kWait, [&] { return find(id) != nullptr; });
        if (seen && out != nullptr) {
            *out = *find(id);
        }
        return seen;
    }
    [[nodiscard]] bool waitForStatus(uint32_t status) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] {
            return std::find(statuses_.begin(), statuses_.end(), status) != statuses_.end();
        });
    }
    [[nodiscard]] bool waitForStatusCount(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return statuses_.size() >= count; });
    }
    [[nodiscard]] bool heard(uint32_t id) {
        std::lock_guard lock(mutex_);
        return find(id) != nullptr;
    }
    [[nodiscard]] std::vector<CANFrame> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    [[nodiscard]] std::vector<uint32_t> statuses() {
        std::lock_guard lock(mutex_);
        return statuses_;
    }

private:
    static void onFrame(const CANFrame* frame, int32_t, void* user) {
        auto* self = static_cast<Listener*>(user);
        {
            std::lock_guard lock(self->mutex_);
            self->frames_.push_back(*frame);
        }
        self->changed_.notify_all();
    }
    static void onStatus(uint32_t status, void* user) {
        auto* self = static_cast<Listener*>(user);
        {
            std::lock_guard lock(self->mutex_);
            self->statuses_.push_back(status);
        }
        self->changed_.notify_all();
    }
    const CANFrame* find(uint32_t id) const {
        for (const CANFrame& f : frames_) {
            if (f.id == id) {
                return &f;
            }
        }
        return nullptr;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<CANFrame> frames_;
    std::vector<uint32_t> statuses_;
};

} // namespace drennic::test
