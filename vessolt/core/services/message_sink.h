#pragma once
// Where services post their change messages. A window registers a sink; the services keep lists of
// them and post after releasing their own locks, so a sink never runs under a service's lock.
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace ostrel::vessolt {

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Must not block: called from any thread, including Drennic's engine thread.
    virtual void post(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
};

// A fixed list of listener slots. Removing a sink empties its slots without giving them back, so the
// list accepts at most kSlots additions over its life.
class ListenerList {
public:
    static constexpr size_t kSlots = 50;

    void add(MessageSink* sink) {
        std::lock_guard lock(mutex_);
        if (used_ < kSlots)
            slots_[used_++] = sink;
    }

    void remove(MessageSink* sink) {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < used_; ++i)
            if (slots_[i] == sink)
                slots_[i] = nullptr;
    }

    [[nodiscard]] std::vector<MessageSink*> snapshot() const {
        std::lock_guard lock(mutex_);
        std::vector<MessageSink*> out;
        for (size_t i = 0; i < used_; ++i)
            if (slots_[i])
                out.push_back(slots_[i]);
        return out;
    }

    // Copies the slots under the lock, posts after releasing it.
    void postAll(uint32_t message, uintptr_t wParam, intptr_t lParam) const {
        for (MessageSink* sink : snapshot())
            sink->post(message, wParam, lParam);
    }

private:
    mutable std::mutex mutex_;
    std::array<MessageSink*, kSlots> slots_{};
    size_t used_ = 0;
};

} // namespace ostrel::vessolt
